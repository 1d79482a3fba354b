#pragma once

#include <cerrno>
#include <utility>
#include <variant>

namespace bix::bridge {

// Errors are plain errno values carried explicitly, never read back from the global errno.
//
// BixFailure is one failed call: always a non-zero errno value (a call that failed without
// naming one is recorded as EIO), so a failure can never read as success. BixStatus is success
// or one failure. BixResult<T> is a value or one failure, and is built only from one of those:
// a successful status cannot turn into a result without a value.
class BixFailure {
public:
    explicit constexpr BixFailure(int error_number)
        : error_(error_number != 0 ? error_number : EIO) {}

    constexpr int error() const { return error_; }

private:
    int error_;
};

class BixStatus {
public:
    constexpr BixStatus() = default;
    constexpr BixStatus(BixFailure failure) : error_(failure.error()) {}

    static constexpr BixStatus success() { return {}; }
    static constexpr BixFailure failure(int error_number) { return BixFailure(error_number); }

    constexpr bool ok() const { return error_ == 0; }
    // The errno value of a failure; 0 only for success.
    constexpr int error() const { return error_; }
    // The failure, to pass on where a result is expected. Only for a status that is not ok().
    constexpr BixFailure failure() const { return BixFailure(error_); }

private:
    int error_ = 0;
};

template <typename T> class BixResult {
public:
    BixResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    BixResult(BixFailure failure) : state_(std::in_place_index<1>, failure) {}

    bool ok() const { return state_.index() == 0; }
    // The errno value of a failure; 0 only for a value.
    int error() const { return ok() ? 0 : std::get<1>(state_).error(); }
    // The failure, to pass on. Only for a result that is not ok().
    BixFailure failure() const { return std::get<1>(state_); }
    BixStatus status() const { return ok() ? BixStatus::success() : BixStatus(failure()); }

    T& value() { return std::get<0>(state_); }
    const T& value() const { return std::get<0>(state_); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

private:
    std::variant<T, BixFailure> state_;
};

} // namespace bix::bridge
