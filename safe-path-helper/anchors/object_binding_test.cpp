#include "anchors/identity.h"
#include "anchors/object_binding.h"
#include "platform/step_hook.h"
#include "test_support/temp_tree.h"

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>

namespace bix::safe_path {
namespace {

using testing::TempTree;

class ObjectBinding : public ::testing::Test {
protected:
    void SetUp() override {
        tree_.write_file("victim", "victim");
        tree_.write_file("decoy", "decoy");
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
    size_t entry_count() {
        return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(tree_.path()),
                                                 std::filesystem::directory_iterator()));
    }
    TempTree tree_;
    UniqueFd dir_;
};

TEST_F(ObjectBinding, DeletesExactlyTheBoundFileAndLeavesNoPrivateName) {
    auto bound = bind_regular_fsref_at(dir_.get(), "victim", stat_of("victim"));
    ASSERT_TRUE(bound.ok());
    auto deletion = deletion_name_for("victim", kFileDeletion);
    ASSERT_TRUE(deletion.ok());
    ASSERT_TRUE(delete_bound_object(dir_.get(), "victim", *bound, *deletion).ok());
    EXPECT_FALSE(tree_.exists("victim"));
    EXPECT_EQ(tree_.read_file("decoy"), "decoy");
    EXPECT_EQ(entry_count(), 1u);
}

TEST_F(ObjectBinding, BindingRefusesAnotherObjectOrASymlink) {
    EXPECT_EQ(bind_regular_fsref_at(dir_.get(), "decoy", stat_of("victim")).error(), ESTALE);
    tree_.symlink("victim", "link");
    EXPECT_EQ(bind_regular_fsref_at(dir_.get(), "link", stat_of("victim")).error(), ELOOP);
}

#ifdef BIX_TEST_HOOKS
TEST_F(ObjectBinding, DecoySwappedInBeforeTheMoveIsPutBackUntouched) {
    auto bound = bind_regular_fsref_at(dir_.get(), "victim", stat_of("victim"));
    ASSERT_TRUE(bound.ok());
    const std::string quarantine = ".bix-native-quarantine-" + std::string(32, '0');
    platform::install_step_hook([&](std::string_view step) {
        // The victim already moved; the attacker puts the decoy at the quarantine name instead.
        if (step == "delete:after-quarantine") {
            ASSERT_EQ(
                ::renameat2(dir_.get(), quarantine.c_str(), dir_.get(), "decoy", RENAME_EXCHANGE),
                0);
        }
    });
    Status status = delete_bound_object(dir_.get(), "victim", *bound, quarantine);
    EXPECT_EQ(status.race_outcome(), RaceOutcome::rolled_back);
    EXPECT_EQ(status.error(), ESTALE);
    EXPECT_EQ(tree_.read_file("victim"), "decoy");
    EXPECT_EQ(tree_.read_file("decoy"), "victim");
}

TEST_F(ObjectBinding, SwapBetweenCheckAndUnlinkIsReportedPreserved) {
    auto bound = bind_regular_fsref_at(dir_.get(), "victim", stat_of("victim"));
    ASSERT_TRUE(bound.ok());
    const std::string quarantine = ".bix-native-quarantine-" + std::string(32, '1');
    platform::install_step_hook([&](std::string_view step) {
        if (step == "delete:before-unlink") {
            ASSERT_EQ(
                ::renameat2(dir_.get(), quarantine.c_str(), dir_.get(), "decoy", RENAME_EXCHANGE),
                0);
        }
    });
    Status status = delete_bound_object(dir_.get(), "victim", *bound, quarantine);
    EXPECT_EQ(status.race_outcome(), RaceOutcome::preserved);
    // The verified file survives under the attacker's name; the tool never claims success.
    EXPECT_EQ(tree_.read_file("decoy"), "victim");
}
#endif

} // namespace
} // namespace bix::safe_path
