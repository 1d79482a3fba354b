#pragma once

#include <cstddef>
#include <string_view>

namespace bix::ax {

// A source of bytes (standard input in the helper).
class InputHandle {
public:
    virtual ~InputHandle() = default;
    // Blocks until at least one byte is available or the input ends; copies at most `count`
    // bytes into `buffer` and returns how many. 0 means end of input (or `count` was 0). Read
    // failures throw std::system_error.
    virtual std::size_t readUpTo(char* buffer, std::size_t count) = 0;
};

// A sink of bytes (standard output in the helper).
class OutputHandle {
public:
    virtual ~OutputHandle() = default;
    // Writes all of `bytes`, however many system writes that takes. Write failures (a closed
    // pipe included) throw std::system_error.
    virtual void writeAll(std::string_view bytes) = 0;
};

// Input and output over a POSIX file descriptor that the caller owns and keeps open for the
// handle's lifetime. Retries interrupted calls and waits with poll(2) on a non-blocking
// descriptor, so callers see only whole results or real failures.
class FileDescriptorHandle final : public InputHandle, public OutputHandle {
public:
    explicit FileDescriptorHandle(int fd) : fd_(fd) {}

    std::size_t readUpTo(char* buffer, std::size_t count) override;
    void writeAll(std::string_view bytes) override;

    int fd() const noexcept { return fd_; }

private:
    int fd_;
};

} // namespace bix::ax
