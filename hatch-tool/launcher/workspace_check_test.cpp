#include "launcher/fake_system.h"
#include "launcher/workspace_check.h"

#include <functional>
#include <gtest/gtest.h>

namespace bix::hatch {
namespace {

using testing::FakeSystem;

class WorkspaceCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        system_.add_directory("/home/u/ws", 0700);
        system_.current_directory = "/home/u/ws";
    }
    FakeSystem system_;
};

TEST_F(WorkspaceCheckTest, AcceptsCanonicalOwnerOnlyCurrentDirectory) {
    EXPECT_TRUE(check_workspace(system_, "/home/u/ws").ok());
}

TEST_F(WorkspaceCheckTest, RefusesMalformedPathsBeforeTouchingTheFileSystem) {
    const std::string refused[] = {"",
                                   "home/u/ws",
                                   "./ws",
                                   "/home/u/ws\n",
                                   std::string("/home/u/\x7fws"),
                                   std::string("/home/u/\x01"),
                                   "/" + std::string(1023, 'a')};
    for (const std::string& path : refused) {
        const CheckResult result = check_workspace(system_, path);
        ASSERT_FALSE(result.ok()) << path;
        EXPECT_EQ(*result.refusal, Refusal::workspace_not_absolute_canonical) << path;
    }
}

TEST_F(WorkspaceCheckTest, AcceptsTheLongestPathAndHighBytes) {
    const std::string longest = "/" + std::string(1022, 'a');
    system_.add_directory(longest, 0700);
    system_.current_directory = longest;
    EXPECT_TRUE(check_workspace(system_, longest).ok());

    const std::string accented = "/home/u/caf\xc3\xa9";
    system_.add_directory(accented, 0700);
    system_.current_directory = accented;
    EXPECT_TRUE(check_workspace(system_, accented).ok());
}

TEST_F(WorkspaceCheckTest, EachFaultGetsItsOwnRefusal) {
    system_.add_symlink("/home/u/link", "/home/u/ws");
    system_.add_file("/home/u/file", 0700);
    system_.add_directory("/home/u/group", 0750);
    system_.add_directory("/home/u/setgid", 02700);
    system_.add_directory("/home/u/other", 0700, 0);
    system_.add_directory("/home/u/notcanon", 0700);
    system_.canonical["/home/u/notcanon"] = "/data/notcanon";
    system_.add_directory("/home/u/ws/", 0700);
    system_.canonical["/home/u/ws/"] = "/home/u/ws";
    system_.add_directory("/home/u/elsewhere", 0700);

    const struct {
        const char* path;
        Refusal expected;
    } cases[] = {
        {"/home/u/missing", Refusal::workspace_not_real_directory},
        {"/home/u/link", Refusal::workspace_not_real_directory},
        {"/home/u/file", Refusal::workspace_not_real_directory},
        {"/home/u/group", Refusal::workspace_owner_or_mode},
        {"/home/u/setgid", Refusal::workspace_owner_or_mode},
        {"/home/u/other", Refusal::workspace_owner_or_mode},
        {"/home/u/notcanon", Refusal::workspace_not_canonical},
        {"/home/u/ws/", Refusal::workspace_not_canonical},
        {"/home/u/elsewhere", Refusal::current_directory_not_workspace},
    };
    for (const auto& c : cases) {
        const CheckResult result = check_workspace(system_, c.path);
        ASSERT_FALSE(result.ok()) << c.path;
        EXPECT_EQ(*result.refusal, c.expected) << c.path;
    }
}

TEST_F(WorkspaceCheckTest, UnreadableCurrentDirectoryCarriesItsErrno) {
    system_.current_error = EACCES;
    const CheckResult result = check_workspace(system_, "/home/u/ws");
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(*result.refusal, Refusal::current_directory_not_workspace);
    EXPECT_EQ(result.error, EACCES);
}

// The current directory is compared with the held workspace by device and inode, so what the
// paths spell does not decide it.
TEST_F(WorkspaceCheckTest, CurrentDirectoryMustBeTheHeldObject) {
    const FileStatus workspace = system_.files["/home/u/ws"];
    const struct {
        const char* name;
        std::function<void(FakeSystem&)> arrange;
        bool accepted;
    } cases[] = {
        {"workspace replaced by a new directory once held",
         [](FakeSystem& s) { s.after_hold = [&s] { s.add_directory("/home/u/ws", 0700); }; },
         false},
        {"the workspace reached under another name (a bind mount)",
         [&](FakeSystem& s) {
             s.files["/mnt/ws"] = workspace;
             s.current_directory = "/mnt/ws";
         },
         true},
        {"same inode on another device",
         [&](FakeSystem& s) {
             FileStatus other = workspace;
             other.device += 1;
             s.files["/mnt/ws"] = other;
             s.current_directory = "/mnt/ws";
         },
         false},
    };
    for (const auto& c : cases) {
        FakeSystem system = system_;
        c.arrange(system);
        const CheckResult result = check_workspace(system, "/home/u/ws");
        EXPECT_EQ(result.ok(), c.accepted) << c.name;
        if (!c.accepted && !result.ok()) {
            EXPECT_EQ(*result.refusal, Refusal::current_directory_not_workspace) << c.name;
        }
    }
}

} // namespace
} // namespace bix::hatch
