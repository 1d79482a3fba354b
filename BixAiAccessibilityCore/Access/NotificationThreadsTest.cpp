#include "Access/AccessTestSupport.h"
#include "Platform/MainRunLoop.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace bix::ax {
namespace {

using namespace access_test;
using namespace std::chrono_literals;

// Runs a MainRunLoop on its own thread for the test's duration and always stops and joins it.
class LoopThread {
public:
    LoopThread() : thread_([this] { loop.run(); }) {}
    ~LoopThread() {
        loop.stop();
        thread_.join();
    }
    // Returns once every task posted before this call has run on the loop thread.
    bool drain() {
        std::mutex mutex;
        std::condition_variable ran;
        bool done = false;
        loop.post([&] {
            std::lock_guard guard(mutex);
            done = true;
            ran.notify_all();
        });
        std::unique_lock lock(mutex);
        return ran.wait_for(lock, 30s, [&] { return done; });
    }

    MainRunLoop loop;

private:
    std::thread thread_;
};

// Counts deliveries and checks each one runs on the loop thread and may read the backend.
struct DeliveryLog {
    std::mutex mutex;
    std::condition_variable changed;
    int deliveries = 0;
    int offLoopThread = 0;
    int failedReads = 0;

    bool waitFor(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 30s, [&] { return deliveries >= count; });
    }
    int count() {
        std::lock_guard guard(mutex);
        return deliveries;
    }
};

TEST(NotificationThreads, DeliveredOnTheLoopThreadWhileAnotherThreadUsesTheBackend) {
    ChatDesktop chat;
    LoopThread loopThread;
    chat.desktop().setScheduler(&loopThread.loop);
    const auto composer = chat.handle("composer");
    DeliveryLog log;
    auto observation =
        chat.backend->observe(kAppPid, {composer}, {std::string(kAXValueChangedNotification)},
                              [&](const AXElementHandle& element, const std::string&) {
                                  bool readOk = true;
                                  try {
                                      chat.backend->snapshot(element, true);
                                  } catch (const HelperProtocolError&) {
                                      readOk = false;
                                  }
                                  std::lock_guard guard(log.mutex);
                                  ++log.deliveries;
                                  log.offLoopThread += loopThread.loop.isLoopThread() ? 0 : 1;
                                  log.failedReads += readOk ? 0 : 1;
                                  log.changed.notify_all();
                              });

    constexpr int kChanges = 200;
    std::thread writer([&] {
        for (int i = 0; i < kChanges; ++i) {
            chat.desktop().setAttribute(chat.id("composer"), "AXValue", std::to_string(i));
        }
    });
    // Meanwhile this thread reads and grows the tree, minting handles concurrently.
    for (int i = 0; i < 100; ++i) {
        chat.desktop().addChild(chat.id("group"), pressable("extra-" + std::to_string(i)));
        for (const auto& child : chat.backend->snapshot(chat.handle("group"), false).children) {
            chat.backend->snapshot(child, true);
        }
    }
    writer.join();

    ASSERT_TRUE(log.waitFor(kChanges));
    {
        std::lock_guard guard(log.mutex);
        EXPECT_EQ(log.deliveries, kChanges);
        EXPECT_EQ(log.offLoopThread, 0);
        EXPECT_EQ(log.failedReads, 0);
    }

    // After cancel() returns, nothing further is delivered, not even changes made at once.
    std::thread canceller([&] { observation->cancel(); });
    canceller.join();
    chat.desktop().setAttribute(chat.id("composer"), "AXValue", std::string("after cancel"));
    ASSERT_TRUE(loopThread.drain());
    EXPECT_EQ(log.count(), kChanges);
    chat.desktop().setScheduler(nullptr);
}

TEST(NotificationThreads, CancelRacingDeliveriesLeavesNoRegistrationAndNoLateCalls) {
    ChatDesktop chat;
    LoopThread loopThread;
    chat.desktop().setScheduler(&loopThread.loop);
    const auto composer = chat.handle("composer");
    for (int round = 0; round < 20; ++round) {
        std::atomic<int> calls{0};
        auto observation =
            chat.backend->observe(kAppPid, {composer}, {std::string(kAXValueChangedNotification)},
                                  [&](const AXElementHandle&, const std::string&) { ++calls; });
        std::thread writer([&] {
            for (int i = 0; i < 50; ++i) {
                chat.desktop().setAttribute(chat.id("composer"), "AXValue", std::to_string(i));
            }
        });
        std::thread canceller([&] { observation->cancel(); });
        canceller.join();
        writer.join();
        ASSERT_TRUE(loopThread.drain());
        const int settled = calls.load();
        chat.desktop().setAttribute(chat.id("composer"), "AXValue", std::string("late"));
        ASSERT_TRUE(loopThread.drain());
        EXPECT_EQ(calls.load(), settled);
        EXPECT_LE(settled, 50);
        EXPECT_EQ(chat.desktop().notificationRegistrationCount(), 0u);
    }
    chat.desktop().setScheduler(nullptr);
}

} // namespace
} // namespace bix::ax
