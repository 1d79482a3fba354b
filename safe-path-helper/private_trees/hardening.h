// Private files and directories: on the root's device and mount, owned by the root's uid,
// directories exactly 0700, regular files exactly 0600 with one link. These primitives enforce
// that through descriptors opened without following links, then check it again.
#pragma once

#include "anchors/anchor_walk.h"
#include "mutations/primitives.h"
#include "platform/page_buffer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace bix::safe_path {

constexpr unsigned kPrivateDirectoryPermissions = 0700;
constexpr unsigned kPrivateFilePermissions = 0600;

// On the root's device and mount, and owned by the root's uid.
bool private_owner(const platform::FileStat& stat, const platform::FileStat& root_stat);
// The private walk to a path's parent, which is then made 0700, anchored before and after.
Result<HeldParent> hardened_private_parent(const Root& root, const std::string& path);

// What a private removal works on: the hardened parent and, unless the leaf is already gone,
// the leaf's no-follow stat.
struct PrivateRemovalTarget {
    HeldParent parent;
    std::optional<platform::FileStat> present;
};
// `hardened_private_parent`, then the leaf's no-follow stat; an absent leaf is no failure.
Result<PrivateRemovalTarget> private_removal_target(const Root& root, const std::string& path);

struct HardenedDirectory {
    UniqueFd fd;
    platform::FileStat stat;
};

// Opens the named private directory (matching `expected` when given) and makes it 0700.
Result<HardenedDirectory>
open_hardened_private_directory_at(int directory, const std::string& name,
                                   const platform::FileStat& root_stat,
                                   const std::optional<platform::FileStat>& expected);
// Makes the named private single-link regular file 0600; gives its stat afterwards.
Result<platform::FileStat>
harden_private_regular_at(int directory, const std::string& name,
                          const platform::FileStat& root_stat,
                          const std::optional<platform::FileStat>& expected);

// A whole file read from offset 0, with the stat that held before and after the read.
struct FileContent {
    platform::ContentBuffer bytes;
    platform::FileStat stat;
};

// Hardens (0600) and reads a private file of at most `maximum` bytes.
Result<FileContent> read_private_regular(int fd, const platform::FileStat& root_stat,
                                         uint64_t maximum);
// Reads a non-empty single-link file of the root's owner without changing it.
Result<FileContent> read_external_regular(int fd, const platform::FileStat& root_stat,
                                          uint64_t maximum);
// EINVAL for a bad digest or length, ESTALE for a different digest.
Status sha256_matches(std::span<const unsigned char> bytes, const std::string& digest);

// Removes the named empty directory that `expected` describes, exactly that one.
Status delete_directory_checked(int directory, const std::string& name,
                                const platform::FileStat& expected,
                                DirectorySync sync = DirectorySync::now);
// Renames a directory to a free name; a failed check afterwards renames it back.
Status move_directory_checked(NameAt from, NameAt to, const platform::FileStat& expected);

} // namespace bix::safe_path
