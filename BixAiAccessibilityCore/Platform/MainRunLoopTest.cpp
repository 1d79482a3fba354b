#include "Platform/MainRunLoop.h"

#include <csignal>
#include <gtest/gtest.h>
#include <pthread.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace bix::ax {
namespace {

using std::chrono::milliseconds;

TEST(MainRunLoop, StopBeforeRunMakesRunReturnAtOnceAndOnlyOnce) {
    MainRunLoop loop;
    loop.stop();
    loop.run(); // would block forever if the early stop were lost
    std::vector<int> ran;
    loop.post([&] { ran.push_back(1); });
    loop.post([&] { loop.stop(); });
    loop.run(); // the first stop was consumed: this run serves the posted tasks
    EXPECT_EQ(ran, std::vector<int>{1});
}

TEST(MainRunLoop, PostedTasksRunInOrderOnTheLoopThread) {
    MainRunLoop loop;
    std::vector<std::string> seen;
    loop.post([&] { seen.push_back(loop.isLoopThread() ? "a@loop" : "a@other"); });
    loop.post([&] {
        seen.push_back("b");
        loop.post([&] { seen.push_back("c-posted-by-b"); });
    });
    loop.post([&] { loop.post([&] { loop.stop(); }); });
    loop.run();
    EXPECT_EQ(seen, (std::vector<std::string>{"a@loop", "b", "c-posted-by-b"}));
    EXPECT_FALSE(loop.isLoopThread());
}

TEST(MainRunLoop, TimersFireInDeadlineOrderAndCancelledOnesNever) {
    MainRunLoop loop;
    std::vector<std::string> fired;
    loop.addTimer(milliseconds(30), [&] {
        fired.push_back("late");
        loop.stop();
    });
    const auto cancelled = loop.addTimer(milliseconds(1), [&] { fired.push_back("cancelled"); });
    loop.addTimer(milliseconds(5), [&] { fired.push_back("early"); });
    EXPECT_TRUE(loop.cancelTimer(cancelled));
    EXPECT_FALSE(loop.cancelTimer(cancelled));
    loop.run();
    EXPECT_EQ(fired, (std::vector<std::string>{"early", "late"}));
}

TEST(MainRunLoop, ThrowingTaskDoesNotEndTheLoop) {
    MainRunLoop loop;
    bool afterThrow = false;
    loop.post([] { throw std::runtime_error("handler failure"); });
    loop.post([&] {
        afterThrow = true;
        loop.stop();
    });
    loop.run();
    EXPECT_TRUE(afterThrow);
}

TEST(MainRunLoop, RunPendingRunsReadyWorkWithoutWaiting) {
    MainRunLoop loop;
    int count = 0;
    loop.post([&] { ++count; });
    loop.addTimer(milliseconds(0), [&] { ++count; });
    loop.addTimer(milliseconds(60'000), [&] { count += 100; });
    loop.runPending();
    EXPECT_EQ(count, 2);
}

TEST(MainRunLoop, SignalIsDeliveredToItsHandlerOnTheLoopThread) {
    sigset_t previous;
    pthread_sigmask(SIG_SETMASK, nullptr, &previous);
    {
        MainRunLoop loop;
        std::vector<int> signals;
        loop.addSignalHandler(SIGUSR2, [&](int signo) {
            signals.push_back(signo);
            loop.stop();
        });
        // Directed at this thread, where the signal is now blocked: it waits for the signalfd.
        ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR2), 0);
        loop.run();
        EXPECT_EQ(signals, std::vector<int>{SIGUSR2});
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

TEST(ManualTaskScheduler, TimersFallDueExactlyAtTheirDeadlineByTheInjectedClock) {
    ManualClock clock;
    ManualTaskScheduler scheduler(clock.clock());
    std::vector<std::string> ran;
    scheduler.addTimer(milliseconds(200), [&] { ran.push_back("200"); });
    scheduler.addTimer(milliseconds(100), [&] { ran.push_back("100"); });
    const auto cancelled = scheduler.addTimer(milliseconds(50), [&] { ran.push_back("50"); });
    scheduler.post([&] { ran.push_back("posted"); });
    EXPECT_TRUE(scheduler.cancelTimer(cancelled));

    EXPECT_EQ(scheduler.runReady(), 1u);
    clock.advance(milliseconds(99));
    EXPECT_EQ(scheduler.runReady(), 0u);
    clock.advance(milliseconds(1));
    EXPECT_EQ(scheduler.runReady(), 1u);
    clock.advance(milliseconds(500));
    EXPECT_EQ(scheduler.runReady(), 1u);
    EXPECT_EQ(ran, (std::vector<std::string>{"posted", "100", "200"}));
    EXPECT_EQ(scheduler.pendingCount(), 0u);
}

TEST(ManualTaskScheduler, TaskPostedByATaskRunsInTheSameTurn) {
    ManualClock clock;
    ManualTaskScheduler scheduler(clock.clock());
    int depth = 0;
    scheduler.post([&] {
        ++depth;
        scheduler.post([&] { ++depth; });
    });
    EXPECT_EQ(scheduler.runReady(), 2u);
    EXPECT_EQ(depth, 2);
}

} // namespace
} // namespace bix::ax
