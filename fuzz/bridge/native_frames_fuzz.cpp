// Native-messaging frames read from a pipe, by the direct reader (first byte even) or the
// buffered relay reader in batches (first byte odd). Every frame returned is the exact next
// slice of the input, prefix included; a clean end comes only at a frame boundary; a bad length
// fails with EMSGSIZE before anything is allocated for it; and both readers agree.
#include "bridge/bridge_fuzz_support.h"
#include "common/byte_order.h"
#include "common/native_frame.h"
#include "common/read_ahead.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace bix::bridge;

namespace {

constexpr int kTimeoutMs = 1000;

std::string_view frame_text(const SecretBuffer& frame) {
    return {reinterpret_cast<const char*>(frame.data()), frame.size()};
}

// The error a reader must end with at `rest` (not empty): a bad length or a short read.
void check_failure(int error, std::string_view rest) {
    if (rest.size() >= kBixFramePrefixSize) {
        const std::uint32_t length =
            bix_load_le32(reinterpret_cast<const std::uint8_t*>(rest.data()));
        if (!bix_is_valid_frame_length(length)) {
            BIX_FUZZ_CHECK(error == EMSGSIZE);
            return;
        }
        BIX_FUZZ_CHECK(rest.size() < kBixFramePrefixSize + length);
    }
    BIX_FUZZ_CHECK(error != 0 && error != EMSGSIZE);
}

// Checks one frame against the input at `consumed` and moves past it.
void take_frame(const SecretBuffer& frame, std::string_view input, std::size_t& consumed) {
    BIX_FUZZ_CHECK(frame.size() > kBixFramePrefixSize);
    BIX_FUZZ_CHECK(bix_is_valid_frame_length(bix_load_le32(frame.data())));
    BIX_FUZZ_CHECK(bix_load_le32(frame.data()) + kBixFramePrefixSize == frame.size());
    BIX_FUZZ_CHECK(input.substr(consumed, frame.size()) == frame_text(frame));
    consumed += frame.size();
}

void read_directly(std::string_view input) {
    bix::fuzz::Fd pipe = bix::fuzz::pipe_holding(input);
    std::size_t consumed = 0;
    for (;;) {
        auto read = bix_read_native_frame(pipe.get(), kTimeoutMs);
        if (!read.ok()) {
            BIX_FUZZ_CHECK(consumed < input.size());
            check_failure(read.error(), input.substr(consumed));
            return;
        }
        if (read.value().end_of_file) {
            BIX_FUZZ_CHECK(consumed == input.size());
            return;
        }
        take_frame(read.value().frame, input, consumed);
    }
}

void read_in_batches(std::string_view input) {
    bix::fuzz::Fd pipe = bix::fuzz::pipe_holding(input);
    BixReadAhead reader(pipe.get());
    std::size_t consumed = 0;
    for (;;) {
        BixFrameBatch batch;
        auto read = reader.read_frames(batch, kTimeoutMs);
        if (!read.ok()) {
            BIX_FUZZ_CHECK(batch.count == 0 && consumed < input.size());
            check_failure(read.error(), input.substr(consumed));
            return;
        }
        if (read.value() == BixReadOutcome::end_of_file) {
            BIX_FUZZ_CHECK(batch.count == 0 && consumed == input.size());
            return;
        }
        BIX_FUZZ_CHECK(batch.count >= 1 && batch.count <= kBixBatchFrames);
        for (std::size_t i = 0; i < batch.count; ++i)
            take_frame(batch.frames[i], input, consumed);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > bix::fuzz::kPipeInputLimit)
        return 0;
    const std::string_view input = bix::fuzz::as_text(data + 1, size - 1);
    if ((data[0] & 1) != 0)
        read_in_batches(input);
    else
        read_directly(input);
    return 0;
}
