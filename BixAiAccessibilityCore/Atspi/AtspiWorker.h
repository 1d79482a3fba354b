#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace bix::ax::atspi {

// One round trip to a target may take this long before libatspi gives up on it; the startup
// allowance is the same, so a newly started target gets no longer.
inline constexpr int kBusCallTimeoutMs = 500;

// The one thread that talks to the accessibility bus. libatspi is single-threaded and delivers
// its events on the GLib main context, so every call from the helper's threads is queued here
// and run in order, and the context is iterated between calls. Calls wait a bounded time: a
// target that stops answering costs a caller at most its wait, never a hang.
//
// `lock_` guards the queue and the stop flag; tasks run with no lock held.
class AtspiWorker : public std::enable_shared_from_this<AtspiWorker> {
public:
    using Task = std::function<void()>;

    // Starts the thread, connects to the accessibility bus on it and runs `setUp` there once.
    // Whether the bus answered is `connected()`.
    static std::shared_ptr<AtspiWorker> start(std::function<void()> setUp);
    ~AtspiWorker();
    AtspiWorker(const AtspiWorker&) = delete;
    AtspiWorker& operator=(const AtspiWorker&) = delete;

    bool connected() const { return connected_; }
    bool onWorkerThread() const { return std::this_thread::get_id() == threadId_; }

    // Runs `fn` on the worker and returns its result, or nullopt when it did not finish within
    // `wait` (it still runs later; its result is then dropped). Called on the worker itself, it
    // runs `fn` directly.
    template <typename Fn>
    auto call(Fn&& fn, std::chrono::milliseconds wait) -> std::optional<decltype(fn())> {
        using Result = decltype(fn());
        if (onWorkerThread()) {
            return fn();
        }
        struct Slot {
            std::mutex mutex;
            std::condition_variable done;
            std::optional<Result> result;
        };
        auto slot = std::make_shared<Slot>();
        post([slot, fn = std::forward<Fn>(fn)]() mutable {
            Result result = fn();
            std::lock_guard guard(slot->mutex);
            slot->result.emplace(std::move(result));
            slot->done.notify_all();
        });
        std::unique_lock lock(slot->mutex);
        slot->done.wait_for(lock, wait, [&] { return slot->result.has_value(); });
        return std::move(slot->result);
    }

    // Queues `task` to run on the worker; never waits.
    void post(Task task);

private:
    AtspiWorker() = default;
    void run(std::function<void()> setUp, std::promise<void>* started);
    void runQueuedTasks();
    void wake();

    mutable std::mutex lock_;
    std::deque<Task> queue_;
    bool stopping_ = false;
    int wakeFd_ = -1;
    bool connected_ = false;
    std::thread::id threadId_;
    std::thread thread_;
};

} // namespace bix::ax::atspi
