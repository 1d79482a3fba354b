#pragma once

// Timed I/O shared by the host and the broker. Every wait is a poll of one descriptor; one call
// waits at most `timeout_ms` in total (2 seconds unless a test asks for less), so a peer that
// stalls, or one that trickles a byte at a time, holds the caller for at most that long.

#include "common/bix_result.h"

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/uio.h>

namespace bix::bridge {

inline constexpr int kBixIoTimeoutMs = 2000;

enum class BixReadOutcome { complete, end_of_file };

// What a caller knows of a descriptor's mode. `nonblocking` spares one fcntl(2) per call and must
// only be given for a descriptor that is non-blocking; `unknown` asks the descriptor.
enum class BixFdMode { unknown, nonblocking };

// Whether a timed write gives up at once when a stop is requested (`cancel`, every wait of the
// relays), or keeps its budget (`finish`): the last words of an ending process, its diagnostic
// line and startup error frame, are not cut off by the stop request that may be ending it.
enum class BixStopRule { cancel, finish };

// How often a connection to a listener whose queue is full is tried again.
inline constexpr int kBixConnectRetryMs = 10;

// Waits for `events` on fd. Fails with ETIMEDOUT on timeout, EIO on POLLERR or POLLNVAL, ECANCELED
// when a stop was requested, EPIPE on a hang-up while waiting for output. A hang-up while waiting
// for input succeeds, so the following read sees the end of file.
BixStatus bix_poll_fd(int fd, short events, int timeout_ms = kBixIoTimeoutMs);

// Reads exactly `size` bytes. An end of file before the first byte is `end_of_file` when allowed;
// any other end of file fails with ECONNRESET.
BixResult<BixReadOutcome> bix_read_exact_timeout(int fd, void* buffer, std::size_t size,
                                                 bool end_of_file_allowed,
                                                 int timeout_ms = kBixIoTimeoutMs);

// Writes all `length` bytes; a write that accepts 0 bytes fails with EIO.
BixStatus bix_write_all_timeout(int fd, const void* data, std::size_t length,
                                int timeout_ms = kBixIoTimeoutMs,
                                BixStopRule stop_rule = BixStopRule::cancel);

// Writes every byte of `parts` in order with as few system calls as the descriptor allows,
// failing as bix_write_all_timeout does. The budget restarts whenever a part is finished, so each
// part waits no longer and no shorter than in a call of its own. The parts are advanced past what
// was written, so on return they describe what is left.
BixStatus bix_write_vector_timeout(int fd, iovec* parts, std::size_t count,
                                   int timeout_ms = kBixIoTimeoutMs,
                                   BixFdMode mode = BixFdMode::unknown);

// Connects the non-blocking Unix stream socket `fd` to `path` within the budget. A listener whose
// queue is full is tried again every kBixConnectRetryMs; fails with ETIMEDOUT when the budget
// ends first, ECANCELED when a stop is requested, or the connection's own error.
BixStatus bix_connect_timeout(int fd, const std::string& path, int timeout_ms = kBixIoTimeoutMs);

// Adds O_NONBLOCK to the descriptor's status flags.
BixStatus bix_set_nonblocking(int fd);

} // namespace bix::bridge
