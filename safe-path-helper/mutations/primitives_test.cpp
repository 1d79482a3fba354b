#include "anchors/root.h"
#include "mutations/primitives.h"
#include "mutations/rollbacks.h"
#include "platform/step_hook.h"
#include "test_support/temp_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace bix::safe_path {
namespace {

using testing::TempTree;

class Primitives : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.write_file("a", "first");
        tree_.write_file("b", "second");
        tree_.make_directory("dir");
        dir_ = UniqueFd(::open(tree_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
#ifdef BIX_TEST_HOOKS
    void TearDown() override {
        platform::install_step_hook(nullptr);
    }
#endif
    platform::FileStat stat_of(const std::string& name) {
        return *platform::stat_at(dir_.get(), name);
    }
    NameAt at(const std::string& name) {
        names_.push_back(std::make_unique<std::string>(name));
        return {dir_.get(), *names_.back()};
    }
    TempTree tree_;
    UniqueFd dir_;
    std::vector<std::unique_ptr<std::string>> names_;
};

TEST_F(Primitives, MoveRefusesAnOccupiedTargetOrAnotherFile) {
    EXPECT_EQ(move_regular_checked(at("a"), at("b"), stat_of("a")).error(), EEXIST);
    EXPECT_EQ(move_regular_checked(at("b"), at("c"), stat_of("a")).error(), ESTALE);
    EXPECT_EQ(move_regular_checked(at("dir"), at("c"), stat_of("dir")).error(), ESTALE);
    ASSERT_TRUE(move_regular_checked(at("a"), at("c"), stat_of("a")).ok());
    EXPECT_EQ(tree_.read_file("c"), "first");
    EXPECT_FALSE(tree_.exists("a"));
}

TEST_F(Primitives, DurableQuarantineNeedsTheRightNameAndTheSameDirectory) {
    const std::string good = ".bix-native-quarantine-" + std::string(32, 'c');
    UniqueFd other(::open(tree_.at("dir").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_EQ(move_to_durable_quarantine(at("a"), at(".bix-q"), stat_of("a")).error(), ESTALE);
    EXPECT_EQ(move_to_durable_quarantine(at("a"), NameAt{other.get(), good}, stat_of("a")).error(),
              ESTALE);
    EXPECT_TRUE(tree_.exists("a"));
    ASSERT_TRUE(move_to_durable_quarantine(at("a"), at(good), stat_of("a")).ok());
    EXPECT_EQ(tree_.read_file(good), "first");
}

TEST_F(Primitives, ContentDeletionRefusesChangedContent) {
    struct stat s = tree_.stat_of("a");
    ContentIdentity identity{{s.st_dev, s.st_ino, s.st_nlink, s.st_uid, s.st_mode},
                             5,
                             static_cast<uint64_t>(s.st_mtim.tv_sec) * 1000000000u +
                                 static_cast<uint64_t>(s.st_mtim.tv_nsec),
                             testing::sha256_hex("first")};
    const std::string quarantine = ".bix-native-quarantine-" + std::string(32, 'd');
    ContentIdentity wrong = identity;
    wrong.digest = testing::sha256_hex("other");
    EXPECT_EQ(delete_regular_content_checked(at("a"), at(quarantine), wrong).error(), ESTALE);
    EXPECT_EQ(tree_.read_file("a"), "first");
    ASSERT_TRUE(delete_regular_content_checked(at("a"), at(quarantine), identity).ok());
    EXPECT_FALSE(tree_.exists("a"));
    EXPECT_FALSE(tree_.exists(quarantine));
}

TEST_F(Primitives, HardeningMakesADirectoryExactly0700) {
    ASSERT_EQ(::chmod(tree_.at("dir").c_str(), 0755), 0);
    UniqueFd fd(::open(tree_.at("dir").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    UniqueFd root_fd(::open(tree_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    auto root_stat = platform::stat_descriptor(root_fd.get());
    ASSERT_TRUE(harden_private_directory(fd.get(), *root_stat).ok());
    EXPECT_EQ(tree_.stat_of("dir").st_mode & 07777, 0700u);
    platform::FileStat other_owner = *root_stat;
    other_owner.uid += 1;
    EXPECT_EQ(harden_private_directory(fd.get(), other_owner).error(), ESTALE);
}

TEST_F(Primitives, RollbacksRestoreRenamesAndSwaps) {
    ASSERT_EQ(::rename(tree_.at("a").c_str(), tree_.at("moved").c_str()), 0);
    EXPECT_TRUE(rollback_renamed_entry(at("a"), at("moved")));
    EXPECT_EQ(tree_.read_file("a"), "first");
    ASSERT_EQ(::renameat2(AT_FDCWD, tree_.at("a").c_str(), AT_FDCWD, tree_.at("b").c_str(),
                          RENAME_EXCHANGE),
              0);
    EXPECT_TRUE(rollback_swapped_entries(at("a"), at("b")));
    EXPECT_EQ(tree_.read_file("a"), "first");
    EXPECT_EQ(tree_.read_file("b"), "second");
    // A directory is never part of a swap rollback.
    EXPECT_FALSE(rollback_swapped_entries(at("a"), at("dir")));
    EXPECT_TRUE(tree_.exists("dir"));
}

#ifdef BIX_TEST_HOOKS
TEST_F(Primitives, SwapWithADirectorySwappedInIsNeverUndoneIntoADirectory) {
    platform::install_step_hook([&](std::string_view step) {
        if (step == "swap:after-exchange") {
            ASSERT_EQ(::renameat2(dir_.get(), "a", dir_.get(), "dir", RENAME_EXCHANGE), 0);
        }
    });
    Status status = swap_regular_checked(at("a"), at("b"), stat_of("a"), stat_of("b"));
    EXPECT_EQ(status.error(), ESTALE);
    struct stat a = tree_.stat_of("a");
    EXPECT_TRUE(S_ISDIR(a.st_mode));
    EXPECT_EQ(tree_.read_file("dir"), "second");
    EXPECT_EQ(tree_.read_file("b"), "first");
}

TEST_F(Primitives, MoveWhoseTargetWasReplacedMovesTheNewcomerBack) {
    platform::install_step_hook([&](std::string_view step) {
        if (step == "move:after-rename") {
            ASSERT_EQ(::renameat2(dir_.get(), "c", dir_.get(), "b", RENAME_EXCHANGE), 0);
        }
    });
    EXPECT_EQ(move_regular_checked(at("a"), at("c"), stat_of("a")).error(), ESTALE);
    // "c" held b's file after the exchange; it went back to the free source name.
    EXPECT_EQ(tree_.read_file("a"), "second");
    EXPECT_EQ(tree_.read_file("b"), "first");
    EXPECT_FALSE(tree_.exists("c"));
}
#endif

} // namespace
} // namespace bix::safe_path
