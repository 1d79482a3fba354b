// Identity and content predicates: the checks every operation runs before and after it touches an
// entry. Each mismatch is ESTALE, the identity-mismatch marker.
#pragma once

#include "platform/file_system.h"

#include <cstdint>
#include <string>

namespace bix::safe_path {

constexpr uint64_t kMaxContentBytes = 209715200;
constexpr size_t kContentChunkBytes = 65536;

// Device, inode, link count, owner uid and full mode of an entry.
struct EntryIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t link_count = 0;
    uint64_t uid = 0;
    uint64_t mode = 0;
};

// An entry identity plus size, modification time in nanoseconds and the SHA-256 digest as 64
// lowercase hexadecimal characters.
struct ContentIdentity {
    EntryIdentity entry;
    uint64_t size = 0;
    uint64_t mtime_nanoseconds = 0;
    std::string digest;
};

EntryIdentity entry_identity_of(const platform::FileStat& stat);
bool valid_digest(std::string_view text);

Status directory_identity(int fd, uint64_t device, uint64_t inode, uint64_t uid);
Status same_directory_descriptor(int first, int second);
bool same_directory_identity(const platform::FileStat& expected, const platform::FileStat& actual);
// The no-follow stat of the name, required to be a directory / regular file.
Result<platform::FileStat> directory_at(int directory, const std::string& name);
Result<platform::FileStat> regular_at(int directory, const std::string& name);
// Success only when the name does not exist: EEXIST when it does, the stat's errno otherwise.
Status absent_at(int directory, const std::string& name);
// A regular file with all five values of the identity.
Result<platform::FileStat> exact_regular_at(int directory, const std::string& name,
                                            const EntryIdentity& identity);
bool same_regular_identity(const platform::FileStat& expected, const platform::FileStat& actual);
bool same_file_snapshot(const platform::FileStat& first, const platform::FileStat& second);
// Seconds x 10^9 + nanoseconds, or EOVERFLOW when that cannot be represented.
Result<uint64_t> modification_time_nanoseconds(const platform::FileStat& stat);

// Type, device, inode, uid, mode, size, time and digest of an open file (link count ignored).
Status exact_regular_content_descriptor(int fd, const ContentIdentity& expected);
// Opens the name and checks it as above; the name must still be that file afterwards. Gives the
// descriptor's stat.
Result<platform::FileStat> exact_regular_content_at(int directory, const std::string& name,
                                                    const ContentIdentity& expected);
// `exact_regular_content_at` plus an equal link count.
Result<platform::FileStat> exact_recovery_file_at(int directory, const std::string& name,
                                                  const ContentIdentity& expected);

} // namespace bix::safe_path
