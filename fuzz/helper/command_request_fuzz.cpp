// Command requests: only allowlisted commands are ever accepted, refusals carry one of the three
// request codes, and an accepted request names its command by the exact wire name it carried.
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
        const HelperCommandRequest request = HelperCommandRequest::parse(*value);
        const JSONObject* object = value->objectValue();
        BIX_FUZZ_CHECK(object != nullptr);
        const JSONValue* command = jsonValue(*object, "command");
        BIX_FUZZ_CHECK(command != nullptr && command->stringValue() != nullptr);
        BIX_FUZZ_CHECK(*command->stringValue() == rawValue(request.command));
        BIX_FUZZ_CHECK(helperCommandFromRawValue(rawValue(request.command)) == request.command);
        const JSONValue* requestId = jsonValue(*object, "requestId");
        BIX_FUZZ_CHECK(requestId != nullptr && requestId->stringValue() != nullptr &&
                       *requestId->stringValue() == request.requestId);
    } catch (const HelperProtocolError& error) {
        BIX_FUZZ_CHECK(error.code() == HelperErrorCode::invalidRequest ||
                       error.code() == HelperErrorCode::unsupportedProtocol ||
                       error.code() == HelperErrorCode::commandNotAllowed);
    }
    return 0;
}
