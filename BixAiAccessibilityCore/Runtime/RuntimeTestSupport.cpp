#include "Runtime/RuntimeTestSupport.h"

namespace bix::ax::testing {

namespace {

// GCC 12 at -O2 and above reports a false -Wrestrict inside libstdc++'s inlined
// operator+(const char*, std::string&&) (GCC bug 105329); the concatenation below is well defined.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
std::string quoted(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

} // namespace

std::string helloPayload(std::string_view requestId, std::string_view nonce) {
    return "{\"appVersion\":\"2.4.0\",\"processNonce\":" + quoted(nonce) +
           ",\"protocol\":\"bix.ax.helper\",\"protocolMax\":1,\"protocolMin\":1,\"requestId\":" +
           quoted(requestId) + "}";
}

std::string commandPayload(std::string_view command, std::string_view paramsJSON,
                           std::string_view requestId, std::string_view nonce) {
    return "{\"command\":" + quoted(command) + ",\"params\":" + std::string(paramsJSON) +
           ",\"processNonce\":" + quoted(nonce) +
           ",\"protocol\":\"bix.ax.helper\",\"protocolVersion\":1,\"requestId\":" +
           quoted(requestId) + "}";
}

std::string failureEnvelope(std::string_view code, std::string_view message,
                            std::optional<std::string_view> requestId,
                            std::optional<std::string_view> nonce) {
    std::string envelope = "{\"error\":{\"code\":" + quoted(code) +
                           ",\"message\":" + quoted(message) + "},\"ok\":false";
    if (nonce) {
        envelope += ",\"processNonce\":" + quoted(*nonce);
    }
    envelope += ",\"protocol\":\"bix.ax.helper\",\"protocolVersion\":1";
    if (requestId) {
        envelope += ",\"requestId\":" + quoted(*requestId);
    }
    return envelope + "}";
}

std::string successEnvelope(std::string_view resultJSON, std::string_view requestId,
                            std::string_view nonce) {
    return "{\"ok\":true,\"processNonce\":" + quoted(nonce) +
           ",\"protocol\":\"bix.ax.helper\",\"protocolVersion\":1,\"requestId\":" +
           quoted(requestId) + ",\"result\":" + std::string(resultJSON) + "}";
}

} // namespace bix::ax::testing
