#include "platform/linux_system.h"

#include <algorithm>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace bix::hatch {
namespace {

TEST(LinuxSystem, FindsTheFileBehindAMapping) {
    const std::string maps =
        "55d0a0000000-55d0a0021000 r--p 00000000 fe:00 1234   /opt/r/bin/bix-hatch-tool\n"
        "7f0000000000-7f0000100000 r-xp 00010000 fe:01 98765  /opt/r/lib/libpython3.11.so.1.0\n"
        "7f0000100000-7f0000200000 rw-p 00000000 00:00 0 \n"
        "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0      [stack]\n";
    const FileIdentity library = find_mapped_file(maps, 0x7f0000000abcu);
    ASSERT_TRUE(library.ok());
    EXPECT_EQ(library.device, makedev(0xfe, 0x01));
    EXPECT_EQ(library.inode, 98765u);
    // End addresses are exclusive; anonymous memory names no file.
    EXPECT_EQ(find_mapped_file(maps, 0x7f0000100000u).error, ENOENT);
    EXPECT_EQ(find_mapped_file(maps, 0x7ffd00000010u).error, ENOENT);
    EXPECT_EQ(find_mapped_file("garbage line\n", 0x10u).error, ENOENT);
}

TEST(LinuxSystem, LocatesALoadedLibraryAndItsSymbolsInTheSameFile) {
    LinuxSystem system;
    ASSERT_TRUE(system.executable_path().ok());
    const FileIdentity library = system.loaded_library_identity("libc.so.6");
    ASSERT_TRUE(library.ok());
    const FileIdentity symbol = system.symbol_identity("getpid");
    ASSERT_TRUE(symbol.ok());
    EXPECT_EQ(symbol.device, library.device);
    EXPECT_EQ(symbol.inode, library.inode);
    EXPECT_EQ(system.loaded_library_identity("libno-such-library.so.9").error, ENOENT);
    EXPECT_EQ(system.symbol_identity("no_such_symbol_anywhere").error, ENOENT);
}

TEST(LinuxSystem, MappingAFileReportsItsOwnIdentity) {
    char path[] = "/tmp/bix-hatch-map-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "x", 1), 1);
    struct stat st {};
    ASSERT_EQ(fstat(fd, &st), 0);
    close(fd);
    LinuxSystem system;
    const FileIdentity identity = system.mapped_file_identity(path);
    ASSERT_TRUE(identity.ok());
    EXPECT_EQ(identity.device, st.st_dev);
    EXPECT_EQ(identity.inode, st.st_ino);
    const std::string link = std::string(path) + ".link";
    ASSERT_EQ(symlink(path, link.c_str()), 0);
    EXPECT_EQ(system.mapped_file_identity(link).error, ELOOP);
    unlink(link.c_str());
    unlink(path);
    EXPECT_EQ(system.mapped_file_identity(path).error, ENOENT);
}

TEST(LinuxSystem, ReportsLinksWithoutFollowingThem) {
    char directory_template[] = "/tmp/bix-hatch-test-XXXXXX";
    ASSERT_NE(mkdtemp(directory_template), nullptr);
    const std::string directory = directory_template;
    const std::string link = directory + "/link";
    ASSERT_EQ(symlink(directory.c_str(), link.c_str()), 0);
    LinuxSystem system;
    const StatusResult status = system.status_without_following(link);
    EXPECT_TRUE(status.ok() && S_ISLNK(status.status.mode));
    EXPECT_EQ(system.canonical_path(link).path, system.canonical_path(directory).path);
    EXPECT_EQ(system.status_without_following(directory + "/missing").error, ENOENT);
    unlink(link.c_str());
    rmdir(directory.c_str());
}

TEST(LinuxSystem, HoldsTheObjectItselfAndNamesItCanonically) {
    char directory_template[] = "/tmp/bix-hatch-hold-XXXXXX";
    ASSERT_NE(mkdtemp(directory_template), nullptr);
    const std::string directory = directory_template;
    const std::string canonical = LinuxSystem{}.canonical_path(directory).path;
    ASSERT_EQ(mkdir((directory + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(symlink(directory.c_str(), (directory + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((directory + "/fifo").c_str(), 0600), 0);
    LinuxSystem system;

    // A spelled-out detour is held as the directory it reaches, named in canonical form.
    const HeldObject held = system.hold_without_following(directory + "/sub/..");
    struct stat st {};
    ASSERT_EQ(stat(directory.c_str(), &st), 0);
    ASSERT_TRUE(held.status.ok() && held.canonical.ok());
    EXPECT_EQ(held.status.status.inode, st.st_ino);
    EXPECT_EQ(held.status.status.device, st.st_dev);
    EXPECT_EQ(held.canonical.path, canonical);
    // A final link is held as the link; a FIFO is held without waiting for a writer.
    EXPECT_TRUE(S_ISLNK(system.hold_without_following(directory + "/link").status.status.mode));
    EXPECT_TRUE(S_ISFIFO(system.hold_without_following(directory + "/fifo").status.status.mode));
    const HeldObject missing = system.hold_without_following(directory + "/missing");
    EXPECT_EQ(missing.status.error, ENOENT);
    EXPECT_EQ(missing.canonical.error, ENOENT);

    // The current directory is identified by what it is, not by how it is spelled.
    const UniqueFd previous(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(previous.get(), 0);
    ASSERT_EQ(chdir((directory + "/link").c_str()), 0);
    const StatusResult current = system.current_directory_status();
    ASSERT_EQ(fchdir(previous.get()), 0);
    ASSERT_TRUE(current.ok());
    EXPECT_EQ(current.status.inode, st.st_ino);
    EXPECT_EQ(current.status.device, st.st_dev);

    unlink((directory + "/fifo").c_str());
    unlink((directory + "/link").c_str());
    rmdir((directory + "/sub").c_str());
    rmdir(directory.c_str());
}

TEST(LinuxSystem, ListsATreeWithoutEnteringLinksAndRefusesOneTooDeep) {
    char directory_template[] = "/tmp/bix-hatch-tree-XXXXXX";
    ASSERT_NE(mkdtemp(directory_template), nullptr);
    const std::string root = directory_template;
    ASSERT_EQ(symlink("/etc", (root + "/etc").c_str()), 0);
    std::string deep = root;
    for (std::size_t level = 0; level <= kMaxTreeDepth; ++level) {
        ASSERT_EQ(mkdir((deep += "/d").c_str(), 0755), 0);
    }
    LinuxSystem system;
    EXPECT_EQ(system.list_tree(root).error, ELOOP);
    ASSERT_EQ(rmdir(deep.c_str()), 0);
    const TreeListing listing = system.list_tree(root);
    ASSERT_TRUE(listing.ok()) << listing.error;
    EXPECT_EQ(listing.entries.size(), kMaxTreeDepth + 2); // root, the link, the directories
    EXPECT_EQ(listing.entries.front().path, root);
    EXPECT_EQ(std::count_if(listing.entries.begin(), listing.entries.end(),
                            [](const TreeEntry& e) { return S_ISLNK(e.status.mode); }),
              1);
    for (; deep != root; deep.resize(deep.rfind('/'))) {
        rmdir(deep.c_str());
    }
    unlink((root + "/etc").c_str());
    rmdir(root.c_str());
}

TEST(LinuxSystem, RemovesOnlyTheNamedVariable) {
    LinuxSystem system;
    ASSERT_EQ(setenv("BIX_HATCH_TEST_VARIABLE", "1", 1), 0);
    ASSERT_EQ(setenv("BIX_HATCH_TEST_KEPT", "1", 1), 0);
    auto names = system.environment_names();
    EXPECT_NE(std::find(names.begin(), names.end(), "BIX_HATCH_TEST_VARIABLE"), names.end());
    EXPECT_EQ(system.remove_environment("BIX_HATCH_TEST_VARIABLE"), 0);
    names = system.environment_names();
    EXPECT_EQ(std::find(names.begin(), names.end(), "BIX_HATCH_TEST_VARIABLE"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "BIX_HATCH_TEST_KEPT"), names.end());
    unsetenv("BIX_HATCH_TEST_KEPT");
}

} // namespace
} // namespace bix::hatch
