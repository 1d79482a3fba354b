#pragma once

#include "Protocol/HelperError.h"

#include <gmock/gmock.h>
#include <ostream>
#include <string>

namespace bix::ax {

inline void PrintTo(HelperErrorCode code, std::ostream* os) {
    *os << rawValue(code);
}

inline void PrintTo(const HelperProtocolError& error, std::ostream* os) {
    *os << rawValue(error.code()) << " \"" << error.message() << "\"";
}

// Matches a callable that throws HelperProtocolError with exactly this code and message:
//   EXPECT_THAT([&] { parser.parse("01"); }, FailsWith(HelperErrorCode::invalidJSON, "..."));
MATCHER_P2(FailsWith, code, message,
           std::string("throws ") + std::string(rawValue(code)) + " \"" + message + "\"") {
    try {
        arg();
    } catch (const HelperProtocolError& error) {
        *result_listener << "threw " << rawValue(error.code()) << " \"" << error.message() << "\"";
        return error.code() == code && error.message() == message;
    } catch (const std::exception& error) {
        *result_listener << "threw another exception: " << error.what();
        return false;
    }
    *result_listener << "threw nothing";
    return false;
}

} // namespace bix::ax
