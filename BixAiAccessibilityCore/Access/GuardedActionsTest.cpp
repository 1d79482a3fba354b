#include "Access/AccessTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace bix::ax {
namespace {

using namespace access_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char kProcessChanged[] = "The bound process identity changed.";
const char kWindowDetached[] = "The selected window is no longer attached to the bound app.";
const char kWindowIdentity[] = "The selected window identity changed.";
const char kMinimized[] =
    "The selected window is minimized; no Accessibility action was attempted.";
const char kControlLeft[] = "The resolved control left the selected window.";
const char kCrossed[] = "Accessibility containment crossed the bound process.";
const char kContainmentBudget[] =
    "Accessibility containment budget was exceeded; no action was attempted.";

class GuardedActions : public ::testing::Test {
protected:
    void press(const AXBoundActionGuard& guard) {
        chat_.backend->perform("AXPress", sendHandle_, guard);
    }
    void write(const AXBoundActionGuard& guard) {
        chat_.backend->setValue("hello", composerHandle_, guard);
    }
    void SetUp() override {
        sendHandle_ = chat_.handle("send");
        composerHandle_ = chat_.handle("composer");
        sendGuard_ = chat_.guardFor("send");
        composerGuard_ = chat_.guardFor("composer");
    }

    ChatDesktop chat_;
    AXElementHandle sendHandle_;
    AXElementHandle composerHandle_;
    AXBoundActionGuard sendGuard_;
    AXBoundActionGuard composerGuard_;
};

TEST_F(GuardedActions, WriteAndPressReachTheControlWhenEveryFactHolds) {
    write(composerGuard_);
    press(sendGuard_);
    EXPECT_THAT(
        chat_.desktop().sideEffects(),
        ElementsAre(
            SimulatedSideEffect{SimulatedSideEffect::Kind::setAttribute, chat_.id("composer"),
                                "AXValue", std::string("hello")},
            SimulatedSideEffect{
                SimulatedSideEffect::Kind::performAction, chat_.id("send"), "AXPress", {}}));
    EXPECT_EQ(chat_.backend->snapshot(composerHandle_, true).value, "hello");
}

TEST_F(GuardedActions, OnlyAXPressIsPerformedAndTrustIsCheckedFirst) {
    EXPECT_THAT([&] { chat_.backend->perform("AXShowMenu", sendHandle_, sendGuard_); },
                FailsWith(HelperErrorCode::commandNotAllowed, "Only AXPress is allowed."));
    chat_.desktop().setTrusted(false);
    const auto untrusted =
        FailsWith(HelperErrorCode::permissionDenied, "Accessibility permission is unavailable.");
    EXPECT_THAT([&] { chat_.backend->perform("AXShowMenu", sendHandle_, sendGuard_); }, untrusted);
    EXPECT_THAT([&] { write(composerGuard_); }, untrusted);
    EXPECT_THAT(chat_.desktop().sideEffects(), IsEmpty());
}

TEST_F(GuardedActions, MalformedGuardFailsBeforeAnyCallOnTheWindow) {
    // Any read of the window would fail differently, proving the guard is checked first.
    chat_.desktop().injectError(chat_.id("window"), AXOperation::copyAttribute, ax::kFailure);
    chat_.desktop().injectError(chat_.id("window"), AXOperation::getPid, ax::kFailure);
    const std::vector<std::function<void(AXBoundActionGuard&)>> spoilers = {
        [](AXBoundActionGuard& g) { g.bindingId = ""; },
        [](AXBoundActionGuard& g) { g.bindingId = "binding one"; },
        [](AXBoundActionGuard& g) { g.bindingId = std::string(129, 'a'); },
        [](AXBoundActionGuard& g) { g.bundleId = "nodots"; },
        [](AXBoundActionGuard& g) { g.windowFingerprint = std::string(64, 'A'); },
        [](AXBoundActionGuard& g) { g.elementFingerprint = std::string(63, 'a'); },
        [](AXBoundActionGuard& g) { g.bundleId = "com.example.other"; },
        [](AXBoundActionGuard& g) { g.pid = 9999; },
    };
    for (const auto& spoil : spoilers) {
        auto guard = sendGuard_;
        spoil(guard);
        EXPECT_THAT([&] { press(guard); },
                    FailsWith(HelperErrorCode::targetStale, kProcessChanged));
    }
    EXPECT_THAT(chat_.desktop().sideEffects(), IsEmpty());
}

// Each row changes the live desktop after the guards were taken; both side effects must then
// end with the row's error (or both succeed) and nothing may be written or pressed on failure.
TEST_F(GuardedActions, EveryChangedFactStopsTheSideEffect) {
    struct Row {
        std::string name;
        std::function<void(ChatDesktop&)> change;
        std::optional<HelperProtocolError> expected;
        // The write asks for settability before the boundary, so a vanished composer fails there.
        std::optional<HelperProtocolError> writeExpected = std::nullopt;
    };
    auto stale = [](const char* message) {
        return HelperProtocolError(HelperErrorCode::targetStale, message);
    };
    const std::vector<Row> rows = {
        {"relaunched under a new pid",
         [](ChatDesktop& c) { c.desktop().relaunchApplication(kAppPid, 900); },
         stale(kProcessChanged), stale("The selected app or window changed.")},
        {"pid reused by another bundle",
         [](ChatDesktop& c) {
             c.desktop().quitApplication(kAppPid);
             SimulatedApplicationSpec other;
             other.pid = kAppPid;
             other.bundleId = "com.example.intruder";
             c.desktop().addApplication(other);
         },
         stale(kProcessChanged), stale("The selected app or window changed.")},
        {"terminated", [](ChatDesktop& c) { c.desktop().setTerminated(kAppPid, true); },
         stale(kProcessChanged)},
        {"window closed", [](ChatDesktop& c) { c.desktop().closeWindow(c.id("window")); },
         stale(kWindowDetached), stale("The selected app or window changed.")},
        {"window retitled", [](ChatDesktop& c) { c.desktop().retitle(c.id("window"), "New"); },
         std::nullopt},
        {"window minimized", [](ChatDesktop& c) { c.desktop().setMinimized(c.id("window"), true); },
         HelperProtocolError(HelperErrorCode::actionFailed, kMinimized)},
        {"window minimized state unreadable",
         [](ChatDesktop& c) { c.desktop().removeAttribute(c.id("window"), "AXMinimized"); },
         HelperProtocolError(HelperErrorCode::actionUnsupported,
                             "The target does not support this AX operation.")},
        {"window identifier changed",
         [](ChatDesktop& c) {
             c.desktop().setAttribute(c.id("window"), "AXIdentifier", std::string("other"));
         },
         stale(kWindowIdentity)},
        {"window role changed",
         [](ChatDesktop& c) {
             c.desktop().setAttribute(c.id("window"), "AXRole", std::string("AXPanel"));
         },
         stale(kWindowIdentity)},
        {"window of another process",
         [](ChatDesktop& c) { c.desktop().setOwner(c.id("window"), kOtherPid); },
         stale(kWindowIdentity)},
        {"control disabled",
         [](ChatDesktop& c) {
             c.desktop().setAttribute(c.id("send"), "AXEnabled", false);
             c.desktop().setAttribute(c.id("composer"), "AXEnabled", false);
         },
         stale(kControlLeft)},
        {"control identifier changed",
         [](ChatDesktop& c) {
             c.desktop().setAttribute(c.id("send"), "AXIdentifier", std::string("x"));
             c.desktop().setAttribute(c.id("composer"), "AXIdentifier", std::string("x"));
         },
         stale(kControlLeft)},
        {"control role changed",
         [](ChatDesktop& c) {
             c.desktop().setAttribute(c.id("send"), "AXRole", std::string("AXLink"));
             c.desktop().setAttribute(c.id("composer"), "AXRole", std::string("AXTextField"));
         },
         stale(kControlLeft)},
        {"control action list changed",
         [](ChatDesktop& c) {
             c.desktop().setActions(c.id("send"),
                                    std::vector<std::string>{"AXPress", "AXShowMenu"});
             c.desktop().setActions(c.id("composer"), std::vector<std::string>{"AXConfirm"});
         },
         stale(kControlLeft)},
        {"control of another process",
         [](ChatDesktop& c) {
             c.desktop().setOwner(c.id("send"), kOtherPid);
             c.desktop().setOwner(c.id("composer"), kOtherPid);
         },
         stale(kControlLeft)},
        {"control moved into a sheet of another window",
         [](ChatDesktop& c) {
             c.desktop().moveElement(c.id("send"), c.id("sheet"));
             c.desktop().moveElement(c.id("composer"), c.id("sheet"));
         },
         stale(kControlLeft)},
        {"control replaced by an equal-looking element",
         [](ChatDesktop& c) {
             c.desktop().replaceElement(c.id("send"));
             c.desktop().replaceElement(c.id("composer"));
         },
         stale("The selected app or window changed.")},
        {"another process's element met before the control",
         [](ChatDesktop& c) {
             auto embedded = SimulatedElementSpec::withRole("AXGroup");
             embedded.pid = kOtherPid;
             c.desktop().addChild(c.id("window"), embedded, 0);
         },
         stale(kCrossed)},
        {"another process's element met only after the control",
         [](ChatDesktop& c) {
             auto embedded = SimulatedElementSpec::withRole("AXGroup");
             embedded.pid = kOtherPid;
             c.desktop().addChild(c.id("send"), embedded);
         },
         std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ChatDesktop chat;
        const auto send = chat.handle("send");
        const auto composer = chat.handle("composer");
        const auto sendGuard = chat.guardFor("send");
        const auto composerGuard = chat.guardFor("composer");
        row.change(chat);
        chat.desktop().clearSideEffects();
        for (int operation = 0; operation < 2; ++operation) {
            const auto& expected =
                operation == 1 && row.writeExpected ? row.writeExpected : row.expected;
            try {
                if (operation == 0) {
                    chat.backend->perform("AXPress", send, sendGuard);
                } else {
                    chat.backend->setValue("text", composer, composerGuard);
                }
                EXPECT_FALSE(expected.has_value()) << "operation " << operation;
            } catch (const HelperProtocolError& error) {
                ASSERT_TRUE(expected.has_value()) << error.message();
                EXPECT_EQ(error, *expected) << "operation " << operation;
            }
        }
        EXPECT_EQ(chat.desktop().sideEffects().size(), row.expected ? 0u : 2u);
    }
}

TEST_F(GuardedActions, ValueThatIsNotSettableFailsBeforeTheBoundaryChecks) {
    chat_.desktop().setSettable(chat_.id("composer"), "AXValue", false);
    chat_.desktop().injectError(chat_.id("window"), AXOperation::copyAttribute, ax::kFailure);
    EXPECT_THAT(
        [&] { write(composerGuard_); },
        FailsWith(HelperErrorCode::actionUnsupported, "The composer does not support AXValue."));
    // An unsupported settability query is mapped, unlike in a snapshot.
    EXPECT_THAT([&] { chat_.backend->setValue("x", sendHandle_, sendGuard_); },
                FailsWith(HelperErrorCode::actionUnsupported,
                          "The target does not support this AX operation."));
    EXPECT_THAT(chat_.desktop().sideEffects(), IsEmpty());
}

TEST_F(GuardedActions, PlatformRefusalOfTheSideEffectItselfIsMapped) {
    chat_.desktop().injectError(chat_.id("composer"), AXOperation::setAttribute,
                                ax::kCannotComplete, "AXValue");
    EXPECT_THAT([&] { write(composerGuard_); },
                FailsWith(HelperErrorCode::actionFailed,
                          "The target app could not complete the AX operation."));
    chat_.desktop().injectError(chat_.id("send"), AXOperation::performAction,
                                ax::kInvalidUIElement);
    EXPECT_THAT([&] { press(sendGuard_); },
                FailsWith(HelperErrorCode::targetStale, "The selected app or window changed."));
}

TEST_F(GuardedActions, BoundaryUsesOnlyTheFirst64Windows) {
    for (int i = 0; i < 64; ++i) {
        chat_.desktop().addWindow(kAppPid, SimulatedElementSpec::withRole("AXWindow"), 0);
    }
    EXPECT_THAT([&] { press(sendGuard_); },
                FailsWith(HelperErrorCode::targetStale, kWindowDetached));
    chat_.desktop().closeWindow(chat_.desktop().windowsOf(kAppPid).front());
    press(sendGuard_); // now the 64th window
}

TEST_F(GuardedActions, ContainmentReachesDepth24ButNotDepth25) {
    // window (0) > group (1) > chain of links; the control sits at the requested depth.
    for (int targetDepth : {24, 25}) {
        ChatDesktop chat;
        SimulatedElementId parent = chat.id("group");
        for (int depth = 2; depth < targetDepth; ++depth) {
            parent = chat.desktop().addChild(parent, SimulatedElementSpec::withRole("AXGroup"));
        }
        chat.desktop().moveElement(chat.id("send"), parent);
        const auto guard = chat.guardFor("send");
        const auto send = chat.handle("send");
        if (targetDepth == 24) {
            chat.backend->perform("AXPress", send, guard);
        } else {
            EXPECT_THAT([&] { chat.backend->perform("AXPress", send, guard); },
                        FailsWith(HelperErrorCode::targetStale, kControlLeft));
        }
    }
}

TEST_F(GuardedActions, ContainmentWalkStopsAfter2048Entries) {
    // Nine groups of 255 leaves ahead of the control put it beyond the walk's budget.
    for (int g = 0; g < 9; ++g) {
        auto group = SimulatedElementSpec::withRole("AXGroup");
        for (int i = 0; i < 255; ++i) {
            group.child(SimulatedElementSpec::withRole("AXStaticText"));
        }
        chat_.desktop().addChild(chat_.id("window"), group, 0);
    }
    EXPECT_THAT([&] { press(sendGuard_); },
                FailsWith(HelperErrorCode::actionFailed, kContainmentBudget));
    EXPECT_THAT(chat_.desktop().sideEffects(), IsEmpty());
}

TEST_F(GuardedActions, ElementWhoseHashWasAlreadySeenIsNotExamined) {
    // A leaf met before the control shares the control's hash, so the walk never looks at the
    // control itself: the platform identity is trusted only once per hash.
    auto decoy = SimulatedElementSpec::withRole("AXStaticText");
    decoy.hash = chat_.desktop().elementReference(chat_.id("send"))->hash();
    chat_.desktop().addChild(chat_.id("window"), decoy, 0);
    EXPECT_THAT([&] { press(sendGuard_); }, FailsWith(HelperErrorCode::targetStale, kControlLeft));
}

TEST_F(GuardedActions, ChildProcessLookupFailureDuringTheWalkIsThrown) {
    chat_.desktop().injectError(chat_.id("group"), AXOperation::getPid, ax::kCannotComplete);
    EXPECT_THAT([&] { press(sendGuard_); },
                FailsWith(HelperErrorCode::actionFailed,
                          "The target app could not complete the AX operation."));
}

} // namespace
} // namespace bix::ax
