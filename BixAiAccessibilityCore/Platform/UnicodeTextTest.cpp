#include "Platform/UnicodeText.h"

#include "Platform/RegularExpression.h"
#include "Platform/Sha256.h"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace bix::ax {
namespace {

TEST(UnicodeText, NFCCheckAndComposition) {
    struct Case {
        std::string text;
        bool isNFC;
        std::string composed;
    };
    const Case cases[] = {
        {"plain ascii", true, "plain ascii"},
        {"caf\xc3\xa9", true, "caf\xc3\xa9"},
        {"cafe\xcc\x81", false, "caf\xc3\xa9"},
        {"\xe2\x84\xab", false, "\xc3\x85"},                 // ANGSTROM SIGN -> A WITH RING
        {"\xe1\x84\x80\xe1\x85\xa1", false, "\xea\xb0\x80"}, // Hangul jamo -> syllable
        {"b\xcc\x81", true, "b\xcc\x81"},                    // nothing to compose with
        {"\xe4\xbc\x9a\xe8\xad\xb0", true, "\xe4\xbc\x9a\xe8\xad\xb0"},
    };
    for (const Case& testCase : cases) {
        EXPECT_EQ(UnicodeText::isNFC(testCase.text), testCase.isNFC) << testCase.text;
        EXPECT_EQ(UnicodeText::toNFC(testCase.text), testCase.composed) << testCase.text;
    }
}

TEST(UnicodeText, TrimsUnicodeWhiteSpaceAndLineBreaksOnly) {
    EXPECT_EQ(UnicodeText::trimWhitespaceAndNewlines(" \t\r\n\xc2\x85\xe2\x80\xa8x y\xe3\x80\x80"),
              "x y");
    EXPECT_EQ(UnicodeText::trimWhitespaceAndNewlines("\xe2\x80\x8bx"), "\xe2\x80\x8bx");
    EXPECT_EQ(UnicodeText::trimWhitespaceAndNewlines("   "), "");
    EXPECT_EQ(UnicodeText::trimWhitespaceAndNewlines(""), "");
}

TEST(UnicodeText, FindsControlAndFormatCharacters) {
    EXPECT_TRUE(UnicodeText::containsControlOrFormat("a\tb"));
    EXPECT_TRUE(UnicodeText::containsControlOrFormat("a\x7f"));
    EXPECT_TRUE(UnicodeText::containsControlOrFormat("\xe2\x80\x8b"));  // ZERO WIDTH SPACE
    EXPECT_TRUE(UnicodeText::containsControlOrFormat("x\xef\xbb\xbf")); // BYTE ORDER MARK
    EXPECT_FALSE(UnicodeText::containsControlOrFormat("composer-input \xc3\xa9"));
}

TEST(RegularExpression, WholeMatchMeansTheFirstMatchCoversTheText) {
    const RegularExpression anchored("^[a-z]{1,3}$");
    EXPECT_TRUE(anchored.firstMatchCoversWhole("abc"));
    EXPECT_FALSE(anchored.firstMatchCoversWhole("abc\n")); // $ stops before the line feed
    EXPECT_FALSE(anchored.firstMatchCoversWhole("abcd"));
    // The first match found counts, not the longest one.
    const RegularExpression alternatives("a|ab");
    EXPECT_FALSE(alternatives.firstMatchCoversWhole("ab"));
    EXPECT_TRUE(alternatives.matchesAnywhere("xxab"));
    const RegularExpression caseless("(?i)sk-[a-z0-9]");
    EXPECT_TRUE(caseless.matchesAnywhere("Task-Board"));
    EXPECT_FALSE(caseless.matchesAnywhere("sk-"));
    EXPECT_THROW(RegularExpression("(unclosed"), std::logic_error);
}

TEST(Sha256, MatchesKnownDigests) {
    const Sha256Digest empty = sha256("");
    EXPECT_EQ(empty[0], 0xe3);
    EXPECT_EQ(empty[31], 0x55);
    const Sha256Digest abc = sha256("abc");
    EXPECT_EQ(abc[0], 0xba);
    EXPECT_EQ(abc[31], 0xad);
}

} // namespace
} // namespace bix::ax
