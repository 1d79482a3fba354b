#pragma once

// The bridge's only door to the operating system. Everything above this layer speaks in these
// functions, so a port to another system replaces only platform/. Each call returns its errno
// value explicitly.

#include "common/bix_result.h"
#include "common/unique_fd.h"

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <sys/uio.h>

namespace bix::bridge {

// ---- memory and randomness ----
void bix_secure_zero(void* data, std::size_t size);
// Copies secret bytes one at a time through ordinary registers: an optimised copy would pass them
// through vector registers, which the dynamic linker and signal delivery save on the stack.
void bix_copy_secret(void* to, const void* from, std::size_t size);
// Overwrites with zeros the stack below the caller's frame, where calls that have returned leave
// what they held: locals, spilled registers, and the vector registers the dynamic linker saves.
void bix_clear_stack_below();
BixStatus bix_fill_random(void* data, std::size_t size);

// ---- process identity, clocks and signals ----
uid_t bix_effective_uid();
pid_t bix_process_id();
std::int64_t bix_unix_time_seconds();
std::int64_t bix_monotonic_milliseconds();
// The effective user's home directory from the password database (not from the environment).
BixResult<std::string> bix_effective_user_home();
// Ignores SIGPIPE and makes SIGTERM and SIGINT request a stop. The two stop signals stay blocked
// except inside bix_poll, so a stop can never slip in between a flag check and a wait.
BixStatus bix_install_stop_signals();

// ---- descriptors ----
void bix_close(int fd);
// One poll(2) that also lets the stop signals in; returns the number of ready descriptors.
BixResult<int> bix_poll(pollfd* fds, std::size_t count, int timeout_ms);
// One read(2); 0 means end of file.
BixResult<std::size_t> bix_read_some(int fd, void* data, std::size_t size);
// One write(2).
BixResult<std::size_t> bix_write_some(int fd, const void* data, std::size_t size);
// One writev(2) of `count` parts (at most IOV_MAX); a short write may end inside any part.
BixResult<std::size_t> bix_write_vector_some(int fd, const iovec* parts, std::size_t count);
BixStatus bix_add_status_flags(int fd, int flags);
// True when the descriptor is in non-blocking mode (false when that cannot be read).
bool bix_is_nonblocking(int fd);

// ---- files ----
enum class BixFileType { regular, directory, socket, other };

struct BixFileInfo {
    BixFileType type = BixFileType::other;
    dev_t device = 0;
    ino_t inode = 0;
    uid_t owner = 0;
    mode_t permissions = 0; // st_mode & 07777
    nlink_t links = 0;
    std::int64_t size = 0;
};

// Examines a path without following a final symbolic link.
BixResult<BixFileInfo> bix_lstat(const std::string& path);
BixResult<BixFileInfo> bix_fstat(int fd);
// Opens read-only, refusing a final symbolic link and never blocking on a FIFO.
BixResult<UniqueFd> bix_open_read_no_follow(const std::string& path);
BixStatus bix_chmod(const std::string& path, mode_t mode);
BixStatus bix_unlink(const std::string& path);

// ---- Unix-domain stream sockets ----
struct BixPeerCredentials {
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0; // 0 when the system cannot tell
};

BixResult<UniqueFd> bix_unix_stream_socket();
// One connect(2) attempt. On a non-blocking socket it never waits: EAGAIN when the listener's
// queue of pending connections is full, EINPROGRESS or EINTR when the connection goes on in the
// background (bix_connect_outcome then tells how it ended).
BixStatus bix_unix_connect(int fd, const std::string& path);
// The result of a connection that went on in the background (SO_ERROR).
BixStatus bix_connect_outcome(int fd);
// Binds with the process umask at 077 for the bind only, so the socket is never group- or
// world-accessible, not even for an instant.
BixStatus bix_unix_bind_private(int fd, const std::string& path);
BixStatus bix_listen(int fd, int backlog);
// Accepts one pending connection; EAGAIN when none is waiting.
BixResult<UniqueFd> bix_accept(int fd);
void bix_shutdown_both(int fd);
BixResult<BixPeerCredentials> bix_peer_credentials(int fd);

} // namespace bix::bridge
