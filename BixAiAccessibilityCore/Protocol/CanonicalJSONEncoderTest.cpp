#include "Protocol/CanonicalJSONEncoder.h"

#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/JSONValue.h"
#include "Protocol/StrictJSONParser.h"

#include <gtest/gtest.h>
#include <limits>
#include <string>

namespace bix::ax {
namespace {

using namespace std::string_literals;

TEST(CanonicalJSONEncoder, WritesSortedCompactMembers) {
    const JSONValue value(JSONObject{
        {"zeta", JSONArray{1, -2, true, false, nullptr}},
        {"Alpha", JSONObject{{"b", 1}, {"a", JSONObject{}}}},
        {"alpha", JSONArray{}},
    });
    EXPECT_EQ(encodeCanonicalJSON(value),
              R"({"Alpha":{"a":{},"b":1},"alpha":[],"zeta":[1,-2,true,false,null]})");
}

TEST(CanonicalJSONEncoder, EscapesOnlyQuotesBackslashesAndControls) {
    struct Case {
        std::string text;
        std::string json;
    };
    const Case cases[] = {
        {"a/b", R"("a/b")"},
        {"say \"hi\"", R"("say \"hi\"")"},
        {"back\\slash", R"("back\\slash")"},
        {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
        {"\x01\x1f"s, R"("\u0001\u001f")"},
        {"nul\0"s, R"("nul\u0000")"},
        {"\x7f", "\"\x7f\""},
        {"caf\xc3\xa9 \xe2\x80\xa8", "\"caf\xc3\xa9 \xe2\x80\xa8\""},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(encodeCanonicalJSON(JSONValue(testCase.text)), testCase.json);
    }
}

TEST(CanonicalJSONEncoder, WritesNumbersInShortestRoundTripForm) {
    struct Case {
        JSONValue value;
        std::string json;
    };
    const Case cases[] = {
        {0, "0"},
        {-17, "-17"},
        {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
        {std::numeric_limits<std::int64_t>::max(), "9223372036854775807"},
        {0.1, "0.1"},
        {-2.5, "-2.5"},
        {1e21, "1e+21"},
        {1e-7, "1e-07"},
        {5e-324, "5e-324"},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(encodeCanonicalJSON(testCase.value), testCase.json);
    }
}

TEST(CanonicalJSONEncoder, RefusesNonFiniteDoubles) {
    EXPECT_THAT([] { encodeCanonicalJSON(std::numeric_limits<double>::infinity()); },
                FailsWith(HelperErrorCode::internalFailure, "The helper failed safely."));
    EXPECT_THAT([] { encodeCanonicalJSON(JSONArray{std::numeric_limits<double>::quiet_NaN()}); },
                FailsWith(HelperErrorCode::internalFailure, "The helper failed safely."));
}

TEST(CanonicalJSONEncoder, OutputParsesBackToTheSameValue) {
    const StrictJSONParser parser(32, 8192);
    const JSONValue value(JSONObject{
        {"text", "line\nbreak \"quoted\" \xc3\xa9 / \x01"},
        {"numbers", JSONArray{0.1, 1e300, -0.5, 123456789, 2.0}},
        {"nested", JSONObject{{"", JSONArray{JSONArray{}, JSONObject{}}}}},
    });
    const std::string encoded = encodeCanonicalJSON(value);
    JSONValue reparsed = parser.parse(encoded);
    // A double without fraction is written like an integer and therefore reads back as one.
    JSONValue expected = value;
    (*expected.mutableObjectValue())["numbers"].mutableArrayValue()->at(4) = 2;
    EXPECT_EQ(reparsed, expected);
    EXPECT_EQ(encodeCanonicalJSON(reparsed), encoded);
}

} // namespace
} // namespace bix::ax
