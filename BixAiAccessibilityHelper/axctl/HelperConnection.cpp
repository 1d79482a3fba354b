#include "HelperConnection.h"

#include "AxctlFailure.h"
#include "Protocol/CanonicalJSONEncoder.h"
#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/StrictJSONParser.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace bix::ax::axctl {
namespace {

constexpr std::string_view kProtocol = "bix.ax.helper";
constexpr auto kReplyTimeout = std::chrono::seconds(30);
constexpr auto kShutdownTimeout = std::chrono::seconds(5);
constexpr auto kGraceAfterFailedShutdown = std::chrono::milliseconds(500);
// Replies are read with the whole frame as the only bound: a reply cannot hold more values than
// bytes, and the helper's own nesting stays far below this depth.
constexpr int kReplyMaximumDepth = 128;
constexpr std::string_view kTokenAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-";

[[noreturn]] void failHelper(std::string message) {
    throw AxctlFailure(AxctlExit::helperFailed, std::move(message));
}

std::string errnoText(int error) {
    return std::system_category().message(error);
}

const std::string* stringMember(const JSONObject& object, std::string_view key) {
    const JSONValue* value = jsonValue(object, key);
    return value == nullptr ? nullptr : value->stringValue();
}

// A reply carries this session's protocol and nonce; a success also carries the request's id.
// Failures of requests the helper could not parse have neither id nor nonce.
void checkEnvelope(const JSONObject& reply, const std::string& requestId,
                   const std::string& nonce) {
    const JSONValue* ok = jsonValue(reply, "ok");
    const std::string* protocol = stringMember(reply, "protocol");
    const std::string* echoedId = stringMember(reply, "requestId");
    const std::string* echoedNonce = stringMember(reply, "processNonce");
    const bool succeeded = ok != nullptr && ok->boolValue() == true;
    const bool wellFormed = ok != nullptr && ok->boolValue().has_value() && protocol != nullptr &&
                            *protocol == kProtocol &&
                            (echoedId == nullptr || *echoedId == requestId) &&
                            (echoedNonce == nullptr || *echoedNonce == nonce) &&
                            (!succeeded || (echoedId != nullptr && echoedNonce != nullptr &&
                                            jsonValue(reply, "result") != nullptr)) &&
                            (succeeded || jsonValue(reply, "error") != nullptr);
    if (!wellFormed) {
        failHelper("the helper sent a reply that does not belong to request " + requestId);
    }
}

} // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = other.release();
    }
    return *this;
}

int UniqueFd::release() noexcept {
    return std::exchange(fd_, -1);
}

void UniqueFd::reset() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = -1;
}

SignalWatch::SignalWatch() {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, &previousMask_);
    fd_ = UniqueFd(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    if (fd_.get() < 0) {
        const int error = errno;
        sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
        failHelper("cannot watch for signals: " + errnoText(error));
    }
}

SignalWatch::~SignalWatch() {
    fd_.reset();
    sigprocmask(SIG_SETMASK, &previousMask_, nullptr);
}

WaitOutcome waitForDescriptor(int fd, short events, int signalFd, Deadline deadline) {
    while (true) {
        int timeoutMs = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
        }
        std::array<pollfd, 2> fds{pollfd{fd, events, 0}, pollfd{signalFd, POLLIN, 0}};
        const int ready = ::poll(fds.data(), signalFd >= 0 ? 2 : 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            throw std::system_error(errno, std::system_category(), "poll");
        }
        if (signalFd >= 0 && (fds[1].revents & POLLIN) != 0) {
            signalfd_siginfo info;
            [[maybe_unused]] const auto consumed = ::read(signalFd, &info, sizeof info);
            return WaitOutcome::interrupted;
        }
        if (ready > 0) {
            return WaitOutcome::ready; // readable, writable, or hung up: the I/O call tells
        }
        if (deadline && std::chrono::steady_clock::now() >= *deadline) {
            return WaitOutcome::timedOut;
        }
    }
}

void sleepUnlessInterrupted(int signalFd, std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    if (waitForDescriptor(signalFd, POLLIN, -1, deadline) == WaitOutcome::ready) {
        signalfd_siginfo info;
        [[maybe_unused]] const auto consumed = ::read(signalFd, &info, sizeof info);
        throw AxctlFailure(AxctlExit::interrupted, "interrupted");
    }
}

void HelperPipes::waitFor(int fd, short events) {
    switch (waitForDescriptor(fd, events, signalFd_, deadline_)) {
    case WaitOutcome::ready:
        return;
    case WaitOutcome::interrupted:
        throw AxctlFailure(AxctlExit::interrupted, "interrupted");
    case WaitOutcome::timedOut:
        failHelper("the helper did not answer in time");
    }
}

std::size_t HelperPipes::readUpTo(char* buffer, std::size_t count) {
    while (true) {
        waitFor(input_, POLLIN);
        const ssize_t got = ::read(input_, buffer, count);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR && errno != EAGAIN) {
            throw std::system_error(errno, std::system_category(), "read from the helper");
        }
    }
}

// Writes at most PIPE_BUF bytes after each readiness report, so that a write on a blocking
// descriptor the client was handed never blocks past the deadline.
void HelperPipes::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        waitFor(output_, POLLOUT);
        const ssize_t wrote =
            ::write(output_, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
        if (wrote < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (wrote < 0) {
            throw std::system_error(errno, std::system_category(), "write to the helper");
        }
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

HelperProcess HelperProcess::start(const std::string& path,
                                   const std::vector<std::string>& arguments, UniqueFd& requestsEnd,
                                   UniqueFd& repliesEnd) {
    std::array<int, 2> requests{};
    std::array<int, 2> replies{};
    if (::pipe2(requests.data(), O_CLOEXEC) != 0) {
        failHelper("cannot make a pipe: " + errnoText(errno));
    }
    UniqueFd childInput(requests[0]);
    requestsEnd = UniqueFd(requests[1]);
    if (::pipe2(replies.data(), O_CLOEXEC) != 0) {
        failHelper("cannot make a pipe: " + errnoText(errno));
    }
    repliesEnd = UniqueFd(replies[0]);
    UniqueFd childOutput(replies[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childInput.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOutput.get(), STDOUT_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t defaultSignals;
    sigemptyset(&defaultSignals);
    sigaddset(&defaultSignals, SIGPIPE);
    sigaddset(&defaultSignals, SIGINT);
    sigaddset(&defaultSignals, SIGTERM);
    posix_spawnattr_setsigmask(&attributes, &noSignals);
    posix_spawnattr_setsigdefault(&attributes, &defaultSignals);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETPGROUP);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        failHelper("cannot start the helper " + path + ": " + errnoText(error));
    }
    return HelperProcess(pid);
}

bool HelperProcess::waitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0) {
        const pid_t done = ::waitpid(pid_, nullptr, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            pid_ = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void HelperProcess::killAndReap() noexcept {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

HelperConnection::HelperConnection(int input, int output, int signalFd)
    : pipes_(std::make_shared<HelperPipes>(input, output, signalFd)), channel_(pipes_, pipes_),
      nonce_(makeProcessNonce()) {}

std::unique_ptr<HelperConnection> HelperConnection::start(const std::string& path,
                                                          const std::vector<std::string>& arguments,
                                                          int signalFd) {
    UniqueFd requestsEnd;
    UniqueFd repliesEnd;
    HelperProcess process = HelperProcess::start(path, arguments, requestsEnd, repliesEnd);
    std::unique_ptr<HelperConnection> connection(
        new HelperConnection(repliesEnd.get(), requestsEnd.get(), signalFd));
    connection->requestsEnd_ = std::move(requestsEnd);
    connection->repliesEnd_ = std::move(repliesEnd);
    connection->process_.emplace(std::move(process));
    return connection;
}

std::unique_ptr<HelperConnection> HelperConnection::attach(int input, int output, int signalFd) {
    for (const int fd : {input, output}) {
        if (::fcntl(fd, F_GETFD) < 0) {
            failUsage("--fds: descriptor " + std::to_string(fd) + " is not open");
        }
    }
    return std::unique_ptr<HelperConnection>(new HelperConnection(input, output, signalFd));
}

HelperConnection::~HelperConnection() {
    close();
}

JSONValue HelperConnection::exchange(const JSONObject& message) {
    std::string payload = encodeCanonicalJSON(JSONValue(message));
    if (payload.size() > HelperProtocolLimits::maximumFrameBytes) {
        failUsage("the request exceeds the frame limit of 262144 bytes");
    }
    pipes_->setDeadline(std::chrono::steady_clock::now() +
                        (closing_ ? std::chrono::seconds(kShutdownTimeout) : kReplyTimeout));
    try {
        channel_.write(payload);
        const std::optional<std::string> reply = channel_.read();
        if (!reply) {
            failHelper("the helper closed its output");
        }
        return StrictJSONParser(kReplyMaximumDepth,
                                static_cast<int>(HelperProtocolLimits::maximumFrameBytes))
            .parse(*reply);
    } catch (const HelperProtocolError& error) {
        failHelper("the helper broke the protocol: " + error.message());
    } catch (const std::system_error& error) {
        failHelper(std::string("the helper is gone: ") + error.what());
    }
}

JSONValue HelperConnection::hello() {
    const std::string requestId = "axctl-hello";
    JSONValue ack = exchange(JSONObject{{"appVersion", "bix-axctl"},
                                        {"processNonce", nonce_},
                                        {"protocol", kProtocol},
                                        {"protocolMax", 1},
                                        {"protocolMin", 1},
                                        {"requestId", requestId}});
    const JSONObject* object = ack.objectValue();
    const bool accepted = object != nullptr && jsonValue(*object, "ok") == nullptr &&
                          stringMember(*object, "requestId") != nullptr &&
                          *stringMember(*object, "requestId") == requestId &&
                          stringMember(*object, "processNonce") != nullptr &&
                          *stringMember(*object, "processNonce") == nonce_;
    if (!accepted) {
        failHelper("the helper refused the hello: " + encodeCanonicalJSON(ack));
    }
    return ack;
}

JSONValue HelperConnection::request(std::string_view command, const JSONValue& params) {
    if (ended_) {
        failUsage("the helper has shut down");
    }
    const std::string requestId = "axctl-" + std::to_string(++requestCount_);
    JSONValue reply = exchange(JSONObject{{"command", command},
                                          {"params", params},
                                          {"processNonce", nonce_},
                                          {"protocol", kProtocol},
                                          {"protocolVersion", 1},
                                          {"requestId", requestId}});
    if (reply.objectValue() == nullptr) {
        failHelper("the helper sent a reply that is not an object");
    }
    checkEnvelope(*reply.objectValue(), requestId, nonce_);
    if (command == "shutdown" && jsonValue(*reply.objectValue(), "ok")->boolValue() == true) {
        ended_ = true;
    }
    return reply;
}

void HelperConnection::close() noexcept {
    if (!process_) {
        return; // an attached helper belongs to whoever started it
    }
    if (!ended_) {
        try {
            closing_ = true;
            request("shutdown", JSONObject{});
        } catch (...) {
            // A dead, stalled or interrupted helper gets only a short grace before the kill.
        }
    }
    requestsEnd_.reset(); // end of input also ends the helper
    if (!process_->waitForExit(ended_ ? kShutdownTimeout : kGraceAfterFailedShutdown)) {
        process_->killAndReap();
    }
    process_.reset();
}

std::string makeRandomToken(std::string_view prefix) {
    std::array<unsigned char, 32> bytes{};
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t got = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            failHelper("no random source: " + errnoText(errno));
        }
        filled += static_cast<std::size_t>(got);
    }
    std::string token(prefix);
    for (std::size_t i = 0; i < 24; ++i) {
        token += kTokenAlphabet[bytes[i] & 0x3F];
    }
    return token;
}

std::string makeProcessNonce() {
    return makeRandomToken("axctl-");
}

} // namespace bix::ax::axctl
