#include "Protocol/StrictJSONParser.h"

#include "Protocol/CanonicalJSONEncoder.h"
#include "Protocol/HelperErrorTestSupport.h"
#include "Protocol/JSONValue.h"

#include <charconv>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>

namespace bix::ax {
namespace {

using namespace std::string_literals;

const StrictJSONParser kRuntimeParser(32, 8192);

std::string nestedArrays(int count) {
    return std::string(static_cast<std::size_t>(count), '[') +
           std::string(static_cast<std::size_t>(count), ']');
}

std::string arrayOfNumbers(int count) {
    std::string text = "[";
    for (int i = 0; i < count; ++i) {
        text += i == 0 ? "" : ",";
        text += std::to_string(i);
    }
    return text + "]";
}

struct Refusal {
    std::string input;
    const char* message;
};

class StrictJSONParserRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(StrictJSONParserRefusal, ThrowsInvalidJSONWithExactMessage) {
    const Refusal& refusal = GetParam();
    EXPECT_THAT([&] { kRuntimeParser.parse(refusal.input); },
                FailsWith(HelperErrorCode::invalidJSON, refusal.message))
        << "input: " << ::testing::PrintToString(refusal.input);
}

INSTANTIATE_TEST_SUITE_P(
    EveryMessage, StrictJSONParserRefusal,
    ::testing::Values(
        Refusal{"", "Unexpected end of JSON."}, Refusal{" \t\r\n", "Unexpected end of JSON."},
        Refusal{"[", "Unexpected end of JSON."}, Refusal{"[1,", "Unexpected end of JSON."},
        Refusal{"{\"a\":", "Unexpected end of JSON."},
        Refusal{"{\"a\": ", "Unexpected end of JSON."},
        Refusal{"{\"a\":1} x", "Trailing JSON data."}, Refusal{"truex", "Trailing JSON data."},
        Refusal{"1 2", "Trailing JSON data."}, Refusal{"[]]", "Trailing JSON data."},
        Refusal{"\"a\"\"b\"", "Trailing JSON data."}, Refusal{"0 \x0c", "Trailing JSON data."},
        Refusal{"{\"a\":1,}", "Object key must be a string."},
        Refusal{"{1:2}", "Object key must be a string."},
        Refusal{"{", "Object key must be a string."},
        Refusal{"{\"a\":1, ", "Object key must be a string."},
        Refusal{"{'a':1}", "Object key must be a string."},
        Refusal{"{\"a\" 1}", "Missing object separator."},
        Refusal{"{\"a\"", "Missing object separator."},
        Refusal{"{\"a\"=1}", "Missing object separator."},
        Refusal{"{\"a\":1 \"b\":2}", "Missing object delimiter."},
        Refusal{"{\"a\":1", "Missing object delimiter."},
        Refusal{"{\"a\":1;\"b\":2}", "Missing object delimiter."},
        Refusal{"{\"a\":1,\"a\":1}", "Duplicate object key."},
        Refusal{"{\"a\":1,\"a\"", "Duplicate object key."},
        Refusal{"{\"a\":1,\"\\u0061\":2}", "Duplicate object key."},
        Refusal{"{\"a\":{\"b\":1,\"c\":2},\"a\":3}", "Duplicate object key."},
        Refusal{"[1 2]", "Missing array delimiter."}, Refusal{"[1", "Missing array delimiter."},
        Refusal{"[1:2]", "Missing array delimiter."}, Refusal{"\"abc", "Unterminated JSON string."},
        Refusal{"\"abc\\", "Unterminated JSON string."},
        Refusal{"\"\\\"", "Unterminated JSON string."},
        Refusal{"\"\\u12", "Unterminated JSON string."},
        Refusal{"\"\xc3", "Unterminated JSON string."},
        Refusal{"{\"ab", "Unterminated JSON string."},
        Refusal{"\"a\tb\"", "Control byte in JSON string."},
        Refusal{"\"\\\t\"", "Control byte in JSON string."},
        Refusal{"\"a\nb\"", "Control byte in JSON string."},
        Refusal{"\"\\x\x01\"", "Control byte in JSON string."},
        Refusal{"\"\xff\x1f\"", "Control byte in JSON string."},
        Refusal{"\"\\x\"", "Malformed JSON string."},
        Refusal{"\"\\U0041\"", "Malformed JSON string."},
        Refusal{"\"\xff\"", "Malformed JSON string."},
        Refusal{"\"\xc0\xaf\"", "Malformed JSON string."},
        Refusal{"\"\xe0\x80\xaf\"", "Malformed JSON string."},
        Refusal{"\"\xed\xa0\x80\"", "Malformed JSON string."},
        Refusal{"\"\xf4\x90\x80\x80\"", "Malformed JSON string."},
        Refusal{"\"\xe2\x82\"", "Malformed JSON string."},
        Refusal{"\"\x80\"", "Malformed JSON string."},
        Refusal{"\"\\ud800\"", "Malformed JSON string."},
        Refusal{"\"\\udc00\"", "Malformed JSON string."},
        Refusal{"\"\\ud800\\u0041\"", "Malformed JSON string."},
        Refusal{"\"\\ud800\\ud800\"", "Malformed JSON string."},
        Refusal{"\"\\u12\"", "Malformed JSON string."},
        Refusal{"\"\\u12G4\"", "Malformed JSON string."},
        Refusal{"{\"\\q\":1}", "Malformed JSON string."},
        Refusal{"\"e\xcc\x81\"", "JSON strings must be NFC."},
        Refusal{"\"e\\u0301\"", "JSON strings must be NFC."},
        Refusal{"{\"e\\u0301\":1}", "JSON strings must be NFC."},
        Refusal{"\"\xe2\x84\xab\"", "JSON strings must be NFC."}, // U+212B ANGSTROM SIGN
        Refusal{"\"\xe1\x84\x80\xe1\x85\xa1\"", "JSON strings must be NFC."}, // Hangul jamo L+V
        Refusal{"nul", "Malformed JSON literal."}, Refusal{"tru", "Malformed JSON literal."},
        Refusal{"fals", "Malformed JSON literal."}, Refusal{"nulL", "Malformed JSON literal."},
        Refusal{"True", "Malformed number."}, Refusal{"t", "Malformed JSON literal."},
        Refusal{"[truE]", "Malformed JSON literal."}, Refusal{"01", "Leading zero in number."},
        Refusal{"-01", "Leading zero in number."}, Refusal{"00", "Leading zero in number."},
        Refusal{"-", "Malformed number."}, Refusal{"1.", "Malformed number."},
        Refusal{"1.e5", "Malformed number."}, Refusal{"1e", "Malformed number."},
        Refusal{"1e+", "Malformed number."}, Refusal{"+1", "Malformed number."},
        Refusal{".5", "Malformed number."}, Refusal{"-a", "Malformed number."},
        Refusal{"[1,]", "Malformed number."}, Refusal{"\xef\xbb\xbf{}", "Malformed number."},
        Refusal{"x", "Malformed number."}, Refusal{"NaN", "Malformed number."},
        Refusal{"1e400", "Number is out of range."}, Refusal{"-1e400", "Number is out of range."},
        Refusal{"1.8e308", "Number is out of range."},
        Refusal{"0.001e99999999999999999999", "Number is out of range."},
        Refusal{"1" + std::string(400, '0'), "Number is out of range."}));

TEST(StrictJSONParser, DecodesEveryKindOfValue) {
    const JSONValue value = kRuntimeParser.parse(
        " { \"b\" : [ 1 , { } , [ ] , -2.5 , \"x\" ] , \"a\" : null , \"c\" : true ,"
        " \"d\" : false } ");
    const JSONValue expected(JSONObject{
        {"a", nullptr},
        {"b", JSONArray{1, JSONObject{}, JSONArray{}, -2.5, "x"}},
        {"c", true},
        {"d", false},
    });
    EXPECT_EQ(value, expected);
}

struct NumberCase {
    std::string input;
    JSONValue expected;
};

TEST(StrictJSONParser, ConvertsNumbersToIntegerOrDouble) {
    const NumberCase cases[] = {
        {"0", 0},
        {"-0", 0},
        {"42", 42},
        {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
        {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
        {"9223372036854775808", 9223372036854775808.0},
        {"-9223372036854775809", -9223372036854775809.0},
        {"1.0", 1.0},
        {"1E2", 100.0},
        {"1e+2", 100.0},
        {"0.5e-3", 0.0005},
        {"-2.5", -2.5},
        {"1.7976931348623157e308", 1.7976931348623157e308},
        {"5e-324", 5e-324},
        {"1e-400", 0.0},
    };
    for (const NumberCase& testCase : cases) {
        EXPECT_EQ(kRuntimeParser.parse(testCase.input), testCase.expected) << testCase.input;
    }
    EXPECT_TRUE(std::signbit(*kRuntimeParser.parse("-1e-400").doubleValue()));
    EXPECT_NE(kRuntimeParser.parse("1"), kRuntimeParser.parse("1.0"));
}

// GCC 12 at -O2 and above reports a false -Wrestrict inside libstdc++'s inlined
// operator+(const char*, std::string&&) (GCC bug 105329); the exponent's concatenation is well
// defined.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"
#endif
TEST(StrictJSONParser, ConvertsDecimalNumbersExactlyLikeAFullConversion) {
    // Short and long mantissas, small and large scales, so both the exact shortcut and the full
    // conversion are exercised; every result must be the correctly rounded double.
    std::mt19937_64 random(20261209);
    for (int i = 0; i < 20000; ++i) {
        std::string text = random() % 2 ? "-" : "";
        const int integerDigits = 1 + static_cast<int>(random() % 10);
        text += static_cast<char>('1' + random() % 9);
        for (int d = 1; d < integerDigits; ++d) {
            text += static_cast<char>('0' + random() % 10);
        }
        text += '.';
        const int fractionDigits = 1 + static_cast<int>(random() % 12);
        for (int d = 0; d < fractionDigits; ++d) {
            text += static_cast<char>('0' + random() % 10);
        }
        if (random() % 2) {
            text += "e" + std::to_string(static_cast<int>(random() % 61) - 30);
        }
        double expected = 0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        EXPECT_EQ(kRuntimeParser.parse(text), JSONValue(expected)) << text;
    }
    EXPECT_TRUE(std::signbit(*kRuntimeParser.parse("-0.0").doubleValue()));
}
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif

TEST(StrictJSONParser, DecodesEscapesAndNFCText) {
    EXPECT_EQ(kRuntimeParser.parse(R"("\"\\\/\b\f\n\r\t")"), JSONValue("\"\\/\b\f\n\r\t"));
    EXPECT_EQ(kRuntimeParser.parse(R"("\u00e9\u00C9")"), JSONValue("\xc3\xa9\xc3\x89"));
    EXPECT_EQ(kRuntimeParser.parse("\"\xc3\xa9\""), JSONValue("\xc3\xa9"));
    EXPECT_EQ(kRuntimeParser.parse(R"("\ud83d\ude00")"), JSONValue("\xf0\x9f\x98\x80"));
    EXPECT_EQ(kRuntimeParser.parse(R"("a\u0000b")"), JSONValue("a\0b"s));
    EXPECT_EQ(kRuntimeParser.parse("\"a\\tb\""), JSONValue("a\tb"));
    EXPECT_EQ(kRuntimeParser.parse("\"\x7f\""), JSONValue("\x7f"));
    EXPECT_EQ(kRuntimeParser.parse("\"\xea\xb0\x80\""), JSONValue("\xea\xb0\x80")); // U+AC00
    EXPECT_EQ(kRuntimeParser.parse(R"({"":""})"), JSONValue(JSONObject{{"", ""}}));
    // Escapes, multi-byte text and plain runs in one string, in every order.
    EXPECT_EQ(kRuntimeParser.parse("\"a\\n\xc3\xa9\\u00e9b\xe4\xbc\x9a\\\"\""),
              JSONValue("a\n\xc3\xa9\xc3\xa9"
                        "b\xe4\xbc\x9a\""));
    EXPECT_EQ(kRuntimeParser.parse("{\"\xc3\xa9\":1,\"e\":2}"),
              JSONValue(JSONObject{{"\xc3\xa9", 1}, {"e", 2}}));
    EXPECT_THAT(
        [] {
            kRuntimeParser.parse("\"\\nb"
                                 "e\xcc\x81\"");
        },
        FailsWith(HelperErrorCode::invalidJSON, "JSON strings must be NFC."));
    EXPECT_THAT(
        [] {
            kRuntimeParser.parse("[\"ok\",\"\xc3\xa9"
                                 "a\xcc\x8a\"]");
        },
        FailsWith(HelperErrorCode::invalidJSON, "JSON strings must be NFC."));
}

TEST(StrictJSONParser, AcceptsThirtyThreeNestedArraysAndRefusesThirtyFour) {
    EXPECT_EQ(kRuntimeParser.parse(nestedArrays(33)).kind(), JSONValue::Kind::array);
    EXPECT_THAT([] { kRuntimeParser.parse(nestedArrays(34)); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON nesting limit exceeded."));
    // A scalar at depth 33 is refused as well, whatever its own shape.
    EXPECT_THAT([] { kRuntimeParser.parse(std::string(33, '[') + "1" + std::string(33, ']')); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON nesting limit exceeded."));
}

TEST(StrictJSONParser, CountsObjectMembersAtTheirOwnDepth) {
    // 33 objects put the innermost member at depth 33; 32 objects put it at 32.
    std::string nested = "1";
    for (int i = 0; i < 33; ++i) {
        nested = "{\"k\":" + nested + "}";
    }
    EXPECT_THAT([&] { kRuntimeParser.parse(nested); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON nesting limit exceeded."));
    EXPECT_NO_THROW(kRuntimeParser.parse(nested.substr(5, nested.size() - 6)));
}

TEST(StrictJSONParser, RefusesAFrameOfOpeningBracketsWithinTheDepthBudget) {
    EXPECT_THAT([] { kRuntimeParser.parse(std::string(262'144, '[')); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON nesting limit exceeded."));
}

TEST(StrictJSONParser, AcceptsExactlyTheNodeBudget) {
    EXPECT_EQ(kRuntimeParser.parse(arrayOfNumbers(8191)).arrayValue()->size(), 8191u);
    EXPECT_THAT([] { kRuntimeParser.parse(arrayOfNumbers(8192)); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON node limit exceeded."));
}

TEST(StrictJSONParser, CountsContainersButNotKeys) {
    const StrictJSONParser fourNodes(32, 4);
    EXPECT_NO_THROW(fourNodes.parse(R"({"a":1,"b":2,"c":3})"));
    EXPECT_NO_THROW(fourNodes.parse(R"({"a":1,"b":2,"c":[]})"));
    EXPECT_NO_THROW(fourNodes.parse("[[[[]]]]"));
    EXPECT_THAT([&] { fourNodes.parse(R"({"a":1,"b":2,"c":[0]})"); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON node limit exceeded."));
}

TEST(StrictJSONParser, ChargesBudgetsBeforeLookingAtTheValue) {
    // The element after the comma is refused by the budget before its bad first byte is seen.
    const StrictJSONParser twoNodes(32, 2);
    EXPECT_THAT([&] { twoNodes.parse("[1,?]"); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON node limit exceeded."));
    // The depth check comes before the node check.
    const StrictJSONParser flat(0, 1);
    EXPECT_THAT([&] { flat.parse("[1]"); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON nesting limit exceeded."));
    EXPECT_NO_THROW(flat.parse("[]"));
}

TEST(StrictJSONParser, ReportsTheFirstFaultOfAWideDocument) {
    std::string wide = "{";
    for (int i = 0; i < 9000; ++i) {
        wide += (i == 0 ? "\"k" : ",\"k") + std::to_string(i) + "\":0";
    }
    wide += "}";
    EXPECT_THAT([&] { kRuntimeParser.parse(wide); },
                FailsWith(HelperErrorCode::invalidJSON, "JSON node limit exceeded."));
}

TEST(StrictJSONParser, MutatedDocumentsEitherParseAndRoundTripOrFailAsInvalidJSON) {
    // Deterministic byte mutations of a realistic request: every outcome must be a value whose
    // canonical encoding parses back to itself, or an INVALID_JSON refusal; never anything else.
    const std::string seed =
        R"({"command":"setComposerText","params":{"text":"caf\u00e9 \"x\" Ã©ä¼",)"
        R"("n":[0,-1.5e3,true,null,{}]},"requestId":"r-1"})";
    const std::string alphabet = "{}[]\",:\\u0123456789.eE+-tfnl \t\x01\x80\xc3\xcc\xed\xff";
    std::mt19937 random(7);
    int parsed = 0;
    for (int i = 0; i < 5000; ++i) {
        std::string mutated = seed;
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
            const std::size_t at = random() % mutated.size();
            const char byte = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
            case 0:
                mutated[at] = byte;
                break;
            case 1:
                mutated.insert(at, 1, byte);
                break;
            default:
                mutated.erase(at, 1);
                break;
            }
        }
        try {
            // Doubles without a fraction come back as integers, so compare the encodings.
            const std::string encoded = encodeCanonicalJSON(kRuntimeParser.parse(mutated));
            ++parsed;
            ASSERT_EQ(encodeCanonicalJSON(kRuntimeParser.parse(encoded)), encoded) << mutated;
        } catch (const HelperProtocolError& error) {
            ASSERT_EQ(error.code(), HelperErrorCode::invalidJSON) << mutated;
        }
    }
    EXPECT_GT(parsed, 0);
}

TEST(JSONValue, EqualityIsStructural) {
    EXPECT_EQ(JSONValue(JSONObject{{"a", 1}, {"b", "x"}}),
              kRuntimeParser.parse(R"({"b":"x","a":1})"));
    EXPECT_NE(JSONValue(1), JSONValue(1.0));
    EXPECT_NE(JSONValue(JSONArray{1, 2}), JSONValue(JSONArray{2, 1}));
    EXPECT_NE(JSONValue(), JSONValue(false));
}

TEST(JSONValue, AccessorsReturnNothingForOtherKinds) {
    const JSONValue number(7);
    EXPECT_EQ(number.intValue(), 7);
    EXPECT_FALSE(number.boolValue());
    EXPECT_EQ(number.stringValue(), nullptr);
    EXPECT_EQ(number.arrayValue(), nullptr);
    EXPECT_EQ(number.objectValue(), nullptr);
    EXPECT_FALSE(JSONValue(7.0).intValue());
    EXPECT_EQ(JSONValue(true).boolValue(), true);
    const JSONObject object{{"k", "v"}};
    ASSERT_NE(jsonValue(object, "k"), nullptr);
    EXPECT_EQ(*jsonValue(object, "k")->stringValue(), "v");
    EXPECT_EQ(jsonValue(object, "missing"), nullptr);
}

} // namespace
} // namespace bix::ax
