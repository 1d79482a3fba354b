#include "Binding/BoundTargetStore.h"

#include "Protocol/HelperError.h"
#include "Protocol/Redaction.h"
#include "Protocol/Validation.h"

#include <algorithm>
#include <utility>

namespace bix::ax {

namespace {

std::string mint(std::string_view prefix) {
    return std::string(prefix) + randomUuidHexDigits();
}

[[noreturn]] void fail(HelperErrorCode code, const char* message) {
    throw HelperProtocolError(code, message);
}

bool isWindowOf(const AXNodeSnapshot& snapshot, std::int32_t pid) {
    return snapshot.pid == pid && snapshot.role == kAXWindowRole;
}

} // namespace

BoundTargetSummary BoundTarget::summary() const {
    return BoundTargetSummary{
        .bindingId = bindingId,
        .processRef = processRef,
        .windowRef = windowRef,
        .displayName = displayName,
        .bundleId = bundleId,
        .profileHash = profileHash,
        .windowFingerprint = windowFingerprint,
    };
}

BindTargetResult BindTargetResult::windowSelectionRequired(std::vector<WindowCandidate> windows) {
    return BindTargetResult(std::move(windows));
}

BindTargetResult BindTargetResult::bound(BoundTargetSummary summary) {
    return BindTargetResult(std::move(summary));
}

bool BindTargetResult::isWindowSelectionRequired() const {
    return std::holds_alternative<std::vector<WindowCandidate>>(value_);
}

bool BindTargetResult::isBound() const {
    return std::holds_alternative<BoundTargetSummary>(value_);
}

const std::vector<WindowCandidate>& BindTargetResult::windows() const {
    return std::get<std::vector<WindowCandidate>>(value_);
}

const BoundTargetSummary& BindTargetResult::summary() const {
    return std::get<BoundTargetSummary>(value_);
}

BoundTargetStore::BoundTargetStore(std::shared_ptr<AccessibilityBackend> backend,
                                   std::shared_ptr<AppDiscovery> discovery, Clock now)
    : backend_(std::move(backend)), discovery_(std::move(discovery)), now_(std::move(now)) {}

BindTargetResult BoundTargetStore::bind(const std::string& candidateId,
                                        const std::string& expectedBundleId,
                                        const std::string& profileHash,
                                        const std::optional<std::string>& windowCandidateId) {
    if (!Validation::matches(Validation::Pattern::bundle, expectedBundleId) ||
        !Validation::matches(Validation::Pattern::hash, profileHash)) {
        fail(HelperErrorCode::invalidRequest, "Target binding fields are invalid.");
    }
    if (!backend_->isTrusted(false)) {
        fail(HelperErrorCode::permissionDenied, "Accessibility permission is unavailable.");
    }
    DiscoveredApplication candidate = discovery_->resolve(candidateId);
    if (candidate.descriptor.bundleId != expectedBundleId) {
        fail(HelperErrorCode::targetStale, "The selected bundle does not match.");
    }
    if (windowCandidateId) {
        return finishBinding(candidate, profileHash, *windowCandidateId);
    }
    return listWindows(candidate, expectedBundleId);
}

BindTargetResult BoundTargetStore::listWindows(const DiscoveredApplication& candidate,
                                               const std::string& expectedBundleId) {
    const std::int32_t pid = candidate.descriptor.pid;
    const std::vector<AXElementHandle> handles = backend_->windows(pid);
    if (handles.empty()) {
        fail(HelperErrorCode::locatorNotFound, "The selected app has no accessible window.");
    }

    std::vector<WindowCandidate> offered;
    std::unordered_map<std::string, AXElementHandle> windows;
    for (std::size_t index = 0; index < handles.size(); ++index) {
        AXNodeSnapshot window = backend_->snapshot(handles[index], false);
        // Sheets, drawers and elements of other processes listed as windows are not offered,
        // but they still count for the labels so "Window k" is the k-th listed window.
        if (!isWindowOf(window, pid)) {
            continue;
        }
        std::string windowCandidateId = mint(kWindowCandidatePrefix);
        windows.emplace(windowCandidateId, handles[index]);
        offered.push_back(WindowCandidate{
            .windowCandidateId = std::move(windowCandidateId),
            .displayLabel = "Window " + std::to_string(index + 1),
            .role = window.role,
            .subrole = window.subrole,
            .isFocused = window.isFocused,
        });
    }
    if (offered.empty()) {
        fail(HelperErrorCode::locatorNotFound, "No safe accessible window was found.");
    }

    PendingWindowSelection selection{
        .candidateId = candidate.candidateId,
        .pid = pid,
        .bundleId = expectedBundleId,
        .expiresAt = now_() + kWindowSelectionLifetime,
        .windows = std::move(windows),
    };
    {
        std::lock_guard guard(lock_);
        pendingSelection_ = std::move(selection); // latest wins, whatever candidate it was for
    }
    return BindTargetResult::windowSelectionRequired(std::move(offered));
}

BindTargetResult BoundTargetStore::finishBinding(const DiscoveredApplication& candidate,
                                                 const std::string& profileHash,
                                                 const std::string& windowCandidateId) {
    PendingWindowSelection selection;
    {
        std::lock_guard guard(lock_);
        if (!pendingSelection_ || pendingSelection_->candidateId != candidate.candidateId) {
            fail(HelperErrorCode::candidateNotFound, "Window selection is unknown.");
        }
        selection = *pendingSelection_;
    }
    // Expired at exactly expiresAt.
    if (!(selection.expiresAt > now_())) {
        fail(HelperErrorCode::candidateExpired, "Window selection expired.");
    }
    auto chosen = selection.windows.find(windowCandidateId);
    if (selection.pid != candidate.descriptor.pid ||
        selection.bundleId != candidate.descriptor.bundleId || chosen == selection.windows.end()) {
        fail(HelperErrorCode::targetStale, "Window selection no longer matches the app.");
    }
    const AXElementHandle window = chosen->second;
    AXNodeSnapshot snapshot = backend_->snapshot(window, false);
    if (!isWindowOf(snapshot, selection.pid)) {
        fail(HelperErrorCode::targetStale, "The selected window changed.");
    }

    BoundTarget target;
    target.windowFingerprint = accessibilityWindowFingerprint(snapshot);
    target.bindingId = mint(kBindingPrefix);
    target.processRef = mint(kProcessRefPrefix);
    target.windowRef = mint(kWindowRefPrefix);
    target.displayName = Redaction::safeDisplayName(candidate.descriptor.displayName);
    target.pid = selection.pid;
    target.bundleId = candidate.descriptor.bundleId;
    target.window = window;
    target.profileHash = profileHash;

    std::vector<std::string> replaced;
    std::vector<TargetInvalidationHandler> handlers;
    {
        std::lock_guard guard(lock_);
        if (binding_) {
            replaced.push_back(binding_->bindingId);
        }
        binding_ = target;
        pendingSelection_.reset();
        handlers = handlersLocked();
    }
    notify(handlers, replaced);
    return BindTargetResult::bound(target.summary());
}

BoundTarget BoundTargetStore::bindingCopy(const std::string& bindingId) {
    std::lock_guard guard(lock_);
    if (!binding_ || binding_->bindingId != bindingId) {
        fail(HelperErrorCode::targetNotBound, "Target binding is unknown.");
    }
    return *binding_;
}

BoundTarget BoundTargetStore::validated(const std::string& bindingId) {
    BoundTarget target = bindingCopy(bindingId);
    auto application = backend_->application(target.pid);
    if (!application || application->isTerminated || application->bundleId != target.bundleId) {
        dropAndNotify(bindingId);
        fail(HelperErrorCode::targetStale, "The selected app exited or changed.");
    }
    AXNodeSnapshot window;
    try {
        window = backend_->snapshot(target.window, false);
    } catch (const HelperProtocolError&) {
        dropAndNotify(bindingId);
        throw;
    }
    if (!isWindowOf(window, target.pid)) {
        dropAndNotify(bindingId);
        fail(HelperErrorCode::targetStale, "The selected window changed.");
    }
    return target;
}

BoundTarget BoundTargetStore::validatedForAction(const std::string& bindingId) {
    BoundTarget target = validated(bindingId);
    try {
        checkWindowReadyForAction(target);
    } catch (const HelperProtocolError& error) {
        // A stale window can never become valid again; anything else (a minimized window, a
        // platform hiccup) may pass on the next try, so the binding stays.
        if (error.code() == HelperErrorCode::targetStale) {
            dropAndNotify(bindingId);
        }
        throw;
    }
    return target;
}

void BoundTargetStore::checkWindowReadyForAction(const BoundTarget& target) {
    const std::vector<AXElementHandle> windows = backend_->windows(target.pid);
    if (std::find(windows.begin(), windows.end(), target.window) == windows.end()) {
        fail(HelperErrorCode::targetStale,
             "The selected window is no longer attached to the bound app.");
    }
    AXNodeSnapshot window = backend_->snapshot(target.window, false);
    if (!isWindowOf(window, target.pid) ||
        accessibilityWindowFingerprint(window) != target.windowFingerprint) {
        fail(HelperErrorCode::targetStale, "The selected window identity changed.");
    }
    if (window.isMinimized) {
        fail(HelperErrorCode::actionFailed,
             "The selected window is minimized; no Accessibility action was attempted.");
    }
}

BoundTarget BoundTargetStore::promoteProfileHash(const std::string& bindingId,
                                                 const std::string& expectedProfileHash,
                                                 const std::string& newProfileHash) {
    if (!Validation::matches(Validation::Pattern::hash, expectedProfileHash) ||
        !Validation::matches(Validation::Pattern::hash, newProfileHash)) {
        fail(HelperErrorCode::invalidRequest, "Profile hashes are invalid.");
    }
    BoundTarget target = validated(bindingId);
    if (target.profileHash != expectedProfileHash) {
        fail(HelperErrorCode::profileMismatch, "Teach Profile binding changed.");
    }
    // validated() ran without the lock: the binding may have been replaced, dropped or promoted
    // meanwhile, so check again before writing.
    std::lock_guard guard(lock_);
    if (!binding_ || binding_->bindingId != bindingId ||
        binding_->profileHash != expectedProfileHash) {
        fail(HelperErrorCode::profileMismatch, "Teach Profile binding changed.");
    }
    target.profileHash = newProfileHash;
    binding_ = target;
    return target;
}

void BoundTargetStore::unbind(const std::string& bindingId) {
    std::vector<TargetInvalidationHandler> handlers;
    {
        std::lock_guard guard(lock_);
        if (!binding_ || binding_->bindingId != bindingId) {
            fail(HelperErrorCode::targetNotBound, "Target binding is unknown.");
        }
        binding_.reset();
        handlers = handlersLocked();
    }
    notify(handlers, {bindingId});
}

Uuid BoundTargetStore::addInvalidationHandler(TargetInvalidationHandler handler) {
    Uuid token = Uuid::random();
    std::lock_guard guard(lock_);
    invalidationHandlers_.insert_or_assign(token, std::move(handler));
    return token;
}

void BoundTargetStore::removeInvalidationHandler(const Uuid& token) {
    std::lock_guard guard(lock_);
    invalidationHandlers_.erase(token);
}

void BoundTargetStore::shutdown() {
    std::vector<std::string> dropped;
    std::vector<TargetInvalidationHandler> handlers;
    {
        std::lock_guard guard(lock_);
        if (binding_) {
            dropped.push_back(binding_->bindingId);
        }
        binding_.reset();
        pendingSelection_.reset();
        handlers = handlersLocked();
    }
    notify(handlers, dropped);
    discovery_->clear();
}

void BoundTargetStore::dropAndNotify(const std::string& bindingId) {
    std::vector<TargetInvalidationHandler> handlers;
    {
        std::lock_guard guard(lock_);
        // Another thread may already have replaced or dropped it; then there is nothing to tell.
        if (!binding_ || binding_->bindingId != bindingId) {
            return;
        }
        binding_.reset();
        handlers = handlersLocked();
    }
    notify(handlers, {bindingId});
}

std::vector<TargetInvalidationHandler> BoundTargetStore::handlersLocked() const {
    std::vector<TargetInvalidationHandler> handlers;
    handlers.reserve(invalidationHandlers_.size());
    for (const auto& [token, handler] : invalidationHandlers_) {
        handlers.push_back(handler);
    }
    return handlers;
}

void BoundTargetStore::notify(const std::vector<TargetInvalidationHandler>& handlers,
                              const std::vector<std::string>& droppedBindingIds) {
    for (const std::string& bindingId : droppedBindingIds) {
        for (const TargetInvalidationHandler& handler : handlers) {
            // The binding is already gone: a failing listener must neither keep the others from
            // learning it nor turn the completed drop into the caller's failure.
            try {
                handler(bindingId);
            } catch (...) {
            }
        }
    }
}

} // namespace bix::ax
