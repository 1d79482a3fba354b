#include "Actions/ActionsTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/Redaction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>

namespace bix::ax {
namespace {

using actions_test::ChatFixture;
using namespace std::chrono_literals;

// Forwards to the real backend and runs `after` right after each value write, before the
// executor reads the value back.
class Rewriting final : public AccessibilityBackend {
public:
    Rewriting(std::shared_ptr<AccessibilityBackend> inner, std::function<void()> after)
        : inner_(std::move(inner)), after_(std::move(after)) {}
    bool isTrusted(bool prompt) override { return inner_->isTrusted(prompt); }
    std::vector<RunningApplicationDescriptor> runningApplications() override {
        return inner_->runningApplications();
    }
    std::optional<RunningApplicationDescriptor> application(std::int32_t pid) override {
        return inner_->application(pid);
    }
    std::vector<AXElementHandle> windows(std::int32_t pid) override { return inner_->windows(pid); }
    AXNodeSnapshot snapshot(const AXElementHandle& handle, bool includeValue) override {
        return inner_->snapshot(handle, includeValue);
    }
    void setValue(const std::string& value, const AXElementHandle& on,
                  const AXBoundActionGuard& guard) override {
        inner_->setValue(value, on, guard);
        after_();
    }
    void perform(const std::string& action, const AXElementHandle& on,
                 const AXBoundActionGuard& guard) override {
        inner_->perform(action, on, guard);
    }
    std::shared_ptr<AXObservation> observe(std::int32_t pid,
                                           const std::vector<AXElementHandle>& elements,
                                           const std::vector<std::string>& notifications,
                                           AXNotificationHandler handler) override {
        return inner_->observe(pid, elements, notifications, std::move(handler));
    }
    std::optional<std::int32_t> frontmostApplicationPID() override {
        return inner_->frontmostApplicationPID();
    }
    std::optional<AXElementHandle> focusedElement(std::int32_t pid) override {
        return inner_->focusedElement(pid);
    }
    bool activateApplication(std::int32_t pid) override { return inner_->activateApplication(pid); }
    bool restoreFocus(const AXElementHandle& handle, std::int32_t pid) override {
        return inner_->restoreFocus(handle, pid);
    }

private:
    std::shared_ptr<AccessibilityBackend> inner_;
    std::function<void()> after_;
};

class ActionExecutorTest : public ::testing::Test, protected ChatFixture {
protected:
    std::string composerValue() {
        const auto value = desktop().attributeValue(id("composer"), "AXValue");
        return std::holds_alternative<std::string>(value) ? std::get<std::string>(value) : "<none>";
    }
    auto write(const std::string& text) {
        return [=, this] { actions.setComposerText(bindingId, resolutionId, text); };
    }
};

TEST_F(ActionExecutorTest, RefusesBadTextBeforeTouchingTheTarget) {
    const auto refused =
        FailsWith(HelperErrorCode::invalidRequest, "Composer text is invalid or too large.");
    // A binding that is gone shows that nothing was even checked against the target.
    desktop().quitApplication(actions_test::kChatPid);
    for (const std::string& text :
         {std::string(), std::string(245'761, 'x'), std::string("a\0b", 3)}) {
        EXPECT_THAT(write(text), refused) << text.size();
    }
    EXPECT_THAT(desktop().sideEffects(), ::testing::IsEmpty());
}

TEST_F(ActionExecutorTest, WritesVerifiesAndFingerprintsTheText) {
    const std::string longest(245'760, 'y');
    EXPECT_EQ(actions.setComposerText(bindingId, resolutionId, longest),
              Redaction::contentFingerprint(longest));
    // The composer may hand back another canonically equivalent form of the same text.
    const std::string decomposed = "Cafe\xCC\x81";
    EXPECT_EQ(actions.setComposerText(bindingId, resolutionId, decomposed),
              Redaction::contentFingerprint(decomposed));
    EXPECT_EQ(composerValue(), decomposed);
}

TEST_F(ActionExecutorTest, AComposerThatIsNotSafelyWritableIsLeftUntouched) {
    const std::vector<std::function<void(SimulatedDesktop&, SimulatedElementId)>> changes = {
        [](auto& d, auto composer) { d.setAttribute(composer, "AXEnabled", false); },
        [](auto& d, auto composer) { d.setSettable(composer, "AXValue", false); },
    };
    for (const auto& change : changes) {
        ChatFixture fresh;
        change(fresh.desktop(), fresh.id("composer"));
        EXPECT_THAT(
            [&] { fresh.actions.setComposerText(fresh.bindingId, fresh.resolutionId, "hi"); },
            FailsWith(HelperErrorCode::actionUnsupported,
                      "The resolved composer is not safely writable."));
        EXPECT_THAT(fresh.desktop().sideEffects(), ::testing::IsEmpty());
    }
}

TEST_F(ActionExecutorTest, AnApplicationThatRewritesTheTextFailsVerification) {
    // The application trims the trailing newline the moment the value lands.
    const auto composer = id("composer");
    auto rewriting = std::make_shared<Rewriting>(
        backend, [&] { desktop().setAttribute(composer, "AXValue", std::string("hello")); });
    ActionExecutor trimming(rewriting, resolutions, [](auto) {});
    EXPECT_THAT([&] { trimming.setComposerText(bindingId, resolutionId, "hello\n"); },
                FailsWith(HelperErrorCode::actionFailed, "Composer write could not be verified."));
}

TEST_F(ActionExecutorTest, SubmitIsConfirmedByTheComposerClearingAndUncertainOtherwise) {
    actions.setComposerText(bindingId, resolutionId, "What is 2+2?");
    EXPECT_EQ(actions.pressSubmit(bindingId, resolutionId), (SubmitResult{"confirmed", true}));
    EXPECT_EQ(sleeps, 1);

    // An empty composer: the application ignores the press and nothing changes.
    advance(1s); // let the answer finish so send is idle again
    sleeps = 0;
    EXPECT_EQ(actions.pressSubmit(bindingId, resolutionId), (SubmitResult{"uncertain", false}));
    EXPECT_EQ(sleeps, 10);
}

TEST_F(ActionExecutorTest, AComposerReplacedAfterThePressConfirmsTheSubmit) {
    // The application ignores a press with an empty composer, but then re-creates the composer.
    duringSleep = [this] { desktop().replaceElement(id("composer")); };
    EXPECT_EQ(actions.pressSubmit(bindingId, resolutionId), (SubmitResult{"confirmed", true}));
}

TEST_F(ActionExecutorTest, SubmitChecksTheControlFirstAndTheBindingWhileWaiting) {
    desktop().setAttribute(id("send-button"), "AXEnabled", false);
    EXPECT_THAT([&] { actions.pressSubmit(bindingId, resolutionId); },
                FailsWith(HelperErrorCode::actionUnsupported,
                          "The resolved submit control does not support AXPress."));
    EXPECT_THAT(desktop().sideEffects(), ::testing::IsEmpty());

    desktop().setAttribute(id("send-button"), "AXEnabled", true);
    duringSleep = [this] { desktop().quitApplication(actions_test::kChatPid); };
    EXPECT_THROW(actions.pressSubmit(bindingId, resolutionId), HelperProtocolError);
    EXPECT_THAT(desktop().sideEffects(), ::testing::SizeIs(1)); // the press itself was made
}

TEST_F(ActionExecutorTest, StopAndNewConversationPressOnlyLiveProfiledControls) {
    // Idle: stop is disabled.
    EXPECT_THAT([&] { actions.pressStop(bindingId, resolutionId); },
                FailsWith(HelperErrorCode::actionUnsupported,
                          "The resolved control does not support AXPress."));
    actions.setComposerText(bindingId, resolutionId, "Tell me a story");
    actions.pressSubmit(bindingId, resolutionId);
    EXPECT_NO_THROW(actions.pressStop(bindingId, resolutionId));
    EXPECT_NO_THROW(actions.pressNewConversation(bindingId, resolutionId));
    EXPECT_THAT(desktop().childrenOf(id("transcript")), ::testing::IsEmpty());

    auto unprofiled = actions_test::demoProfile();
    unprofiled.stopGeneration.reset();
    const auto resolution = resolutions->resolve(bindingId, unprofiled);
    EXPECT_THAT([&] { actions.pressStop(bindingId, resolution.resolutionId); },
                FailsWith(HelperErrorCode::profileMismatch,
                          "The resolved stop control changed. Reconnect before retrying."));
}

} // namespace
} // namespace bix::ax
