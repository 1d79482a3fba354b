#include "Binding/BoundTargetStore.h"

#include "Binding/BindingTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <chrono>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
// GCC 12 reports a false -Wmaybe-uninitialized inside std::regex under the sanitizers at -O1
// (GCC bug 105562).
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
#include <stdexcept>
#include <string>
#include <vector>

namespace bix::ax {
namespace {

using binding_test::applicationSpec;
using binding_test::BindingWorld;
using binding_test::kOtherProfileHash;
using binding_test::kProfileHash;
using binding_test::windowSpec;
using std::chrono::seconds;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::int32_t kChatPid = 501;
const std::string kChatBundle = "com.example.chat";

// A world with a chat application holding two windows and a mail application holding one.
struct ChatWorld : BindingWorld {
    ChatWorld() {
        desktop().addApplication(applicationSpec(kChatPid, kChatBundle, "Chat", true, 2));
        desktop().addApplication(applicationSpec(502, "com.example.mail", "Mail"));
    }
    SimulatedElementId chatWindow(std::size_t index) {
        return desktop().windowsOf(kChatPid)[index];
    }
    // The second binding step for a candidate of the chat application.
    BindTargetResult chooseWindow(const AppCandidate& candidate,
                                  const std::string& windowCandidateId) {
        return targets->bind(candidate.candidateId, kChatBundle, kProfileHash, windowCandidateId);
    }
};

TEST(BoundTargetStore, FirstStepOffersEveryRealWindowEvenWhenThereIsOnlyOne) {
    BindingWorld world;
    auto spec = applicationSpec(601, "com.example.single", "Single", false, 0);
    spec.windows.push_back(windowSpec("Only").set("AXFocused", true));
    world.desktop().addApplication(spec);

    const AppCandidate candidate = world.candidateFor("com.example.single");
    const BindTargetResult result =
        world.targets->bind(candidate.candidateId, candidate.bundleId, kProfileHash, std::nullopt);

    ASSERT_TRUE(result.isWindowSelectionRequired());
    ASSERT_EQ(result.windows().size(), 1u);
    const WindowCandidate& window = result.windows()[0];
    EXPECT_TRUE(std::regex_match(window.windowCandidateId, std::regex("window_[0-9A-F]{32}")));
    EXPECT_EQ(window, (WindowCandidate{window.windowCandidateId, "Window 1", "AXWindow",
                                       "AXStandardWindow", true}));
}

TEST(BoundTargetStore, WindowLabelsCountEveryListedWindowIncludingOnesNotOffered) {
    BindingWorld world;
    auto spec = applicationSpec(601, "com.example.sheets", "Sheets", false, 0);
    spec.windows.push_back(SimulatedElementSpec::withRole("AXSheet"));
    spec.windows.push_back(windowSpec("Real"));
    auto foreign = windowSpec("Embedded");
    foreign.pid = 999; // listed by the application but owned by another process
    spec.windows.push_back(foreign);
    auto plain = SimulatedElementSpec::withRole("AXWindow"); // no subrole
    spec.windows.push_back(plain);
    world.desktop().addApplication(spec);

    const std::vector<WindowCandidate> windows =
        world.listWindows(world.candidateFor("com.example.sheets"));

    ASSERT_EQ(windows.size(), 2u);
    EXPECT_EQ(windows[0].displayLabel, "Window 2");
    EXPECT_EQ(windows[0].subrole, "AXStandardWindow");
    EXPECT_EQ(windows[1].displayLabel, "Window 4");
    EXPECT_EQ(windows[1].subrole, std::nullopt);
}

TEST(BoundTargetStore, FirstStepRefusesApplicationsWithoutUsableWindows) {
    struct Case {
        const char* scenario;
        std::vector<SimulatedElementSpec> windows;
        const char* message;
    };
    auto foreign = windowSpec("Foreign");
    foreign.pid = 999;
    const std::vector<Case> cases = {
        {"no window at all", {}, "The selected app has no accessible window."},
        {"only a sheet and a window of another process",
         {SimulatedElementSpec::withRole("AXSheet"), foreign},
         "No safe accessible window was found."},
    };
    for (const Case& c : cases) {
        BindingWorld world;
        auto spec = applicationSpec(601, "com.example.empty", "Empty", false, 0);
        spec.windows = c.windows;
        world.desktop().addApplication(spec);
        const AppCandidate candidate = world.candidateFor("com.example.empty");

        EXPECT_THAT([&] { world.listWindows(candidate); },
                    FailsWith(HelperErrorCode::locatorNotFound, c.message))
            << c.scenario;
    }
}

TEST(BoundTargetStore, BindChecksFieldsThenTrustThenCandidateThenBundle) {
    struct Case {
        const char* scenario;
        std::function<void(ChatWorld&, AppCandidate&, std::string&, std::string&)> arrange;
        HelperErrorCode code;
        const char* message;
        int trustChecks;
    };
    const std::vector<Case> cases = {
        {"bundle without a dot",
         [](ChatWorld&, AppCandidate&, std::string& bundle, std::string&) { bundle = "chat"; },
         HelperErrorCode::invalidRequest, "Target binding fields are invalid.", 0},
        {"upper-case profile hash",
         [](ChatWorld&, AppCandidate&, std::string&, std::string& hash) {
             hash = std::string(64, 'A');
         },
         HelperErrorCode::invalidRequest, "Target binding fields are invalid.", 0},
        {"profile hash one digit short",
         [](ChatWorld&, AppCandidate&, std::string&, std::string& hash) { hash.pop_back(); },
         HelperErrorCode::invalidRequest, "Target binding fields are invalid.", 0},
        {"untrusted, even with an unknown candidate",
         [](ChatWorld& w, AppCandidate& c, std::string&, std::string&) {
             w.desktop().setTrusted(false);
             c.candidateId = "app_unknown";
         },
         HelperErrorCode::permissionDenied, "Accessibility permission is unavailable.", 1},
        {"unknown candidate",
         [](ChatWorld&, AppCandidate& c, std::string&, std::string&) {
             c.candidateId = "app_unknown";
         },
         HelperErrorCode::candidateNotFound, "App candidate is unknown.", 1},
        {"candidate expired",
         [](ChatWorld& w, AppCandidate&, std::string&, std::string&) {
             w.clock.advance(seconds(120));
         },
         HelperErrorCode::candidateExpired, "App candidate expired.", 1},
        {"another bundle expected",
         [](ChatWorld&, AppCandidate&, std::string& bundle, std::string&) {
             bundle = "com.example.mail";
         },
         HelperErrorCode::targetStale, "The selected bundle does not match.", 1},
    };
    for (const Case& c : cases) {
        ChatWorld world;
        AppCandidate candidate = world.candidateFor(kChatBundle);
        std::string bundle = kChatBundle;
        std::string hash = kProfileHash;
        c.arrange(world, candidate, bundle, hash);

        for (const std::optional<std::string>& window :
             {std::optional<std::string>(), std::optional<std::string>("window_x")}) {
            EXPECT_THAT([&] { world.targets->bind(candidate.candidateId, bundle, hash, window); },
                        FailsWith(c.code, c.message))
                << c.scenario;
        }
        EXPECT_EQ(world.backend->trustChecks(), 2 * c.trustChecks) << c.scenario;
        EXPECT_EQ(world.backend->snapshots(), 0) << c.scenario;
    }
}

TEST(BoundTargetStore, SecondStepBindsTheChosenWindow) {
    ChatWorld world;
    const AppCandidate candidate = world.candidateFor(kChatBundle);
    const std::vector<WindowCandidate> windows = world.listWindows(candidate, kOtherProfileHash);
    ASSERT_EQ(windows.size(), 2u);

    const BindTargetResult result = world.targets->bind(candidate.candidateId, kChatBundle,
                                                        kProfileHash, windows[1].windowCandidateId);

    ASSERT_TRUE(result.isBound());
    const BoundTargetSummary& summary = result.summary();
    EXPECT_TRUE(std::regex_match(summary.bindingId, std::regex("binding_[0-9A-F]{32}")));
    EXPECT_TRUE(std::regex_match(summary.processRef, std::regex("process_[0-9A-F]{32}")));
    EXPECT_TRUE(std::regex_match(summary.windowRef, std::regex("windowref_[0-9A-F]{32}")));
    EXPECT_EQ(summary.displayName, "Chat");
    EXPECT_EQ(summary.bundleId, kChatBundle);
    EXPECT_EQ(summary.profileHash, kProfileHash); // the second call's hash counts

    const BoundTarget target = world.targets->validated(summary.bindingId);
    EXPECT_EQ(target.summary(), summary);
    EXPECT_EQ(target.pid, kChatPid);
    const AXNodeSnapshot window = world.simulated->snapshot(target.window, false);
    EXPECT_EQ(window.title, "Chat 2");
    EXPECT_EQ(summary.windowFingerprint, accessibilityWindowFingerprint(window));
    EXPECT_THAT(world.recorder.dropped(), IsEmpty());

    // The pending selection is used up by the binding.
    EXPECT_THAT([&] { world.chooseWindow(candidate, windows[0].windowCandidateId); },
                FailsWith(HelperErrorCode::candidateNotFound, "Window selection is unknown."));
}

TEST(BoundTargetStore, LatestWindowListingDiscardsEarlierSelections) {
    ChatWorld world;
    const std::vector<AppCandidate> candidates = world.discovery->listCandidates();
    const AppCandidate& chat = candidates.at(0);
    const AppCandidate& mail = candidates.at(1);
    const std::vector<WindowCandidate> chatWindows = world.listWindows(chat);
    world.listWindows(mail);

    EXPECT_THAT(
        [&] {
            world.targets->bind(chat.candidateId, chat.bundleId, kProfileHash,
                                chatWindows[0].windowCandidateId);
        },
        FailsWith(HelperErrorCode::candidateNotFound, "Window selection is unknown."));
}

TEST(BoundTargetStore, SecondStepWithoutFirstStepIsUnknown) {
    ChatWorld world;
    const AppCandidate candidate = world.candidateFor(kChatBundle);
    EXPECT_THAT([&] { world.chooseWindow(candidate, std::string("window_0")); },
                FailsWith(HelperErrorCode::candidateNotFound, "Window selection is unknown."));
}

TEST(BoundTargetStore, SecondStepAfterTheAppCandidateExpiredFailsOnTheCandidate) {
    ChatWorld world;
    const AppCandidate candidate = world.candidateFor(kChatBundle);
    world.clock.advance(seconds(60));
    const std::vector<WindowCandidate> windows = world.listWindows(candidate);
    world.clock.advance(seconds(61));

    EXPECT_THAT([&] { world.chooseWindow(candidate, windows[0].windowCandidateId); },
                FailsWith(HelperErrorCode::candidateExpired, "App candidate expired."));
}

TEST(BoundTargetStore, SelectionThatExpiresWhileTheCandidateIsReprovenIsExpired) {
    ChatWorld world;
    const AppCandidate candidate = world.candidateFor(kChatBundle);
    const std::vector<WindowCandidate> windows = world.listWindows(candidate);
    world.clock.advance(seconds(119));
    // The candidate passes its expiry check; the clock then reaches the selection's expiry
    // before the store reads it.
    world.backend->onNextApplicationLookup([&] { world.clock.advance(seconds(1)); });

    EXPECT_THAT([&] { world.chooseWindow(candidate, windows[0].windowCandidateId); },
                FailsWith(HelperErrorCode::candidateExpired, "Window selection expired."));
}

TEST(BoundTargetStore, SecondStepRefusesWindowsThatNoLongerMatch) {
    ChatWorld world;
    const AppCandidate candidate = world.candidateFor(kChatBundle);
    const std::vector<WindowCandidate> windows = world.listWindows(candidate);

    EXPECT_THAT(
        [&] { world.chooseWindow(candidate, std::string("window_not_offered")); },
        FailsWith(HelperErrorCode::targetStale, "Window selection no longer matches the app."));

    // A window that now belongs to another process is no window of the app.
    world.desktop().setOwner(world.chatWindow(0), 999);
    EXPECT_THAT([&] { world.chooseWindow(candidate, windows[0].windowCandidateId); },
                FailsWith(HelperErrorCode::targetStale, "The selected window changed."));

    // A platform failure on the snapshot passes through and keeps the selection.
    world.desktop().injectError(world.chatWindow(1), AXOperation::copyAttribute,
                                ax::kCannotComplete, "AXRole");
    EXPECT_THAT([&] { world.chooseWindow(candidate, windows[1].windowCandidateId); },
                FailsWith(HelperErrorCode::actionFailed,
                          "The target app could not complete the AX operation."));
    world.desktop().clearInjectedErrors(world.chatWindow(1));
    EXPECT_TRUE(
        world.targets
            ->bind(candidate.candidateId, kChatBundle, kProfileHash, windows[1].windowCandidateId)
            .isBound());
}

TEST(BoundTargetStore, BindReplacesOldBindingAndNotifiesListeners) {
    ChatWorld world;
    const BoundTargetSummary first = world.bind(kChatBundle, 0);
    const BoundTargetSummary second = world.bind(kChatBundle, 1);

    EXPECT_THAT(world.recorder.dropped(), ElementsAre(first.bindingId));
    EXPECT_NE(first.bindingId, second.bindingId);
    EXPECT_NE(first.processRef, second.processRef);
    EXPECT_THAT([&] { world.targets->validated(first.bindingId); },
                FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."));
    EXPECT_EQ(world.targets->validated(second.bindingId).summary(), second);
}

// Changes that make the bound application or window stale, with the error validated() reports.
struct StaleCase {
    const char* scenario;
    std::function<void(ChatWorld&)> change;
    const char* message;
};

std::vector<StaleCase> staleForReading() {
    return {
        {"app quit", [](ChatWorld& w) { w.desktop().quitApplication(kChatPid); },
         "The selected app exited or changed."},
        {"pid reused by another bundle",
         [](ChatWorld& w) {
             w.desktop().quitApplication(kChatPid);
             w.desktop().addApplication(applicationSpec(kChatPid, "com.example.impostor", "Chat"));
         },
         "The selected app exited or changed."},
        {"relaunched under a new pid",
         [](ChatWorld& w) { w.desktop().relaunchApplication(kChatPid, 777); },
         "The selected app exited or changed."},
        {"terminated", [](ChatWorld& w) { w.desktop().setTerminated(kChatPid, true); },
         "The selected app exited or changed."},
        {"window closed", [](ChatWorld& w) { w.desktop().closeWindow(w.chatWindow(0)); },
         "The selected app or window changed."},
        {"window now owned by another process",
         [](ChatWorld& w) { w.desktop().setOwner(w.chatWindow(0), 999); },
         "The selected window changed."},
        {"window turned into a sheet",
         [](ChatWorld& w) {
             w.desktop().setAttribute(w.chatWindow(0), "AXRole", std::string("AXSheet"));
         },
         "The selected window changed."},
    };
}

TEST(BoundTargetStore, ValidatedDropsAStaleBindingOnceAndNotifiesListeners) {
    for (const StaleCase& c : staleForReading()) {
        ChatWorld world;
        const std::string bindingId = world.bind(kChatBundle).bindingId;
        c.change(world);

        EXPECT_THAT([&] { world.targets->validated(bindingId); },
                    FailsWith(HelperErrorCode::targetStale, c.message))
            << c.scenario;
        EXPECT_THAT(world.recorder.dropped(), ElementsAre(bindingId)) << c.scenario;
        EXPECT_THAT([&] { world.targets->validated(bindingId); },
                    FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."))
            << c.scenario;
        EXPECT_THAT([&] { world.targets->validatedForAction(bindingId); },
                    FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."))
            << c.scenario;
        EXPECT_EQ(world.recorder.dropped().size(), 1u) << c.scenario;
    }
}

TEST(BoundTargetStore, StaleCheckOfAReplacedBindingLeavesTheNewBindingAlone) {
    ChatWorld world;
    const std::string first = world.bind(kChatBundle).bindingId;
    std::string second;
    // While validated(first) runs without the lock, the mail window gets bound (replacing the
    // first binding) and the chat application quits, so the check finds the first one stale.
    world.backend->onNextApplicationLookup([&] {
        second = world.bind("com.example.mail").bindingId;
        world.desktop().quitApplication(kChatPid);
    });

    EXPECT_THAT([&] { world.targets->validated(first); },
                FailsWith(HelperErrorCode::targetStale, "The selected app exited or changed."));
    EXPECT_THAT(world.recorder.dropped(), ElementsAre(first));
    EXPECT_EQ(world.targets->validated(second).bundleId, "com.example.mail");
}

TEST(BoundTargetStore, ValidatedForActionDropsABindingWhoseWindowLostItsPlaceOrIdentity) {
    const std::vector<StaleCase> cases = {
        {"identifier changed (validated alone does not look)",
         [](ChatWorld& w) {
             w.desktop().setAttribute(w.chatWindow(0), "AXIdentifier", std::string("other"));
         },
         "The selected window identity changed."},
        {"subrole changed",
         [](ChatWorld& w) {
             w.desktop().setAttribute(w.chatWindow(0), "AXSubrole", std::string("AXDialog"));
         },
         "The selected window identity changed."},
        {"pushed out of the first sixteen listed windows",
         [](ChatWorld& w) {
             for (int index = 0; index < 16; ++index) {
                 w.desktop().addWindow(kChatPid, windowSpec("New"), 0);
             }
         },
         "The selected window is no longer attached to the bound app."},
        {"window list reports the window as invalid",
         [](ChatWorld& w) {
             w.desktop().injectError(w.desktop().applicationElement(kChatPid),
                                     AXOperation::copyAttribute, ax::kInvalidUIElement,
                                     "AXWindows");
         },
         "The selected app or window changed."},
    };
    for (const StaleCase& c : cases) {
        ChatWorld world;
        const std::string bindingId = world.bind(kChatBundle).bindingId;
        c.change(world);

        EXPECT_NO_THROW(world.targets->validated(bindingId)) << c.scenario;
        EXPECT_THAT([&] { world.targets->validatedForAction(bindingId); },
                    FailsWith(HelperErrorCode::targetStale, c.message))
            << c.scenario;
        EXPECT_THAT(world.recorder.dropped(), ElementsAre(bindingId)) << c.scenario;
        EXPECT_THAT([&] { world.targets->validated(bindingId); },
                    FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."))
            << c.scenario;
    }
}

TEST(BoundTargetStore, MinimizedWindowFailsTheActionCheckButKeepsTheBinding) {
    ChatWorld world;
    const BoundTargetSummary summary = world.bind(kChatBundle);
    world.desktop().setMinimized(world.chatWindow(0), true);

    EXPECT_EQ(world.targets->validated(summary.bindingId).summary(), summary);
    EXPECT_THAT(
        [&] { world.targets->validatedForAction(summary.bindingId); },
        FailsWith(HelperErrorCode::actionFailed,
                  "The selected window is minimized; no Accessibility action was attempted."));
    EXPECT_THAT(world.recorder.dropped(), IsEmpty());

    world.desktop().setMinimized(world.chatWindow(0), false);
    world.desktop().retitle(world.chatWindow(0), "Retitled");
    EXPECT_EQ(world.targets->validatedForAction(summary.bindingId).summary(), summary);
}

TEST(BoundTargetStore, ValidatedForActionKeepsTheBindingOnFailuresThatAreNotStale) {
    ChatWorld world;
    const std::string bindingId = world.bind(kChatBundle).bindingId;
    const SimulatedElementId application = world.desktop().applicationElement(kChatPid);
    world.desktop().injectError(application, AXOperation::copyAttribute, ax::kCannotComplete,
                                "AXWindows");

    EXPECT_THAT([&] { world.targets->validatedForAction(bindingId); },
                FailsWith(HelperErrorCode::actionFailed,
                          "The target app could not complete the AX operation."));
    EXPECT_THAT(world.recorder.dropped(), IsEmpty());
    world.desktop().clearInjectedErrors(application);
    EXPECT_NO_THROW(world.targets->validatedForAction(bindingId));
}

TEST(BoundTargetStore, PromoteProfileHashSwapsTheHashWithoutNotifying) {
    ChatWorld world;
    const std::string bindingId = world.bind(kChatBundle).bindingId;

    EXPECT_THAT([&] { world.targets->promoteProfileHash(bindingId, kProfileHash, "short"); },
                FailsWith(HelperErrorCode::invalidRequest, "Profile hashes are invalid."));
    EXPECT_THAT(
        [&] {
            world.targets->promoteProfileHash(bindingId, std::string(64, 'A'), kOtherProfileHash);
        },
        FailsWith(HelperErrorCode::invalidRequest, "Profile hashes are invalid."));
    EXPECT_THAT(
        [&] {
            world.targets->promoteProfileHash(bindingId, std::string(64, 'c'), kOtherProfileHash);
        },
        FailsWith(HelperErrorCode::profileMismatch, "Teach Profile binding changed."));
    EXPECT_EQ(world.targets->validated(bindingId).profileHash, kProfileHash);

    const BoundTarget promoted =
        world.targets->promoteProfileHash(bindingId, kProfileHash, kOtherProfileHash);
    EXPECT_EQ(promoted.profileHash, kOtherProfileHash);
    EXPECT_EQ(promoted.bindingId, bindingId);
    EXPECT_EQ(world.targets->validated(bindingId), promoted);
    EXPECT_THAT(world.recorder.dropped(), IsEmpty());
    EXPECT_THAT(
        [&] { world.targets->promoteProfileHash(bindingId, kProfileHash, kOtherProfileHash); },
        FailsWith(HelperErrorCode::profileMismatch, "Teach Profile binding changed."));
    EXPECT_THAT([&] { world.targets->promoteProfileHash("binding_x", kProfileHash, kProfileHash); },
                FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."));
}

TEST(BoundTargetStore, PromoteProfileHashRechecksABindingChangedWhileItWasValidated) {
    const std::string thirdHash(64, 'c');
    struct Case {
        const char* scenario;
        std::function<void(ChatWorld&, const std::string&)> meanwhile;
        std::optional<std::string> storedHashAfterwards;
    };
    const std::vector<Case> cases = {
        {"promoted by someone else",
         [&](ChatWorld& w, const std::string& id) {
             w.targets->promoteProfileHash(id, kProfileHash, thirdHash);
         },
         thirdHash},
        {"unbound", [](ChatWorld& w, const std::string& id) { w.targets->unbind(id); },
         std::nullopt},
    };
    for (const Case& c : cases) {
        ChatWorld world;
        const std::string bindingId = world.bind(kChatBundle).bindingId;
        world.backend->onNextApplicationLookup([&] { c.meanwhile(world, bindingId); });

        EXPECT_THAT(
            [&] { world.targets->promoteProfileHash(bindingId, kProfileHash, kOtherProfileHash); },
            FailsWith(HelperErrorCode::profileMismatch, "Teach Profile binding changed."))
            << c.scenario;
        if (c.storedHashAfterwards) {
            EXPECT_EQ(world.targets->validated(bindingId).profileHash, *c.storedHashAfterwards)
                << c.scenario;
        } else {
            EXPECT_THAT([&] { world.targets->validated(bindingId); },
                        FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."))
                << c.scenario;
        }
    }
}

TEST(BoundTargetStore, UnbindNotifiesOnlyForAKnownBindingAndKeepsThePendingSelection) {
    ChatWorld world;
    EXPECT_THAT([&] { world.targets->unbind("binding_unknown"); },
                FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."));
    EXPECT_THAT(world.recorder.dropped(), IsEmpty());

    const std::string bindingId = world.bind(kChatBundle).bindingId;
    const AppCandidate candidate = world.candidateFor(kChatBundle);
    const std::vector<WindowCandidate> windows = world.listWindows(candidate);
    world.targets->unbind(bindingId);

    EXPECT_THAT(world.recorder.dropped(), ElementsAre(bindingId));
    EXPECT_THAT([&] { world.targets->unbind(bindingId); },
                FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."));
    EXPECT_EQ(world.recorder.dropped().size(), 1u);
    EXPECT_TRUE(
        world.targets
            ->bind(candidate.candidateId, kChatBundle, kProfileHash, windows[0].windowCandidateId)
            .isBound());
    EXPECT_EQ(world.recorder.dropped().size(), 1u); // nothing was bound any more to replace
}

TEST(BoundTargetStore, ListenersRunOutsideTheLockAndMayCallBackIntoTheStore) {
    ChatWorld world;
    std::vector<std::string> seenByListener;
    world.targets->addInvalidationHandler([&](const std::string& bindingId) {
        // Would deadlock if the store still held its lock.
        try {
            world.targets->validated(bindingId);
            seenByListener.push_back("still bound");
        } catch (const HelperProtocolError& error) {
            seenByListener.push_back(error.message());
        }
    });
    const std::string bindingId = world.bind(kChatBundle).bindingId;
    world.desktop().quitApplication(kChatPid);

    EXPECT_THAT([&] { world.targets->validated(bindingId); },
                FailsWith(HelperErrorCode::targetStale, "The selected app exited or changed."));
    EXPECT_THAT(seenByListener, ElementsAre("Target binding is unknown."));
}

TEST(BoundTargetStore, ARemovedOrFailingListenerDoesNotDisturbTheOthers) {
    ChatWorld world;
    int removedCalls = 0;
    const Uuid removed =
        world.targets->addInvalidationHandler([&](const std::string&) { ++removedCalls; });
    world.targets->addInvalidationHandler(
        [](const std::string&) { throw std::runtime_error("listener failed"); });
    world.targets->removeInvalidationHandler(removed);
    world.targets->removeInvalidationHandler(Uuid::random()); // unknown: nothing happens

    const std::string bindingId = world.bind(kChatBundle).bindingId;
    EXPECT_NO_THROW(world.targets->unbind(bindingId));

    EXPECT_EQ(removedCalls, 0);
    EXPECT_THAT(world.recorder.dropped(), ElementsAre(bindingId));
}

TEST(BoundTargetStore, ShutdownDropsEverythingAndKeepsListenersRegistered) {
    ChatWorld world;
    const std::string bindingId = world.bind(kChatBundle).bindingId;
    const AppCandidate candidate = world.candidateFor(kChatBundle);
    const std::vector<WindowCandidate> windows = world.listWindows(candidate);

    world.targets->shutdown();

    EXPECT_THAT(world.recorder.dropped(), ElementsAre(bindingId));
    EXPECT_THAT([&] { world.targets->validated(bindingId); },
                FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."));
    EXPECT_THAT([&] { world.discovery->resolve(candidate.candidateId); },
                FailsWith(HelperErrorCode::candidateNotFound, "App candidate is unknown."));

    // The selection is gone too: a fresh listing of the same app cannot reach it.
    const AppCandidate fresh = world.candidateFor(kChatBundle);
    EXPECT_THAT(
        [&] {
            world.targets->bind(fresh.candidateId, kChatBundle, kProfileHash,
                                windows[0].windowCandidateId);
        },
        FailsWith(HelperErrorCode::candidateNotFound, "Window selection is unknown."));

    world.targets->shutdown(); // nothing bound: nobody is told
    EXPECT_EQ(world.recorder.dropped().size(), 1u);
    const std::string next = world.bind(kChatBundle).bindingId;
    world.targets->unbind(next);
    EXPECT_THAT(world.recorder.dropped(), ElementsAre(bindingId, next));
}

} // namespace
} // namespace bix::ax
