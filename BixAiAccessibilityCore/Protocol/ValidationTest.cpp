#include "Protocol/Validation.h"

#include "Protocol/HelperErrorTestSupport.h"

#include <gtest/gtest.h>
#include <string>

namespace bix::ax {
namespace {

using Pattern = Validation::Pattern;

JSONObject objectWithKeys(std::initializer_list<const char*> keys) {
    JSONObject object;
    for (const char* key : keys) {
        object.emplace(key, 1);
    }
    return object;
}

TEST(Validation, ExactKeysRequiresEveryRequiredKeyAndNothingUnknown) {
    struct Case {
        JSONObject object;
        bool passes;
    };
    const Case cases[] = {
        {objectWithKeys({"a", "b"}), true},  {objectWithKeys({"a", "b", "c"}), true},
        {objectWithKeys({"a"}), false},      {objectWithKeys({"a", "b", "d"}), false},
        {objectWithKeys({"b", "c"}), false}, {objectWithKeys({}), false},
    };
    for (const Case& testCase : cases) {
        const auto check = [&] { Validation::exactKeys(testCase.object, {"a", "b"}, {"c"}); };
        if (testCase.passes) {
            EXPECT_NO_THROW(check());
        } else {
            EXPECT_THAT(
                check, FailsWith(HelperErrorCode::invalidRequest, "Unexpected or missing fields."));
        }
    }
    EXPECT_NO_THROW(Validation::exactKeys(JSONObject{}, {}, {"c"}));
    EXPECT_NO_THROW(Validation::exactKeys(objectWithKeys({"a"}), {"a", "a"}));
}

TEST(Validation, BoundedTextRefusesAbsentEmptyLongDecomposedAndUnmatched) {
    const auto invalid = [](const JSONValue* value, std::size_t maximum, Pattern pattern) {
        return [=] { Validation::boundedText(value, "field", maximum, pattern); };
    };
    const JSONValue number(5);
    const JSONValue empty("");
    const JSONValue decomposed("e\xcc\x81");
    const JSONValue fourBytes("abcd");
    const JSONValue trailingLineFeed("abc\n");
    const JSONValue withDot("a.b");
    for (const auto& check :
         {invalid(nullptr, 10, Pattern::none), invalid(&number, 10, Pattern::none),
          invalid(&empty, 10, Pattern::none), invalid(&decomposed, 10, Pattern::none),
          invalid(&fourBytes, 3, Pattern::none), invalid(&trailingLineFeed, 10, Pattern::opaque),
          invalid(&withDot, 10, Pattern::opaque)}) {
        EXPECT_THAT(check, FailsWith(HelperErrorCode::invalidRequest, "Invalid field."));
    }
    EXPECT_EQ(Validation::boundedText(&fourBytes, "field", 4, Pattern::opaque), "abcd");
    EXPECT_EQ(Validation::boundedText(&trailingLineFeed, "field", 4, Pattern::none), "abc\n");
}

TEST(Validation, BoundedTextCountsUTF8Bytes) {
    std::string twoByteCharacters;
    for (int i = 0; i < 32; ++i) {
        twoByteCharacters += "\xc3\xa9";
    }
    const JSONObject object{{"appVersion", twoByteCharacters}, {"longer", twoByteCharacters + "x"}};
    EXPECT_EQ(Validation::boundedText(object, "appVersion", 64, Pattern::none), twoByteCharacters);
    EXPECT_THAT([&] { Validation::boundedText(object, "longer", 64, Pattern::none); },
                FailsWith(HelperErrorCode::invalidRequest, "Invalid longer."));
    EXPECT_THAT([&] { Validation::boundedText(object, "absent", 64, Pattern::none); },
                FailsWith(HelperErrorCode::invalidRequest, "Invalid absent."));
}

struct PatternCase {
    Pattern pattern;
    std::string text;
    bool matches;
};

TEST(Validation, SixPatternsMatchWholeStringsOnly) {
    const std::string hex64(64, 'a');
    const PatternCase cases[] = {
        {Pattern::opaque, "req_1-A", true},
        {Pattern::opaque, std::string(128, 'x'), true},
        {Pattern::opaque, std::string(129, 'x'), false},
        {Pattern::opaque, "a b", false},
        {Pattern::opaque, "abc\n", false},
        {Pattern::opaque, "\xc3\xa9", false},
        {Pattern::processNonce, std::string(15, 'n'), false},
        {Pattern::processNonce, std::string(16, 'n'), true},
        {Pattern::processNonce, "nonce.0123456789ab", false},
        {Pattern::processNonce, "nonce=0123456789ab", false},
        {Pattern::profileId, "com.example.chat:v1", true},
        {Pattern::profileId, "ab", false},
        {Pattern::profileId, "abc", true},
        {Pattern::profileId, ".abc", false},
        {Pattern::profileId, std::string(128, 'p'), true},
        {Pattern::profileId, std::string(129, 'p'), false},
        {Pattern::hash, hex64, true},
        {Pattern::hash, std::string(64, 'A'), false},
        {Pattern::hash, std::string(63, 'a'), false},
        {Pattern::hash, hex64 + "\n", false},
        {Pattern::bundle, "com.example.chat", true},
        {Pattern::bundle, "a.b", true},
        {Pattern::bundle, "ab", false},
        {Pattern::bundle, "com", false},
        {Pattern::bundle, "com..chat", false},
        {Pattern::bundle, "com.example_chat", false},
        {Pattern::bundle, "a." + std::string(253, 'b'), true},
        {Pattern::bundle, "a." + std::string(254, 'b'), false},
        {Pattern::bundle, "com.example\n", false},
        {Pattern::axName, "AXButton", true},
        {Pattern::axName, "AX", false},
        {Pattern::axName, "AXPress!", false},
        {Pattern::axName, "axButton", false},
        {Pattern::axName, "AX" + std::string(63, 'a'), true},
        {Pattern::axName, "AX" + std::string(64, 'a'), false},
        {Pattern::none, "anything at all\n", true},
    };
    for (const PatternCase& testCase : cases) {
        EXPECT_EQ(Validation::matches(testCase.pattern, testCase.text), testCase.matches)
            << static_cast<int>(testCase.pattern) << " " << ::testing::PrintToString(testCase.text);
    }
}

} // namespace
} // namespace bix::ax
