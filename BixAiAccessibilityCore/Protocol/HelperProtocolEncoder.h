#pragma once

#include "Protocol/HelperError.h"
#include "Protocol/JSONValue.h"

#include <optional>
#include <string>
#include <string_view>

namespace bix::ax {

// Builds the three reply envelopes (handshake acknowledgement, success, failure) as canonical
// compact JSON: members sorted by key, no whitespace, the solidus unescaped. Stateless; its only
// failure is frameTooLarge "Response exceeds the protocol limit." for an encoding over
// HelperProtocolLimits::maximumFrameBytes.
class HelperProtocolEncoder {
public:
    // Any value, limited to one frame.
    std::string encode(const JSONValue& value) const;

    std::string helloAck(std::string_view requestId, std::string_view processNonce,
                         std::string_view helperVersion, std::string_view buildHash) const;

    std::string success(std::string_view requestId, std::string_view processNonce,
                        const JSONValue& result) const;

    // The identifiers are included only when known. The message is the public one
    // (Redaction::publicErrorMessage), never the internal one as such.
    std::string failure(std::optional<std::string_view> requestId,
                        std::optional<std::string_view> processNonce,
                        const HelperProtocolError& error) const;
};

} // namespace bix::ax
