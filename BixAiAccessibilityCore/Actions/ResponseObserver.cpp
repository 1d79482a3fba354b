#include "Actions/ResponseObserver.h"

#include "Platform/Uuid.h"
#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/Redaction.h"
#include "Protocol/Validation.h"

#include <utility>

namespace bix::ax {

namespace {

constexpr std::int64_t kMinimumStableMs = 500;
constexpr std::int64_t kMaximumStableMs = 10'000;
constexpr std::int64_t kMinimumWaitMs = 5'000;
constexpr std::int64_t kMaximumWaitMs = 600'000;
// Without a notification, real reads are at least this far apart.
constexpr std::chrono::milliseconds kMinimumReadSpacing{250};

const std::vector<std::string>& observedNotifications() {
    static const std::vector<std::string> names = {
        std::string(kAXValueChangedNotification), std::string(kAXUIElementDestroyedNotification),
        std::string(kAXLayoutChangedNotification),
        std::string(kAXSelectedChildrenChangedNotification)};
    return names;
}

bool isLocatorNotFound(const HelperProtocolError& error) {
    return error.code() == HelperErrorCode::locatorNotFound;
}

} // namespace

// One live observation. The identity fields never change after construction; `lock` guards the
// progress fields below it.
struct ResponseObserver::State {
    std::string observationId;
    std::string bindingId;
    std::string resolutionId;
    std::string turnToken;
    TimePoint startedAt;
    TimePoint expiresAt;
    std::chrono::duration<double> stableInterval;
    std::optional<std::string> baselineFingerprint;
    std::optional<std::string> composerBaseline;
    std::shared_ptr<AXObservation> registration; // set before the state is published

    std::mutex lock;
    bool dirty = false;
    std::optional<TimePoint> lastPollAt;
    std::optional<std::string> lastFingerprint;
    std::optional<TimePoint> lastChangedAt;
    bool sawComposerClear = false;
    bool userInterfered = false;

    // Marks the observation worth reading again; called for every notification.
    void markDirty() {
        std::lock_guard guard(lock);
        dirty = true;
    }

    // A composer still showing the submitted prompt is no interference; anything typed after
    // the composer was cleared is.
    void noteComposerValue(const std::optional<std::string>& value) {
        std::lock_guard guard(lock);
        if (!value || value->empty()) {
            sawComposerClear = true;
        } else if (sawComposerClear || !composerBaseline || *value != *composerBaseline) {
            userInterfered = true;
        }
    }

    bool interfered() {
        std::lock_guard guard(lock);
        return userInterfered;
    }

    // Spaces real reads by 0.25 s unless a notification arrived since the last one.
    bool shouldRead(TimePoint at) {
        std::lock_guard guard(lock);
        if (lastPollAt && at - *lastPollAt < kMinimumReadSpacing && !dirty) {
            return false;
        }
        lastPollAt = at;
        dirty = false;
        return true;
    }

    // The stability rule: true once the same text has been seen for the whole stable interval,
    // counted from the first read that saw it. Any change restarts the interval.
    bool update(const std::string& fingerprint, TimePoint at) {
        std::lock_guard guard(lock);
        if (lastFingerprint == fingerprint) {
            return lastChangedAt && at - *lastChangedAt >= stableInterval;
        }
        lastFingerprint = fingerprint;
        lastChangedAt = at;
        return false;
    }
};

ResponseObserver::ResponseObserver(std::shared_ptr<AccessibilityBackend> backend,
                                   std::shared_ptr<ProfileResolutionStore> resolutions, Clock now)
    : backend_(std::move(backend)), resolutions_(std::move(resolutions)), now_(std::move(now)) {}

ResponseObserver::~ResponseObserver() {
    shutdown();
}

ResponseObservationStarted ResponseObserver::observe(const std::string& bindingId,
                                                     const std::string& resolutionId,
                                                     const std::string& turnToken,
                                                     std::int64_t stableMs,
                                                     std::int64_t maximumWaitMs) {
    if (!Validation::matches(Validation::Pattern::opaque, turnToken) || turnToken.empty() ||
        stableMs < kMinimumStableMs || stableMs > kMaximumStableMs ||
        maximumWaitMs < kMinimumWaitMs || maximumWaitMs > kMaximumWaitMs) {
        throw HelperProtocolError(HelperErrorCode::invalidRequest,
                                  "Response observation bounds are invalid.");
    }
    const auto [resolution, target] = resolutions_->validated(resolutionId, bindingId);

    std::optional<AXElementHandle> assistant;
    std::optional<std::string> baselineFingerprint;
    try {
        auto [handle, snapshot] = resolutions_->resolveAssistant(resolution, target, true);
        assistant = std::move(handle);
        if (snapshot.value) {
            baselineFingerprint = Redaction::contentFingerprint(*snapshot.value);
        }
    } catch (const HelperProtocolError& error) {
        if (!isLocatorNotFound(error)) {
            throw;
        }
    }
    const std::optional<std::string> composerBaseline =
        backend_->snapshot(resolution.input, true).value;

    auto state = std::make_shared<State>();
    state->observationId = std::string(kObservationPrefix) + randomUuidHexDigits();
    state->bindingId = bindingId;
    state->resolutionId = resolutionId;
    state->turnToken = turnToken;
    state->startedAt = now_();
    state->expiresAt = state->startedAt + std::chrono::milliseconds(maximumWaitMs);
    state->stableInterval = std::chrono::milliseconds(stableMs);
    state->baselineFingerprint = baselineFingerprint;
    state->composerBaseline = composerBaseline;
    state->sawComposerClear = !composerBaseline || composerBaseline->empty();
    state->registration = registerFor(state, resolution, target, assistant);

    std::vector<std::shared_ptr<State>> superseded;
    {
        std::lock_guard guard(lock_);
        std::erase_if(observations_, [&](const auto& entry) {
            if (entry.second->bindingId != bindingId) {
                return false;
            }
            superseded.push_back(entry.second);
            return true;
        });
        observations_.emplace(state->observationId, state);
    }
    cancelAll(superseded);
    return ResponseObservationStarted{state->observationId,
                                      state->registration ? "ax-observer" : "bounded-polling",
                                      baselineFingerprint.has_value()};
}

std::shared_ptr<AXObservation>
ResponseObserver::registerFor(const std::shared_ptr<State>& state,
                              const ResolvedDesktopProfile& resolution, const BoundTarget& target,
                              const std::optional<AXElementHandle>& assistant) {
    std::vector<AXElementHandle> elements{target.window, resolution.input};
    if (assistant) {
        elements.push_back(*assistant);
    }
    std::weak_ptr<State> weakState = state;
    std::weak_ptr<AccessibilityBackend> weakBackend = backend_;
    const AXElementHandle composer = resolution.input;
    auto handler = [weakState, weakBackend, composer](const AXElementHandle& element,
                                                      const std::string& notification) {
        if (auto alive = weakState.lock()) {
            alive->markDirty();
        }
        if (element != composer || notification != kAXValueChangedNotification) {
            return;
        }
        auto backend = weakBackend.lock();
        if (!backend) {
            return;
        }
        std::optional<std::string> value;
        try {
            value = backend->snapshot(composer, true).value;
        } catch (const HelperProtocolError&) {
            return; // the next real read sees whatever happened to the composer
        }
        auto alive = weakState.lock();
        if (value && alive) {
            alive->noteComposerValue(value);
        }
    };
    try {
        return backend_->observe(target.pid, elements, observedNotifications(), handler);
    } catch (const HelperProtocolError& error) {
        if (error.code() == HelperErrorCode::actionUnsupported) {
            return nullptr; // the application refuses notifications: polling alone
        }
        throw;
    }
}

LatestResponseResult ResponseObserver::latest(const std::string& observationId,
                                              const std::string& bindingId,
                                              const std::string& resolutionId,
                                              const std::string& turnToken) {
    const std::shared_ptr<State> state = find(observationId, bindingId, resolutionId, turnToken);
    const TimePoint at = now_();
    const auto withStatus = [at](const char* status) {
        return LatestResponseResult{status, std::nullopt, std::nullopt, at};
    };
    if (!(at < state->expiresAt)) {
        removeObservation(observationId);
        throw HelperProtocolError(HelperErrorCode::responseTimeout,
                                  "Response observation timed out.");
    }
    if (!state->shouldRead(at)) {
        return withStatus("pending");
    }
    const auto [resolution, target] = resolutions_->validated(resolutionId, bindingId);
    if (state->interfered()) {
        removeObservation(observationId);
        return withStatus("interfered");
    }
    const std::optional<std::string> composer = backend_->snapshot(resolution.input, true).value;
    if (composer && !composer->empty() && composer != state->composerBaseline) {
        removeObservation(observationId);
        return withStatus("interfered");
    }
    std::optional<std::string> text;
    try {
        text = resolutions_->resolveAssistant(resolution, target, true).second.value;
    } catch (const HelperProtocolError& error) {
        if (!isLocatorNotFound(error)) {
            throw;
        }
        return withStatus("pending");
    }
    if (!text || text->empty() || text->size() > HelperProtocolLimits::maximumResponseUTF8Bytes) {
        return withStatus("pending");
    }
    std::string fingerprint = Redaction::contentFingerprint(*text);
    if (state->baselineFingerprint == fingerprint) {
        return withStatus("pending"); // the previous answer is still displayed
    }
    const bool stable = state->update(fingerprint, at);
    if (stable) {
        removeObservation(observationId);
    }
    return LatestResponseResult{stable ? "complete" : "streaming", std::move(text),
                                std::move(fingerprint), at};
}

void ResponseObserver::remove(const std::string& bindingId) {
    std::vector<std::shared_ptr<State>> removed;
    {
        std::lock_guard guard(lock_);
        std::erase_if(observations_, [&](const auto& entry) {
            if (entry.second->bindingId != bindingId) {
                return false;
            }
            removed.push_back(entry.second);
            return true;
        });
    }
    cancelAll(removed);
}

void ResponseObserver::shutdown() {
    std::vector<std::shared_ptr<State>> removed;
    {
        std::lock_guard guard(lock_);
        for (auto& entry : observations_) {
            removed.push_back(std::move(entry.second));
        }
        observations_.clear();
    }
    cancelAll(removed);
}

std::size_t ResponseObserver::observationCount() const {
    std::lock_guard guard(lock_);
    return observations_.size();
}

std::shared_ptr<ResponseObserver::State>
ResponseObserver::find(const std::string& observationId, const std::string& bindingId,
                       const std::string& resolutionId, const std::string& turnToken) const {
    std::lock_guard guard(lock_);
    const auto found = observations_.find(observationId);
    // A state asked for with the wrong companions stays in place for its rightful reader.
    if (found == observations_.end() || found->second->bindingId != bindingId ||
        found->second->resolutionId != resolutionId || found->second->turnToken != turnToken) {
        throw HelperProtocolError(HelperErrorCode::observationNotFound,
                                  "Response observation is unknown.");
    }
    return found->second;
}

void ResponseObserver::removeObservation(const std::string& observationId) {
    std::shared_ptr<State> removed;
    {
        std::lock_guard guard(lock_);
        const auto found = observations_.find(observationId);
        if (found == observations_.end()) {
            return;
        }
        removed = std::move(found->second);
        observations_.erase(found);
    }
    cancelAll({removed});
}

void ResponseObserver::cancelAll(const std::vector<std::shared_ptr<State>>& states) {
    for (const auto& state : states) {
        if (state->registration) {
            state->registration->cancel();
        }
    }
}

} // namespace bix::ax
