#include "Access/AccessTestSupport.h"
#include "Platform/MainRunLoop.h"
#include "Protocol/HelperErrorTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <utility>
#include <vector>

namespace bix::ax {
namespace {

using namespace access_test;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

const std::string kValueChanged(kAXValueChangedNotification);
const std::string kDestroyed(kAXUIElementDestroyedNotification);
const std::string kLayoutChanged(kAXLayoutChangedNotification);

// Records every delivery; thread-safe like a real handler must be.
struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<AXElementHandle, std::string>> calls;

    AXNotificationHandler handler() {
        return [this](const AXElementHandle& element, const std::string& name) {
            std::lock_guard guard(mutex);
            calls.emplace_back(element, name);
        };
    }
};

class Observation : public ::testing::Test {
protected:
    void SetUp() override {
        chat_.desktop().setScheduler(&scheduler_);
        composer_ = chat_.handle("composer");
        send_ = chat_.handle("send");
    }
    void TearDown() override { chat_.desktop().setScheduler(nullptr); }

    std::shared_ptr<AXObservation> observe(std::vector<AXElementHandle> elements,
                                           std::vector<std::string> names) {
        return chat_.backend->observe(kAppPid, elements, names, recorder_.handler());
    }
    std::size_t registrations() { return chat_.desktop().notificationRegistrationCount(); }

    ManualClock clock_;
    ManualTaskScheduler scheduler_{clock_.clock()};
    ChatDesktop chat_;
    Recorder recorder_;
    AXElementHandle composer_;
    AXElementHandle send_;
};

TEST_F(Observation, RequestOutsideTheAllowlistIsRefusedBeforeAnyPlatformCall) {
    const auto refused =
        FailsWith(HelperErrorCode::invalidRequest, "Observation request is not allowlisted.");
    EXPECT_THAT([&] { observe({composer_}, {"AXFocusedUIElementChanged"}); }, refused);
    EXPECT_THAT([&] { observe({composer_}, {kValueChanged, "AXTitleChanged"}); }, refused);
    EXPECT_THAT([&] { observe({}, {kValueChanged}); }, refused);
    EXPECT_THAT([&] { observe({composer_}, {}); }, refused);
    EXPECT_EQ(registrations(), 0u);

    chat_.desktop().setTrusted(false);
    EXPECT_THAT(
        [&] { observe({composer_}, {"AXFocusedUIElementChanged"}); },
        FailsWith(HelperErrorCode::permissionDenied, "Accessibility permission is unavailable."));
}

TEST_F(Observation, UnsupportedPairsAreSkippedAndDeliveryCarriesTheRegisteredHandle) {
    chat_.desktop().setSupportedNotifications(chat_.id("composer"),
                                              std::set<std::string>{kValueChanged});
    chat_.desktop().setSupportedNotifications(chat_.id("send"), std::set<std::string>{kDestroyed});
    auto observation = observe({composer_, send_}, {kValueChanged, kDestroyed});
    EXPECT_EQ(registrations(), 2u);

    chat_.desktop().setAttribute(chat_.id("composer"), "AXValue", std::string("typed"));
    chat_.desktop().removeElement(chat_.id("send"));
    // Delivery happens on the run loop only.
    EXPECT_THAT(recorder_.calls, IsEmpty());
    scheduler_.runReady();
    EXPECT_THAT(recorder_.calls,
                ElementsAre(Pair(composer_, kValueChanged), Pair(send_, kDestroyed)));
}

TEST_F(Observation, TargetSupportingNothingLeavesNothingRegistered) {
    chat_.desktop().setSupportedNotifications(chat_.id("composer"), std::set<std::string>{});
    EXPECT_THAT(
        [&] {
            observe({composer_}, {kValueChanged, kLayoutChanged});
        },
        FailsWith(HelperErrorCode::actionUnsupported,
                  "The target exposes no supported AX notifications."));
    EXPECT_EQ(registrations(), 0u);
}

TEST_F(Observation, FailureOnALaterPairRemovesTheEarlierOnes) {
    chat_.desktop().injectError(chat_.id("send"), AXOperation::addNotification, ax::kFailure,
                                kValueChanged);
    EXPECT_THAT(
        [&] {
            observe({composer_, send_}, {kLayoutChanged, kValueChanged});
        },
        FailsWith(HelperErrorCode::actionFailed, "The AX operation failed safely."));
    EXPECT_EQ(registrations(), 0u);

    // A name given twice meets the platform's already-registered answer.
    EXPECT_THAT(
        [&] {
            observe({composer_}, {kValueChanged, kValueChanged});
        },
        FailsWith(HelperErrorCode::actionFailed, "The AX operation failed safely."));
    EXPECT_EQ(registrations(), 0u);

    EXPECT_THAT(
        [&] {
            observe({composer_, AXElementHandle{"never-minted"}}, {kValueChanged});
        },
        FailsWith(HelperErrorCode::targetStale, "AX element is no longer available."));
    EXPECT_EQ(registrations(), 0u);

    chat_.desktop().setSupportedNotifications(chat_.id("composer"),
                                              std::set<std::string>{kValueChanged});
    chat_.desktop().setAttribute(chat_.id("composer"), "AXValue", std::string("x"));
    scheduler_.runReady();
    EXPECT_THAT(recorder_.calls, IsEmpty());
}

TEST_F(Observation, CancelStopsDeliveryEvenOfQueuedNotificationsAndIsIdempotent) {
    auto observation = observe({composer_}, {kValueChanged});
    chat_.desktop().setAttribute(chat_.id("composer"), "AXValue", std::string("queued"));
    observation->cancel();
    observation->cancel();
    EXPECT_EQ(registrations(), 0u);
    scheduler_.runReady();
    EXPECT_THAT(recorder_.calls, IsEmpty());
}

TEST_F(Observation, DestroyingTheObservationCancelsIt) {
    auto observation = observe({composer_, send_}, {kValueChanged});
    EXPECT_EQ(registrations(), 2u);
    observation.reset();
    EXPECT_EQ(registrations(), 0u);
    chat_.desktop().setAttribute(chat_.id("composer"), "AXValue", std::string("after"));
    scheduler_.runReady();
    EXPECT_THAT(recorder_.calls, IsEmpty());
}

TEST_F(Observation, LayoutChangesReachObserversOfAncestors) {
    auto window = chat_.handle("window");
    auto observation = observe({window}, {kLayoutChanged, kValueChanged});
    chat_.desktop().addChild(chat_.id("group"), pressable("extra"));
    chat_.desktop().setAttribute(chat_.id("composer"), "AXValue", std::string("not the window"));
    scheduler_.runReady();
    EXPECT_THAT(recorder_.calls, ElementsAre(Pair(window, kLayoutChanged)));
}

TEST_F(Observation, HandlerMayCallBackIntoTheBackend) {
    std::vector<std::string> seenValues;
    auto observation = chat_.backend->observe(
        kAppPid, {composer_}, {kValueChanged},
        [&](const AXElementHandle& element, const std::string&) {
            seenValues.push_back(chat_.backend->snapshot(element, true).value.value_or(""));
        });
    chat_.desktop().setAttribute(chat_.id("composer"), "AXValue", std::string("one"));
    scheduler_.runReady();
    EXPECT_THAT(seenValues, ElementsAre("one"));
}

} // namespace
} // namespace bix::ax
