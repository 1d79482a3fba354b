#include "Access/AccessibilityTreeReader.h"
#include "Platform/MainRunLoop.h"
#include "Simulator/SimulatedDesktopBackend.h"
#include "Simulator/SimulatedDesktopScenario.h"

#include <chrono>
#include <functional>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace bix::ax {
namespace {

using ::testing::ElementsAre;
using ::testing::SizeIs;
using namespace std::chrono_literals;

constexpr std::int32_t kChatPid = 4242;

std::string text(const SimulatedValue& value) {
    const auto* string = std::get_if<std::string>(&value);
    return string ? *string : "<not text>";
}

// The demo desktop's chat application, driven through the backend with a manual clock.
class ChatBehaviour : public ::testing::Test {
protected:
    void SetUp() override {
        desktop().setScheduler(&scheduler_);
        window_ = backend_->windows(kChatPid).at(0);
    }
    void TearDown() override { desktop().setScheduler(nullptr); }

    // Replaces the desktop with the demo whose chat behaviour also holds `members` (JSON members
    // added after its step), so the scenario reading is exercised too.
    void loadDemoWithChat(const std::string& members) {
        std::string scenario(demoDesktopScenario());
        const std::string step = "\"stepMilliseconds\": 40";
        const auto at = scenario.find(step);
        ASSERT_NE(at, std::string::npos);
        scenario.insert(at + step.size(), ", " + members);
        desktop().setScheduler(nullptr);
        backend_ = SimulatedDesktopBackend::fromScenarioText(scenario);
        SetUp();
    }
    void submit(const std::string& prompt) {
        desktop().setAttribute(id("composer"), "AXValue", prompt);
        press("send-button");
    }

    SimulatedDesktop& desktop() { return backend_->desktop(); }
    SimulatedElementId id(const std::string& key) { return *desktop().elementByKey(key); }
    std::string value(const std::string& key) {
        return text(desktop().attributeValue(id(key), "AXValue"));
    }
    bool enabled(const std::string& key) {
        auto value = desktop().attributeValue(id(key), "AXEnabled");
        return !std::holds_alternative<bool>(value) || std::get<bool>(value);
    }

    // Presses a control found by identifier through the guarded path, as the helper does.
    void press(const std::string& identifier) {
        AXWindowTarget target;
        target.pid = kChatPid;
        target.window = window_;
        AccessibilityTreeReader reader(backend_, 2048, 24, 1.5, clock_.clock());
        const auto tree = reader.read(target, {});
        for (const auto& handle : tree.order) {
            const auto& snap = tree.nodes.at(handle).snapshot;
            if (snap.identifier == identifier) {
                AXBoundActionGuard guard{
                    "binding_1",
                    kChatPid,
                    "com.example.aichat",
                    window_,
                    accessibilityWindowFingerprint(tree.nodes.at(window_).snapshot),
                    snap.semanticFingerprint()};
                backend_->perform("AXPress", handle, guard);
                return;
            }
        }
        ADD_FAILURE() << "no control " << identifier;
    }
    std::vector<std::string> transcript() {
        std::vector<std::string> out;
        for (auto message : desktop().childrenOf(id("transcript"))) {
            out.push_back(text(desktop().attributeValue(message, "AXValue")));
        }
        return out;
    }
    std::vector<std::string> identifiers() {
        std::vector<std::string> out;
        for (auto message : desktop().childrenOf(id("transcript"))) {
            out.push_back(text(desktop().attributeValue(message, "AXIdentifier")));
        }
        return out;
    }
    void advance(std::chrono::milliseconds by) {
        clock_.advance(by);
        scheduler_.runReady();
    }

    ManualClock clock_;
    ManualTaskScheduler scheduler_{clock_.clock()};
    std::shared_ptr<SimulatedDesktopBackend> backend_ = SimulatedDesktopBackend::demo();
    AXElementHandle window_;
};

TEST_F(ChatBehaviour, SubmitClearsTheComposerAndTheReplyGrowsOnTimers) {
    desktop().setAttribute(id("composer"), "AXValue", std::string("What is 2+2?"));
    press("send-button");
    EXPECT_EQ(value("composer"), "");
    EXPECT_TRUE(enabled("stop-button"));
    EXPECT_THAT(transcript(),
                ElementsAre("What can you help me with?",
                            "I can answer questions, draft text and explain code.", "Say hello.",
                            "Hello! How can I help you today?", "What is 2+2?", ""));
    // Only the newest answer keeps the assistant-message identifier.
    EXPECT_THAT(identifiers(), ElementsAre("user-message", "<not text>", "user-message",
                                           "<not text>", "user-message", "assistant-message"));

    advance(39ms);
    EXPECT_EQ(transcript().back(), "");
    advance(1ms);
    EXPECT_EQ(transcript().back(), "Here is");
    for (int step = 0; step < 5; ++step) {
        advance(40ms);
    }
    EXPECT_EQ(transcript().back(), "Here is a short answer from the simulated assistant.");
    EXPECT_FALSE(enabled("stop-button"));
    advance(400ms);
    EXPECT_EQ(transcript().back(), "Here is a short answer from the simulated assistant.");
}

TEST_F(ChatBehaviour, StopEndsTheReplyAndNewConversationClearsTheTranscript) {
    desktop().setAttribute(id("composer"), "AXValue", std::string("Tell me a story"));
    press("send-button");
    advance(40ms); // each chunk arms the next timer when it runs
    advance(40ms);
    EXPECT_EQ(transcript().back(), "Here is a short");
    press("stop-button");
    EXPECT_FALSE(enabled("stop-button"));
    advance(400ms);
    EXPECT_EQ(transcript().back(), "Here is a short");

    press("new-chat-button");
    EXPECT_THAT(transcript(), SizeIs(0));
    // A second prompt starts a new reply from the first chunk.
    desktop().setAttribute(id("composer"), "AXValue", std::string("Again"));
    press("send-button");
    advance(40ms);
    EXPECT_THAT(transcript(), ElementsAre("Again", "Here is"));
}

TEST_F(ChatBehaviour, AReplyWhoseMessageIsRemovedEndsAndDisablesStop) {
    desktop().setAttribute(id("composer"), "AXValue", std::string("Tell me a story"));
    press("send-button");
    advance(40ms);
    ASSERT_TRUE(enabled("stop-button"));
    const auto messages = desktop().childrenOf(id("transcript"));
    ASSERT_TRUE(desktop().removeElement(messages.back()));
    advance(40ms);
    EXPECT_FALSE(enabled("stop-button"));
    // The app is idle again: the next prompt gets a fresh reply.
    desktop().setAttribute(id("composer"), "AXValue", std::string("Again"));
    press("send-button");
    advance(40ms);
    EXPECT_EQ(transcript().back(), "Here is");
}

TEST_F(ChatBehaviour, SubmitWithAnEmptyComposerDoesNothing) {
    press("send-button");
    advance(400ms);
    EXPECT_THAT(transcript(), SizeIs(4));
    EXPECT_FALSE(enabled("stop-button"));
}

TEST_F(ChatBehaviour, ANeverSettlingReplyChangesEveryStepUntilStopped) {
    loadDemoWithChat("\"neverSettles\": true");
    submit("Go on forever");
    std::set<std::string> seen;
    for (int step = 0; step < 40; ++step) {
        advance(40ms);
        EXPECT_TRUE(seen.insert(transcript().back()).second) << "repeated: " << transcript().back();
        EXPECT_TRUE(enabled("stop-button"));
    }
    EXPECT_EQ(transcript().back(),
              "Here is a short answer from the simulated assistant. (34)"); // 6 chunks, then 34
    press("stop-button");
    const auto stopped = transcript().back();
    advance(400ms);
    EXPECT_EQ(transcript().back(), stopped);
    EXPECT_FALSE(enabled("stop-button"));

    // A new conversation ends it too, and nothing keeps running on the scheduler afterwards.
    submit("Again");
    advance(400ms);
    press("new-chat-button");
    EXPECT_THAT(transcript(), SizeIs(0));
    EXPECT_FALSE(enabled("stop-button"));
    advance(400ms);
    EXPECT_EQ(scheduler_.pendingCount(), 0u);
}

TEST_F(ChatBehaviour, NeverSettlingWithAZeroStepStillLetsTheLoopIdle) {
    std::string scenario(demoDesktopScenario());
    scenario.replace(scenario.find("\"stepMilliseconds\": 40"), 22,
                     "\"stepMilliseconds\": 0, \"neverSettles\": true");
    desktop().setScheduler(nullptr);
    backend_ = SimulatedDesktopBackend::fromScenarioText(scenario);
    SetUp();
    submit("Fast");
    advance(0ms); // all six chunks at once, then one change per millisecond
    EXPECT_EQ(transcript().back(), "Here is a short answer from the simulated assistant.");
    for (int step = 0; step < 3; ++step) {
        advance(1ms);
    }
    EXPECT_EQ(transcript().back(), "Here is a short answer from the simulated assistant. (3)");
}

// Each row scripts one change after the submit and checks the desktop just before and when it
// happens, mid-answer.
struct AfterSubmitRow {
    std::string name;
    std::string members;
    std::chrono::milliseconds at;
    std::function<void(SimulatedDesktop&, SimulatedDesktopBackend&)> check;
};

TEST_F(ChatBehaviour, ScriptedChangesAfterSubmitHappenMidAnswer) {
    const std::vector<AfterSubmitRow> rows = {
        {"quit", R"("afterSubmit": [{"afterMilliseconds": 100, "quit": true}])", 100ms,
         [](SimulatedDesktop& desktop, SimulatedDesktopBackend& backend) {
             EXPECT_FALSE(backend.application(kChatPid).has_value());
             EXPECT_FALSE(desktop.elementByKey("transcript").has_value());
         }},
        {"close", R"("afterSubmit": [{"afterMilliseconds": 60, "close": "chat-window"}])", 60ms,
         [](SimulatedDesktop& desktop, SimulatedDesktopBackend& backend) {
             EXPECT_TRUE(backend.application(kChatPid).has_value());
             EXPECT_THAT(desktop.windowsOf(kChatPid), SizeIs(0));
             EXPECT_FALSE(desktop.elementByKey("stop-button").has_value());
         }},
        {"relaunch", R"("afterSubmit": [{"afterMilliseconds": 100, "relaunch": true,
                         "newPid": 4343}])",
         100ms,
         [](SimulatedDesktop& desktop, SimulatedDesktopBackend& backend) {
             EXPECT_FALSE(backend.application(kChatPid).has_value());
             EXPECT_THAT(desktop.windowsOf(4343), SizeIs(1));
         }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        loadDemoWithChat(row.members);
        submit("Tell me a story");
        advance(row.at - 1ms);
        EXPECT_TRUE(enabled("stop-button")); // still answering
        EXPECT_NE(transcript().back(), "");
        advance(1ms);
        row.check(desktop(), *backend_);
        // The reply's timers find their message gone and stop; nothing is left on the loop.
        advance(1s);
        EXPECT_EQ(scheduler_.pendingCount(), 0u);
    }
}

TEST_F(ChatBehaviour, ARecreatedComposerGetsANewIdentityAndKeepsWorking) {
    loadDemoWithChat(R"("afterSubmit": [{"afterMilliseconds": 0, "recreate": "composer"}])");
    const auto oldComposer = id("composer");
    const auto oldHandle = backend_->focusedElement(kChatPid);
    submit("First");
    EXPECT_EQ(id("composer"), oldComposer); // not before the loop runs
    advance(0ms);
    EXPECT_NE(id("composer"), oldComposer);
    EXPECT_FALSE(desktop().exists(oldComposer));
    EXPECT_NE(backend_->focusedElement(kChatPid), oldHandle);
    EXPECT_EQ(value("composer"), "");
    for (int step = 0; step < 6; ++step) {
        advance(40ms);
    }
    EXPECT_EQ(transcript().back(), "Here is a short answer from the simulated assistant.");

    // The new composer drives the next turn, and each submit recreates it again.
    const auto secondComposer = id("composer");
    submit("Second");
    advance(0ms);
    EXPECT_NE(id("composer"), secondComposer);
    EXPECT_EQ(transcript().at(transcript().size() - 2), "Second");
}

} // namespace
} // namespace bix::ax
