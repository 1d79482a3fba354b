#pragma once

#include "Protocol/FramedFileChannel.h"
#include "Protocol/JSONValue.h"

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace bix::ax::axctl {

// A file descriptor owned by exactly one object: closed once, never closes -1.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    int release() noexcept;
    void reset() noexcept;

private:
    int fd_ = -1;
};

// SIGINT and SIGTERM turned into a readable descriptor for the life of the object: they are
// blocked in the (single-threaded) client and delivered through a signalfd that every wait polls,
// so an interrupt ends a wait instead of the process and the helper can still be shut down.
class SignalWatch {
public:
    SignalWatch();
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    int fd() const noexcept { return fd_.get(); }

private:
    sigset_t previousMask_;
    UniqueFd fd_;
};

enum class WaitOutcome { ready, interrupted, timedOut };

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// Waits until `fd` is ready for `events` (POLLIN or POLLOUT), a signal arrives on `signalFd`
// (which is then consumed), or the deadline passes. Retries interrupted polls.
WaitOutcome waitForDescriptor(int fd, short events, int signalFd, Deadline deadline);

// Sleeps for `duration`; a signal on `signalFd` ends the sleep with an interrupted AxctlFailure.
void sleepUnlessInterrupted(int signalFd, std::chrono::milliseconds duration);

// The pipes to one helper: requests go to `output`, replies come from `input`. Every read and
// write waits with a deadline and gives up on a signal, throwing AxctlFailure.
class HelperPipes final : public InputHandle, public OutputHandle {
public:
    HelperPipes(int input, int output, int signalFd)
        : input_(input), output_(output), signalFd_(signalFd) {}

    void setDeadline(Deadline deadline) { deadline_ = deadline; }
    std::size_t readUpTo(char* buffer, std::size_t count) override;
    void writeAll(std::string_view bytes) override;
    void closeOutput();

private:
    void waitFor(int fd, short events);

    int input_;
    int output_;
    int signalFd_;
    Deadline deadline_;
};

// A helper process this client started; killed and reaped on destruction if still running.
class HelperProcess {
public:
    // Starts `path` with `arguments`, its standard input and output on new pipes. The child gets
    // its own process group, so a terminal's interrupt reaches only this client.
    static HelperProcess start(const std::string& path, const std::vector<std::string>& arguments,
                               UniqueFd& requestsEnd, UniqueFd& repliesEnd);
    HelperProcess(HelperProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    HelperProcess& operator=(HelperProcess&&) = delete;
    ~HelperProcess() { killAndReap(); }

    // Waits up to `timeout` for the process to exit; true when it did (and was reaped).
    bool waitForExit(std::chrono::milliseconds timeout);
    void killAndReap() noexcept;

private:
    explicit HelperProcess(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
};

// One protocol session with a helper: the hello, then one reply per request, in order. Checks
// that every reply is a strict JSON envelope echoing this session's nonce and the request's id.
class HelperConnection {
public:
    // Starts the helper at `path` with `arguments` (which desktop it drives).
    static std::unique_ptr<HelperConnection>
    start(const std::string& path, const std::vector<std::string>& arguments, int signalFd);
    // Uses descriptors opened by someone else; they are neither closed nor shut down here.
    static std::unique_ptr<HelperConnection> attach(int input, int output, int signalFd);
    ~HelperConnection();

    // Sends the hello and checks the acknowledgement, which it returns.
    JSONValue hello();
    // Sends one command request and returns the reply envelope, success or failure.
    JSONValue request(std::string_view command, const JSONValue& params);
    // Ends a started helper: shutdown command, end of input, a bounded wait, then SIGKILL.
    void close() noexcept;
    // True once the helper acknowledged a shutdown command.
    bool hasEnded() const noexcept { return ended_; }

private:
    HelperConnection(int input, int output, int signalFd);
    JSONValue exchange(const JSONObject& message);

    UniqueFd requestsEnd_; // only for a started helper
    UniqueFd repliesEnd_;
    std::optional<HelperProcess> process_;
    std::shared_ptr<HelperPipes> pipes_;
    FramedFileChannel channel_;
    std::string nonce_;
    unsigned requestCount_ = 0;
    bool ended_ = false;
    bool closing_ = false; // the shutdown request gets a shorter deadline
};

// A fresh session nonce: 32 characters of [A-Za-z0-9_-] from getrandom(2).
std::string makeProcessNonce();
// A fresh identifier of `prefix` plus 24 random characters of the same alphabet.
std::string makeRandomToken(std::string_view prefix);

} // namespace bix::ax::axctl
