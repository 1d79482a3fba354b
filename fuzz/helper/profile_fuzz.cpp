// Desktop accessibility profiles from host-supplied JSON: refusals are invalidRequest or
// actionUnsupported, and a profile parsed from a document equals the one parsed from the
// document's canonical encoding (the parse depends on the value only, not its spelling).
#include "Profiles/DesktopAccessibilityProfile.h"
#include "helper/json_fuzz_support.h"

#include <cstddef>
#include <cstdint>

using namespace bix::ax;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto value = bix::fuzz::parse_round_trip(bix::fuzz::as_text(data, size));
    if (!value)
        return 0;
    try {
        const DesktopAccessibilityProfile profile = DesktopAccessibilityProfile::parse(*value);
        const JSONValue again = bix::fuzz::request_parser().parse(encodeCanonicalJSON(*value));
        BIX_FUZZ_CHECK(DesktopAccessibilityProfile::parse(again) == profile);
        BIX_FUZZ_CHECK(!profile.bundleIds.empty());
        for (const AXLocatorSet* set : {&profile.input, &profile.submit, &profile.assistantMessage})
            BIX_FUZZ_CHECK(!set->candidates.empty() && set->candidates.size() <= 8);
    } catch (const HelperProtocolError& error) {
        BIX_FUZZ_CHECK(error.code() == HelperErrorCode::invalidRequest ||
                       error.code() == HelperErrorCode::actionUnsupported);
    }
    return 0;
}
