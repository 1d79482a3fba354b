#include "Protocol/HelperError.h"

#include <gtest/gtest.h>
#include <set>
#include <string>

namespace bix::ax {
namespace {

TEST(HelperErrorCode, RawValuesRoundTripInDeclarationOrder) {
    const char* const wire[] = {
        "INVALID_FRAME",       "FRAME_TOO_LARGE",       "INVALID_JSON",
        "INVALID_REQUEST",     "UNSUPPORTED_PROTOCOL",  "HANDSHAKE_REQUIRED",
        "SESSION_MISMATCH",    "COMMAND_NOT_ALLOWED",   "PERMISSION_DENIED",
        "CANDIDATE_NOT_FOUND", "CANDIDATE_EXPIRED",     "WINDOW_SELECTION_REQUIRED",
        "TARGET_NOT_BOUND",    "TARGET_STALE",          "PROFILE_MISMATCH",
        "LOCATOR_NOT_FOUND",   "LOCATOR_AMBIGUOUS",     "ACTION_UNSUPPORTED",
        "ACTION_FAILED",       "OBSERVATION_NOT_FOUND", "RESPONSE_TIMEOUT",
        "FOCUS_CONFLICT",      "INTERNAL_FAILURE",
    };
    const auto& codes = allHelperErrorCodes();
    ASSERT_EQ(std::size(wire), codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(static_cast<std::size_t>(codes[i]), i);
        EXPECT_EQ(rawValue(codes[i]), wire[i]);
        EXPECT_EQ(helperErrorCodeFromRawValue(wire[i]), codes[i]);
    }
    EXPECT_EQ(rawValue(HelperErrorCode::targetStale), "TARGET_STALE");
}

TEST(HelperErrorCode, UnknownWireStringsGiveNoCode) {
    for (const char* unknown : {"", "target_stale", "TARGET_STALE ", "OK", "INTERNAL"}) {
        EXPECT_FALSE(helperErrorCodeFromRawValue(unknown)) << unknown;
    }
}

TEST(HelperProtocolError, EqualOnlyWithSameCodeAndMessage) {
    const HelperProtocolError error(HelperErrorCode::invalidFrame, "Frame header is truncated.");
    EXPECT_EQ(error,
              HelperProtocolError(HelperErrorCode::invalidFrame, "Frame header is truncated."));
    EXPECT_NE(error,
              HelperProtocolError(HelperErrorCode::invalidFrame, "Frame payload is truncated."));
    EXPECT_NE(error,
              HelperProtocolError(HelperErrorCode::frameTooLarge, "Frame header is truncated."));
    EXPECT_STREQ(error.what(), "Frame header is truncated.");
}

} // namespace
} // namespace bix::ax
