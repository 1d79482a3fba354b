#include "anchors/anchor_walk.h"
#include "anchors/identity.h"
#include "test_support/temp_tree.h"

#include <cstdio>
#include <gtest/gtest.h>

namespace bix::safe_path {
namespace {

using testing::TempTree;

class AnchorWalk : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.make_directory("root");
        tree_.make_directory("root/a");
        tree_.make_directory("root/a/b");
        tree_.make_directory("outside");
        tree_.write_file("root/a/b/f", "data");
        tree_.symlink("../outside", "root/escape");
        tree_.write_file("root/plain", "x");
    }
    Root root() {
        struct stat self = tree_.stat_of("root");
        return std::move(
            *open_root(tree_.at("root"), DirectoryIdentity{self.st_dev, self.st_ino, self.st_uid}));
    }
    TempTree tree_;
};

TEST_F(AnchorWalk, OpenParentReachesTheLastDirectoryAndLeaf) {
    Root r = root();
    auto parent = open_parent(r, "a/b/f");
    ASSERT_TRUE(parent.ok());
    EXPECT_EQ(parent->leaf, "f");
    struct stat b = tree_.stat_of("root/a/b");
    auto stat = platform::stat_descriptor(parent->fd.get());
    EXPECT_EQ(stat->inode, b.st_ino);
    auto top = open_parent(r, "f");
    ASSERT_TRUE(top.ok());
    EXPECT_TRUE(same_directory_descriptor(top->fd.get(), r.fd.get()).ok());
}

TEST_F(AnchorWalk, RefusesSymlinksFilesAndBadPaths) {
    Root r = root();
    struct Case {
        const char* path;
        int error;
    };
    const Case cases[] = {
        {"escape/x", ENOTDIR},  {"plain/x", ENOTDIR}, {"missing/x", ENOENT},
        {"a/../a/b/f", EINVAL}, {"a//b", EINVAL},     {"a/b/", EINVAL},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(open_parent(r, c.path).error(), c.error) << c.path;
        EXPECT_EQ(open_private_parent(r, c.path).error(), c.error) << c.path;
    }
}

TEST_F(AnchorWalk, PrivateWalkRequiresTheRootOwner) {
    Root r = root();
    ASSERT_EQ(::chown(tree_.at("root/a").c_str(), 12345, 12345), 0);
    EXPECT_TRUE(open_parent(r, "a/b/f").ok());
    EXPECT_EQ(open_private_parent(r, "a/b/f").error(), ESTALE);
}

TEST_F(AnchorWalk, RelativeDirectoryDotIsTheRoot) {
    Root r = root();
    auto dot = open_relative_directory(r.fd.get(), r.stat, ".");
    ASSERT_TRUE(dot.ok());
    EXPECT_TRUE(same_directory_descriptor(dot->get(), r.fd.get()).ok());
    EXPECT_EQ(open_relative_directory(r.fd.get(), r.stat, "escape").error(), ENOTDIR);
}

TEST_F(AnchorWalk, AnchoringNoticesAParentReplacedByAnotherDirectory) {
    Root r = root();
    auto parent = open_parent(r, "a/b/f");
    ASSERT_TRUE(parent.ok());
    EXPECT_TRUE(paths_still_anchored(r, {{"a/b/f", parent->fd.get()}}).ok());
    ASSERT_EQ(std::rename(tree_.at("root/a/b").c_str(), tree_.at("root/a/old").c_str()), 0);
    tree_.make_directory("root/a/b");
    EXPECT_EQ(paths_still_anchored(r, {{"a/b/f", parent->fd.get()}}).error(), ESTALE);
    ASSERT_EQ(::rmdir(tree_.at("root/a/b").c_str()), 0);
    ASSERT_EQ(::symlink("old", tree_.at("root/a/b").c_str()), 0);
    EXPECT_EQ(paths_still_anchored(r, {{"a/b/f", parent->fd.get()}}).error(), ENOTDIR);
}

TEST_F(AnchorWalk, AnchoringNoticesARootReplacedAtItsPath) {
    Root r = root();
    auto parent = open_parent(r, "a/b/f");
    ASSERT_TRUE(parent.ok());
    ASSERT_EQ(std::rename(tree_.at("root").c_str(), tree_.at("moved").c_str()), 0);
    EXPECT_EQ(paths_still_anchored(r, {{"a/b/f", parent->fd.get()}}).error(), ENOENT);
    tree_.make_directory("root");
    EXPECT_EQ(paths_still_anchored(r, {{"a/b/f", parent->fd.get()}}).error(), ESTALE);
}

} // namespace
} // namespace bix::safe_path
