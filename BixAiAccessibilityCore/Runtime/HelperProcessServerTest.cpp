#include "Runtime/HelperProcessServer.h"

#include "Runtime/RuntimeTestSupport.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace bix::ax {
namespace {

using testing::commandPayload;
using testing::failureEnvelope;
using testing::helloPayload;
using testing::successEnvelope;
using testing::TrustOnlyBackend;

std::string frameOf(const std::string& payload) {
    return FrameCodec().encode(payload);
}

// Input that hands out at most `chunk` bytes per read, like a pipe fed slowly.
class ScriptedInput final : public InputHandle {
public:
    explicit ScriptedInput(std::string data, std::size_t chunk = 1 << 20)
        : data_(std::move(data)), chunk_(chunk) {}
    std::size_t readUpTo(char* buffer, std::size_t count) override {
        const std::size_t n = std::min({count, chunk_, data_.size() - position_});
        data_.copy(buffer, n, position_);
        position_ += n;
        return n;
    }
    std::size_t unread() const { return data_.size() - position_; }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t position_ = 0;
};

class RecordingOutput final : public OutputHandle {
public:
    bool closedByPeer = false;
    std::vector<std::string> writes;
    void writeAll(std::string_view bytes) override {
        if (closedByPeer) {
            throw std::system_error(EPIPE, std::generic_category(), "write");
        }
        writes.emplace_back(bytes);
    }
};

struct ServerRun {
    std::vector<std::string> writes;
    std::vector<std::string> diagnostics;
    int teardowns = 0;
    std::size_t unreadInput = 0;
};

ServerRun runServer(const std::string& input, std::size_t chunk = 1 << 20,
                    bool outputClosed = false) {
    auto backend = std::make_shared<TrustOnlyBackend>();
    auto runtime = std::make_shared<AccessibilityHelperRuntime>(backend, systemClock());
    ServerRun result;
#ifdef BIX_TEST_HOOKS
    RuntimeTestHooks hooks;
    hooks.teardownStarted = [&result] { ++result.teardowns; };
    runtime->setTestHooks(std::move(hooks));
#endif
    auto scripted = std::make_shared<ScriptedInput>(input, chunk);
    auto output = std::make_shared<RecordingOutput>();
    output->closedByPeer = outputClosed;
    auto channel = std::make_shared<FramedFileChannel>(scripted, output);
    HelperProcessServer server(channel, runtime, [&result](std::string_view line) {
        result.diagnostics.emplace_back(line);
    });
    server.run();
    result.writes = output->writes;
    result.unreadInput = scripted->unread();
    return result;
}

const std::string kTrusted = "{\"permissionState\":\"authorized\",\"settingsHint\":\"System "
                             "Settings > Privacy & Security > Accessibility\",\"trusted\":true}";

TEST(HelperProcessServer, EndOfInputAtOnceEndsQuietlyAndShutsTheRuntimeDown) {
    const ServerRun run = runServer("");
    EXPECT_TRUE(run.writes.empty());
    EXPECT_TRUE(run.diagnostics.empty());
    BIX_WITH_TEST_HOOKS(EXPECT_EQ(run.teardowns, 1));
}

TEST(HelperProcessServer, RepliesAreWrittenAsWholeFramesInRequestOrder) {
    const std::string input = frameOf(helloPayload()) +
                              frameOf(commandPayload("checkTrust", "{\"prompt\":false}", "a")) +
                              frameOf(commandPayload("checkTrust", "{\"prompt\":true}", "b"));
    for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{1} << 20}) {
        const ServerRun run = runServer(input, chunk);
        ASSERT_EQ(run.writes.size(), 3u) << "chunk " << chunk;
        EXPECT_EQ(FrameCodec().decode(run.writes[1]), successEnvelope(kTrusted, "a"));
        EXPECT_EQ(FrameCodec().decode(run.writes[2]), successEnvelope(kTrusted, "b"));
        EXPECT_TRUE(run.diagnostics.empty());
        BIX_WITH_TEST_HOOKS(EXPECT_EQ(run.teardowns, 1));
    }
}

struct FramingCase {
    const char* name;
    std::string input;
    std::size_t repliesBeforeFailure;
    const char* diagnostic;
};

TEST(HelperProcessServer, FramingErrorsEndTheLoopWithOneDiagnosticAndNoReply) {
    const std::string hello = frameOf(helloPayload());
    const std::vector<FramingCase> cases = {
        {"zero length", std::string("\0\0\0\0", 4), 0, "BIX_AX_HELPER INVALID_FRAME"},
        {"half header", std::string("\0\0", 2), 0, "BIX_AX_HELPER INVALID_FRAME"},
        {"over the limit", std::string("\0\x04\0\x01", 4) + std::string(64, 'x'), 0,
         "BIX_AX_HELPER FRAME_TOO_LARGE"},
        {"short payload after a reply", hello + std::string("\0\0\0\x0a{}", 6), 1,
         "BIX_AX_HELPER INVALID_FRAME"},
    };
    for (const auto& c : cases) {
        const ServerRun run = runServer(c.input);
        EXPECT_EQ(run.writes.size(), c.repliesBeforeFailure) << c.name;
        EXPECT_EQ(run.diagnostics, std::vector<std::string>{c.diagnostic}) << c.name;
        BIX_WITH_TEST_HOOKS(EXPECT_EQ(run.teardowns, 1) << c.name);
    }
}

TEST(HelperProcessServer, OversizedLengthIsRefusedBeforeAnyPayloadByteIsRead) {
    const ServerRun run = runServer(std::string("\0\x04\0\x01", 4) + std::string(100, 'x'));
    EXPECT_EQ(run.unreadInput, 100u);
}

TEST(HelperProcessServer, ShutdownReplyIsWrittenAndNothingAfterItIsRead) {
    const std::string rest = frameOf(commandPayload("checkTrust", "{\"prompt\":false}", "late"));
    const ServerRun run = runServer(frameOf(helloPayload()) +
                                    frameOf(commandPayload("shutdown", "{}", "bye")) + rest);
    ASSERT_EQ(run.writes.size(), 2u);
    EXPECT_EQ(FrameCodec().decode(run.writes[1]),
              successEnvelope("{\"status\":\"shutting-down\"}", "bye"));
    EXPECT_EQ(run.unreadInput, rest.size());
    EXPECT_TRUE(run.diagnostics.empty());
    BIX_WITH_TEST_HOOKS(EXPECT_EQ(run.teardowns, 1));
}

TEST(HelperProcessServer, FatalHelloFailureIsRepliedThenTheLoopEndsWithoutTeardown) {
    const ServerRun run = runServer(frameOf("{}") + frameOf(helloPayload()));
    ASSERT_EQ(run.writes.size(), 1u);
    EXPECT_EQ(FrameCodec().decode(run.writes[0]),
              failureEnvelope("INVALID_REQUEST", "Unexpected or missing fields."));
    EXPECT_TRUE(run.diagnostics.empty());
    BIX_WITH_TEST_HOOKS(EXPECT_EQ(run.teardowns, 0)); // the fatal error already stopped the runtime
}

TEST(HelperProcessServer, FailedWriteEndsWithInternalFailure) {
    const ServerRun run = runServer(frameOf(helloPayload()), 1 << 20, /*outputClosed=*/true);
    EXPECT_TRUE(run.writes.empty());
    EXPECT_EQ(run.diagnostics, std::vector<std::string>{"BIX_AX_HELPER INTERNAL_FAILURE"});
    BIX_WITH_TEST_HOOKS(EXPECT_EQ(run.teardowns, 1));
}

} // namespace
} // namespace bix::ax
