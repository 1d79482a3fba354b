#include "Runtime/AccessibilityHelperRuntime.h"

#include "Runtime/RuntimeTestSupport.h"

#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace bix::ax {
namespace {

using testing::commandPayload;
using testing::failureEnvelope;
using testing::helloPayload;
using testing::kTestNonce;
using testing::successEnvelope;
using testing::TrustOnlyBackend;

constexpr std::string_view kTrustedResult =
    "{\"permissionState\":\"authorized\",\"settingsHint\":\"System Settings > Privacy & Security "
    "> Accessibility\",\"trusted\":true}";
constexpr std::string_view kAck =
    "{\"buildHash\":\"BUILD\",\"helperVersion\":\"1.1.0\",\"processNonce\":\"session-nonce-"
    "0123456789\",\"protocol\":\"bix.ax.helper\",\"protocolMax\":1,\"protocolMin\":1,"
    "\"requestId\":\"hello-1\"}";

std::string expectedAck() {
    std::string ack(kAck);
    ack.replace(ack.find("BUILD"), 5, AccessibilityHelperRuntime::buildIdentifier());
    return ack;
}

class RuntimeSession : public ::testing::Test {
protected:
    std::shared_ptr<TrustOnlyBackend> backend = std::make_shared<TrustOnlyBackend>();
    ManualClock clock;
    int teardowns = 0; // declared first: the runtime's destructor may still count
    AccessibilityHelperRuntime runtime{backend, clock.clock()};

    void SetUp() override {
#ifdef BIX_TEST_HOOKS
        RuntimeTestHooks hooks;
        hooks.teardownStarted = [this] { ++teardowns; };
        runtime.setTestHooks(std::move(hooks));
#endif
    }

    void handshake() {
        const RuntimeReply reply = runtime.handle(helloPayload());
        ASSERT_EQ(reply.payload, expectedAck());
        ASSERT_FALSE(reply.shouldShutdown);
    }

    void expectServing() {
        const RuntimeReply reply =
            runtime.handle(commandPayload("checkTrust", "{\"prompt\":false}", "probe"));
        EXPECT_EQ(reply.payload, successEnvelope(kTrustedResult, "probe"));
        EXPECT_FALSE(reply.shouldShutdown);
    }
};

TEST(AccessibilityHelperRuntimeIdentity, BuildIdentifierIsTheFingerprintOfNameVersionProtocol) {
    // SHA-256 of "bix-ai-accessibility-helper" U+001F "1.1.0" U+001F "bix.ax.helper/1".
    EXPECT_EQ(AccessibilityHelperRuntime::buildIdentifier(),
              "797fdcabb7b1edc144f8d2abdf8e326cffa08d3eb7f7da03d667a1be0466690b");
}

struct HelloCase {
    const char* name;
    std::string payload;
    std::string reply;
    bool endsSession;
};

TEST_F(RuntimeSession, HelloPhaseFailuresCarryNoIdentifiersAndEndTheSessionExceptBadJSON) {
    const std::vector<HelloCase> cases = {
        {"not JSON", "[", failureEnvelope("INVALID_JSON", "Unexpected end of JSON."), false},
        {"empty object", "{}", failureEnvelope("INVALID_REQUEST", "Unexpected or missing fields."),
         true},
        {"command first", commandPayload("checkTrust", "{\"prompt\":false}"),
         failureEnvelope("INVALID_REQUEST", "Unexpected or missing fields."), true},
        {"short nonce", helloPayload("hello-1", "short"),
         failureEnvelope("INVALID_REQUEST", "Invalid processNonce."), true},
        {"oversized", std::string(262145, ' '),
         failureEnvelope("FRAME_TOO_LARGE", "Frame exceeds the protocol limit."), true},
    };
    for (const auto& c : cases) {
        auto freshBackend = std::make_shared<TrustOnlyBackend>();
        AccessibilityHelperRuntime fresh(freshBackend, clock.clock());
        const RuntimeReply reply = fresh.handle(c.payload);
        EXPECT_EQ(reply.payload, c.reply) << c.name;
        EXPECT_EQ(reply.shouldShutdown, c.endsSession) << c.name;
        // After a fatal hello nothing is accepted any more, and every refusal ends the session.
        const RuntimeReply next = fresh.handle(helloPayload());
        if (c.endsSession) {
            EXPECT_EQ(next.payload,
                      failureEnvelope("HANDSHAKE_REQUIRED", "Helper is shutting down."))
                << c.name;
            EXPECT_TRUE(next.shouldShutdown) << c.name;
        } else {
            EXPECT_EQ(next.payload, expectedAck()) << c.name;
        }
    }
}

struct SessionCase {
    const char* name;
    std::string payload;
    std::string reply;
    bool endsSession;
};

TEST_F(RuntimeSession, CommandFailuresEndTheSessionOnlyForMismatchVersionAndSize) {
    const std::string nonce(kTestNonce);
    const std::vector<SessionCase> cases = {
        {"bad JSON", "{\"a\":", failureEnvelope("INVALID_JSON", "Unexpected end of JSON."), false},
        {"second hello", helloPayload("hello-2"),
         failureEnvelope("INVALID_REQUEST", "Unexpected or missing fields."), false},
        {"unknown command with wrong nonce",
         commandPayload("launchApp", "{}", "r-2", "another-nonce-0123456789"),
         failureEnvelope("COMMAND_NOT_ALLOWED", "Command is not allowlisted."), false},
        {"missing prompt", commandPayload("checkTrust", "{}", "r-3"),
         failureEnvelope("INVALID_REQUEST", "Unexpected or missing fields.", "r-3", nonce), false},
        {"string prompt", commandPayload("checkTrust", "{\"prompt\":\"no\"}", "r-4"),
         failureEnvelope("INVALID_REQUEST", "prompt must be a boolean.", "r-4", nonce), false},
        {"profile that is not an object",
         commandPayload("resolveProfile", "{\"bindingId\":\"binding_A\",\"profile\":[]}", "r-5"),
         failureEnvelope("INVALID_REQUEST", "Desktop profile must be an object.", "r-5", nonce),
         false},
        {"shutdown with params", commandPayload("shutdown", "{\"now\":true}", "r-6"),
         failureEnvelope("INVALID_REQUEST", "Unexpected or missing fields.", "r-6", nonce), false},
        {"session mismatch",
         commandPayload("checkTrust", "{\"prompt\":false}", "r-7", "another-nonce-0123456789"),
         failureEnvelope("SESSION_MISMATCH", "Helper process session does not match.", "r-7",
                         nonce),
         true},
        {"protocol version 2",
         "{\"command\":\"checkTrust\",\"params\":{},\"processNonce\":\"session-nonce-0123456789\","
         "\"protocol\":\"bix.ax.helper\",\"protocolVersion\":2,\"requestId\":\"r-8\"}",
         failureEnvelope("UNSUPPORTED_PROTOCOL", "Unsupported helper protocol version."), true},
        {"oversized", std::string(262145, ' '),
         failureEnvelope("FRAME_TOO_LARGE", "Frame exceeds the protocol limit."), true},
    };
    for (const auto& c : cases) {
        auto freshBackend = std::make_shared<TrustOnlyBackend>();
        AccessibilityHelperRuntime fresh(freshBackend, clock.clock());
        ASSERT_EQ(fresh.handle(helloPayload()).payload, expectedAck());
        const RuntimeReply reply = fresh.handle(c.payload);
        EXPECT_EQ(reply.payload, c.reply) << c.name;
        EXPECT_EQ(reply.shouldShutdown, c.endsSession) << c.name;
        const RuntimeReply next =
            fresh.handle(commandPayload("checkTrust", "{\"prompt\":false}", "probe"));
        if (c.endsSession) {
            // Stopped in session: refused, but the refusal alone does not end anything.
            EXPECT_EQ(next.payload,
                      failureEnvelope("HANDSHAKE_REQUIRED", "Helper is shutting down."))
                << c.name;
            EXPECT_FALSE(next.shouldShutdown) << c.name;
        } else {
            EXPECT_EQ(next.payload, successEnvelope(kTrustedResult, "probe")) << c.name;
        }
    }
}

TEST_F(RuntimeSession, CheckTrustPassesThePromptAndReportsTheAnswer) {
    handshake();
    backend->trusted = false;
    EXPECT_EQ(
        runtime.handle(commandPayload("checkTrust", "{\"prompt\":true}")).payload,
        successEnvelope("{\"permissionState\":\"not-authorized\",\"settingsHint\":\"System "
                        "Settings > Privacy & Security > Accessibility\",\"trusted\":false}"));
    backend->trusted = true;
    expectServing();
    EXPECT_EQ(backend->prompts, (std::vector<bool>{true, false}));
}

TEST_F(RuntimeSession, ErrorThatIsNotAProtocolErrorBecomesInternalFailureAndTheSessionGoesOn) {
    handshake();
    backend->failTrustWith = [] { throw std::runtime_error("secret token abc"); };
    const RuntimeReply reply = runtime.handle(commandPayload("checkTrust", "{\"prompt\":false}"));
    EXPECT_EQ(reply.payload, failureEnvelope("INTERNAL_FAILURE", "The helper failed safely.",
                                             "req-1", kTestNonce));
    EXPECT_FALSE(reply.shouldShutdown);
    backend->failTrustWith = nullptr;
    expectServing();
}

TEST_F(RuntimeSession, ServiceErrorsPassThroughWithTheirPublicMessage) {
    handshake();
    backend->failTrustWith = [] {
        throw HelperProtocolError(HelperErrorCode::targetStale, "internal detail");
    };
    EXPECT_EQ(runtime.handle(commandPayload("checkTrust", "{\"prompt\":false}")).payload,
              failureEnvelope("TARGET_STALE", "The selected app or window changed. Reconnect it.",
                              "req-1", kTestNonce));
}

TEST_F(RuntimeSession, ShutdownCommandRepliesEndsTheSessionAndTearsDownOnce) {
    handshake();
    const RuntimeReply reply = runtime.handle(commandPayload("shutdown", "{}", "bye"));
    EXPECT_EQ(reply.payload, successEnvelope("{\"status\":\"shutting-down\"}", "bye"));
    EXPECT_TRUE(reply.shouldShutdown);
    runtime.shutdown();
    runtime.shutdown();
    BIX_WITH_TEST_HOOKS(EXPECT_EQ(teardowns, 1));
    EXPECT_EQ(runtime.handle(commandPayload("checkTrust", "{\"prompt\":false}")).payload,
              failureEnvelope("HANDSHAKE_REQUIRED", "Helper is shutting down."));
}

#ifdef BIX_TEST_HOOKS
TEST_F(RuntimeSession, FatalProtocolErrorStopsWithoutTearingDown) {
    handshake();
    runtime.handle(
        commandPayload("checkTrust", "{\"prompt\":false}", "r", "another-nonce-01234567"));
    runtime.shutdown();
    EXPECT_EQ(teardowns, 0);
}
#endif

TEST_F(RuntimeSession, ShutdownBeforeTheHelloRefusesTheHelloAndEndsTheSession) {
    runtime.shutdown();
    BIX_WITH_TEST_HOOKS(EXPECT_EQ(teardowns, 1));
    const RuntimeReply reply = runtime.handle(helloPayload());
    EXPECT_EQ(reply.payload, failureEnvelope("HANDSHAKE_REQUIRED", "Helper is shutting down."));
    EXPECT_TRUE(reply.shouldShutdown);
}

TEST_F(RuntimeSession, TheSessionNonceIsSetOnlyOnce) {
    handshake();
    // A hello with another nonce is just a malformed command now; the first nonce stays.
    runtime.handle(helloPayload("hello-2", "another-nonce-0123456789"));
    expectServing();
}

} // namespace
} // namespace bix::ax
