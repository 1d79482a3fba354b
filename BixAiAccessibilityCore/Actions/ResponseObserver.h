#pragma once

#include "Access/AccessibilityBackend.h"
#include "Platform/Clock.h"
#include "Profiles/ProfileResolutionStore.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bix::ax {

inline constexpr std::string_view kObservationPrefix = "observation_";

// The answer to starting an observation.
struct ResponseObservationStarted {
    std::string observationId;
    std::string mode; // "ax-observer" with a live notification registration, else "bounded-polling"
    bool baselinePresent = false;

    friend bool operator==(const ResponseObservationStarted&,
                           const ResponseObservationStarted&) = default;
};

// One read of an observation: "pending", "streaming", "complete" or "interfered"; text and its
// content fingerprint only with "streaming" and "complete".
struct LatestResponseResult {
    std::string status;
    std::optional<std::string> text;
    std::optional<std::string> contentFingerprint;
    TimePoint observedAt;

    friend bool operator==(const LatestResponseResult&, const LatestResponseResult&) = default;
};

// Follows the assistant's answer of one conversation turn until its text stops changing. The host
// polls; each real read re-proves the resolution and takes a fresh snapshot of the assistant
// message, so notifications only mark an observation as worth reading again and never carry
// content. Where the application refuses notifications the same rules run on polling alone.
//
// `lock_` guards `observations_` only and is never held while calling the backend, the resolution
// store or a registration's cancel(); each observation's own lock guards its progress and is
// never held together with `lock_`. Notification handlers run on the main run-loop thread and
// hold their observation and the backend weakly, so a removed observation is never kept alive or
// touched by a late notification.
class ResponseObserver {
public:
    ResponseObserver(std::shared_ptr<AccessibilityBackend> backend,
                     std::shared_ptr<ProfileResolutionStore> resolutions, Clock now);
    ~ResponseObserver(); // cancels every registration
    ResponseObserver(const ResponseObserver&) = delete;
    ResponseObserver& operator=(const ResponseObserver&) = delete;

    // Starts following the answer of one turn, replacing every earlier observation of the
    // binding. stableMs 500...10000, maximumWaitMs 5000...600000.
    ResponseObservationStarted observe(const std::string& bindingId,
                                       const std::string& resolutionId,
                                       const std::string& turnToken, std::int64_t stableMs,
                                       std::int64_t maximumWaitMs);
    // Reads the observation once; the identifiers must all be the ones it was started with.
    LatestResponseResult latest(const std::string& observationId, const std::string& bindingId,
                                const std::string& resolutionId, const std::string& turnToken);
    // Ends every observation of the binding and cancels their registrations.
    void remove(const std::string& bindingId);
    // Ends every observation.
    void shutdown();

    // Live observations (tests and diagnostics).
    std::size_t observationCount() const;

    struct State; // one live observation

private:
    std::shared_ptr<State> find(const std::string& observationId, const std::string& bindingId,
                                const std::string& resolutionId,
                                const std::string& turnToken) const;
    void removeObservation(const std::string& observationId);
    static void cancelAll(const std::vector<std::shared_ptr<State>>& states);
    std::shared_ptr<AXObservation> registerFor(const std::shared_ptr<State>& state,
                                               const ResolvedDesktopProfile& resolution,
                                               const BoundTarget& target,
                                               const std::optional<AXElementHandle>& assistant);

    std::shared_ptr<AccessibilityBackend> backend_;
    std::shared_ptr<ProfileResolutionStore> resolutions_;
    Clock now_;
    mutable std::mutex lock_; // guards observations_
    std::unordered_map<std::string, std::shared_ptr<State>> observations_;
};

} // namespace bix::ax
