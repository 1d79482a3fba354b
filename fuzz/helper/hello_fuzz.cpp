// The session-opening hello: a document the strict parser accepts either passes every check of
// the hello or is refused with invalidRequest or unsupportedProtocol; an accepted hello carries
// the members it was given.
#include "Protocol/HelperRequests.h"
#include "helper/json_fuzz_support.h"

#include <cstddef>
#include <cstdint>

using namespace bix::ax;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto value = bix::fuzz::parse_round_trip(bix::fuzz::as_text(data, size));
    if (!value)
        return 0;
    try {
        const HelperHello hello = HelperHello::parse(*value);
        const JSONObject* object = value->objectValue();
        BIX_FUZZ_CHECK(object != nullptr);
        const JSONValue* requestId = jsonValue(*object, "requestId");
        const JSONValue* nonce = jsonValue(*object, "processNonce");
        BIX_FUZZ_CHECK(requestId != nullptr && requestId->stringValue() != nullptr &&
                       *requestId->stringValue() == hello.requestId);
        BIX_FUZZ_CHECK(nonce != nullptr && nonce->stringValue() != nullptr &&
                       *nonce->stringValue() == hello.processNonce);
    } catch (const HelperProtocolError& error) {
        BIX_FUZZ_CHECK(error.code() == HelperErrorCode::invalidRequest ||
                       error.code() == HelperErrorCode::unsupportedProtocol);
    }
    return 0;
}
