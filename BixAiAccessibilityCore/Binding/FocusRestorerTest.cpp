#include "Binding/FocusRestorer.h"

#include "Binding/BindingTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
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
#include <string>
#include <variant>

namespace bix::ax {
namespace {

using binding_test::applicationSpec;
using binding_test::BindingWorld;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::int32_t kBoundPid = 701;
constexpr std::int32_t kEditorPid = 702;
constexpr std::int32_t kThirdPid = 703;

// The user works in an editor (frontmost, a focused document); the chat application is bound and
// about to be brought forward; a third application is running too.
struct FocusWorld : BindingWorld {
    std::shared_ptr<FocusRestorer> restorer =
        std::make_shared<FocusRestorer>(backend, targets, clock.clock());
    std::string bindingId;

    explicit FocusWorld(bool editorHasFocusedElement = true) {
        desktop().addApplication(applicationSpec(kBoundPid, "com.example.chat", "Chat"));
        auto editor = applicationSpec(kEditorPid, "com.example.editor", "Editor", true);
        editor.windows[0].child(
            SimulatedElementSpec::withRole("AXTextArea").settable("AXFocused").named("document"));
        if (editorHasFocusedElement) {
            editor.focusedKey = "document";
        }
        desktop().addApplication(editor);
        desktop().addApplication(applicationSpec(kThirdPid, "com.example.third", "Third"));
        desktop().setFrontmostApplication(kEditorPid);
        bindingId = bind("com.example.chat").bindingId;
    }

    // What the helper does between capture and restore: bring the bound application forward.
    void bringBoundApplicationForward() { desktop().setFrontmostApplication(kBoundPid); }

    bool documentFocused() {
        const SimulatedValue value =
            desktop().attributeValue(*desktop().elementByKey("document"), "AXFocused");
        return std::holds_alternative<bool>(value) && std::get<bool>(value);
    }
};

TEST(FocusRestorer, RestoreActivatesThePreviousApplicationAndRefocusesItsElement) {
    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);
    EXPECT_TRUE(std::regex_match(token, std::regex("focus_[0-9A-F]{32}")));
    world.bringBoundApplicationForward();

    EXPECT_EQ(world.restorer->restore(world.bindingId, token), (FocusRestoreResult{true, true}));

    EXPECT_EQ(world.desktop().frontmostApplicationPID(), kEditorPid);
    EXPECT_EQ(world.backend->activations(), 1);
    EXPECT_TRUE(world.documentFocused());
}

TEST(FocusRestorer, PreviousApplicationStillInFrontIsNotActivatedAgain) {
    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);

    EXPECT_EQ(world.restorer->restore(world.bindingId, token), (FocusRestoreResult{true, true}));
    EXPECT_EQ(world.backend->activations(), 0);
    EXPECT_TRUE(world.documentFocused());
}

TEST(FocusRestorer, CaptureWithoutAFocusedElementRestoresOnlyTheApplication) {
    FocusWorld world(false);
    const std::string token = world.restorer->capture(world.bindingId);
    world.bringBoundApplicationForward();

    EXPECT_EQ(world.restorer->restore(world.bindingId, token), (FocusRestoreResult{true, false}));
    EXPECT_EQ(world.desktop().frontmostApplicationPID(), kEditorPid);
}

TEST(FocusRestorer, ElementThatCannotTakeFocusAgainIsReportedNotThrown) {
    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);
    world.desktop().setSettable(*world.desktop().elementByKey("document"), "AXFocused", false);

    EXPECT_EQ(world.restorer->restore(world.bindingId, token), (FocusRestoreResult{true, false}));
}

TEST(FocusRestorer, TokenIsUsableOnceWithinThirtySeconds) {
    struct Case {
        const char* scenario;
        std::optional<std::string> otherToken; // restore with this instead of the real token
        milliseconds wait;
    };
    const std::vector<Case> cases = {
        {"expired at exactly thirty seconds", std::nullopt, seconds(30)},
        {"thirty-one seconds later", std::nullopt, seconds(31)},
        {"unknown token", "focus_00000000000000000000000000000000", milliseconds(0)},
    };
    for (const Case& c : cases) {
        FocusWorld world;
        const std::string token = world.restorer->capture(world.bindingId);
        world.clock.advance(c.wait);

        EXPECT_THAT(
            [&] { world.restorer->restore(world.bindingId, c.otherToken.value_or(token)); },
            FailsWith(HelperErrorCode::focusConflict, "Focus capture is invalid or expired."))
            << c.scenario;
        EXPECT_EQ(world.backend->activations(), 0) << c.scenario;
        if (c.otherToken) {
            // A wrong token does not consume the live capture.
            EXPECT_EQ(world.restorer->restore(world.bindingId, token),
                      (FocusRestoreResult{true, true}))
                << c.scenario;
        }
    }

    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);
    world.clock.advance(milliseconds(29'900));
    EXPECT_EQ(world.restorer->restore(world.bindingId, token), (FocusRestoreResult{true, true}));
    EXPECT_THAT([&] { world.restorer->restore(world.bindingId, token); },
                FailsWith(HelperErrorCode::focusConflict, "Focus capture is invalid or expired."));
}

TEST(FocusRestorer, TokenOfAnotherBindingIsInvalidAndUsedUp) {
    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);

    EXPECT_THAT([&] { world.restorer->restore("binding_other", token); },
                FailsWith(HelperErrorCode::focusConflict, "Focus capture is invalid or expired."));
    EXPECT_THAT([&] { world.restorer->restore(world.bindingId, token); },
                FailsWith(HelperErrorCode::focusConflict, "Focus capture is invalid or expired."));
}

TEST(FocusRestorer, SecondCaptureInvalidatesTheFirstToken) {
    FocusWorld world;
    const std::string first = world.restorer->capture(world.bindingId);
    const std::string second = world.restorer->capture(world.bindingId);
    EXPECT_NE(first, second);

    EXPECT_THAT([&] { world.restorer->restore(world.bindingId, first); },
                FailsWith(HelperErrorCode::focusConflict, "Focus capture is invalid or expired."));
    EXPECT_EQ(world.restorer->restore(world.bindingId, second), (FocusRestoreResult{true, true}));
}

TEST(FocusRestorer, UserMovedToAThirdApplicationSoNothingIsActivated) {
    for (const std::optional<std::int32_t> front :
         {std::optional<std::int32_t>(kThirdPid), std::optional<std::int32_t>()}) {
        FocusWorld world;
        const std::string token = world.restorer->capture(world.bindingId);
        world.desktop().setFrontmostApplication(front);

        EXPECT_THAT([&] { world.restorer->restore(world.bindingId, token); },
                    FailsWith(HelperErrorCode::focusConflict,
                              "The user changed the foreground application."));
        EXPECT_EQ(world.backend->activations(), 0);
        EXPECT_EQ(world.desktop().frontmostApplicationPID(), front);
        EXPECT_FALSE(world.documentFocused());
    }
}

TEST(FocusRestorer, RefusedActivationFailsTheRestore) {
    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);
    world.bringBoundApplicationForward();
    world.desktop().setActivationAllowed(false);

    EXPECT_THAT([&] { world.restorer->restore(world.bindingId, token); },
                FailsWith(HelperErrorCode::actionFailed,
                          "The previous application could not be restored."));
    EXPECT_FALSE(world.documentFocused());
}

TEST(FocusRestorer, CaptureNeedsAValidBindingAndAForegroundApplication) {
    {
        FocusWorld world;
        world.desktop().setFrontmostApplication(std::nullopt);
        EXPECT_THAT(
            [&] { world.restorer->capture(world.bindingId); },
            FailsWith(HelperErrorCode::actionFailed, "No foreground application can be captured."));
    }
    {
        FocusWorld world;
        EXPECT_THAT([&] { world.restorer->capture("binding_unknown"); },
                    FailsWith(HelperErrorCode::targetNotBound, "Target binding is unknown."));
        world.desktop().quitApplication(kBoundPid);
        EXPECT_THAT([&] { world.restorer->capture(world.bindingId); },
                    FailsWith(HelperErrorCode::targetStale, "The selected app exited or changed."));
    }
    {
        FocusWorld world;
        world.desktop().setTrusted(false);
        EXPECT_THAT([&] { world.restorer->capture(world.bindingId); },
                    FailsWith(HelperErrorCode::permissionDenied,
                              "Accessibility permission is unavailable."));
    }
}

TEST(FocusRestorer, RestoreRevalidatesTheBindingAfterConsumingTheToken) {
    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);
    world.bringBoundApplicationForward();
    world.desktop().relaunchApplication(kBoundPid, 799);

    EXPECT_THAT([&] { world.restorer->restore(world.bindingId, token); },
                FailsWith(HelperErrorCode::targetStale, "The selected app exited or changed."));
    EXPECT_EQ(world.backend->activations(), 0);
    EXPECT_THAT([&] { world.restorer->restore(world.bindingId, token); },
                FailsWith(HelperErrorCode::focusConflict, "Focus capture is invalid or expired."));
}

TEST(FocusRestorer, ShutdownForgetsTheCapture) {
    FocusWorld world;
    const std::string token = world.restorer->capture(world.bindingId);
    world.restorer->shutdown();

    EXPECT_THAT([&] { world.restorer->restore(world.bindingId, token); },
                FailsWith(HelperErrorCode::focusConflict, "Focus capture is invalid or expired."));
}

} // namespace
} // namespace bix::ax
