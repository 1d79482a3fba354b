#include "platform/bix_platform.h"

#include "common/stop_flag.h"

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <string.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace bix::bridge {

namespace {

// Far deeper than any call chain of the bridge and what it calls in the C library.
constexpr std::size_t kStackClearBytes = 32 * 1024;

BixFailure last_error() {
    return BixStatus::failure(errno);
}

BixFileInfo to_file_info(const struct stat& st) {
    BixFileInfo info;
    if (S_ISREG(st.st_mode)) {
        info.type = BixFileType::regular;
    } else if (S_ISDIR(st.st_mode)) {
        info.type = BixFileType::directory;
    } else if (S_ISSOCK(st.st_mode)) {
        info.type = BixFileType::socket;
    }
    info.device = st.st_dev;
    info.inode = st.st_ino;
    info.owner = st.st_uid;
    info.permissions = st.st_mode & 07777;
    info.links = st.st_nlink;
    info.size = st.st_size;
    return info;
}

// Fills a sockaddr_un; the path must fit with its terminator.
BixResult<sockaddr_un> unix_address(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path) ||
        path.find('\0') != std::string::npos) {
        return BixStatus::failure(ENAMETOOLONG);
    }
    memcpy(address.sun_path, path.data(), path.size());
    return address;
}

void handle_stop_signal(int) {
    bix_request_stop();
}

} // namespace

void bix_secure_zero(void* data, std::size_t size) {
    if (data != nullptr && size > 0) {
        explicit_bzero(data, size);
    }
}

void bix_copy_secret(void* to, const void* from, std::size_t size) {
    // Volatile accesses cannot be merged into wider loads and stores.
    auto* out = static_cast<volatile unsigned char*>(to);
    const auto* in = static_cast<const volatile unsigned char*>(from);
    for (std::size_t i = 0; i < size; ++i) {
        out[i] = in[i];
    }
}

__attribute__((noinline)) void bix_clear_stack_below() {
    unsigned char area[kStackClearBytes];
    explicit_bzero(area, sizeof area);
    // The area must really be on the stack: nothing may prove it unused and drop it.
    asm volatile("" : : "r"(area) : "memory");
}

BixStatus bix_fill_random(void* data, std::size_t size) {
    auto* bytes = static_cast<unsigned char*>(data);
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t n = getrandom(bytes + filled, size - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return last_error();
        }
        filled += static_cast<std::size_t>(n);
    }
    return BixStatus::success();
}

uid_t bix_effective_uid() {
    return geteuid();
}

pid_t bix_process_id() {
    return getpid();
}

std::int64_t bix_unix_time_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

std::int64_t bix_monotonic_milliseconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

BixResult<std::string> bix_effective_user_home() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    int rc = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found);
    if (rc != 0) {
        return BixStatus::failure(rc);
    }
    if (found == nullptr || found->pw_dir == nullptr) {
        return BixStatus::failure(ENOENT);
    }
    return std::string(found->pw_dir);
}

BixStatus bix_install_stop_signals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        return last_error();
    }
    // No SA_RESTART: a stop must interrupt the wait it arrives in.
    struct sigaction stop {};
    stop.sa_handler = handle_stop_signal;
    sigemptyset(&stop.sa_mask);
    if (sigaction(SIGTERM, &stop, nullptr) != 0 || sigaction(SIGINT, &stop, nullptr) != 0) {
        return last_error();
    }
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    if (sigprocmask(SIG_BLOCK, &blocked, nullptr) != 0) {
        return last_error();
    }
    return BixStatus::success();
}

void bix_close(int fd) {
    if (fd >= 0) {
        close(fd);
    }
}

void UniqueFd::reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        bix_close(fd_);
    }
    fd_ = fd;
}

BixResult<int> bix_poll(pollfd* fds, std::size_t count, int timeout_ms) {
    // The bridge blocks no signal but the two stop signals, so nothing is blocked while waiting.
    sigset_t during_wait;
    sigemptyset(&during_wait);
    timespec timeout{};
    timespec* timeout_pointer = nullptr;
    if (timeout_ms >= 0) {
        timeout.tv_sec = timeout_ms / 1000;
        timeout.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
        timeout_pointer = &timeout;
    }
    int ready = ppoll(fds, static_cast<nfds_t>(count), timeout_pointer, &during_wait);
    if (ready < 0) {
        return last_error();
    }
    return ready;
}

BixResult<std::size_t> bix_read_some(int fd, void* data, std::size_t size) {
    ssize_t n = read(fd, data, size);
    if (n < 0) {
        return last_error();
    }
    return static_cast<std::size_t>(n);
}

BixResult<std::size_t> bix_write_some(int fd, const void* data, std::size_t size) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
        return last_error();
    }
    return static_cast<std::size_t>(n);
}

BixResult<std::size_t> bix_write_vector_some(int fd, const iovec* parts, std::size_t count) {
    ssize_t n = writev(fd, parts, static_cast<int>(count));
    if (n < 0) {
        return last_error();
    }
    return static_cast<std::size_t>(n);
}

BixStatus bix_add_status_flags(int fd, int flags) {
    int current = fcntl(fd, F_GETFL);
    if (current < 0) {
        return last_error();
    }
    if ((current & flags) == flags) {
        return BixStatus::success();
    }
    if (fcntl(fd, F_SETFL, current | flags) != 0) {
        return last_error();
    }
    return BixStatus::success();
}

bool bix_is_nonblocking(int fd) {
    int current = fcntl(fd, F_GETFL);
    return current >= 0 && (current & O_NONBLOCK) != 0;
}

BixResult<BixFileInfo> bix_lstat(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        return last_error();
    }
    return to_file_info(st);
}

BixResult<BixFileInfo> bix_fstat(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return last_error();
    }
    return to_file_info(st);
}

BixResult<UniqueFd> bix_open_read_no_follow(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return last_error();
    }
    return UniqueFd(fd);
}

BixStatus bix_chmod(const std::string& path, mode_t mode) {
    if (chmod(path.c_str(), mode) != 0) {
        return last_error();
    }
    return BixStatus::success();
}

BixStatus bix_unlink(const std::string& path) {
    if (unlink(path.c_str()) != 0) {
        return last_error();
    }
    return BixStatus::success();
}

BixResult<UniqueFd> bix_unix_stream_socket() {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return last_error();
    }
    return UniqueFd(fd);
}

BixStatus bix_unix_connect(int fd, const std::string& path) {
    auto address = unix_address(path);
    if (!address.ok()) {
        return BixStatus::failure(address.error());
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address.value()), sizeof(sockaddr_un)) !=
        0) {
        return last_error();
    }
    return BixStatus::success();
}

BixStatus bix_connect_outcome(int fd) {
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return last_error();
    }
    // SO_ERROR reports 0 for a connection that was made.
    return error == 0 ? BixStatus::success() : BixStatus::failure(error);
}

BixStatus bix_unix_bind_private(int fd, const std::string& path) {
    auto address = unix_address(path);
    if (!address.ok()) {
        return BixStatus::failure(address.error());
    }
    mode_t previous = umask(077);
    int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address.value()), sizeof(sockaddr_un));
    int bind_error = errno;
    umask(previous);
    if (rc != 0) {
        return BixStatus::failure(bind_error);
    }
    return BixStatus::success();
}

BixStatus bix_listen(int fd, int backlog) {
    if (listen(fd, backlog) != 0) {
        return last_error();
    }
    return BixStatus::success();
}

BixResult<UniqueFd> bix_accept(int fd) {
    int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
        return last_error();
    }
    return UniqueFd(client);
}

void bix_shutdown_both(int fd) {
    if (fd >= 0) {
        shutdown(fd, SHUT_RDWR);
    }
}

BixResult<BixPeerCredentials> bix_peer_credentials(int fd) {
    ucred credentials{};
    socklen_t length = sizeof(credentials);
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        return last_error();
    }
    if (length != sizeof(credentials)) {
        return BixStatus::failure(EPROTO);
    }
    BixPeerCredentials peer;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    peer.pid = credentials.pid > 0 ? credentials.pid : 0;
    return peer;
}

} // namespace bix::bridge
