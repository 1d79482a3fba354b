#pragma once

#include "Access/AccessibilityBackend.h"
#include "Access/AccessibilityTreeReader.h"
#include "Binding/BoundTargetStore.h"
#include "Platform/Uuid.h"
#include "Profiles/DesktopAccessibilityProfile.h"
#include "Profiles/ElementMatcher.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace bix::ax {

inline constexpr std::string_view kResolutionPrefix = "profile_";

// Which live elements a profile's controls were, in one bound window, at one moment. Compared
// field by field; never modified once stored.
struct ResolvedDesktopProfile {
    std::string resolutionId; // "profile_" + 32 hex digits
    std::string bindingId;
    DesktopAccessibilityProfile profile;
    AXElementHandle input;
    AXElementHandle submit;
    std::optional<AXElementHandle> initialAssistantMessage; // absent in an empty conversation
    std::optional<AXElementHandle> stopGeneration;  // absent when unprofiled or not on screen
    std::optional<AXElementHandle> newConversation; // same rule
    std::string structureFingerprint;               // of the window's elements when resolved

    friend bool operator==(const ResolvedDesktopProfile&, const ResolvedDesktopProfile&) = default;
};

// What a caller is about to do with a resolution; decides which controls are re-found first.
enum class ResolvedProfileAction { composer, submit, stop, newConversation };

// The structure fingerprint of a tree: role, subrole and identifier of every node in reading
// order. Equal for windows of identical structure; any added, removed or renamed element changes
// it. Text, values and states do not enter it.
std::string structureFingerprint(const AccessibilityTree& tree);

// Binds profiles to the live controls of a binding and re-proves them before every use. One
// resolution per binding: resolving again replaces it, and a dropped binding drops it (the store
// listens to the target store's invalidations).
//
// `lock_` guards `resolutions_` only and is held just for lookups and updates: tree reads,
// matching, snapshots and calls into the target store run outside it. Stored resolutions are
// never modified in place.
class ProfileResolutionStore : public std::enable_shared_from_this<ProfileResolutionStore> {
public:
    // Builds the store and registers it (weakly) for the target store's invalidations.
    static std::shared_ptr<ProfileResolutionStore>
    create(std::shared_ptr<BoundTargetStore> targets,
           std::shared_ptr<AccessibilityTreeReader> treeReader,
           std::shared_ptr<ElementMatcher> matcher);
    ~ProfileResolutionStore(); // unregisters from the target store
    ProfileResolutionStore(const ProfileResolutionStore&) = delete;
    ProfileResolutionStore& operator=(const ProfileResolutionStore&) = delete;

    // Resolves a profile made for this binding's application and profile hash.
    ResolvedDesktopProfile resolve(const std::string& bindingId,
                                   const DesktopAccessibilityProfile& profile);
    // Resolves a newly taught profile and moves the binding over to its profile hash; the
    // binding must still carry `expectedProfileHash`. A failure leaves the binding unchanged.
    ResolvedDesktopProfile resolveTeach(const std::string& bindingId,
                                        const std::string& expectedProfileHash,
                                        const DesktopAccessibilityProfile& profile);
    // The stored resolution and the freshly validated binding, for reading.
    std::pair<ResolvedDesktopProfile, BoundTarget> validated(const std::string& resolutionId,
                                                             const std::string& bindingId);
    // The same before a side effect: the binding is validated for action and the controls the
    // action needs are re-found in a fresh read; they must be the very same elements.
    std::pair<ResolvedDesktopProfile, BoundTarget>
    validatedForAction(const std::string& resolutionId, const std::string& bindingId,
                       ResolvedProfileAction action);
    // The assistant message the profile names now, with one snapshot of it (its value only when
    // asked); the only element whose value this store ever reads.
    std::pair<AXElementHandle, AXNodeSnapshot>
    resolveAssistant(const ResolvedDesktopProfile& resolution, const BoundTarget& target,
                     bool includeValue);

    // Forgets every resolution.
    void shutdown();

    // How many resolutions are stored (tests and diagnostics).
    std::size_t resolutionCount() const;

private:
    struct ProbedElements {
        AXElementHandle input;
        AXElementHandle submit;
        std::optional<AXElementHandle> assistantMessage;
        std::optional<AXElementHandle> stopGeneration;
        std::optional<AXElementHandle> newConversation;
    };

    ProfileResolutionStore(std::shared_ptr<BoundTargetStore> targets,
                           std::shared_ptr<AccessibilityTreeReader> treeReader,
                           std::shared_ptr<ElementMatcher> matcher);

    AccessibilityTree readWindow(const BoundTarget& target) const;
    ProbedElements probe(const DesktopAccessibilityProfile& profile,
                         const AccessibilityTree& tree) const;
    std::optional<AXElementHandle> optionalResolve(const std::optional<AXLocatorSet>& set,
                                                   const AccessibilityTree& tree) const;
    ResolvedDesktopProfile storeResolution(const std::string& bindingId,
                                           const DesktopAccessibilityProfile& profile,
                                           const ProbedElements& probed,
                                           const AccessibilityTree& tree);
    ResolvedDesktopProfile storedResolution(const std::string& resolutionId,
                                            const std::string& bindingId) const;
    void removeResolutionsOf(const std::string& bindingId);

    std::shared_ptr<BoundTargetStore> targets_;
    std::shared_ptr<AccessibilityTreeReader> treeReader_;
    std::shared_ptr<ElementMatcher> matcher_;
    mutable std::mutex lock_; // guards resolutions_
    std::unordered_map<std::string, ResolvedDesktopProfile> resolutions_;
    std::optional<Uuid> invalidationToken_; // set once, right after construction
};

} // namespace bix::ax
