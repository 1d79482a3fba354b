#include "broker/listener.h"
#include "common/test_support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace bix::bridge {

namespace {

bool exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

ino_t inode_of(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_ino;
}

// Binds a socket of this process at `path` and closes it, leaving the socket file behind.
void leave_socket_file(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);
}

TEST(Listener, CreatesAPrivateSocketAndRemovesItOnClose) {
    ScratchDirectory scratch;
    std::string path = scratch.join("broker.sock");
    BixListenerOpen opened = bix_open_listener(path, geteuid());
    ASSERT_EQ(opened.failure, BixListenerFailure::none);
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(opened.listener.inode, st.st_ino);
    bix_close_listener(opened.listener, geteuid());
    EXPECT_FALSE(exists(path));
}

TEST(Listener, ReportsAnOccupiedPathAndLeavesItAlone) {
    ScratchDirectory scratch;
    std::string path = scratch.join("broker.sock");
    leave_socket_file(path);
    ino_t before = inode_of(path);
    EXPECT_EQ(bix_open_listener(path, geteuid()).failure, BixListenerFailure::occupied);
    EXPECT_EQ(inode_of(path), before);
}

TEST(Listener, CloseLeavesASocketThatReplacedItsOwn) {
    ScratchDirectory scratch;
    std::string path = scratch.join("broker.sock");
    BixListenerOpen opened = bix_open_listener(path, geteuid());
    ASSERT_EQ(opened.failure, BixListenerFailure::none);
    ASSERT_EQ(unlink(path.c_str()), 0);
    leave_socket_file(path);
    bix_close_listener(opened.listener, geteuid());
    EXPECT_TRUE(exists(path));
}

TEST(Listener, CloseLeavesASocketOwnedByAnotherUser) {
    ScratchDirectory scratch;
    std::string path = scratch.join("broker.sock");
    BixListenerOpen opened = bix_open_listener(path, geteuid());
    ASSERT_EQ(opened.failure, BixListenerFailure::none);
    bix_close_listener(opened.listener, geteuid() + 1);
    EXPECT_TRUE(exists(path));
}

#ifdef BIX_TEST_HOOKS
TEST(Listener, LosingTheBindRaceRemovesNothing) {
    ScratchDirectory scratch;
    std::string path = scratch.join("broker.sock");
    bix_listener_before_bind_hook = [](const std::string& p) { leave_socket_file(p); };
    BixListenerOpen opened = bix_open_listener(path, geteuid());
    bix_listener_before_bind_hook = nullptr;
    EXPECT_EQ(opened.failure, BixListenerFailure::bind);
    EXPECT_TRUE(exists(path)) << "the competitor's socket must survive";
}
#endif

TEST(Listener, EveryFailureHasItsOwnDiagnostic) {
    EXPECT_EQ(bix_diagnostic_entry(bix_listener_diagnostic(BixListenerFailure::occupied)).name,
              "BIX_BROWSER_BROKER_E_SOCKET_OCCUPIED");
    EXPECT_EQ(bix_diagnostic_entry(bix_listener_diagnostic(BixListenerFailure::metadata)).name,
              "BIX_BROWSER_BROKER_E_SOCKET_METADATA");
    EXPECT_EQ(bix_diagnostic_entry(bix_listener_diagnostic(BixListenerFailure::nonblock)).name,
              "BIX_BROWSER_BROKER_E_SOCKET_NONBLOCK");
}

} // namespace

} // namespace bix::bridge
