#include "cli/arguments.h"

#include <gtest/gtest.h>
#include <vector>

namespace bix::safe_path {
namespace {

TEST(Arguments, NumbersAreUnsignedDecimalWithoutOverflow) {
    struct Case {
        const char* text;
        std::optional<uint64_t> value;
    };
    const Case cases[] = {
        {"0", 0},
        {"42", 42},
        {"007", 7},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {" 1", std::nullopt},
        {"1 ", std::nullopt},
        {"12a", std::nullopt},
        {"0x10", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parse_number(c.text), c.value) << "text: " << c.text;
}

TEST(Arguments, BoundedNumbersRejectValuesAboveTheMaximum) {
    EXPECT_EQ(*parse_bounded("511", 511), 511u);
    EXPECT_EQ(parse_bounded("512", 511).error(), EINVAL);
}

TEST(Arguments, ContentIdentityNeedsLowercaseDigest) {
    const std::string digest(64, 'a');
    std::vector<std::string> args = {"1", "2", "3", "4", "5", "6", "7", digest};
    auto identity = parse_content_identity(args, 0);
    ASSERT_TRUE(identity.ok());
    EXPECT_EQ(identity->entry.device, 1u);
    EXPECT_EQ(identity->entry.mode, 5u);
    EXPECT_EQ(identity->size, 6u);
    EXPECT_EQ(identity->mtime_nanoseconds, 7u);
    args[7] = std::string(64, 'A');
    EXPECT_EQ(parse_content_identity(args, 0).error(), EINVAL);
    args[7] = std::string(63, 'a');
    EXPECT_EQ(parse_content_identity(args, 0).error(), EINVAL);
    args[7] = digest;
    args[2] = "-3";
    EXPECT_EQ(parse_content_identity(args, 0).error(), EINVAL);
}

TEST(Arguments, BookmarkedGroupRejectsEveryMalformedPiece) {
    const std::vector<std::string> good = {"abCD", "1", "2", "3", ".", "leaf"};
    EXPECT_TRUE(parse_bookmarked_group(good, 0).ok());
    struct Case {
        size_t index;
        std::string value;
    };
    const Case bad[] = {
        {0, "abc"}, {0, "zz"}, {0, ""},     {1, "x"},   {2, "-1"}, {3, ""},
        {4, ""},    {4, "a/"}, {4, "../a"}, {5, "a/b"}, {5, "."},  {5, ""},
    };
    for (const auto& c : bad) {
        auto args = good;
        args[c.index] = c.value;
        EXPECT_EQ(parse_bookmarked_group(args, 0).error(), EINVAL)
            << "index " << c.index << " value " << c.value;
    }
}

} // namespace
} // namespace bix::safe_path
