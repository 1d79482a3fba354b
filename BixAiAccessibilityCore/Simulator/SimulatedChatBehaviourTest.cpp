#include "Access/AccessibilityTreeReader.h"
#include "Platform/MainRunLoop.h"
#include "Simulator/SimulatedDesktopBackend.h"

#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace bix {
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

} // namespace
} // namespace bix
