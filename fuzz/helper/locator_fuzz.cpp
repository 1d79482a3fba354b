// Locator sets and single candidates. The first input byte picks what is parsed (bit 0: an
// action set, bit 1: one candidate instead of a set); the rest is the JSON document. Refusals
// carry their documented codes, and an accepted set keeps 1 to 8 candidates, each of which
// parses alone to itself.
#include "Profiles/DesktopAccessibilityProfile.h"
#include "helper/json_fuzz_support.h"

#include <cstddef>
#include <cstdint>

using namespace bix::ax;

namespace {

void parse_set(const JSONValue& value, bool action) {
    try {
        const AXLocatorSet set = AXLocatorSet::parse(value, action);
        BIX_FUZZ_CHECK(!set.candidates.empty() && set.candidates.size() <= 8);
        const JSONArray* items = nullptr;
        if (const JSONObject* object = value.objectValue()) {
            if (const JSONValue* candidates = jsonValue(*object, "candidates"))
                items = candidates->arrayValue();
        }
        BIX_FUZZ_CHECK(items != nullptr && items->size() == set.candidates.size());
        for (std::size_t i = 0; i < items->size(); ++i)
            BIX_FUZZ_CHECK(AXLocatorCandidate::parse((*items)[i]) == set.candidates[i]);
    } catch (const HelperProtocolError& error) {
        BIX_FUZZ_CHECK(error.code() == HelperErrorCode::invalidRequest ||
                       (action && error.code() == HelperErrorCode::actionUnsupported));
    }
}

void parse_candidate(const JSONValue& value) {
    try {
        const AXLocatorCandidate candidate = AXLocatorCandidate::parse(value);
        const auto confidence = candidate.confidence();
        BIX_FUZZ_CHECK(locatorConfidenceFromRawValue(rawValue(confidence)) == confidence);
    } catch (const HelperProtocolError& error) {
        BIX_FUZZ_CHECK(error.code() == HelperErrorCode::invalidRequest);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t selector = data[0];
    const auto value = bix::fuzz::parse_round_trip(bix::fuzz::as_text(data + 1, size - 1));
    if (!value)
        return 0;
    if (selector & 2)
        parse_candidate(*value);
    else
        parse_set(*value, (selector & 1) != 0);
    return 0;
}
