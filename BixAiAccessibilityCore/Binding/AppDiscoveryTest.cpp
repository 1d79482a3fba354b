#include "Binding/AppDiscovery.h"

#include "Binding/BindingTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>

// GCC 12 with the sanitizers at -O1 reports a false -Wmaybe-uninitialized inside libstdc++'s regex
// compiler (GCC bug 105562), in code instantiated from this header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
#include <string>
#include <vector>

namespace bix::ax {
namespace {

using binding_test::applicationSpec;
using binding_test::BindingWorld;
using std::chrono::milliseconds;
using std::chrono::seconds;
using ::testing::ElementsAre;

std::vector<std::string> namesOf(const std::vector<AppCandidate>& candidates) {
    std::vector<std::string> names;
    for (const auto& candidate : candidates) {
        names.push_back(candidate.displayName);
    }
    return names;
}

RunningApplicationDescriptor described(std::int32_t pid, std::string name, bool active = false) {
    return RunningApplicationDescriptor{.pid = pid,
                                        .bundleId = "com.example.app" + std::to_string(pid),
                                        .displayName = std::move(name),
                                        .isActive = active,
                                        .isTerminated = false};
}

TEST(AppDiscovery, OrdersActiveFirstThenByNameIgnoringLetterCase) {
    struct Case {
        const char* scenario;
        std::vector<RunningApplicationDescriptor> backendOrder;
        std::vector<std::int32_t> expectedPids;
    };
    const std::vector<Case> cases = {
        {"active first, then case-insensitive names",
         {described(1, "beta"), described(2, "Alpha"), described(3, "Zed", true)},
         {3, 2, 1}},
        {"names equal but for case keep the backend's order",
         {described(1, "notes"), described(2, "Notes"), described(3, "NOTES"),
          described(4, "Mail")},
         {4, 1, 2, 3}},
        {"identical names keep the backend's order",
         {described(7, "Editor"), described(5, "Editor"), described(6, "Editor")},
         {7, 5, 6}},
        {"locale order, not byte order: accents and case do not split the alphabet",
         {described(1, "Zebra"),
          described(2, "\xC3\x89"
                       "clair"),
          described(3, "eagle")},
         {3, 2, 1}},
        {"several active applications are ordered by name among themselves",
         {described(1, "b", true), described(2, "c"), described(3, "A", true)},
         {3, 1, 2}},
    };
    for (const Case& c : cases) {
        std::vector<RunningApplicationDescriptor> applications = c.backendOrder;
        sortForPresentation(applications);
        std::vector<std::int32_t> pids;
        for (const auto& application : applications) {
            pids.push_back(application.pid);
        }
        EXPECT_EQ(pids, c.expectedPids) << c.scenario;
    }
}

TEST(AppDiscovery, ManyNamesEqualButForCaseKeepTheBackendsOrder) {
    // Long enough that an unstable sort would reorder them.
    std::vector<RunningApplicationDescriptor> applications;
    std::vector<std::int32_t> expected;
    const char* spellings[] = {"Notes", "notes", "NOTES", "nOtes"};
    for (std::int32_t pid = 1; pid <= 48; ++pid) {
        applications.push_back(described(pid, spellings[pid % 4], pid % 5 == 0));
    }
    for (std::int32_t pid = 5; pid <= 48; pid += 5) {
        expected.push_back(pid);
    }
    for (std::int32_t pid = 1; pid <= 48; ++pid) {
        if (pid % 5 != 0) {
            expected.push_back(pid);
        }
    }

    sortForPresentation(applications);

    std::vector<std::int32_t> pids;
    for (const auto& application : applications) {
        pids.push_back(application.pid);
    }
    EXPECT_EQ(pids, expected);
}

TEST(AppDiscovery, ListingDescribesEachApplicationWithAFreshCandidateId) {
    BindingWorld world;
    world.desktop().addApplication(applicationSpec(101, "com.example.beta", "beta"));
    world.desktop().addApplication(applicationSpec(102, "com.example.alpha", "Alpha"));
    world.desktop().addApplication(applicationSpec(103, "com.example.zed", "Zed", true));

    const std::vector<AppCandidate> candidates = world.discovery->listCandidates();

    ASSERT_EQ(candidates.size(), 3u);
    EXPECT_THAT(namesOf(candidates), ElementsAre("Zed", "Alpha", "beta"));
    const std::regex format("app_[0-9A-F]{32}");
    std::set<std::string> identifiers;
    for (const AppCandidate& candidate : candidates) {
        EXPECT_TRUE(std::regex_match(candidate.candidateId, format)) << candidate.candidateId;
        EXPECT_TRUE(candidate.isRunning);
        identifiers.insert(candidate.candidateId);
    }
    EXPECT_EQ(identifiers.size(), 3u);
    EXPECT_EQ(candidates[0],
              (AppCandidate{candidates[0].candidateId, "Zed", "com.example.zed", true, true}));
    EXPECT_EQ(candidates[2],
              (AppCandidate{candidates[2].candidateId, "beta", "com.example.beta", false, true}));

    // A new listing never hands out an identifier again.
    for (const AppCandidate& candidate : world.discovery->listCandidates()) {
        EXPECT_FALSE(identifiers.contains(candidate.candidateId));
    }
}

TEST(AppDiscovery, SeventyApplicationsYieldTheActiveOnesAndTheAlphabeticallyFirstInactiveOnes) {
    BindingWorld world;
    // Added in reverse name order, so the cut cannot simply follow the backend's order.
    for (int index = 69; index >= 0; --index) {
        char name[16];
        std::snprintf(name, sizeof name, "App %02d", index);
        const bool active = index == 68 || index == 69;
        world.desktop().addApplication(applicationSpec(
            1000 + index, "com.example.app" + std::to_string(index), name, active, 0));
    }

    const std::vector<AppCandidate> candidates = world.discovery->listCandidates();

    ASSERT_EQ(candidates.size(), kMaxAppCandidates);
    EXPECT_EQ(candidates[0].displayName, "App 68");
    EXPECT_EQ(candidates[1].displayName, "App 69");
    EXPECT_EQ(candidates[2].displayName, "App 00");
    EXPECT_EQ(candidates[63].displayName, "App 61");
    // Applications past the cut are not in the table either.
    for (const AppCandidate& candidate : candidates) {
        EXPECT_NO_THROW(world.discovery->resolve(candidate.candidateId));
    }
}

TEST(AppDiscovery, ListingSkipsTerminatedApplicationsAndMalformedBundlesEvenFromALaxBackend) {
    BindingWorld world;
    world.backend->overrideRunningApplications({
        described(1, "Kept"),
        RunningApplicationDescriptor{2, "com.example.gone", "Gone", false, true},
        RunningApplicationDescriptor{3, "nodots", "No dots", false, false},
        RunningApplicationDescriptor{4, "com.example.app\n", "Line feed", false, false},
        RunningApplicationDescriptor{5, "", "Empty", false, false},
    });

    EXPECT_THAT(namesOf(world.discovery->listCandidates()), ElementsAre("Kept"));
}

TEST(AppDiscovery, NoQualifyingApplicationEmptiesTheTable) {
    BindingWorld world;
    world.desktop().addApplication(applicationSpec(101, "com.example.notes", "Notes"));
    const std::string earlier = world.discovery->listCandidates().at(0).candidateId;
    world.desktop().quitApplication(101);

    EXPECT_TRUE(world.discovery->listCandidates().empty());
    EXPECT_THAT([&] { world.discovery->resolve(earlier); },
                FailsWith(HelperErrorCode::candidateNotFound, "App candidate is unknown."));
}

TEST(AppDiscovery, SecondListingForgetsEveryEarlierIdentifier) {
    BindingWorld world;
    world.desktop().addApplication(applicationSpec(101, "com.example.notes", "Notes"));
    const std::string first = world.discovery->listCandidates().at(0).candidateId;
    const std::string second = world.discovery->listCandidates().at(0).candidateId;

    EXPECT_THAT([&] { world.discovery->resolve(first); },
                FailsWith(HelperErrorCode::candidateNotFound, "App candidate is unknown."));
    EXPECT_EQ(world.discovery->resolve(second).descriptor.pid, 101);
    EXPECT_THAT([&] { world.discovery->resolve("app_never-listed"); },
                FailsWith(HelperErrorCode::candidateNotFound, "App candidate is unknown."));
}

TEST(AppDiscovery, CandidateExpiresAtExactlyOneHundredTwentySeconds) {
    BindingWorld world;
    world.desktop().addApplication(applicationSpec(101, "com.example.notes", "Notes"));
    const std::string candidateId = world.discovery->listCandidates().at(0).candidateId;

    world.clock.advance(milliseconds(119'900));
    EXPECT_EQ(world.discovery->resolve(candidateId).candidateId, candidateId);
    EXPECT_EQ(world.discovery->resolve(candidateId).candidateId, candidateId);

    world.clock.advance(milliseconds(100));
    EXPECT_THAT([&] { world.discovery->resolve(candidateId); },
                FailsWith(HelperErrorCode::candidateExpired, "App candidate expired."));
    world.clock.advance(seconds(3600));
    EXPECT_THAT([&] { world.discovery->resolve(candidateId); },
                FailsWith(HelperErrorCode::candidateExpired, "App candidate expired."));
}

TEST(AppDiscovery, ResolveReturnsTheListingTimeEntry) {
    BindingWorld world;
    world.desktop().addApplication(applicationSpec(101, "com.example.notes", "Notes", true));
    const TimePoint listedAt = world.clock.now();
    const std::string candidateId = world.discovery->listCandidates().at(0).candidateId;
    world.desktop().setLocalizedName(101, "Renamed");
    world.desktop().setApplicationActive(101, false);
    world.clock.advance(seconds(5));

    const DiscoveredApplication entry = world.discovery->resolve(candidateId);

    EXPECT_EQ(entry, (DiscoveredApplication{candidateId,
                                            RunningApplicationDescriptor{101, "com.example.notes",
                                                                         "Notes", true, false},
                                            listedAt + seconds(120)}));
}

TEST(AppDiscovery, ResolveRefusesAnApplicationThatIsNoLongerTheListedOne) {
    struct Case {
        const char* scenario;
        std::function<void(SimulatedDesktop&)> change;
    };
    const std::vector<Case> cases = {
        {"quit, pid not reused", [](SimulatedDesktop& d) { d.quitApplication(101); }},
        {"quit, pid reused by another bundle",
         [](SimulatedDesktop& d) {
             d.quitApplication(101);
             d.addApplication(applicationSpec(101, "com.example.other", "Notes"));
         }},
        {"relaunched under a new pid",
         [](SimulatedDesktop& d) { d.relaunchApplication(101, 202); }},
        {"terminated but still listed", [](SimulatedDesktop& d) { d.setTerminated(101, true); }},
    };
    for (const Case& c : cases) {
        BindingWorld world;
        world.desktop().addApplication(applicationSpec(101, "com.example.notes", "Notes"));
        world.desktop().addApplication(applicationSpec(102, "com.example.mail", "Mail"));
        const std::vector<AppCandidate> candidates = world.discovery->listCandidates();
        c.change(world.desktop());

        EXPECT_THAT([&] { world.discovery->resolve(candidates.at(1).candidateId); },
                    FailsWith(HelperErrorCode::targetStale, "The selected app changed."))
            << c.scenario;
        // The failure changes nothing in the table.
        EXPECT_EQ(world.discovery->resolve(candidates.at(0).candidateId).descriptor.pid, 102)
            << c.scenario;
    }
}

TEST(AppDiscovery, ClearForgetsEveryCandidate) {
    BindingWorld world;
    world.desktop().addApplication(applicationSpec(101, "com.example.notes", "Notes"));
    const std::string candidateId = world.discovery->listCandidates().at(0).candidateId;

    world.discovery->clear();

    EXPECT_THAT([&] { world.discovery->resolve(candidateId); },
                FailsWith(HelperErrorCode::candidateNotFound, "App candidate is unknown."));
}

} // namespace
} // namespace bix::ax
