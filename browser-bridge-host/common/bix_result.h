#pragma once

#include <optional>
#include <utility>

// Errors are plain errno values carried explicitly, never read back from the global errno.
// BixStatus is success (error 0) or one errno value; BixResult<T> is a value or one errno value.
struct BixStatus {
    int error = 0;

    static BixStatus success() { return {}; }
    static BixStatus failure(int error_number) { return {error_number}; }
    bool ok() const { return error == 0; }
};

template <typename T> class BixResult {
public:
    BixResult(T value) : value_(std::move(value)) {}
    BixResult(BixStatus failure) : error_(failure.error) {}

    bool ok() const { return value_.has_value(); }
    int error() const { return error_; }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }

private:
    std::optional<T> value_;
    int error_ = 0;
};
