#pragma once

#include "Access/AccessibilityBackend.h"
#include "Access/AccessibilityTreeReader.h"
#include "Binding/BoundTargetStore.h"
#include "Protocol/JSONValue.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace bix::ax {

inline constexpr std::string_view kTeachCandidatePrefix = "teach_";
// How many teach candidates one inspection reports, in reading order.
inline constexpr std::size_t kMaximumTeachCandidates = 64;

// One element of the bound window that could be written to, pressed or read as a response, with a
// ready-made locator for a profile. Carries no text the user can see, no value and no geometry.
struct TeachCandidate {
    std::string candidateId; // "teach_" + 32 hex digits, fresh on every inspection
    std::string role;
    std::optional<std::string> subrole;
    std::optional<std::string> identifier; // only a safe identifier
    std::string semanticFingerprint;
    int depth = 0;
    std::set<std::string> capabilities; // "press", "read-response", "write"
    JSONValue locator;                  // one locator candidate object

    friend bool operator==(const TeachCandidate&, const TeachCandidate&) = default;
};

// Inspects the bound window for a health check or for teaching a profile. Reads no element
// values, reports no coordinates and never the whole tree; keeps no state between calls.
class DesktopTeachService {
public:
    DesktopTeachService(std::shared_ptr<AccessibilityBackend> backend,
                        std::shared_ptr<BoundTargetStore> targets,
                        std::shared_ptr<AccessibilityTreeReader> treeReader);

    // The binding, the window's state and, with candidates, the structure fingerprint, the teach
    // candidates and the fixed teach policy. Target store and tree reader failures pass through.
    JSONObject inspect(const std::string& bindingId, bool includeTeachCandidates);

    // The candidates of a tree, at most 64, in reading order.
    static std::vector<TeachCandidate> teachCandidates(const AccessibilityTree& tree);
    // The most specific locator for an element that shows no unsafe text: its safe identifier,
    // else a path to the nearest ancestor with one, else its element fingerprint.
    static JSONValue semanticLocator(const AXNodeSnapshot& snapshot, const AXElementHandle& handle,
                                     const AccessibilityTree& tree);

private:
    void addWindowState(JSONObject& inspection, const AccessibilityTree& tree,
                        const BoundTarget& target);

    std::shared_ptr<AccessibilityBackend> backend_;
    std::shared_ptr<BoundTargetStore> targets_;
    std::shared_ptr<AccessibilityTreeReader> treeReader_;
};

// The JSON object the host sees for one teach candidate.
JSONValue teachCandidateObject(const TeachCandidate& candidate);

} // namespace bix::ax
