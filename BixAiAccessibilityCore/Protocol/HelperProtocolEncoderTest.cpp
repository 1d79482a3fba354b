#include "Protocol/HelperProtocolEncoder.h"

#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/Redaction.h"

#include <gtest/gtest.h>
#include <string>

namespace bix::ax {
namespace {

constexpr const char* kNonce = "nonce-0123456789AB";
constexpr const char* kWithheld = "The helper could not complete the request safely.";

TEST(HelperProtocolEncoder, FailureWithoutIdentifiersHasNoIdentifierMembers) {
    const HelperProtocolEncoder encoder;
    EXPECT_EQ(encoder.failure(
                  std::nullopt, std::nullopt,
                  HelperProtocolError(HelperErrorCode::invalidJSON, "Unexpected end of JSON.")),
              R"({"error":{"code":"INVALID_JSON","message":"Unexpected end of JSON."},)"
              R"("ok":false,"protocol":"bix.ax.helper","protocolVersion":1})");
}

TEST(HelperProtocolEncoder, FailureWithIdentifiersCarriesThemSorted) {
    const HelperProtocolEncoder encoder;
    EXPECT_EQ(encoder.failure("req-1", kNonce,
                              HelperProtocolError(HelperErrorCode::sessionMismatch,
                                                  "Helper process session does not match.")),
              R"({"error":{"code":"SESSION_MISMATCH","message":"Helper process session does )"
              R"(not match."},"ok":false,"processNonce":"nonce-0123456789AB",)"
              R"("protocol":"bix.ax.helper","protocolVersion":1,"requestId":"req-1"})");
}

TEST(HelperProtocolEncoder, FailureCarriesThePublicMessageNotTheInternalOne) {
    const HelperProtocolEncoder encoder;
    EXPECT_EQ(encoder.failure("r", kNonce,
                              HelperProtocolError(HelperErrorCode::targetStale,
                                                  "Window 42 of com.example.chat vanished.")),
              R"({"error":{"code":"TARGET_STALE","message":"The selected app or window )"
              R"(changed. Reconnect it."},"ok":false,"processNonce":"nonce-0123456789AB",)"
              R"("protocol":"bix.ax.helper","protocolVersion":1,"requestId":"r"})");
}

TEST(HelperProtocolEncoder, SuccessWrapsTheResult) {
    const HelperProtocolEncoder encoder;
    EXPECT_EQ(encoder.success("req-2", kNonce, JSONObject{}),
              R"({"ok":true,"processNonce":"nonce-0123456789AB","protocol":"bix.ax.helper",)"
              R"("protocolVersion":1,"requestId":"req-2","result":{}})");
    EXPECT_EQ(encoder.success("r", kNonce, JSONObject{{"url", "https://example.com/a"}}),
              R"({"ok":true,"processNonce":"nonce-0123456789AB","protocol":"bix.ax.helper",)"
              R"("protocolVersion":1,"requestId":"r","result":{"url":"https://example.com/a"}})");
}

TEST(HelperProtocolEncoder, HelloAckEchoesIdentifiersWithoutOk) {
    const HelperProtocolEncoder encoder;
    const std::string hash(64, 'a');
    EXPECT_EQ(encoder.helloAck("hello-1", kNonce, "1.1.0", hash),
              R"({"buildHash":")" + hash +
                  R"(","helperVersion":"1.1.0","processNonce":"nonce-0123456789AB",)"
                  R"("protocol":"bix.ax.helper","protocolMax":1,"protocolMin":1,)"
                  R"("requestId":"hello-1"})");
}

TEST(HelperProtocolEncoder, SuccessMayFillExactlyOneFrame) {
    const HelperProtocolEncoder encoder;
    const std::size_t overhead = encoder.success("r", kNonce, "").size();
    const std::string fits(HelperProtocolLimits::maximumFrameBytes - overhead, 'x');
    EXPECT_EQ(encoder.success("r", kNonce, fits).size(), HelperProtocolLimits::maximumFrameBytes);
    EXPECT_THAT([&] { encoder.success("r", kNonce, fits + "x"); },
                FailsWith(HelperErrorCode::frameTooLarge, "Response exceeds the protocol limit."));
}

TEST(HelperProtocolEncoder, EncodeRefusesValuesOverOneFrame) {
    const HelperProtocolEncoder encoder;
    const std::string text(HelperProtocolLimits::maximumFrameBytes - 2, 'y');
    EXPECT_EQ(encoder.encode(text).size(), HelperProtocolLimits::maximumFrameBytes);
    EXPECT_THAT([&] { encoder.encode(text + "y"); },
                FailsWith(HelperErrorCode::frameTooLarge, "Response exceeds the protocol limit."));
}

TEST(PublicErrorMessage, FixedCodesNeverShowTheirInternalMessage) {
    struct Case {
        HelperErrorCode code;
        const char* message;
    };
    const Case cases[] = {
        {HelperErrorCode::permissionDenied, "Accessibility permission is unavailable."},
        {HelperErrorCode::targetStale, "The selected app or window changed. Reconnect it."},
        {HelperErrorCode::profileMismatch, "The selected AI layout could not be matched safely."},
        {HelperErrorCode::locatorNotFound, "The selected AI layout could not be matched safely."},
        {HelperErrorCode::locatorAmbiguous, "The selected AI layout could not be matched safely."},
        {HelperErrorCode::focusConflict, "Focus changed, so Bix stopped without restoring it."},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(Redaction::publicErrorMessage(HelperProtocolError(testCase.code, "Internal.")),
                  testCase.message);
    }
}

TEST(PublicErrorMessage, OtherCodesShowShortHarmlessMessages) {
    const std::string exactly160(160, 'm');
    EXPECT_EQ(Redaction::publicErrorMessage(
                  HelperProtocolError(HelperErrorCode::invalidRequest, exactly160)),
              exactly160);
    EXPECT_EQ(Redaction::publicErrorMessage(
                  HelperProtocolError(HelperErrorCode::invalidRequest, exactly160 + "m")),
              kWithheld);
    // 160 bytes made of two-byte characters still fits; one more byte does not.
    std::string twoByte;
    for (int i = 0; i < 80; ++i) {
        twoByte += "\xc3\xa9";
    }
    EXPECT_EQ(
        Redaction::publicErrorMessage(HelperProtocolError(HelperErrorCode::actionFailed, twoByte)),
        twoByte);
    EXPECT_EQ(Redaction::publicErrorMessage(
                  HelperProtocolError(HelperErrorCode::actionFailed, twoByte + ".")),
              kWithheld);
    for (const char* sensitive : {"Bad PassWord.", "Has a token.", "sk-1 leaked.", "API KEY."}) {
        EXPECT_EQ(Redaction::publicErrorMessage(
                      HelperProtocolError(HelperErrorCode::internalFailure, sensitive)),
                  kWithheld)
            << sensitive;
    }
    EXPECT_EQ(Redaction::publicErrorMessage(HelperProtocolError(HelperErrorCode::commandNotAllowed,
                                                                "Command is not allowlisted.")),
              "Command is not allowlisted.");
}

} // namespace
} // namespace bix::ax
