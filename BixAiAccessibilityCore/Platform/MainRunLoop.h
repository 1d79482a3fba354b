#pragma once

#include "Platform/Clock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace bix::ax {

using RunLoopTask = std::function<void()>;
using RunLoopTimerId = std::uint64_t;

// Where services schedule work that must run on the main thread: posted tasks (accessibility
// notifications, scripted application behaviour) and one-shot timers. All three operations are
// thread-safe. Tasks run one at a time, in posting order; a timer runs once, at or after its delay.
class TaskScheduler {
public:
    virtual ~TaskScheduler() = default;

    // Queues `task` to run on the scheduler's thread.
    virtual void post(RunLoopTask task) = 0;
    // Runs `task` once, no earlier than `delay` from now. Returns an id for `cancelTimer`.
    virtual RunLoopTimerId addTimer(std::chrono::milliseconds delay, RunLoopTask task) = 0;
    // Cancels a timer that has not started; returns false when it already ran or never existed.
    virtual bool cancelTimer(RunLoopTimerId id) = 0;
};

// The main thread's run loop: poll(2) over an eventfd (wake-ups and posted tasks), a signalfd
// (signals handed to registered handlers) and the earliest timer's deadline.
// Owns both descriptors, the task queue and the timer table; `mutex_` guards the queue, the timers
// and the signal handlers. Tasks, timers and signal handlers run on the thread inside `run()` with
// no lock held, so they may post, add timers or stop the loop. An exception leaving a task is
// swallowed: a notification handler must not take the process down.
class MainRunLoop final : public TaskScheduler {
public:
    using SignalHandler = std::function<void(int)>;

    // Throws std::system_error when the kernel refuses an eventfd.
    MainRunLoop();
    ~MainRunLoop() override;
    MainRunLoop(const MainRunLoop&) = delete;
    MainRunLoop& operator=(const MainRunLoop&) = delete;

    // Serves tasks, timers and signals until `stop()`. A `stop()` that arrived before `run()`
    // makes it return at once; each stop ends exactly one run.
    void run();
    // Runs every task already posted and every timer already due, without waiting. For tests and
    // for draining work after `run()` returned.
    void runPending();

    void stop();   // thread-safe
    void wakeUp(); // thread-safe: makes a blocked poll return
    void post(RunLoopTask task) override;
    RunLoopTimerId addTimer(std::chrono::milliseconds delay, RunLoopTask task) override;
    bool cancelTimer(RunLoopTimerId id) override;

    // Routes `signo` to `handler` on the loop's thread. The signal is blocked in the calling
    // thread so it stays pending for the signalfd; call this on the main thread before any other
    // thread starts, so every thread inherits the blocked mask. Throws std::system_error.
    void addSignalHandler(int signo, SignalHandler handler);

    // True on the thread currently inside `run()` or `runPending()`.
    bool isLoopThread() const;

private:
    struct Timer {
        std::chrono::steady_clock::time_point deadline;
        RunLoopTask task;
    };

    int pollTimeoutMilliseconds();
    void waitForEvents();
    void drainWakeUps();
    void dispatchSignals();
    void runPostedTasks();
    void runDueTimers();
    static void runGuarded(const RunLoopTask& task);

    int wakeFd_ = -1;
    int signalFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    std::atomic<std::thread::id> loopThread_{};
    mutable std::mutex mutex_; // guards tasks_, timers_, nextTimerId_, signalHandlers_
    std::vector<RunLoopTask> tasks_;
    std::map<RunLoopTimerId, Timer> timers_;
    RunLoopTimerId nextTimerId_ = 1;
    std::map<int, SignalHandler> signalHandlers_;
};

// A scheduler for unit tests: nothing runs until `runReady()`, and timers fall due by an injected
// clock (normally a ManualClock), so tests advance time instead of sleeping.
// `mutex_` guards the queue and the timers; tasks run with no lock held.
class ManualTaskScheduler final : public TaskScheduler {
public:
    explicit ManualTaskScheduler(Clock now) : now_(std::move(now)) {}

    void post(RunLoopTask task) override;
    RunLoopTimerId addTimer(std::chrono::milliseconds delay, RunLoopTask task) override;
    bool cancelTimer(RunLoopTimerId id) override;

    // Runs posted tasks and due timers (in deadline order) until none is left that is ready at
    // the clock's current time. Returns how many ran.
    std::size_t runReady();
    std::size_t pendingCount() const;

private:
    struct Timer {
        TimePoint deadline;
        RunLoopTask task;
    };
    bool runOne();

    Clock now_;
    mutable std::mutex mutex_; // guards tasks_, timers_, nextTimerId_
    std::vector<RunLoopTask> tasks_;
    std::map<RunLoopTimerId, Timer> timers_;
    RunLoopTimerId nextTimerId_ = 1;
};

} // namespace bix::ax
