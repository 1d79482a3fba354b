// Private files and directories: on the root's device and mount, owned by the root's uid,
// directories exactly 0700, regular files exactly 0600 with one link. These primitives enforce
// that through descriptors opened without following links, then check it again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mutations/primitives.h"

namespace bix::safe_path {

constexpr unsigned kPrivateDirectoryPermissions = 0700;
constexpr unsigned kPrivateFilePermissions = 0600;

struct HardenedDirectory {
    UniqueFd fd;
    platform::FileStat stat;
};

// Opens the named private directory (matching `expected` when given) and makes it 0700.
Result<HardenedDirectory> open_hardened_private_directory_at(
    int directory, const std::string& name, const platform::FileStat& root_stat,
    const std::optional<platform::FileStat>& expected);
// Makes the named private single-link regular file 0600; gives its stat afterwards.
Result<platform::FileStat> harden_private_regular_at(
    int directory, const std::string& name, const platform::FileStat& root_stat,
    const std::optional<platform::FileStat>& expected);

// A whole file read from offset 0, with the stat that held before and after the read.
struct FileContent {
    std::vector<unsigned char> bytes;
    platform::FileStat stat;
};

// Hardens (0600) and reads a private file of at most `maximum` bytes.
Result<FileContent> read_private_regular(int fd, const platform::FileStat& root_stat,
                                         uint64_t maximum);
// Reads a non-empty single-link file of the root's owner without changing it.
Result<FileContent> read_external_regular(int fd, const platform::FileStat& root_stat,
                                          uint64_t maximum);
// EINVAL for a bad digest or length, ESTALE for a different digest.
Status sha256_matches(const std::vector<unsigned char>& bytes, const std::string& digest);

// Removes the named empty directory that `expected` describes, exactly that one.
Status delete_directory_checked(int directory, const std::string& name,
                                const platform::FileStat& expected);
// Renames a directory to a free name; a failed check afterwards renames it back.
Status move_directory_checked(NameAt from, NameAt to, const platform::FileStat& expected);

} // namespace bix::safe_path
