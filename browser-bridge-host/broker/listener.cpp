#include "broker/listener.h"

#include "common/timed_io.h"
#include "platform/bix_platform.h"

#include <cerrno>

namespace bix::bridge {

namespace {

constexpr mode_t kSocketPermissions = 0600;

bool is_own_socket(const BixFileInfo& info, uid_t euid) {
    return info.type == BixFileType::socket && info.owner == euid;
}

// After a failed step past the bind: remove what is at the path only when it is our kind of
// socket; when it cannot even be examined, leave it.
void remove_failed_socket(const std::string& path, uid_t euid) {
    auto info = bix_lstat(path);
    if (info.ok() && is_own_socket(info.value(), euid)) {
        (void)bix_unlink(path);
    }
}

BixListenerOpen failed(BixListenerFailure failure) {
    BixListenerOpen result;
    result.failure = failure;
    return result;
}

BixListenerOpen failed_after_bind(BixListenerFailure failure, UniqueFd& fd, const std::string& path,
                                  uid_t euid, bool examine) {
    fd.reset();
    if (examine) {
        remove_failed_socket(path, euid);
    }
    return failed(failure);
}

} // namespace

#ifdef BIX_TEST_HOOKS
std::function<void(const std::string&)> bix_listener_before_bind_hook;
#endif

BixListenerOpen bix_open_listener(const std::string& path, uid_t euid) {
    auto existing = bix_lstat(path);
    if (existing.ok() || existing.error() != ENOENT) {
        return failed(BixListenerFailure::occupied);
    }
    auto socket = bix_unix_stream_socket();
    if (!socket.ok()) {
        return failed(BixListenerFailure::create);
    }
    UniqueFd fd = std::move(socket.value());
#ifdef BIX_TEST_HOOKS
    if (bix_listener_before_bind_hook) {
        bix_listener_before_bind_hook(path);
    }
#endif
    if (!bix_unix_bind_private(fd.get(), path).ok()) {
        // A failed bind created nothing: whatever sits at the path now belongs to someone else
        // (another broker of the same user may have won the race), so nothing is removed.
        return failed_after_bind(BixListenerFailure::bind, fd, path, euid, false);
    }
    if (!bix_chmod(path, kSocketPermissions).ok()) {
        return failed_after_bind(BixListenerFailure::chmod, fd, path, euid, true);
    }
    if (!bix_listen(fd.get(), kBixListenBacklog).ok()) {
        return failed_after_bind(BixListenerFailure::listen, fd, path, euid, true);
    }
    auto info = bix_lstat(path);
    if (!info.ok()) {
        return failed_after_bind(BixListenerFailure::metadata, fd, path, euid, false);
    }
    if (!is_own_socket(info.value(), euid) || info->links != 1 ||
        info->permissions != kSocketPermissions) {
        return failed_after_bind(BixListenerFailure::metadata, fd, path, euid, true);
    }
    if (!bix_set_nonblocking(fd.get()).ok()) {
        return failed_after_bind(BixListenerFailure::nonblock, fd, path, euid, true);
    }
    BixListenerOpen opened;
    opened.listener.fd = std::move(fd);
    opened.listener.path = path;
    opened.listener.device = info->device;
    opened.listener.inode = info->inode;
    return opened;
}

void bix_close_listener(BixListener& listener, uid_t euid) {
    if (!listener.fd.valid()) {
        return;
    }
    listener.fd.reset();
    auto info = bix_lstat(listener.path);
    if (info.ok() && is_own_socket(info.value(), euid) && info->device == listener.device &&
        info->inode == listener.inode) {
        (void)bix_unlink(listener.path);
    }
}

BixDiagnostic bix_listener_diagnostic(BixListenerFailure failure) {
    switch (failure) {
    case BixListenerFailure::none:
    case BixListenerFailure::occupied:
        break;
    case BixListenerFailure::create:
        return BixDiagnostic::broker_socket_create;
    case BixListenerFailure::bind:
        return BixDiagnostic::broker_socket_bind;
    case BixListenerFailure::chmod:
        return BixDiagnostic::broker_socket_chmod;
    case BixListenerFailure::listen:
        return BixDiagnostic::broker_socket_listen;
    case BixListenerFailure::metadata:
        return BixDiagnostic::broker_socket_metadata;
    case BixListenerFailure::nonblock:
        return BixDiagnostic::broker_socket_nonblock;
    }
    return BixDiagnostic::broker_socket_occupied;
}

} // namespace bix::bridge
