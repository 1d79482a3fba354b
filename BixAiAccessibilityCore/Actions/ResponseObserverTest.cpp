#include "Actions/ActionsTestSupport.h"
#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/Redaction.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <optional>
#include <string>

namespace bix::ax {
namespace {

using actions_test::ChatFixture;
using namespace std::chrono_literals;

class ResponseObserverTest : public ::testing::Test, protected ChatFixture {
protected:
    ResponseObservationStarted start(std::int64_t stableMs = 1000,
                                     std::int64_t maximumWaitMs = 30'000,
                                     const std::string& turn = "turn-1") {
        turn_ = turn;
        started_ = observer.observe(bindingId, resolutionId, turn, stableMs, maximumWaitMs);
        return started_;
    }
    LatestResponseResult read() {
        return observer.latest(started_.observationId, bindingId, resolutionId, turn_);
    }
    std::function<void()> readFn() {
        return [this] { read(); };
    }
    // Writes a prompt and submits it, as the host does before it observes.
    void ask(const std::string& prompt) {
        actions.setComposerText(bindingId, resolutionId, prompt);
        actions.pressSubmit(bindingId, resolutionId);
    }
    void setAnswer(const std::string& text) {
        desktop().setAttribute(assistant(), "AXValue", text);
    }
    SimulatedElementId assistant() {
        for (auto message : desktop().childrenOf(id("transcript"))) {
            if (desktop().attributeValue(message, "AXIdentifier") ==
                SimulatedValue(std::string("assistant-message"))) {
                return message;
            }
        }
        return 0;
    }

    ResponseObservationStarted started_;
    std::string turn_;
    const testing::Matcher<std::function<void()>> unknown_ =
        FailsWith(HelperErrorCode::observationNotFound, "Response observation is unknown.");
};

TEST_F(ResponseObserverTest, RefusesBoundsOutsideTheirRanges) {
    struct Bounds {
        std::int64_t stableMs;
        std::int64_t maximumWaitMs;
        std::string turn;
        bool accepted;
    };
    for (const auto& b : {Bounds{499, 5000, "t", false}, Bounds{10'001, 5000, "t", false},
                          Bounds{500, 4999, "t", false}, Bounds{500, 600'001, "t", false},
                          Bounds{500, 5000, "", false}, Bounds{500, 5000, "not opaque", false},
                          Bounds{500, 5000, "t", true}, Bounds{10'000, 600'000, "t", true}}) {
        const auto call = [&] {
            observer.observe(bindingId, resolutionId, b.turn, b.stableMs, b.maximumWaitMs);
        };
        if (b.accepted) {
            EXPECT_NO_THROW(call());
        } else {
            EXPECT_THAT(call, FailsWith(HelperErrorCode::invalidRequest,
                                        "Response observation bounds are invalid."));
        }
    }
}

TEST_F(ResponseObserverTest, FollowsAStreamedAnswerUntilItIsStable) {
    ask("What is 2+2?"); // the submit's poll let the first chunk in
    const auto started = start(1000);
    EXPECT_EQ(started.mode, "ax-observer");
    EXPECT_TRUE(started.baselinePresent);
    EXPECT_EQ(read().status, "pending"); // nothing new since the start

    advance(40ms); // the next chunk; its notification lets the read through at once
    auto partial = read();
    EXPECT_EQ(partial.status, "streaming");
    EXPECT_EQ(partial.text, "Here is a short");
    EXPECT_EQ(partial.contentFingerprint, Redaction::contentFingerprint("Here is a short"));

    for (int chunk = 0; chunk < 4; ++chunk) {
        advance(40ms); // each chunk arms the timer of the next one
    }
    ASSERT_EQ(read().status, "streaming");
    advance(750ms);
    EXPECT_EQ(read().status, "streaming"); // unchanged, but not yet for a whole second
    advance(250ms);
    const auto done = read();
    EXPECT_EQ(done.status, "complete");
    EXPECT_EQ(done.text, "Here is a short answer from the simulated assistant.");
    EXPECT_EQ(done.observedAt, clock.now());
    EXPECT_THAT(readFn(), unknown_);
    EXPECT_EQ(desktop().notificationRegistrationCount(), 0u);
}

TEST_F(ResponseObserverTest, ReadsAreSpacedUnlessANotificationArrived) {
    start(500);
    setAnswer("Partial");
    advance(0ms);
    EXPECT_EQ(read().status, "streaming");
    setAnswer("Partial answer"); // its notification is still queued
    clock.advance(100ms);
    EXPECT_EQ(read().status, "pending");
    advance(0ms); // delivered now
    const auto through = read();
    EXPECT_EQ(through.status, "streaming");
    EXPECT_EQ(through.text, "Partial answer");
}

TEST_F(ResponseObserverTest, AnUnchangedAnswerStaysPendingAndTimesOutAtTheDeadline) {
    start(500, 5000);
    for (int step = 0; step < 19; ++step) {
        advance(250ms);
        EXPECT_EQ(read().status, "pending"); // the previous answer is still shown
    }
    advance(249ms);
    EXPECT_EQ(read().status, "pending");
    advance(1ms);
    EXPECT_THAT(readFn(),
                FailsWith(HelperErrorCode::responseTimeout, "Response observation timed out."));
    EXPECT_THAT(readFn(), unknown_);
}

TEST_F(ResponseObserverTest, OnlyItsOwnIdentifiersReadAnObservation) {
    const auto started = start();
    EXPECT_THAT([&] { observer.latest(started.observationId, bindingId, resolutionId, "turn-2"); },
                unknown_);
    EXPECT_THAT([&] { observer.latest(started.observationId, "binding_X", resolutionId, turn_); },
                unknown_);
    EXPECT_EQ(read().status, "pending");

    // A newer observation of the binding replaces it and cancels its registration.
    const auto registrations = desktop().notificationRegistrationCount();
    const auto newer = observer.observe(bindingId, resolutionId, "turn-2", 500, 5000);
    EXPECT_THAT(readFn(), unknown_);
    EXPECT_EQ(desktop().notificationRegistrationCount(), registrations);
    observer.remove(bindingId);
    EXPECT_THAT([&] { observer.latest(newer.observationId, bindingId, resolutionId, "turn-2"); },
                unknown_);
    EXPECT_EQ(desktop().notificationRegistrationCount(), 0u);
}

TEST_F(ResponseObserverTest, TypingAfterTheComposerClearedIsInterference) {
    struct Case {
        const char* name;
        std::vector<std::string> composerValues; // each with a notification
        const char* status;
    };
    for (const auto& c : {Case{"prompt still shown", {"What is 2+2?"}, "streaming"},
                          Case{"cleared, then typed", {"", "Another question"}, "interfered"},
                          Case{"other text at once", {"Something else"}, "interfered"}}) {
        SCOPED_TRACE(c.name);
        ChatFixture chat;
        chat.actions.setComposerText(chat.bindingId, chat.resolutionId, "What is 2+2?");
        const auto started =
            chat.observer.observe(chat.bindingId, chat.resolutionId, "turn", 500, 30'000);
        for (const auto& value : c.composerValues) {
            chat.typeIntoComposer(value);
            chat.advance(0ms);
        }
        chat.desktop().setAttribute(chat.id("composer"), "AXValue", c.composerValues.back());
        for (auto message : chat.desktop().childrenOf(chat.id("transcript"))) {
            chat.desktop().setAttribute(message, "AXValue", std::string("New text"));
        }
        chat.advance(300ms);
        const auto result =
            chat.observer.latest(started.observationId, chat.bindingId, chat.resolutionId, "turn");
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(chat.observer.observationCount(),
                  std::string(c.status) == "interfered" ? 0u : 1u);
    }
}

TEST_F(ResponseObserverTest, AnApplicationWithoutNotificationsIsPolled) {
    for (const char* key : {"chat-window", "composer", "transcript"}) {
        desktop().setSupportedNotifications(id(key), std::set<std::string>{});
    }
    for (auto message : desktop().childrenOf(id("transcript"))) {
        desktop().setSupportedNotifications(message, std::set<std::string>{});
    }
    const auto started = start(500);
    EXPECT_EQ(started.mode, "bounded-polling");
    setAnswer("Polled answer");
    advance(250ms);
    EXPECT_EQ(read().status, "streaming");
    advance(500ms);
    EXPECT_EQ(read().status, "complete");
}

TEST_F(ResponseObserverTest, AMissingAnswerIsNoBaselineAndReadsAsPending) {
    desktop().removeElement(assistant());
    const auto started = start(500);
    EXPECT_FALSE(started.baselinePresent);
    advance(250ms);
    EXPECT_EQ(read().status, "pending");
    desktop().addChild(id("transcript"), SimulatedElementSpec::withRole("AXStaticText")
                                             .set("AXIdentifier", std::string("assistant-message"))
                                             .set("AXValue", std::string("")));
    advance(250ms);
    EXPECT_EQ(read().status, "pending"); // empty text
    setAnswer("Now there is text");
    advance(250ms);
    EXPECT_EQ(read().status, "streaming");
}

} // namespace
} // namespace bix::ax
