#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

namespace bix::ax {

using TimePoint = std::chrono::system_clock::time_point;

// The clock every service reads instead of the system clock, injected at construction so tests can
// drive expiries without sleeping.
using Clock = std::function<TimePoint()>;

inline Clock systemClock() {
    return [] { return std::chrono::system_clock::now(); };
}

// A clock that only moves when told to. Shared by copy: every copy of `clock()` reads the same
// time. Thread-safe, so a test may advance it while a service on another thread reads it.
class ManualClock {
public:
    explicit ManualClock(TimePoint start = TimePoint{std::chrono::seconds{1'700'000'000}})
        : state_(std::make_shared<State>(start)) {}

    Clock clock() const {
        auto state = state_;
        return [state] {
            std::lock_guard lock(state->mutex);
            return state->now;
        };
    }
    TimePoint now() const {
        std::lock_guard lock(state_->mutex);
        return state_->now;
    }
    void advance(std::chrono::system_clock::duration by) {
        std::lock_guard lock(state_->mutex);
        state_->now += by;
    }
    void set(TimePoint to) {
        std::lock_guard lock(state_->mutex);
        state_->now = to;
    }

private:
    struct State {
        explicit State(TimePoint start) : now(start) {}
        std::mutex mutex; // guards now
        TimePoint now;
    };
    std::shared_ptr<State> state_;
};

} // namespace bix::ax
