#include "private_trees/hardening.h"
#include "test_support/temp_tree.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace bix::safe_path {
namespace {

using testing::TempTree;

class Hardening : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.write_file("f", "private", 0644);
        tree_.make_directory("d", 0755);
        dir_ = UniqueFd(::open(tree_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        root_stat_ = *platform::stat_descriptor(dir_.get());
    }
    UniqueFd open_file(const std::string& name) {
        return UniqueFd(::open(tree_.at(name).c_str(), O_RDONLY | O_CLOEXEC));
    }
    TempTree tree_;
    UniqueFd dir_;
    platform::FileStat root_stat_;
};

TEST_F(Hardening, ReadPrivateRegularHardensThenReadsExactly) {
    UniqueFd fd = open_file("f");
    auto content = read_private_regular(fd.get(), root_stat_, 100);
    ASSERT_TRUE(content.ok());
    EXPECT_EQ(std::string(content->bytes.data(), content->bytes.data() + content->bytes.size()),
              "private");
    EXPECT_EQ(tree_.stat_of("f").st_mode & 07777, 0600u);
    EXPECT_EQ(read_private_regular(fd.get(), root_stat_, 6).error(), ESTALE);
    EXPECT_EQ(read_private_regular(fd.get(), root_stat_, kMaxContentBytes + 1).error(), EINVAL);
}

TEST_F(Hardening, ExternalReadLeavesModeAndRefusesEmptyOrLinkedFiles) {
    UniqueFd fd = open_file("f");
    ASSERT_TRUE(read_external_regular(fd.get(), root_stat_, 100).ok());
    EXPECT_EQ(tree_.stat_of("f").st_mode & 07777, 0644u);
    tree_.write_file("empty", "");
    UniqueFd empty = open_file("empty");
    EXPECT_EQ(read_external_regular(empty.get(), root_stat_, 100).error(), ESTALE);
    ASSERT_EQ(::link(tree_.at("f").c_str(), tree_.at("g").c_str()), 0);
    EXPECT_EQ(read_external_regular(fd.get(), root_stat_, 100).error(), ESTALE);
    EXPECT_EQ(harden_private_regular_at(dir_.get(), "f", root_stat_, std::nullopt).error(), ESTALE);
}

TEST_F(Hardening, DigestComparisonNeedsAWellFormedMatchingDigest) {
    const std::vector<unsigned char> bytes = {'p', 'r', 'i', 'v', 'a', 't', 'e'};
    EXPECT_TRUE(sha256_matches(bytes, testing::sha256_hex("private")).ok());
    EXPECT_EQ(sha256_matches(bytes, testing::sha256_hex("privatE")).error(), ESTALE);
    EXPECT_EQ(sha256_matches(bytes, std::string(64, 'G')).error(), EINVAL);
}

TEST_F(Hardening, PrivateDirectoryIsOpenedAndMade0700) {
    auto opened = open_hardened_private_directory_at(dir_.get(), "d", root_stat_, std::nullopt);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened->stat.permissions(), 0700u);
    platform::FileStat other = opened->stat;
    other.inode += 1;
    EXPECT_EQ(open_hardened_private_directory_at(dir_.get(), "d", root_stat_, other).error(),
              ESTALE);
    tree_.symlink("d", "link");
    EXPECT_EQ(
        open_hardened_private_directory_at(dir_.get(), "link", root_stat_, std::nullopt).error(),
        ESTALE);
}

TEST_F(Hardening, DirectoryDeletionNeedsAnEmptyMatchingDirectory) {
    tree_.write_file("d/inner", "x");
    auto stat = *platform::stat_at(dir_.get(), "d");
    EXPECT_EQ(delete_directory_checked(dir_.get(), "d", stat).error(), ENOTEMPTY);
    EXPECT_TRUE(tree_.exists("d/inner"));
    ASSERT_EQ(::unlink(tree_.at("d/inner").c_str()), 0);
    stat = *platform::stat_at(dir_.get(), "d");
    ASSERT_TRUE(delete_directory_checked(dir_.get(), "d", stat).ok());
    EXPECT_FALSE(tree_.exists("d"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tree_.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(Hardening, DirectoryMoveNeverReplaces) {
    tree_.make_directory("e");
    const std::string d = "d", e = "e", moved = "moved";
    auto stat = *platform::stat_at(dir_.get(), "d");
    EXPECT_EQ(move_directory_checked({dir_.get(), d}, {dir_.get(), e}, stat).error(), EEXIST);
    ASSERT_TRUE(move_directory_checked({dir_.get(), d}, {dir_.get(), moved}, stat).ok());
    EXPECT_TRUE(tree_.exists("moved") && !tree_.exists("d"));
}

} // namespace
} // namespace bix::safe_path
