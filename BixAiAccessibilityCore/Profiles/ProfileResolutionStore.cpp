#include "Profiles/ProfileResolutionStore.h"

#include "Protocol/HelperError.h"
#include "Protocol/Redaction.h"

#include <unordered_set>
#include <vector>

namespace bix::ax {

namespace {

[[noreturn]] void mismatch(const char* message) {
    throw HelperProtocolError(HelperErrorCode::profileMismatch, message);
}

bool fitsBundle(const DesktopAccessibilityProfile& profile, const BoundTarget& target) {
    return profile.bundleIds.contains(target.bundleId);
}

} // namespace

std::string structureFingerprint(const AccessibilityTree& tree) {
    std::vector<std::string> fields;
    fields.reserve(tree.order.size());
    for (const auto& handle : tree.order) {
        const auto node = tree.nodes.find(handle);
        if (node == tree.nodes.end()) {
            continue;
        }
        const auto& snap = node->second.snapshot;
        fields.push_back(snap.role + ":" + snap.subrole.value_or("") + ":" +
                         snap.identifier.value_or(""));
    }
    return Redaction::semanticFingerprint(fields);
}

std::shared_ptr<ProfileResolutionStore>
ProfileResolutionStore::create(std::shared_ptr<BoundTargetStore> targets,
                               std::shared_ptr<AccessibilityTreeReader> treeReader,
                               std::shared_ptr<ElementMatcher> matcher) {
    std::shared_ptr<ProfileResolutionStore> store(
        new ProfileResolutionStore(std::move(targets), std::move(treeReader), std::move(matcher)));
    // Weak: the target store must never keep this store alive, nor call into a destroyed one.
    std::weak_ptr<ProfileResolutionStore> weak = store;
    store->invalidationToken_ =
        store->targets_->addInvalidationHandler([weak](const std::string& bindingId) {
            if (auto alive = weak.lock()) {
                alive->removeResolutionsOf(bindingId);
            }
        });
    return store;
}

ProfileResolutionStore::ProfileResolutionStore(std::shared_ptr<BoundTargetStore> targets,
                                               std::shared_ptr<AccessibilityTreeReader> treeReader,
                                               std::shared_ptr<ElementMatcher> matcher)
    : targets_(std::move(targets)), treeReader_(std::move(treeReader)),
      matcher_(std::move(matcher)) {}

ProfileResolutionStore::~ProfileResolutionStore() {
    if (invalidationToken_) {
        targets_->removeInvalidationHandler(*invalidationToken_);
    }
}

ResolvedDesktopProfile ProfileResolutionStore::resolve(const std::string& bindingId,
                                                       const DesktopAccessibilityProfile& profile) {
    const BoundTarget target = targets_->validated(bindingId);
    // Checked before the window is read: a profile for another application or another profile
    // hash never gets to look at this one's controls.
    if (profile.profileHash != target.profileHash || !fitsBundle(profile, target)) {
        mismatch("Profile does not match the bound target.");
    }
    const AccessibilityTree tree = readWindow(target);
    const ProbedElements probed = probe(profile, tree);
    return storeResolution(bindingId, profile, probed, tree);
}

ResolvedDesktopProfile
ProfileResolutionStore::resolveTeach(const std::string& bindingId,
                                     const std::string& expectedProfileHash,
                                     const DesktopAccessibilityProfile& profile) {
    const BoundTarget target = targets_->validated(bindingId);
    if (expectedProfileHash != target.profileHash || !fitsBundle(profile, target)) {
        mismatch("Teach Profile does not match the bound target.");
    }
    const AccessibilityTree tree = readWindow(target);
    const ProbedElements probed = probe(profile, tree);
    targets_->promoteProfileHash(bindingId, expectedProfileHash, profile.profileHash);
    return storeResolution(bindingId, profile, probed, tree);
}

std::pair<ResolvedDesktopProfile, BoundTarget>
ProfileResolutionStore::validated(const std::string& resolutionId, const std::string& bindingId) {
    ResolvedDesktopProfile resolution = storedResolution(resolutionId, bindingId);
    BoundTarget target = targets_->validated(bindingId);
    if (target.profileHash != resolution.profile.profileHash) {
        mismatch("Profile resolution no longer matches.");
    }
    return {std::move(resolution), std::move(target)};
}

std::pair<ResolvedDesktopProfile, BoundTarget> ProfileResolutionStore::validatedForAction(
    const std::string& resolutionId, const std::string& bindingId, ResolvedProfileAction action) {
    ResolvedDesktopProfile resolution = storedResolution(resolutionId, bindingId);
    BoundTarget target = targets_->validatedForAction(bindingId);
    if (target.profileHash != resolution.profile.profileHash) {
        mismatch("Profile resolution no longer matches.");
    }
    const AccessibilityTree tree = readWindow(target);
    const auto& profile = resolution.profile;
    switch (action) {
    case ResolvedProfileAction::composer:
    case ResolvedProfileAction::submit: {
        // Both controls for both actions: a prompt written into a composer whose submit control
        // was swapped could never be sent where the host believes.
        const AXElementHandle input = matcher_->resolve(profile.input, tree);
        const AXElementHandle submit = matcher_->resolve(profile.submit, tree);
        if (input != resolution.input || submit != resolution.submit) {
            mismatch("The resolved composer or submit control changed. Reconnect before retrying.");
        }
        break;
    }
    case ResolvedProfileAction::stop:
        if (!profile.stopGeneration || !resolution.stopGeneration ||
            matcher_->resolve(*profile.stopGeneration, tree) != *resolution.stopGeneration) {
            mismatch("The resolved stop control changed. Reconnect before retrying.");
        }
        break;
    case ResolvedProfileAction::newConversation:
        if (!profile.newConversation || !resolution.newConversation ||
            matcher_->resolve(*profile.newConversation, tree) != *resolution.newConversation) {
            mismatch("The resolved new-conversation control changed. Reconnect before retrying.");
        }
        break;
    }
    return {std::move(resolution), std::move(target)};
}

std::pair<AXElementHandle, AXNodeSnapshot>
ProfileResolutionStore::resolveAssistant(const ResolvedDesktopProfile& resolution,
                                         const BoundTarget& target, bool includeValue) {
    const AccessibilityTree tree = readWindow(target);
    AXElementHandle handle = matcher_->resolve(resolution.profile.assistantMessage, tree);
    // The tree reader's snapshot refuses an element of another process with "Accessibility
    // element left the bound process." (targetStale).
    AXNodeSnapshot snapshot = treeReader_->snapshot(handle, target.windowTarget(), includeValue);
    return {std::move(handle), std::move(snapshot)};
}

void ProfileResolutionStore::shutdown() {
    std::lock_guard guard(lock_);
    resolutions_.clear();
}

std::size_t ProfileResolutionStore::resolutionCount() const {
    std::lock_guard guard(lock_);
    return resolutions_.size();
}

AccessibilityTree ProfileResolutionStore::readWindow(const BoundTarget& target) const {
    // No element values are read while resolving or revalidating.
    static const std::unordered_set<AXElementHandle> noValues;
    return treeReader_->read(target.windowTarget(), noValues);
}

ProfileResolutionStore::ProbedElements
ProfileResolutionStore::probe(const DesktopAccessibilityProfile& profile,
                              const AccessibilityTree& tree) const {
    ProbedElements probed{
        .input = matcher_->resolve(profile.input, tree),
        .submit = matcher_->resolve(profile.submit, tree),
    };
    probed.assistantMessage = optionalResolve(profile.assistantMessage, tree);
    probed.stopGeneration = optionalResolve(profile.stopGeneration, tree);
    probed.newConversation = optionalResolve(profile.newConversation, tree);
    return probed;
}

std::optional<AXElementHandle>
ProfileResolutionStore::optionalResolve(const std::optional<AXLocatorSet>& set,
                                        const AccessibilityTree& tree) const {
    if (!set) {
        return std::nullopt;
    }
    try {
        return matcher_->resolve(*set, tree);
    } catch (const HelperProtocolError& error) {
        // Not on screen is absence; an ambiguous control is still an error.
        if (error.code() == HelperErrorCode::locatorNotFound) {
            return std::nullopt;
        }
        throw;
    }
}

ResolvedDesktopProfile ProfileResolutionStore::storeResolution(
    const std::string& bindingId, const DesktopAccessibilityProfile& profile,
    const ProbedElements& probed, const AccessibilityTree& tree) {
    ResolvedDesktopProfile resolution{
        .resolutionId = std::string(kResolutionPrefix) + randomUuidHexDigits(),
        .bindingId = bindingId,
        .profile = profile,
        .input = probed.input,
        .submit = probed.submit,
        .initialAssistantMessage = probed.assistantMessage,
        .stopGeneration = probed.stopGeneration,
        .newConversation = probed.newConversation,
        .structureFingerprint = structureFingerprint(tree),
    };
    std::lock_guard guard(lock_);
    std::erase_if(resolutions_,
                  [&](const auto& entry) { return entry.second.bindingId == bindingId; });
    resolutions_.emplace(resolution.resolutionId, resolution);
    return resolution;
}

ResolvedDesktopProfile
ProfileResolutionStore::storedResolution(const std::string& resolutionId,
                                         const std::string& bindingId) const {
    std::lock_guard guard(lock_);
    const auto found = resolutions_.find(resolutionId);
    if (found == resolutions_.end() || found->second.bindingId != bindingId) {
        mismatch("Profile resolution is unknown.");
    }
    return found->second;
}

void ProfileResolutionStore::removeResolutionsOf(const std::string& bindingId) {
    std::lock_guard guard(lock_);
    std::erase_if(resolutions_,
                  [&](const auto& entry) { return entry.second.bindingId == bindingId; });
}

} // namespace bix::ax
