// Directory bookmarks: a versioned, self-describing record that lets a later run prove that a
// directory is still the one a caller saw, including after the inode number was reused.
//
// Record v1 (integers little-endian): "BXBM", u8 version 1, u8 flags (bit 0: handle present),
// u16 reserved 0, u32 total length, then records (u16 tag, u16 length, bytes; tag bit 0x8000 marks
// a record a reader must understand), ending with tag 0xFFFF holding the SHA-256 of every earlier
// byte. Records: 0x8001 identity, 0x0002 file system, 0x0003 export handle, 0x0004 path relative
// to the root, 0x0005 absolute path, 0x0006 root device and inode.
#pragma once

#include "anchors/root.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bix::safe_path {

constexpr size_t kMaxBookmarkBytes = 65536;
constexpr size_t kMaxBookmarkHexCharacters = 2 * kMaxBookmarkBytes;

// What a bookmark records about one directory.
struct BookmarkRecord {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t uid = 0;
    uint64_t mode = 0;
    bool has_birth_time = false;
    int64_t btime_seconds = 0;
    uint32_t btime_nanoseconds = 0;
    platform::FileSystemId file_system;
    platform::FileHandle handle;
    std::string root_relative_path;
    std::string absolute_path;
    uint64_t root_device = 0;
    uint64_t root_inode = 0;
};

std::vector<unsigned char> encode_bookmark(const BookmarkRecord& record);
// Rejects (ESTALE) wrong magic, version, length, checksum, unknown critical records.
Result<BookmarkRecord> decode_bookmark(std::span<const unsigned char> data);
std::string to_hex(std::span<const unsigned char> data);
// Even length, 2 to 131072 hexadecimal characters of either case; else EINVAL.
Result<std::vector<unsigned char>> from_hex(std::string_view text);

// Records the directory behind `fd` (relative path `relative_path` from the root) and proves the
// result resolves back to it.
Result<std::vector<unsigned char>> create_directory_bookmark(const Root& root, int fd,
                                                             const platform::FileStat& stat,
                                                             std::string_view relative_path);
// Finds the bookmarked directory: by export handle where permitted, else by its recorded
// absolute path, else by its path from the root; each candidate must be a directory with the
// given identity and the recorded handle (or birth time). ESTALE when none is.
Result<UniqueFd> open_bookmarked_directory(const Root& root, std::string_view text,
                                           const DirectoryIdentity& identity,
                                           const std::optional<platform::FileSystemId>& fs);

// Six arguments naming a directory the caller bookmarked and a leaf inside it; `held` is the
// verified directory once opened.
struct BookmarkedGroup {
    std::string bookmark;
    DirectoryIdentity identity;
    std::string directory_path;
    std::string leaf;
    UniqueFd held;
};

// Opens the bookmarked directory and requires its path from the root to reach the same one.
Status open_bookmarked_parent(const Root& root, BookmarkedGroup& group);
// Walks the group's path again; it must still reach the held directory, which is then replaced.
Status refresh_bookmarked_parent(const Root& root, BookmarkedGroup& group);
Status refresh_bookmarked_parents(const Root& root, std::span<BookmarkedGroup* const> groups);

} // namespace bix::safe_path
