// The verified root directory every operation works below.
#pragma once

#include "platform/file_system.h"

#include <cstdint>
#include <optional>
#include <string>

namespace bix::safe_path {

// Device, inode and owner uid the caller expects of a directory.
struct DirectoryIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t uid = 0;
};

// A root opened and verified once by the prologue. Owns the root descriptor; `stat` is the look
// taken right after opening and is the reference for every device, mount and owner check below.
struct Root {
    std::string path;
    DirectoryIdentity identity;
    UniqueFd fd;
    platform::FileStat stat;
    // The file-system id, or the errno of the failed `fstatfs`.
    std::optional<platform::FileSystemId> file_system;
    int file_system_error = 0;
};

// True when the stat is a directory with the identity.
bool has_directory_identity(const platform::FileStat& stat, const DirectoryIdentity& identity);
// True when the entry lies on the root's device and mount (a same-device bind mount differs only
// by its mount id).
bool on_root_file_system(const platform::FileStat& stat, const platform::FileStat& root_stat);

struct OpenedDirectory {
    UniqueFd fd;
    platform::FileStat stat;
};

// Opens `path` as a directory without following a final link and checks type and identity.
// The open's errno, or ESTALE for a different object.
Result<OpenedDirectory> open_verified_directory_path(const std::string& path,
                                                     const DirectoryIdentity& identity);
// The prologue's root: the verified directory plus its file-system id.
Result<Root> open_root(const std::string& path, const DirectoryIdentity& identity);

} // namespace bix::safe_path
