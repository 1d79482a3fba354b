#include "anchors/identity.h"
#include "test_support/temp_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace bix::safe_path {
namespace {

using testing::sha256_hex;
using testing::TempTree;

ContentIdentity identity_of(const TempTree& tree, const std::string& name,
                            const std::string& content) {
    struct stat s = tree.stat_of(name);
    return ContentIdentity{{s.st_dev, s.st_ino, s.st_nlink, s.st_uid, s.st_mode},
                           static_cast<uint64_t>(s.st_size),
                           static_cast<uint64_t>(s.st_mtim.tv_sec) * 1000000000u +
                               static_cast<uint64_t>(s.st_mtim.tv_nsec),
                           sha256_hex(content)};
}

class Identity : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.write_file("f", "content");
        dir_ = UniqueFd(::open(tree_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(dir_.valid());
    }
    TempTree tree_;
    UniqueFd dir_;
};

TEST_F(Identity, ContentMatchesOnlyWithEveryFieldEqual) {
    const ContentIdentity good = identity_of(tree_, "f", "content");
    EXPECT_TRUE(exact_recovery_file_at(dir_.get(), "f", good).ok());
    struct Mutation {
        const char* what;
        void (*apply)(ContentIdentity&);
        int error;
    };
    const Mutation mutations[] = {
        {"device", [](ContentIdentity& c) { c.entry.device += 1; }, ESTALE},
        {"inode", [](ContentIdentity& c) { c.entry.inode += 1; }, ESTALE},
        {"links", [](ContentIdentity& c) { c.entry.link_count += 1; }, ESTALE},
        {"uid", [](ContentIdentity& c) { c.entry.uid += 1; }, ESTALE},
        {"mode", [](ContentIdentity& c) { c.entry.mode ^= 0004; }, ESTALE},
        {"size", [](ContentIdentity& c) { c.size += 1; }, ESTALE},
        {"time", [](ContentIdentity& c) { c.mtime_nanoseconds += 1; }, ESTALE},
        {"digest", [](ContentIdentity& c) { c.digest[0] = c.digest[0] == 'a' ? 'b' : 'a'; },
         ESTALE},
        {"bad digest", [](ContentIdentity& c) { c.digest[0] = 'G'; }, EINVAL},
        {"too large", [](ContentIdentity& c) { c.size = kMaxContentBytes + 1; }, EINVAL},
    };
    for (const auto& m : mutations) {
        ContentIdentity changed = good;
        m.apply(changed);
        EXPECT_EQ(exact_recovery_file_at(dir_.get(), "f", changed).error(), m.error) << m.what;
    }
    // The link count is not part of the plain content check.
    ContentIdentity more_links = good;
    more_links.entry.link_count += 1;
    EXPECT_TRUE(exact_regular_content_at(dir_.get(), "f", more_links).ok());
}

TEST_F(Identity, RewriteWithSameSizeAndRestoredTimeFailsTheDigest) {
    const ContentIdentity before = identity_of(tree_, "f", "content");
    struct stat s = tree_.stat_of("f");
    tree_.write_file("f", "CONTENT");
    struct timespec times[2] = {s.st_atim, s.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, tree_.at("f").c_str(), times, 0), 0);
    ASSERT_EQ(identity_of(tree_, "f", "content").mtime_nanoseconds, before.mtime_nanoseconds);
    EXPECT_EQ(exact_recovery_file_at(dir_.get(), "f", before).error(), ESTALE);
}

TEST_F(Identity, SymlinksAndDirectoriesAreNotRegularFiles) {
    tree_.symlink("f", "link");
    tree_.make_directory("d");
    EXPECT_EQ(regular_at(dir_.get(), "link").error(), ESTALE);
    EXPECT_EQ(regular_at(dir_.get(), "d").error(), ESTALE);
    EXPECT_EQ(directory_at(dir_.get(), "f").error(), ESTALE);
    EXPECT_EQ(directory_at(dir_.get(), "missing").error(), ENOENT);
    EXPECT_EQ(absent_at(dir_.get(), "link").error(), EEXIST);
    EXPECT_TRUE(absent_at(dir_.get(), "missing").ok());
    const ContentIdentity target = identity_of(tree_, "f", "content");
    EXPECT_EQ(exact_regular_content_at(dir_.get(), "link", target).error(), ELOOP);
}

TEST(IdentityTime, NegativeOrOverflowingTimesAreEoverflow) {
    platform::FileStat stat;
    stat.mtime_seconds = -1;
    EXPECT_EQ(modification_time_nanoseconds(stat).error(), EOVERFLOW);
    stat.mtime_seconds = INT64_MAX;
    EXPECT_EQ(modification_time_nanoseconds(stat).error(), EOVERFLOW);
    stat.mtime_seconds = 2;
    stat.mtime_nanoseconds = 5;
    EXPECT_EQ(*modification_time_nanoseconds(stat), 2000000005u);
}

TEST(IdentitySnapshot, ChangeTimeIsPartOfTheSnapshot) {
    platform::FileStat a;
    a.mode = S_IFREG | 0600;
    platform::FileStat b = a;
    EXPECT_TRUE(same_file_snapshot(a, b));
    EXPECT_TRUE(same_regular_identity(a, b));
    b.ctime_nanoseconds = 1;
    EXPECT_FALSE(same_file_snapshot(a, b));
    EXPECT_TRUE(same_regular_identity(a, b));
}

} // namespace
} // namespace bix::safe_path
