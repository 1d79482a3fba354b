#include "Protocol/HelperProtocolEncoder.h"

#include "Protocol/CanonicalJSONEncoder.h"
#include "Protocol/HelperProtocolLimits.h"
#include "Protocol/HelperRequests.h"
#include "Protocol/Redaction.h"

namespace bix::ax {

std::string HelperProtocolEncoder::encode(const JSONValue& value) const {
    std::string encoded = encodeCanonicalJSON(value);
    if (encoded.size() > HelperProtocolLimits::maximumFrameBytes) {
        throw HelperProtocolError(HelperErrorCode::frameTooLarge,
                                  "Response exceeds the protocol limit.");
    }
    return encoded;
}

std::string HelperProtocolEncoder::helloAck(std::string_view requestId,
                                            std::string_view processNonce,
                                            std::string_view helperVersion,
                                            std::string_view buildHash) const {
    return encode(JSONObject{
        {"buildHash", buildHash},
        {"helperVersion", helperVersion},
        {"processNonce", processNonce},
        {"protocol", kHelperProtocolName},
        {"protocolMax", kHelperProtocolVersion},
        {"protocolMin", kHelperProtocolVersion},
        {"requestId", requestId},
    });
}

std::string HelperProtocolEncoder::success(std::string_view requestId,
                                           std::string_view processNonce,
                                           const JSONValue& result) const {
    return encode(JSONObject{
        {"ok", true},
        {"processNonce", processNonce},
        {"protocol", kHelperProtocolName},
        {"protocolVersion", kHelperProtocolVersion},
        {"requestId", requestId},
        {"result", result},
    });
}

std::string HelperProtocolEncoder::failure(std::optional<std::string_view> requestId,
                                           std::optional<std::string_view> processNonce,
                                           const HelperProtocolError& error) const {
    JSONObject envelope{
        {"error", JSONObject{{"code", rawValue(error.code())},
                             {"message", Redaction::publicErrorMessage(error)}}},
        {"ok", false},
        {"protocol", kHelperProtocolName},
        {"protocolVersion", kHelperProtocolVersion},
    };
    if (processNonce) {
        envelope.emplace("processNonce", *processNonce);
    }
    if (requestId) {
        envelope.emplace("requestId", *requestId);
    }
    return encode(JSONValue(std::move(envelope)));
}

} // namespace bix::ax
