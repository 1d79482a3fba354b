// What the helper's request-level targets share: the parser configured as the helper's runtime
// configures it, and the round-trip property every accepted document must keep.
#pragma once

#include "Protocol/CanonicalJSONEncoder.h"
#include "Protocol/HelperError.h"
#include "Protocol/StrictJSONParser.h"
#include "common/fuzz_support.h"

#include <optional>
#include <string_view>

namespace bix::fuzz {

// The request parser's limits in the helper's runtime.
inline constexpr int kRequestMaximumDepth = 32;
inline constexpr int kRequestMaximumNodes = 8192;

inline const ax::StrictJSONParser& request_parser() {
    static const ax::StrictJSONParser parser(kRequestMaximumDepth, kRequestMaximumNodes);
    return parser;
}

// Equal values, where a double may stand for the integer of the same value: the canonical
// encoding writes an integral double such as 100.0 (or -0.0) as the JSON number 100 (or -0),
// which any parser, this one included, reads back as an integer.
inline bool same_json_value(const ax::JSONValue& a, const ax::JSONValue& b) {
    using Kind = ax::JSONValue::Kind;
    if (a.kind() == Kind::floatingPoint && b.kind() == Kind::integer)
        return *a.doubleValue() == static_cast<double>(*b.intValue());
    if (a.kind() == Kind::integer && b.kind() == Kind::floatingPoint)
        return same_json_value(b, a);
    if (a.kind() != b.kind())
        return false;
    if (const ax::JSONArray* items = a.arrayValue()) {
        const ax::JSONArray& others = *b.arrayValue();
        if (items->size() != others.size())
            return false;
        for (std::size_t i = 0; i < items->size(); ++i)
            if (!same_json_value((*items)[i], others[i]))
                return false;
        return true;
    }
    if (const ax::JSONObject* members = a.objectValue()) {
        const ax::JSONObject& others = *b.objectValue();
        if (members->size() != others.size())
            return false;
        for (auto it = members->begin(), other = others.begin(); it != members->end();
             ++it, ++other)
            if (it->first != other->first || !same_json_value(it->second, other->second))
                return false;
        return true;
    }
    return a == b;
}

inline ax::JSONValue parse_canonical(const std::string& canonical) {
    try {
        return request_parser().parse(canonical);
    } catch (const ax::HelperProtocolError&) {
        property_failed("the canonical encoding of an accepted document was refused");
    }
}

// The document in `text`, or nothing when the strict parser refuses it (always with
// invalidJSON). An accepted document re-encodes canonically to a text that parses back to the
// same value (up to integral doubles coming back as integers), and that value encodes to a fixed
// point: a text that parses to exactly the value it was encoded from and encodes to itself.
inline std::optional<ax::JSONValue> parse_round_trip(std::string_view text) {
    std::optional<ax::JSONValue> value;
    try {
        value = request_parser().parse(text);
    } catch (const ax::HelperProtocolError& error) {
        BIX_FUZZ_CHECK(error.code() == ax::HelperErrorCode::invalidJSON);
        return std::nullopt;
    }
    const std::string canonical = ax::encodeCanonicalJSON(*value);
    const ax::JSONValue again = parse_canonical(canonical);
    BIX_FUZZ_CHECK(same_json_value(*value, again));
    const std::string fixed = ax::encodeCanonicalJSON(again);
    const ax::JSONValue settled = parse_canonical(fixed);
    BIX_FUZZ_CHECK(settled == again);
    BIX_FUZZ_CHECK(ax::encodeCanonicalJSON(settled) == fixed);
    return value;
}

} // namespace bix::fuzz
