#include "anchors/path_grammar.h"

#include <gtest/gtest.h>

namespace bix::safe_path {
namespace {

struct PathCase {
    std::string path;
    bool valid;
};

TEST(PathGrammar, AcceptsOnlyWellFormedRelativePaths) {
    const PathCase cases[] = {
        {"a", true},
        {"a/b/c", true},
        {"caf\xC3\xA9/\xF0\x9F\x90\xB1", true},
        {std::string(255, 'x'), true},
        {std::string(255, 'x') + "/" + std::string(255, 'y'), true},
        {"", false},
        {"/a", false},
        {"a/", false},
        {"a//b", false},
        {"./a", false},
        {"a/.", false},
        {"a/..", false},
        {"..", false},
        {std::string(256, 'x'), false},
        {"a\\b", false},
        {"a\x01", false},
        {"a\x7F", false},
        {"a\xC2\x85", false}, // U+0085, a C1 control
        {"a\xE2\x80\xAE"
         "b",
         false},                  // U+202E
        {"a\xEF\xBB\xBF", false}, // U+FEFF
        {"a\xE2\x80\x8B", false}, // U+200B
        {"a\xE2\x81\xA0", false}, // U+2060
        {"a\xC0\x80", false},     // overlong NUL
        {"a\xC1\xBF", false},
        {"a\xE0\x80\xAF", false},     // overlong 3-byte
        {"a\xF0\x80\x80\xAF", false}, // overlong 4-byte
        {"a\xED\xA0\x80", false},     // surrogate
        {"a\xF4\x90\x80\x80", false}, // above U+10FFFF
        {"a\xF5\x80\x80\x80", false},
        {"a\x80", false},     // stray continuation
        {"a\xE2\x80", false}, // truncated
    };
    for (const auto& c : cases)
        EXPECT_EQ(valid_relative_path(c.path), c.valid) << "path: " << c.path;
}

TEST(PathGrammar, LimitsWholePathTo4096Bytes) {
    std::string path(99, 'p');
    for (int i = 1; i < 40; ++i)
        path += "/" + std::string(99, 'p'); // 3999 bytes
    path += "/" + std::string(96, 'q');     // 4096 bytes
    ASSERT_EQ(path.size(), 4096u);
    EXPECT_TRUE(valid_relative_path(path));
    EXPECT_FALSE(valid_relative_path(path + "r"));
}

TEST(PathGrammar, LeafNamesHaveOneComponent) {
    EXPECT_TRUE(valid_leaf_name("file"));
    EXPECT_FALSE(valid_leaf_name("dir/file"));
    EXPECT_FALSE(valid_leaf_name(".."));
}

TEST(PathGrammar, DurableQuarantineLeafIsPrefixAnd32LowercaseHexDigits) {
    const std::string prefix = ".bix-native-quarantine-";
    EXPECT_TRUE(is_durable_quarantine_leaf(prefix + std::string(32, 'a')));
    EXPECT_TRUE(is_durable_quarantine_leaf(prefix + "0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(is_durable_quarantine_leaf(prefix + std::string(31, 'a')));
    EXPECT_FALSE(is_durable_quarantine_leaf(prefix + std::string(33, 'a')));
    EXPECT_FALSE(is_durable_quarantine_leaf(prefix + std::string(32, 'A')));
    EXPECT_FALSE(is_durable_quarantine_leaf(prefix + std::string(31, 'a') + "g"));
    EXPECT_FALSE(is_durable_quarantine_leaf(".bix-native-quarantinX" + std::string(32, 'a')));
}

TEST(PathGrammar, SplitsIntoComponents) {
    EXPECT_EQ(split_path("a/bb/c"), (std::vector<std::string>{"a", "bb", "c"}));
    EXPECT_EQ(split_path("single"), (std::vector<std::string>{"single"}));
}

} // namespace
} // namespace bix::safe_path
