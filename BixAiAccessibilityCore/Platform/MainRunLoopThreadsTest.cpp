#include "Platform/MainRunLoop.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace bix::ax {
namespace {

TEST(MainRunLoopThreads, TasksPostedFromOtherThreadsRunOnTheLoopThreadAndStopEndsTheRun) {
    MainRunLoop loop;
    constexpr int kPerThread = 500;
    std::vector<int> order; // touched only on the loop thread
    bool allOnLoopThread = true;
    std::vector<std::thread> posters;
    for (int t = 0; t < 2; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                loop.post([&, t, i] {
                    allOnLoopThread = allOnLoopThread && loop.isLoopThread();
                    order.push_back(t * kPerThread + i);
                });
            }
        });
    }
    std::thread stopper([&] {
        for (auto& poster : posters) {
            poster.join();
        }
        loop.post([&] { loop.stop(); });
    });
    loop.run();
    stopper.join();
    ASSERT_EQ(order.size(), 2u * kPerThread);
    EXPECT_TRUE(allOnLoopThread);
    // Each poster's tasks keep their relative order.
    int last[2] = {-1, -1};
    for (int value : order) {
        const int t = value / kPerThread;
        EXPECT_GT(value, last[t]);
        last[t] = value;
    }
}

TEST(MainRunLoopThreads, StopFromAnotherThreadWakesAnIdleLoop) {
    MainRunLoop loop;
    std::atomic<bool> stopperRan{false};
    std::thread stopper;
    // Started from inside the loop, so the stop usually lands while poll is waiting.
    loop.post([&] {
        stopper = std::thread([&] {
            stopperRan = true;
            loop.stop();
        });
    });
    loop.run();
    stopper.join();
    EXPECT_TRUE(stopperRan);
}

} // namespace
} // namespace bix::ax
