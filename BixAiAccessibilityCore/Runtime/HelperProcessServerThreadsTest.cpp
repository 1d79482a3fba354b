#include "Platform/FileHandle.h"
#include "Runtime/HelperProcessServer.h"
#include "Runtime/RuntimeTestSupport.h"

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

// Every test here observes the runtime through its test hooks.
#ifdef BIX_TEST_HOOKS

namespace bix::ax {
namespace {

using testing::commandPayload;
using testing::helloPayload;
using testing::successEnvelope;
using testing::TrustOnlyBackend;

class Pipe {
public:
    Pipe() { EXPECT_EQ(::pipe(fds_), 0); }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void closeRead() { closeOne(fds_[0]); }
    void closeWrite() { closeOne(fds_[1]); }

private:
    static void closeOne(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    int fds_[2] = {-1, -1};
};

// A channel over handles the test owns and keeps alive for the whole session.
std::shared_ptr<FramedFileChannel> channelOver(InputHandle& input, OutputHandle& output) {
    return std::make_shared<FramedFileChannel>(
        std::shared_ptr<InputHandle>(&input, [](InputHandle*) {}),
        std::shared_ptr<OutputHandle>(&output, [](OutputHandle*) {}));
}

// Restores the calling thread's signal mask when the test ends.
class SignalMaskGuard {
public:
    SignalMaskGuard() { pthread_sigmask(SIG_SETMASK, nullptr, &saved_); }
    ~SignalMaskGuard() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};

// Events of both threads in the order they happened.
class EventLog {
public:
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        changed_.notify_all();
    }
    void waitFor(const std::string& event) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
            return std::find(events_.begin(), events_.end(), event) != events_.end();
        });
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_; // guards events_
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

std::string readFrame(FileDescriptorHandle& input) {
    FramedFileChannel channel(std::shared_ptr<InputHandle>(&input, [](InputHandle*) {}),
                              std::shared_ptr<OutputHandle>());
    return channel.read().value_or("");
}

TEST(HelperSessionThreads, SignalDuringACommandTearsDownOnlyAfterThatCommandsReplyIsBuilt) {
    SignalMaskGuard maskGuard;
    Pipe requests;
    Pipe replies;
    EventLog log;
    const pthread_t mainThread = pthread_self();

    auto backend = std::make_shared<TrustOnlyBackend>();
    auto runtime = std::make_shared<AccessibilityHelperRuntime>(backend, systemClock());
    RuntimeTestHooks hooks;
    hooks.beforeDispatch = [&](HelperCommand) {
        log.add("command started");
        // SIGTERM is blocked in every thread of this session, so it waits for the signalfd.
        pthread_kill(mainThread, SIGTERM);
        log.waitFor("shutdown requested"); // the handler is now waiting for this command
        log.add("command finished");
    };
    hooks.shutdownRequested = [&] { log.add("shutdown requested"); };
    hooks.teardownStarted = [&] { log.add("teardown"); };
    runtime->setTestHooks(std::move(hooks));

    FileDescriptorHandle requestInput(requests.readEnd());
    FileDescriptorHandle replyOutput(replies.writeEnd());
    auto channel = channelOver(requestInput, replyOutput);
    auto server = std::make_shared<HelperProcessServer>(
        channel, runtime, [&](std::string_view) { log.add("diagnostic"); });
    FileDescriptorHandle requestWriter(requests.writeEnd());
    requestWriter.writeAll(FrameCodec().encode(helloPayload()) +
                           FrameCodec().encode(commandPayload("checkTrust", "{\"prompt\":false}")));

    MainRunLoop loop;
    std::thread serverThread = runHelperSession(loop, server, runtime); // returns on the signal
    runtime->shutdown();

    // The server thread is still serving: it writes the reply, then waits for the next frame.
    FileDescriptorHandle replyReader(replies.readEnd());
    EXPECT_EQ(readFrame(replyReader).substr(0, 13), "{\"buildHash\":");
    EXPECT_EQ(readFrame(replyReader),
              successEnvelope("{\"permissionState\":\"authorized\",\"settingsHint\":\"System "
                              "Settings > Privacy & Security > Accessibility\",\"trusted\":true}"));
    requests.closeWrite(); // end of input lets the server thread finish
    serverThread.join();

    const std::vector<std::string> events = log.events();
    ASSERT_GE(events.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 4),
              (std::vector<std::string>{"command started", "shutdown requested", "command finished",
                                        "teardown"}));
    EXPECT_EQ(std::count(events.begin(), events.end(), "teardown"), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), "diagnostic"), 0);
}

TEST(HelperSessionThreads, ServerEndingFirstStopsTheMainLoop) {
    SignalMaskGuard maskGuard;
    Pipe requests;
    Pipe replies;
    auto backend = std::make_shared<TrustOnlyBackend>();
    auto runtime = std::make_shared<AccessibilityHelperRuntime>(backend, systemClock());
    int teardowns = 0;
    RuntimeTestHooks hooks;
    hooks.teardownStarted = [&] { ++teardowns; };
    runtime->setTestHooks(std::move(hooks));
    FileDescriptorHandle requestInput(requests.readEnd());
    FileDescriptorHandle replyOutput(replies.writeEnd());
    auto channel = channelOver(requestInput, replyOutput);
    std::vector<std::string> diagnostics;
    auto server = std::make_shared<HelperProcessServer>(
        channel, runtime, [&](std::string_view line) { diagnostics.emplace_back(line); });
    requests.closeWrite(); // the host closed its end before the first request

    MainRunLoop loop;
    std::thread serverThread = runHelperSession(loop, server, runtime);
    serverThread.join();
    runtime->shutdown();
    EXPECT_EQ(teardowns, 1);
    EXPECT_TRUE(diagnostics.empty());
}

} // namespace
} // namespace bix::ax

#endif // BIX_TEST_HOOKS
