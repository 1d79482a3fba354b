#include "cli/requests.h"

#include <gtest/gtest.h>
#include <vector>

namespace bix::safe_path {
namespace {

const std::string kDigest(64, 'a');
const std::string kQuarantine = "d/.bix-native-quarantine-" + std::string(32, 'b');

std::vector<std::string> group(const std::string& leaf) {
    return {"abcd", "1", "2", "3", ".", leaf};
}
std::vector<std::string> content_identity(const std::string& first) {
    return {first, "2", "3", "4", "5", "6", "7", kDigest};
}
std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

TEST(Requests, OperandsLandInTheirFields) {
    auto swap = parse_rename_swap(
        join({{"a", "b"}, {"1", "2", "3", "4", "5"}, {"11", "12", "13", "14", "15"}}));
    ASSERT_TRUE(swap.ok());
    EXPECT_EQ(swap->a, "a");
    EXPECT_EQ(swap->b, "b");
    EXPECT_EQ(swap->identity_at_a.mode, 5u);
    EXPECT_EQ(swap->identity_at_b.device, 11u);

    auto link = parse_link_excl(join({{"e", "n", "r", kQuarantine}, content_identity("9")}));
    ASSERT_TRUE(link.ok());
    EXPECT_EQ(link->rollback, "r");
    EXPECT_EQ(link->quarantine, kQuarantine);
    EXPECT_EQ(link->identity.entry.device, 9u);
    EXPECT_EQ(link->identity.digest, kDigest);

    auto create = parse_create_file(std::vector<std::string>{"f", "420", "3"});
    ASSERT_TRUE(create.ok());
    EXPECT_EQ(create->mode, 0644u);
    EXPECT_EQ(create->size, 3u);
    EXPECT_FALSE(create->private_file);
    auto create_private = parse_create_private_file(std::vector<std::string>{"f", "3"});
    ASSERT_TRUE(create_private.ok());
    EXPECT_EQ(create_private->mode, 0600u);
    EXPECT_TRUE(create_private->private_file);

    auto swap_recovery = parse_recover_swap(
        join({group("a"), group("b"), content_identity("21"), content_identity("31")}));
    ASSERT_TRUE(swap_recovery.ok());
    EXPECT_EQ(swap_recovery->a.leaf, "a");
    EXPECT_EQ(swap_recovery->b.leaf, "b");
    EXPECT_EQ(swap_recovery->first_at_a.entry.device, 21u);
    EXPECT_EQ(swap_recovery->first_at_b.entry.device, 31u);

    auto link_recovery = parse_recover_link(
        join({group("e"), group("n"), group("r"), group("q"), content_identity("41")}));
    ASSERT_TRUE(link_recovery.ok());
    EXPECT_EQ(link_recovery->quarantine.leaf, "q");
    EXPECT_EQ(link_recovery->identity.entry.device, 41u);

    auto external = parse_read_external_file(std::vector<std::string>{"f", "10", "7", "8", "9"});
    ASSERT_TRUE(external.ok());
    EXPECT_EQ(external->directory.device, 7u);
    EXPECT_EQ(external->directory.uid, 9u);
}

// Each row: a parser with good operands, then one operand replaced by a bad value and the errno
// that must come back.
TEST(Requests, EveryMalformedOperandIsRefusedWithItsCode) {
    using Parse = Status (*)(Operands);
    struct Case {
        const char* operation;
        Parse parse;
        std::vector<std::string> good;
        size_t index;
        std::string bad;
        int error;
    };
#define BIX_PARSE(function) [](Operands o) { return function(o).status(); }
    const Case cases[] = {
        {"create-file", BIX_PARSE(parse_create_file), {"f", "511", "0"}, 1, "512", EINVAL},
        {"create-file", BIX_PARSE(parse_create_file), {"f", "511", "0"}, 2, "209715201", EINVAL},
        {"create-private-file", BIX_PARSE(parse_create_private_file), {"f", "0"}, 1, "x", EINVAL},
        {"rename-excl", BIX_PARSE(parse_rename_excl), join({{"a", "b"}, {"1", "2", "3", "4", "5"}}),
         6, "-5", EINVAL},
        {"rename-swap", BIX_PARSE(parse_rename_swap),
         join({{"a", "b"}, {"1", "2", "3", "4", "5"}, {"1", "2", "3", "4", "5"}}), 11, "", EINVAL},
        {"link-excl", BIX_PARSE(parse_link_excl),
         join({{"e", "n", "r", kQuarantine}, content_identity("1")}), 3,
         "d/.bix-native-quarantine-x", EINVAL},
        {"link-excl", BIX_PARSE(parse_link_excl),
         join({{"e", "n", "r", kQuarantine}, content_identity("1")}), 6, "18446744073709551615",
         EINVAL},
        {"unlink-checked", BIX_PARSE(parse_unlink_checked),
         join({{"p", "s", kQuarantine}, content_identity("1")}), 2, "/" + kQuarantine, EINVAL},
        {"unlink-checked", BIX_PARSE(parse_unlink_checked),
         join({{"p", "s", kQuarantine}, content_identity("1")}), 10, std::string(64, 'A'), EINVAL},
        {"create-private-file-staged",
         BIX_PARSE(parse_staged_create),
         {"f", "s", "1"},
         1,
         "f",
         ESTALE},
        {"create-private-file-staged",
         BIX_PARSE(parse_staged_create),
         {"f", "s", "1"},
         2,
         "209715201",
         ESTALE},
        {"read-private-file", BIX_PARSE(parse_read_private_file), {"f", "1"}, 1, "", EINVAL},
        {"read-external-file",
         BIX_PARSE(parse_read_external_file),
         {"f", "1", "1", "2", "3"},
         4,
         "u",
         EINVAL},
        {"remove-private-file",
         BIX_PARSE(parse_remove_private_file),
         {"f", "1", kDigest},
         2,
         kDigest + "0",
         EINVAL},
        {"remove-private-staging-file",
         BIX_PARSE(parse_remove_private_staging_file),
         {"f", "1"},
         1,
         "209715201",
         EINVAL},
        {"remove-private-tree",
         BIX_PARSE(parse_remove_private_tree),
         {"t", "4096", "16"},
         1,
         "0",
         EINVAL},
        {"remove-private-tree",
         BIX_PARSE(parse_remove_private_tree),
         {"t", "4096", "16"},
         2,
         "17",
         EINVAL},
        {"recover-unlink", BIX_PARSE(parse_recover_unlink),
         join({group("p"), group("s"), group("q"), content_identity("1")}), 12, "zz", EINVAL},
        {"recover-rename", BIX_PARSE(parse_recover_rename),
         join({group("s"), group("d"), content_identity("1")}), 19, "a", EINVAL},
        {"recover-swap", BIX_PARSE(parse_recover_swap),
         join({group("a"), group("b"), content_identity("1"), content_identity("1")}), 27, "x",
         EINVAL},
        {"recover-link", BIX_PARSE(parse_recover_link),
         join({group("e"), group("n"), group("r"), group("q"), content_identity("1")}), 23, "q/r",
         EINVAL},
    };
#undef BIX_PARSE
    for (const auto& c : cases) {
        EXPECT_TRUE(c.parse(c.good).ok()) << c.operation;
        auto operands = c.good;
        operands.at(c.index) = c.bad;
        EXPECT_EQ(c.parse(operands).error(), c.error) << c.operation << " operand " << c.index;
    }
}

} // namespace
} // namespace bix::safe_path
