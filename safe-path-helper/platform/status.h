// Error values of the safe path helper: every function reports success or an explicit errno,
// never through the global errno between calls.
#pragma once

#include <cerrno>
#include <optional>
#include <utility>

namespace bix::safe_path {

// How a failed mutation was left: untouched by a race, undone, or kept changed.
enum class RaceOutcome { none, rolled_back, preserved };

// Success (error 0) or a failure with its errno. An errno of 0 on failure is reported as EINVAL.
class Status {
public:
    Status() = default;
    static Status success() { return Status(); }
    static Status failure(int error) {
        return Status(error == 0 ? EINVAL : error, RaceOutcome::none);
    }
    static Status race(RaceOutcome outcome) { return Status(ESTALE, outcome); }
    // The current errno of a failed system call.
    static Status from_errno() { return failure(errno); }

    bool ok() const { return error_ == 0; }
    int error() const { return error_; }
    RaceOutcome race_outcome() const { return race_; }

private:
    Status(int error, RaceOutcome race) : error_(error), race_(race) {}
    int error_ = 0;
    RaceOutcome race_ = RaceOutcome::none;
};

// A value or the failure that prevented it.
template <class T> class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Status status) : status_(status.ok() ? Status::failure(EINVAL) : status) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    const Status& status() const { return status_; }
    int error() const { return status_.error(); }
    T& value() & { return *value_; }
    const T& value() const& { return *value_; }
    T&& value() && { return std::move(*value_); }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() & { return *value_; }
    const T& operator*() const& { return *value_; }
    T&& operator*() && { return std::move(*value_); }

private:
    std::optional<T> value_;
    Status status_;
};

// Returns from the enclosing function when a Status-valued expression failed.
#define BIX_TRY(expression)                                                                        \
    do {                                                                                           \
        if (::bix::safe_path::Status bix_status_ = (expression); !bix_status_.ok())                \
            return bix_status_;                                                                    \
    } while (0)

inline Status stale() {
    return Status::failure(ESTALE);
}
inline Status invalid() {
    return Status::failure(EINVAL);
}
inline Status check(bool condition) {
    return condition ? Status::success() : stale();
}

} // namespace bix::safe_path
