// The Linux file-system calls the helper uses, behind one small interface. Every function works
// relative to a held descriptor, never follows a symbolic link it is handed, and reports its errno.
#pragma once

#include "platform/status.h"
#include "platform/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bix::safe_path::platform {

// What one look at an entry shows (statx). `mount_id` is the kernel's unique mount id where it has
// one, else the plain mount id; a same-device bind mount differs from its source only there.
struct FileStat {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t link_count = 0;
    uint64_t uid = 0;
    uint64_t mode = 0;
    uint64_t size = 0;
    int64_t mtime_seconds = 0;
    uint32_t mtime_nanoseconds = 0;
    int64_t ctime_seconds = 0;
    uint32_t ctime_nanoseconds = 0;
    bool has_birth_time = false;
    int64_t btime_seconds = 0;
    uint32_t btime_nanoseconds = 0;
    uint64_t mount_id = 0;

    bool is_directory() const;
    bool is_regular() const;
    uint64_t permissions() const { return mode & 07777; }
    // The same file-system object: device and inode both match.
    bool same_inode(const FileStat& other) const {
        return device == other.device && inode == other.inode;
    }
};

// The file-system identity of a volume (`fstatfs`).
struct FileSystemId {
    uint64_t type = 0;
    uint32_t fsid[2] = {0, 0};
};

// An export handle of an object (`name_to_handle_at`); empty when the file system has none.
struct FileHandle {
    int32_t type = 0;
    std::vector<unsigned char> bytes;
    bool empty() const { return bytes.empty(); }
};

Result<FileStat> stat_descriptor(int fd);
// No-follow stat of `name` inside `directory`.
Result<FileStat> stat_at(int directory, const std::string& name);

// Opens an absolute path as a directory without following a final link (the root).
Result<UniqueFd> open_directory_path(const std::string& path);
// Opens one component below `directory` read-only as a directory, never following a link.
Result<UniqueFd> open_directory_at(int directory, const std::string& name);
// Opens a name read-only, non-blocking and without following a link.
Result<UniqueFd> open_read_at(int directory, const std::string& name);
// Creates a new regular file write-only; fails with EEXIST when the name exists in any form.
Result<UniqueFd> create_exclusive_at(int directory, const std::string& name, unsigned mode);
Result<UniqueFd> duplicate(int fd);

Status make_directory_at(int directory, const std::string& name, unsigned mode);
// Renames without replacing anything at the target.
Status rename_exclusive(int from_directory, const std::string& from_name, int to_directory,
                        const std::string& to_name);
// Atomically exchanges two names.
Status rename_swap(int directory_a, const std::string& name_a, int directory_b,
                   const std::string& name_b);
Status link_at(int from_directory, const std::string& from_name, int to_directory,
               const std::string& to_name);
Status unlink_file_at(int directory, const std::string& name);
Status remove_directory_at(int directory, const std::string& name);
Status sync_descriptor(int fd);
Status change_mode(int fd, unsigned mode);

// The path the kernel reports for a descriptor (/proc/self/fd; diagnostic only: every use
// re-checks identity, and nothing depends on it being available).
Result<std::string> descriptor_path(int fd);
Result<FileSystemId> file_system_id(int fd);
Result<FileHandle> file_handle(int fd);
// Opens an object by its export handle; needs privileges most callers do not have (EPERM).
Result<UniqueFd> open_directory_by_handle(int mount_fd, const FileHandle& handle);

// Reads up to `length` bytes at `offset`; retries EINTR. 0 means end of file.
Result<size_t> read_at(int fd, void* buffer, size_t length, uint64_t offset);
// Reads up to `length` bytes from the current position; retries EINTR.
Result<size_t> read_some(int fd, void* buffer, size_t length);
// Writes every byte; retries EINTR and short writes.
Status write_all(int fd, const void* data, size_t length);
Status random_bytes(void* buffer, size_t length);

// Reads the names of one directory through a fresh descriptor of its "." (so the caller's
// descriptor offset is untouched). "." and ".." are skipped.
class DirectoryReader {
public:
    static Result<DirectoryReader> open(int directory);
    DirectoryReader(DirectoryReader&& other) noexcept;
    DirectoryReader& operator=(DirectoryReader&&) = delete;
    DirectoryReader(const DirectoryReader&) = delete;
    ~DirectoryReader();
    // The next name, no value at the end, or the read's errno.
    Result<std::optional<std::string>> next();
    int fd() const;

private:
    explicit DirectoryReader(void* stream) : stream_(stream) {}
    void* stream_ = nullptr;
};

} // namespace bix::safe_path::platform
