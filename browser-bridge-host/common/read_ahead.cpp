#include "common/read_ahead.h"

#include "common/byte_order.h"
#include "common/stop_flag.h"
#include "platform/bix_platform.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bix::bridge {

namespace {

int remaining_ms(std::int64_t deadline_ms) {
    return static_cast<int>(std::max<std::int64_t>(0, deadline_ms - bix_monotonic_milliseconds()));
}

} // namespace

std::size_t BixReadAhead::take_buffered(std::uint8_t* out, std::size_t wanted) {
    std::size_t count = std::min(wanted, end_ - begin_);
    if (count == 0) {
        return 0;
    }
    std::memcpy(out, staging_.data() + begin_, count);
    begin_ += count;
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
    return count;
}

BixResult<std::size_t> BixReadAhead::refill(std::int64_t deadline_ms) {
    if (staging_.empty()) {
        auto allocated = SecretBuffer::allocate(kBixReadAheadSize);
        if (!allocated) {
            return BixStatus::failure(ENOMEM);
        }
        staging_ = std::move(*allocated);
    }
    if (mode_ == BixFdMode::unknown && bix_is_nonblocking(fd_)) {
        // The relays never switch a descriptor back to blocking: ask fcntl(2) only once.
        mode_ = BixFdMode::nonblocking;
    }
    bool must_wait = mode_ != BixFdMode::nonblocking;
    for (;;) {
        if (must_wait || bix_should_stop()) {
            BixStatus waited = bix_poll_fd(fd_, POLLIN, remaining_ms(deadline_ms));
            if (!waited.ok()) {
                return waited.failure();
            }
        }
        auto n = bix_read_some(fd_, staging_.data(), staging_.size());
        if (n.ok()) {
            begin_ = 0;
            end_ = n.value();
            return n.value();
        }
        if (n.error() != EINTR && n.error() != EAGAIN && n.error() != EWOULDBLOCK) {
            return BixStatus::failure(n.error());
        }
        must_wait = true;
    }
}

BixResult<BixReadOutcome> BixReadAhead::read_exact(void* buffer, std::size_t size,
                                                   bool end_of_file_allowed, int timeout_ms) {
    std::int64_t deadline_ms = bix_monotonic_milliseconds() + timeout_ms;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t received = take_buffered(out, size);
    while (received < size) {
        std::size_t missing = size - received;
        if (missing >= kBixReadAheadSize) {
            // Large remainders go straight into the caller's buffer: no second copy.
            auto direct = bix_read_exact_timeout(fd_, out + received, missing, false,
                                                 remaining_ms(deadline_ms));
            if (!direct.ok()) {
                return direct;
            }
            return BixReadOutcome::complete;
        }
        auto filled = refill(deadline_ms);
        if (!filled.ok()) {
            return BixStatus::failure(filled.error());
        }
        if (filled.value() == 0) {
            if (received == 0 && end_of_file_allowed) {
                return BixReadOutcome::end_of_file;
            }
            return BixStatus::failure(ECONNRESET);
        }
        received += take_buffered(out + received, missing);
    }
    return BixReadOutcome::complete;
}

BixResult<BixFrameRead> BixReadAhead::read_frame(int timeout_ms) {
    return bix_read_frame_with(
        [this](std::uint8_t* data, std::size_t size, bool end_allowed, int timeout) {
            return read_exact(data, size, end_allowed, timeout);
        },
        timeout_ms);
}

bool BixReadAhead::has_whole_frame() const {
    if (buffered_size() < kBixFramePrefixSize) {
        return false;
    }
    std::uint32_t length = bix_load_le32(buffered_data());
    return bix_is_valid_frame_length(length) && buffered_size() - kBixFramePrefixSize >= length;
}

BixResult<BixReadOutcome> BixReadAhead::read_frames(BixFrameBatch& batch, int timeout_ms) {
    batch = BixFrameBatch();
    auto first = read_frame(timeout_ms);
    if (!first.ok()) {
        return BixStatus::failure(first.error());
    }
    if (first->end_of_file) {
        return BixReadOutcome::end_of_file;
    }
    std::size_t bytes = first->frame.size();
    batch.frames[batch.count++] = std::move(first->frame);
    while (batch.count < kBixBatchFrames && bytes < kBixBatchBytes && has_whole_frame()) {
        // Served from the staging buffer: only an allocation can fail here.
        auto next = read_frame(timeout_ms);
        if (!next.ok()) {
            return BixStatus::failure(next.error());
        }
        bytes += next->frame.size();
        batch.frames[batch.count++] = std::move(next->frame);
    }
    return BixReadOutcome::complete;
}

} // namespace bix::bridge
