#include "Platform/FileHandle.h"

#include <cerrno>
#include <poll.h>
#include <system_error>
#include <unistd.h>

namespace bix::ax {
namespace {

[[noreturn]] void throwSystemError(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Waits (without a deadline: the protocol has none for the host) until `fd` is ready for
// `events`, for descriptors the host handed over in non-blocking mode.
void waitUntilReady(int fd, short events) {
    pollfd entry{fd, events, 0};
    while (::poll(&entry, 1, -1) < 0) {
        if (errno != EINTR) {
            throwSystemError(errno, "poll");
        }
    }
}

} // namespace

std::size_t FileDescriptorHandle::readUpTo(char* buffer, std::size_t count) {
    if (count == 0) {
        return 0;
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buffer, count);
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            waitUntilReady(fd_, POLLIN);
            continue;
        }
        throwSystemError(errno, "read");
    }
}

void FileDescriptorHandle::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd_, bytes.data(), bytes.size());
        if (wrote > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(wrote));
            continue;
        }
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitUntilReady(fd_, POLLOUT);
            continue;
        }
        throwSystemError(wrote < 0 ? errno : EIO, "write");
    }
}

} // namespace bix::ax
