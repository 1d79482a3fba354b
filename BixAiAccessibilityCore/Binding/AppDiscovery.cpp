#include "Binding/AppDiscovery.h"

#include "Platform/LocalizedTextOrder.h"
#include "Platform/Uuid.h"
#include "Protocol/HelperError.h"
#include "Protocol/Redaction.h"
#include "Protocol/Validation.h"

#include <algorithm>
#include <utility>

namespace bix::ax {

namespace {

std::string mintCandidateId() {
    return std::string(kAppCandidatePrefix) + randomUuidHexDigits();
}

// The backend already filters; the same test runs again here so a lax backend cannot put a
// terminated process or a malformed bundle identifier in front of the host.
bool qualifies(const RunningApplicationDescriptor& application) {
    return !application.isTerminated &&
           Validation::matches(Validation::Pattern::bundle, application.bundleId);
}

} // namespace

void sortForPresentation(std::vector<RunningApplicationDescriptor>& applications) {
    LocalizedTextOrder order;
    std::stable_sort(
        applications.begin(), applications.end(),
        [&order](const RunningApplicationDescriptor& a, const RunningApplicationDescriptor& b) {
            if (a.isActive != b.isActive) {
                return a.isActive;
            }
            return order.compare(a.displayName, b.displayName) < 0;
        });
}

AppDiscovery::AppDiscovery(std::shared_ptr<AccessibilityBackend> backend, Clock now)
    : backend_(std::move(backend)), now_(std::move(now)) {}

std::vector<AppCandidate> AppDiscovery::listCandidates() {
    const TimePoint listedAt = now_();
    std::vector<RunningApplicationDescriptor> applications = backend_->runningApplications();
    std::erase_if(applications, [](const auto& application) { return !qualifies(application); });
    sortForPresentation(applications);
    if (applications.size() > kMaxAppCandidates) {
        applications.resize(kMaxAppCandidates);
    }

    std::unordered_map<std::string, DiscoveredApplication> table;
    std::vector<AppCandidate> candidates;
    candidates.reserve(applications.size());
    for (auto& application : applications) {
        std::string candidateId = mintCandidateId();
        candidates.push_back(AppCandidate{
            .candidateId = candidateId,
            .displayName = Redaction::safeDisplayName(application.displayName),
            .bundleId = application.bundleId,
            .isActive = application.isActive,
            .isRunning = !application.isTerminated,
        });
        table.emplace(candidateId, DiscoveredApplication{
                                       .candidateId = candidateId,
                                       .descriptor = std::move(application),
                                       .expiresAt = listedAt + kAppCandidateLifetime,
                                   });
    }

    {
        std::lock_guard guard(lock_);
        candidates_ = std::move(table);
    }
    return candidates;
}

DiscoveredApplication AppDiscovery::resolve(const std::string& candidateId) {
    DiscoveredApplication entry;
    {
        std::lock_guard guard(lock_);
        auto found = candidates_.find(candidateId);
        if (found == candidates_.end()) {
            throw HelperProtocolError(HelperErrorCode::candidateNotFound,
                                      "App candidate is unknown.");
        }
        entry = found->second;
    }
    // Expired at exactly expiresAt: the identifier is usable only strictly before it.
    if (!(entry.expiresAt > now_())) {
        throw HelperProtocolError(HelperErrorCode::candidateExpired, "App candidate expired.");
    }
    // The pid alone proves nothing: it may have been reused by another application since the
    // listing, so the bundle must still match as well.
    auto live = backend_->application(entry.descriptor.pid);
    if (!live || live->isTerminated || live->bundleId != entry.descriptor.bundleId) {
        throw HelperProtocolError(HelperErrorCode::targetStale, "The selected app changed.");
    }
    return entry;
}

void AppDiscovery::clear() {
    std::lock_guard guard(lock_);
    candidates_.clear();
}

} // namespace bix::ax
