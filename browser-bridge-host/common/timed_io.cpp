#include "common/timed_io.h"

#include "common/stop_flag.h"
#include "platform/bix_platform.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>

namespace bix::bridge {

namespace {

// The wall-clock budget of one timed call, measured on the monotonic clock.
class Deadline {
public:
    explicit Deadline(int timeout_ms) : end_(bix_monotonic_milliseconds() + timeout_ms) {}
    int remaining_ms() const {
        return static_cast<int>(std::max<std::int64_t>(0, end_ - bix_monotonic_milliseconds()));
    }

private:
    std::int64_t end_;
};

bool is_cancelled(BixStopRule rule) {
    return rule == BixStopRule::cancel && bix_should_stop();
}

BixStatus poll_until(int fd, short events, const Deadline& deadline,
                     BixStopRule rule = BixStopRule::cancel) {
    for (;;) {
        if (is_cancelled(rule)) {
            return BixStatus::failure(ECANCELED);
        }
        pollfd entry{fd, events, 0};
        auto ready = bix_poll(&entry, 1, deadline.remaining_ms());
        if (!ready.ok()) {
            if (ready.error() == EINTR) {
                continue;
            }
            return BixStatus::failure(ready.error());
        }
        if (ready.value() == 0) {
            return BixStatus::failure(ETIMEDOUT);
        }
        if ((entry.revents & (POLLERR | POLLNVAL)) != 0) {
            return BixStatus::failure(EIO);
        }
        if ((entry.revents & events) != 0) {
            return BixStatus::success();
        }
        if ((entry.revents & POLLHUP) != 0) {
            return (events & POLLIN) != 0 ? BixStatus::success() : BixStatus::failure(EPIPE);
        }
    }
}

// writev(2) takes at most IOV_MAX parts per call.
constexpr std::size_t kMaxParts = IOV_MAX;

std::size_t skip_written(const iovec* parts, std::size_t count, std::size_t first) {
    while (first < count && parts[first].iov_len == 0) {
        ++first;
    }
    return first;
}

// Moves past `written` bytes, which may end inside a part; returns the first part with bytes left.
std::size_t advance_parts(iovec* parts, std::size_t count, std::size_t first, std::size_t written) {
    while (first < count && written > 0) {
        std::size_t taken = std::min(written, parts[first].iov_len);
        parts[first].iov_base = static_cast<std::uint8_t*>(parts[first].iov_base) + taken;
        parts[first].iov_len -= taken;
        written -= taken;
        first = skip_written(parts, count, first);
    }
    return first;
}

bool is_retryable(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

BixStatus write_vector(int fd, iovec* parts, std::size_t count, int timeout_ms, BixFdMode mode,
                       BixStopRule rule) {
    Deadline deadline(timeout_ms);
    std::size_t first = skip_written(parts, count, 0);
    const bool blocking = mode != BixFdMode::nonblocking && !bix_is_nonblocking(fd);
    bool must_wait = blocking;
    while (first < count) {
        if (must_wait || is_cancelled(rule)) {
            BixStatus waited = poll_until(fd, POLLOUT, deadline, rule);
            if (!waited.ok()) {
                return waited;
            }
        }
        must_wait = true;
        auto n = bix_write_vector_some(fd, parts + first, std::min(count - first, kMaxParts));
        if (!n.ok()) {
            if (is_retryable(n.error())) {
                continue;
            }
            return BixStatus::failure(n.error());
        }
        if (n.value() == 0) {
            return BixStatus::failure(EIO);
        }
        std::size_t next = advance_parts(parts, count, first, n.value());
        if (next != first) {
            // Gathering must not shorten anyone's time: each part, once reached, has the whole
            // budget, as if it were written by its own call.
            deadline = Deadline(timeout_ms);
        }
        first = next;
        must_wait = blocking;
    }
    return BixStatus::success();
}

// Sleeps until the next connection attempt; only a stop request or the deadline cuts it short.
BixStatus wait_before_retry(const Deadline& deadline) {
    int remaining = deadline.remaining_ms();
    if (remaining == 0) {
        return BixStatus::failure(ETIMEDOUT);
    }
    auto slept = bix_poll(nullptr, 0, std::min(remaining, kBixConnectRetryMs));
    if (!slept.ok() && slept.error() != EINTR) {
        return BixStatus::failure(slept.error());
    }
    return BixStatus::success();
}

} // namespace

BixStatus bix_poll_fd(int fd, short events, int timeout_ms) {
    return poll_until(fd, events, Deadline(timeout_ms));
}

BixResult<BixReadOutcome> bix_read_exact_timeout(int fd, void* buffer, std::size_t size,
                                                 bool end_of_file_allowed, int timeout_ms) {
    Deadline deadline(timeout_ms);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::size_t received = 0;
    // On a non-blocking descriptor data that has already arrived is taken without a wait; a
    // blocking one is polled before every read so that no read blocks past the deadline.
    const bool blocking = !bix_is_nonblocking(fd);
    bool must_wait = blocking;
    while (received < size) {
        if (must_wait || bix_should_stop()) {
            BixStatus waited = poll_until(fd, POLLIN, deadline);
            if (!waited.ok()) {
                return waited.failure();
            }
        }
        must_wait = true;
        auto n = bix_read_some(fd, bytes + received, size - received);
        if (!n.ok()) {
            if (is_retryable(n.error())) {
                continue;
            }
            return BixStatus::failure(n.error());
        }
        if (n.value() == 0) {
            if (received == 0 && end_of_file_allowed) {
                return BixReadOutcome::end_of_file;
            }
            return BixStatus::failure(ECONNRESET);
        }
        received += n.value();
        must_wait = blocking;
    }
    return BixReadOutcome::complete;
}

BixStatus bix_write_all_timeout(int fd, const void* data, std::size_t length, int timeout_ms,
                                BixStopRule stop_rule) {
    iovec part{const_cast<void*>(data), length};
    return write_vector(fd, &part, 1, timeout_ms, BixFdMode::unknown, stop_rule);
}

BixStatus bix_write_vector_timeout(int fd, iovec* parts, std::size_t count, int timeout_ms,
                                   BixFdMode mode) {
    return write_vector(fd, parts, count, timeout_ms, mode, BixStopRule::cancel);
}

BixStatus bix_connect_timeout(int fd, const std::string& path, int timeout_ms) {
    Deadline deadline(timeout_ms);
    for (;;) {
        // A blocking connect would wait for room in a full queue with the stop signals blocked,
        // for as long as the listener's other clients take: try, and wait here instead.
        if (bix_should_stop()) {
            return BixStatus::failure(ECANCELED);
        }
        BixStatus connected = bix_unix_connect(fd, path);
        if (connected.ok()) {
            return connected;
        }
        if (connected.error() == EINPROGRESS || connected.error() == EINTR) {
            BixStatus waited = poll_until(fd, POLLOUT, deadline);
            return waited.ok() ? bix_connect_outcome(fd) : waited;
        }
        if (connected.error() != EAGAIN && connected.error() != EWOULDBLOCK) {
            return connected;
        }
        if (BixStatus waited = wait_before_retry(deadline); !waited.ok()) {
            return waited;
        }
    }
}

BixStatus bix_set_nonblocking(int fd) {
    return bix_add_status_flags(fd, O_NONBLOCK);
}

} // namespace bix::bridge
