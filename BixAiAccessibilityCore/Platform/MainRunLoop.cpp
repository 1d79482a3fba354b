#include "Platform/MainRunLoop.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <system_error>
#include <unistd.h>

namespace bix::ax {

namespace {

std::system_error systemError(const char* what) {
    return std::system_error(errno, std::generic_category(), what);
}

} // namespace

MainRunLoop::MainRunLoop() {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        throw systemError("eventfd");
    }
}

MainRunLoop::~MainRunLoop() {
    ::close(wakeFd_);
    if (signalFd_ >= 0) {
        ::close(signalFd_);
    }
}

void MainRunLoop::run() {
    loopThread_.store(std::this_thread::get_id());
    while (!stopRequested_.exchange(false)) {
        waitForEvents();
        drainWakeUps();
        dispatchSignals();
        runPostedTasks();
        runDueTimers();
    }
    loopThread_.store(std::thread::id{});
}

void MainRunLoop::runPending() {
    const auto previous = loopThread_.exchange(std::this_thread::get_id());
    drainWakeUps();
    runPostedTasks();
    runDueTimers();
    loopThread_.store(previous);
}

void MainRunLoop::stop() {
    stopRequested_.store(true);
    wakeUp();
}

void MainRunLoop::wakeUp() {
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) already means "wake up"; nothing else can fail on a valid eventfd.
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void MainRunLoop::post(RunLoopTask task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wakeUp();
}

RunLoopTimerId MainRunLoop::addTimer(std::chrono::milliseconds delay, RunLoopTask task) {
    RunLoopTimerId id = 0;
    {
        std::lock_guard lock(mutex_);
        id = nextTimerId_++;
        timers_.emplace(id, Timer{std::chrono::steady_clock::now() + delay, std::move(task)});
    }
    wakeUp(); // the new deadline may be earlier than the one poll is waiting for
    return id;
}

bool MainRunLoop::cancelTimer(RunLoopTimerId id) {
    std::lock_guard lock(mutex_);
    return timers_.erase(id) == 1;
}

void MainRunLoop::addSignalHandler(int signo, SignalHandler handler) {
    std::lock_guard lock(mutex_);
    signalHandlers_[signo] = std::move(handler);
    sigset_t mask;
    sigemptyset(&mask);
    for (const auto& entry : signalHandlers_) {
        sigaddset(&mask, entry.first);
    }
    if (int error = pthread_sigmask(SIG_BLOCK, &mask, nullptr); error != 0) {
        throw std::system_error(error, std::generic_category(), "pthread_sigmask");
    }
    const int fd = ::signalfd(signalFd_, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        throw systemError("signalfd");
    }
    signalFd_ = fd;
}

bool MainRunLoop::isLoopThread() const {
    return loopThread_.load() == std::this_thread::get_id();
}

int MainRunLoop::pollTimeoutMilliseconds() {
    std::lock_guard lock(mutex_);
    if (!tasks_.empty()) {
        return 0;
    }
    if (timers_.empty()) {
        return -1;
    }
    auto earliest = timers_.begin()->second.deadline;
    for (const auto& entry : timers_) {
        earliest = std::min(earliest, entry.second.deadline);
    }
    const auto remaining = earliest - std::chrono::steady_clock::now();
    if (remaining <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    // Round up so the loop never wakes just before the deadline and spins.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(remaining).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void MainRunLoop::waitForEvents() {
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {signalFd_, POLLIN, 0}};
    const nfds_t count = signalFd_ >= 0 ? 2 : 1;
    const int timeout = pollTimeoutMilliseconds();
    // EINTR just means "look again"; other poll errors cannot occur with valid descriptors.
    (void)::poll(fds, count, timeout);
}

void MainRunLoop::drainWakeUps() {
    std::uint64_t counter = 0;
    while (::read(wakeFd_, &counter, sizeof counter) < 0 && errno == EINTR) {
    }
}

void MainRunLoop::dispatchSignals() {
    if (signalFd_ < 0) {
        return;
    }
    signalfd_siginfo info{};
    while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        SignalHandler handler;
        {
            std::lock_guard lock(mutex_);
            auto found = signalHandlers_.find(static_cast<int>(info.ssi_signo));
            if (found != signalHandlers_.end()) {
                handler = found->second;
            }
        }
        if (handler) {
            const int signo = static_cast<int>(info.ssi_signo);
            runGuarded([&handler, signo] { handler(signo); });
        }
    }
}

void MainRunLoop::runPostedTasks() {
    std::vector<RunLoopTask> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(tasks_);
    }
    // Tasks posted while this batch runs wait for the next turn, so a task that re-posts itself
    // cannot starve signals or timers.
    for (const auto& task : batch) {
        runGuarded(task);
    }
}

void MainRunLoop::runDueTimers() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::pair<std::chrono::steady_clock::time_point, RunLoopTask>> due;
    {
        std::lock_guard lock(mutex_);
        for (auto it = timers_.begin(); it != timers_.end();) {
            if (it->second.deadline <= now) {
                due.emplace_back(it->second.deadline, std::move(it->second.task));
                it = timers_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Ids grow with creation, so the stable sort keeps creation order among equal deadlines.
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& entry : due) {
        runGuarded(entry.second);
    }
}

void MainRunLoop::runGuarded(const RunLoopTask& task) {
    try {
        task();
    } catch (...) {
        // Deliberately dropped: see the class comment.
    }
}

void ManualTaskScheduler::post(RunLoopTask task) {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
}

RunLoopTimerId ManualTaskScheduler::addTimer(std::chrono::milliseconds delay, RunLoopTask task) {
    const TimePoint deadline = now_() + delay;
    std::lock_guard lock(mutex_);
    const RunLoopTimerId id = nextTimerId_++;
    timers_.emplace(id, Timer{deadline, std::move(task)});
    return id;
}

bool ManualTaskScheduler::cancelTimer(RunLoopTimerId id) {
    std::lock_guard lock(mutex_);
    return timers_.erase(id) == 1;
}

std::size_t ManualTaskScheduler::runReady() {
    std::size_t ran = 0;
    while (runOne()) {
        ++ran;
    }
    return ran;
}

std::size_t ManualTaskScheduler::pendingCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size() + timers_.size();
}

bool ManualTaskScheduler::runOne() {
    const TimePoint now = now_();
    RunLoopTask task;
    {
        std::lock_guard lock(mutex_);
        if (!tasks_.empty()) {
            task = std::move(tasks_.front());
            tasks_.erase(tasks_.begin());
        } else {
            auto earliest = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.deadline <= now &&
                    (earliest == timers_.end() ||
                     it->second.deadline < earliest->second.deadline)) {
                    earliest = it;
                }
            }
            if (earliest == timers_.end()) {
                return false;
            }
            task = std::move(earliest->second.task);
            timers_.erase(earliest);
        }
    }
    task();
    return true;
}

} // namespace bix::ax
