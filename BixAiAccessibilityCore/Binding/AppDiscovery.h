#pragma once

#include "Access/AccessibilityBackend.h"
#include "Platform/Clock.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bix::ax {

// How long a listed application can be named by its candidate identifier.
inline constexpr std::chrono::seconds kAppCandidateLifetime{120};
// At most this many applications are listed; the rest are left out.
inline constexpr std::size_t kMaxAppCandidates = 64;
inline constexpr std::string_view kAppCandidatePrefix = "app_";

// The table entry behind one candidate identifier: the application as it was when listed.
struct DiscoveredApplication {
    std::string candidateId;
    RunningApplicationDescriptor descriptor;
    TimePoint expiresAt; // listing time plus kAppCandidateLifetime

    friend bool operator==(const DiscoveredApplication&, const DiscoveredApplication&) = default;
};

// One listed application as the host sees it. Compared field by field.
struct AppCandidate {
    std::string candidateId;
    std::string displayName; // safe display name
    std::string bundleId;
    bool isActive = false;  // the application was the active one when listed
    bool isRunning = false; // the application was not terminated when listed

    friend bool operator==(const AppCandidate&, const AppCandidate&) = default;
};

// Lists the ordinary applications the user runs, names each by a short-lived random candidate
// identifier, and turns an identifier chosen by the host back into the application it named,
// provided the application is still the same process running the same bundle. Process identifiers
// never leave this class towards the host.
//
// Owns the candidate table. `lock_` guards `candidates_` and is held only for the lookup and the
// wholesale replacement, never across a backend or clock call. Invariants: the table holds exactly
// the entries of the latest listing (or nothing after clear()); identifiers are never reused.
class AppDiscovery {
public:
    AppDiscovery(std::shared_ptr<AccessibilityBackend> backend, Clock now);
    AppDiscovery(const AppDiscovery&) = delete;
    AppDiscovery& operator=(const AppDiscovery&) = delete;

    // Lists the live applications with a valid bundle identifier: active ones first, then by
    // display name (locale-aware, case-insensitive), ties in the backend's order; at most 64.
    // Replaces the whole candidate table. Never fails.
    std::vector<AppCandidate> listCandidates();

    // The listing-time entry of a candidate of the latest listing, after proving that it has not
    // expired and that its process still runs the listed bundle. Throws HelperProtocolError.
    DiscoveredApplication resolve(const std::string& candidateId);

    // Forgets every candidate.
    void clear();

private:
    std::shared_ptr<AccessibilityBackend> backend_;
    Clock now_;
    std::mutex lock_; // guards candidates_
    std::unordered_map<std::string, DiscoveredApplication> candidates_;
};

// Orders applications for presentation: active before inactive, then ascending display name by
// the default locale's collation at secondary strength (letter case ignored), stable otherwise.
// Exposed for tests of the ordering rule.
void sortForPresentation(std::vector<RunningApplicationDescriptor>& applications);

} // namespace bix::ax
