#pragma once

#include <exception>
#include <string>
#include <utility>

namespace bix::ax::axctl {

// The exit statuses of bix-axctl; every way the tool ends maps to one of them.
enum class AxctlExit : int {
    success = 0,
    commandFailed = 1, // the helper answered a command with a failure
    usage = 2,         // the command line, a verb or a local file was not usable
    helperFailed = 3,  // the helper died, stalled or broke the protocol
    interrupted = 130, // SIGINT or SIGTERM
};

// The one error type of bix-axctl: the status the process ends with and the message shown on
// standard error. Thrown where a verb cannot go on and caught once per verb or in main.
class AxctlFailure : public std::exception {
public:
    AxctlFailure(AxctlExit status, std::string message)
        : status_(status), message_(std::move(message)) {}

    AxctlExit status() const noexcept { return status_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    AxctlExit status_;
    std::string message_;
};

[[noreturn]] inline void failUsage(std::string message) {
    throw AxctlFailure(AxctlExit::usage, std::move(message));
}

} // namespace bix::ax::axctl
