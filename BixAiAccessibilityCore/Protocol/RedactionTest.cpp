#include "Protocol/Redaction.h"

#include "Protocol/Validation.h"

#include <gtest/gtest.h>
#include <string>

namespace bix::ax {
namespace {

constexpr const char* kPrecomposedE = "\xc3\xa9"; // U+00E9
constexpr const char* kDecomposedE = "e\xcc\x81"; // U+0065 U+0301
constexpr const char* kZeroWidthSpace = "\xe2\x80\x8b";

bool isFingerprint(const std::string& text) {
    return Validation::matches(Validation::Pattern::hash, text);
}

TEST(Redaction, SemanticFingerprintHashesFieldsJoinedByUnitSeparator) {
    EXPECT_EQ(Redaction::semanticFingerprint({"a", "b"}),
              "f04cdced9736a69da6103f08a4daaf8c485dd481217d218a1b4993c8c3968e13");
    EXPECT_EQ(Redaction::semanticFingerprint({}),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_NE(Redaction::semanticFingerprint({"a", "b"}), Redaction::semanticFingerprint({"ab"}));
    EXPECT_NE(Redaction::semanticFingerprint({"a", "b"}),
              Redaction::semanticFingerprint({"a", "", "b"}));
    // Fields are not escaped.
    EXPECT_EQ(Redaction::semanticFingerprint({"a\x1f"
                                              "b"}),
              Redaction::semanticFingerprint({"a", "b"}));
}

TEST(Redaction, SemanticFingerprintsNormaliseContentFingerprintsDoNot) {
    EXPECT_EQ(Redaction::semanticFingerprint({kPrecomposedE}),
              Redaction::semanticFingerprint({kDecomposedE}));
    EXPECT_NE(Redaction::contentFingerprint(kPrecomposedE),
              Redaction::contentFingerprint(kDecomposedE));
    EXPECT_EQ(Redaction::contentFingerprint("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_NE(Redaction::contentFingerprint(" abc"), Redaction::contentFingerprint("abc"));
}

TEST(Redaction, EveryFingerprintIsSixtyFourLowercaseHexDigits) {
    for (const std::string& fingerprint :
         {Redaction::semanticFingerprint({}), Redaction::semanticFingerprint({"X", "Y"}),
          Redaction::contentFingerprint(""), Redaction::contentFingerprint("\xff\xfe")}) {
        EXPECT_TRUE(isFingerprint(fingerprint)) << fingerprint;
    }
}

TEST(Redaction, SafeDisplayName) {
    struct Case {
        std::string name;
        std::string shown;
    };
    const std::string exactly80(80, 'n');
    const Case cases[] = {
        {"  Chat App\n", "Chat App"},
        {"\xe2\x80\x83\xc2\xa0"
         "Chat\xe2\x80\xa8",
         "Chat"},
        {"", "Application"},
        {" \t\n ", "Application"},
        {exactly80, exactly80},
        {exactly80 + "n", "Application"},
        {"  " + exactly80 + "  ", exactly80},
        {std::string("Caf") + kDecomposedE, std::string("Caf") + kPrecomposedE},
        {"My Token Vault", "Application"},
        {"COOKIE jar", "Application"},
        {"Bearer", "Application"},
        {"Task-Board", "Application"},
        {"SecretKeeper", "Application"},
        {"api_key manager", "Application"},
        {"sk-", "sk-"},
        {"Ask - Board", "Ask - Board"},
        {"Chat", "Chat"},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(Redaction::safeDisplayName(testCase.name), testCase.shown)
            << ::testing::PrintToString(testCase.name);
    }
}

TEST(Redaction, SafeIdentifier) {
    const std::string exactly128(128, 'i');
    struct Case {
        std::optional<std::string> identifier;
        std::optional<std::string> shown;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {exactly128, exactly128},
        {exactly128 + "i", std::nullopt},
        {"a\tb", std::nullopt},
        {std::string("a") + kZeroWidthSpace + "b", std::nullopt},
        {"apiKeyField", std::nullopt},
        {"API-KEY", std::nullopt},
        {"password-input", std::nullopt},
        {"composer-input", "composer-input"},
        {" spaced ", " spaced "},
        {std::string("id-") + kDecomposedE, std::string("id-") + kPrecomposedE},
    };
    for (const Case& testCase : cases) {
        std::optional<std::string_view> input;
        if (testCase.identifier) {
            input = *testCase.identifier;
        }
        EXPECT_EQ(Redaction::safeIdentifier(input), testCase.shown)
            << ::testing::PrintToString(testCase.identifier);
    }
}

} // namespace
} // namespace bix::ax
