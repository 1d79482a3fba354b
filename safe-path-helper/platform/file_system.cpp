#include "platform/file_system.h"

#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>

namespace bix::safe_path::platform {
namespace {

// The unique mount id (kernel 6.8 and later); absent from older headers.
constexpr unsigned kStatxMountIdUnique = 0x4000U;
constexpr unsigned kStatxMask =
    STATX_BASIC_STATS | STATX_BTIME | STATX_MNT_ID | kStatxMountIdUnique;
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
constexpr size_t kMaxHandleBytes = 128;

FileStat from_statx(const struct statx& raw) {
    FileStat stat;
    stat.device = makedev(raw.stx_dev_major, raw.stx_dev_minor);
    stat.inode = raw.stx_ino;
    stat.link_count = raw.stx_nlink;
    stat.uid = raw.stx_uid;
    stat.mode = raw.stx_mode;
    stat.size = raw.stx_size;
    stat.mtime_seconds = raw.stx_mtime.tv_sec;
    stat.mtime_nanoseconds = raw.stx_mtime.tv_nsec;
    stat.ctime_seconds = raw.stx_ctime.tv_sec;
    stat.ctime_nanoseconds = raw.stx_ctime.tv_nsec;
    stat.has_birth_time = (raw.stx_mask & STATX_BTIME) != 0;
    if (stat.has_birth_time) {
        stat.btime_seconds = raw.stx_btime.tv_sec;
        stat.btime_nanoseconds = raw.stx_btime.tv_nsec;
    }
    // The unique id and the plain id come back in the same field; the kernel reports which.
    stat.mount_id = raw.stx_mnt_id;
    if ((raw.stx_mask & kStatxMountIdUnique) != 0)
        stat.mount_id |= uint64_t{1} << 63;
    return stat;
}

Result<FileStat> statx_at(int directory, const char* name, int flags) {
    struct statx raw;
    std::memset(&raw, 0, sizeof raw);
    if (::statx(directory, name, flags | AT_STATX_SYNC_AS_STAT, kStatxMask, &raw) != 0)
        return Status::from_errno();
    // A kernel that fills neither mount id field cannot tell bind mounts apart: refuse to guess.
    if ((raw.stx_mask & (STATX_MNT_ID | kStatxMountIdUnique)) == 0)
        return Status::failure(EOPNOTSUPP);
    return from_statx(raw);
}

Result<UniqueFd> checked_open(int directory, const std::string& name, int flags,
                              unsigned mode = 0) {
    if (name.empty() || name.find('/') != std::string::npos)
        return invalid();
    int fd;
    do {
        fd = ::openat(directory, name.c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return Status::from_errno();
    return UniqueFd(fd);
}

Status status_of(int rc) {
    return rc == 0 ? Status::success() : Status::from_errno();
}

} // namespace

bool FileStat::is_directory() const {
    return S_ISDIR(static_cast<mode_t>(mode));
}
bool FileStat::is_regular() const {
    return S_ISREG(static_cast<mode_t>(mode));
}

Result<FileStat> stat_descriptor(int fd) {
    return statx_at(fd, "", AT_EMPTY_PATH);
}

Result<FileStat> stat_at(int directory, const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos)
        return invalid();
    return statx_at(directory, name.c_str(), AT_SYMLINK_NOFOLLOW);
}

Result<UniqueFd> open_directory_path(const std::string& path) {
    int fd = ::open(path.c_str(), kDirectoryFlags);
    if (fd < 0)
        return Status::from_errno();
    return UniqueFd(fd);
}

Result<UniqueFd> open_directory_at(int directory, const std::string& name) {
    return checked_open(directory, name, kDirectoryFlags);
}

Result<UniqueFd> open_read_at(int directory, const std::string& name) {
    return checked_open(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

Result<UniqueFd> create_exclusive_at(int directory, const std::string& name, unsigned mode) {
    return checked_open(directory, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        mode);
}

Result<UniqueFd> duplicate(int fd) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return Status::from_errno();
    return UniqueFd(copy);
}

Status make_directory_at(int directory, const std::string& name, unsigned mode) {
    return status_of(::mkdirat(directory, name.c_str(), mode));
}

Status rename_exclusive(int from_directory, const std::string& from_name, int to_directory,
                        const std::string& to_name) {
    return status_of(::renameat2(from_directory, from_name.c_str(), to_directory, to_name.c_str(),
                                 RENAME_NOREPLACE));
}

Status rename_swap(int directory_a, const std::string& name_a, int directory_b,
                   const std::string& name_b) {
    return status_of(
        ::renameat2(directory_a, name_a.c_str(), directory_b, name_b.c_str(), RENAME_EXCHANGE));
}

Status link_at(int from_directory, const std::string& from_name, int to_directory,
               const std::string& to_name) {
    return status_of(::linkat(from_directory, from_name.c_str(), to_directory, to_name.c_str(), 0));
}

Status unlink_file_at(int directory, const std::string& name) {
    return status_of(::unlinkat(directory, name.c_str(), 0));
}

Status remove_directory_at(int directory, const std::string& name) {
    return status_of(::unlinkat(directory, name.c_str(), AT_REMOVEDIR));
}

Status sync_descriptor(int fd) {
    int rc;
    do {
        rc = ::fsync(fd);
    } while (rc != 0 && errno == EINTR);
    return status_of(rc);
}

Status change_mode(int fd, unsigned mode) {
    return status_of(::fchmod(fd, mode));
}

Result<std::string> descriptor_path(int fd) {
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    std::string buffer(4097, '\0');
    ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 0)
        return Status::from_errno();
    if (static_cast<size_t>(length) >= buffer.size())
        return Status::failure(ENAMETOOLONG);
    buffer.resize(static_cast<size_t>(length));
    // Anything but an absolute path (an anonymous or unreachable object) is not a usable name.
    if (buffer.empty() || buffer.front() != '/')
        return stale();
    return buffer;
}

Result<FileSystemId> file_system_id(int fd) {
    struct statfs raw;
    if (::fstatfs(fd, &raw) != 0)
        return Status::from_errno();
    FileSystemId id;
    id.type = static_cast<uint64_t>(raw.f_type);
    std::memcpy(id.fsid, &raw.f_fsid, sizeof id.fsid);
    return id;
}

Result<FileHandle> file_handle(int fd) {
    auto storage = std::make_unique<unsigned char[]>(sizeof(struct file_handle) + kMaxHandleBytes);
    auto* handle = reinterpret_cast<struct file_handle*>(storage.get());
    handle->handle_bytes = kMaxHandleBytes;
    int mount_id = 0;
    if (::name_to_handle_at(fd, "", handle, &mount_id, AT_EMPTY_PATH) != 0) {
        // File systems without export handles (overlayfs, /proc) simply have none.
        if (errno == EOPNOTSUPP)
            return FileHandle{};
        return Status::from_errno();
    }
    FileHandle result;
    result.type = handle->handle_type;
    result.bytes.assign(handle->f_handle, handle->f_handle + handle->handle_bytes);
    return result;
}

Result<UniqueFd> open_directory_by_handle(int mount_fd, const FileHandle& handle) {
    if (handle.empty() || handle.bytes.size() > kMaxHandleBytes)
        return invalid();
    auto storage = std::make_unique<unsigned char[]>(sizeof(struct file_handle) + kMaxHandleBytes);
    auto* raw = reinterpret_cast<struct file_handle*>(storage.get());
    raw->handle_bytes = static_cast<unsigned>(handle.bytes.size());
    raw->handle_type = handle.type;
    std::memcpy(raw->f_handle, handle.bytes.data(), handle.bytes.size());
    int fd = ::open_by_handle_at(mount_fd, raw, kDirectoryFlags);
    if (fd < 0)
        return Status::from_errno();
    return UniqueFd(fd);
}

Result<size_t> read_at(int fd, void* buffer, size_t length, uint64_t offset) {
    ssize_t count;
    do {
        count = ::pread(fd, buffer, length, static_cast<off_t>(offset));
    } while (count < 0 && errno == EINTR);
    if (count < 0)
        return Status::from_errno();
    return static_cast<size_t>(count);
}

Result<size_t> read_some(int fd, void* buffer, size_t length) {
    ssize_t count;
    do {
        count = ::read(fd, buffer, length);
    } while (count < 0 && errno == EINTR);
    if (count < 0)
        return Status::from_errno();
    return static_cast<size_t>(count);
}

Status write_all(int fd, const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        ssize_t count = ::write(fd, bytes, length);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Status::from_errno();
        if (count == 0)
            return Status::failure(EIO);
        bytes += count;
        length -= static_cast<size_t>(count);
    }
    return Status::success();
}

Status random_bytes(void* buffer, size_t length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        ssize_t count = ::getrandom(bytes, length, 0);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return Status::from_errno();
        bytes += count;
        length -= static_cast<size_t>(count);
    }
    return Status::success();
}

Result<DirectoryReader> DirectoryReader::open(int directory) {
    auto fd = checked_open(directory, ".", kDirectoryFlags);
    if (!fd)
        return fd.status();
    DIR* stream = ::fdopendir(fd->get());
    if (stream == nullptr)
        return Status::from_errno();
    // The stream owns the descriptor from here on.
    (void)fd->release();
    return DirectoryReader(stream);
}

DirectoryReader::DirectoryReader(DirectoryReader&& other) noexcept
    : stream_(std::exchange(other.stream_, nullptr)) {}

DirectoryReader::~DirectoryReader() {
    if (stream_ != nullptr) {
        int saved = errno;
        ::closedir(static_cast<DIR*>(stream_));
        errno = saved;
    }
}

int DirectoryReader::fd() const {
    return ::dirfd(static_cast<DIR*>(stream_));
}

Result<std::optional<std::string>> DirectoryReader::next() {
    for (;;) {
        errno = 0;
        const struct dirent* entry = ::readdir(static_cast<DIR*>(stream_));
        if (entry == nullptr) {
            if (errno != 0)
                return Status::from_errno();
            return std::optional<std::string>();
        }
        std::string_view name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        return std::optional<std::string>(std::string(name));
    }
}

} // namespace bix::safe_path::platform
