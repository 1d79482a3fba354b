// The helper's frame reader over a descriptor holding the input. Every frame it returns is the
// exact next slice of the input and re-encodes to that slice; a clean end comes only at a frame
// boundary; a refusal names the fault the next header or payload really has.
#include "Platform/FileHandle.h"
#include "Protocol/FramedFileChannel.h"
#include "Protocol/HelperError.h"
#include "Protocol/HelperProtocolLimits.h"
#include "common/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

using namespace bix::ax;

namespace {

std::uint32_t big_endian_length(std::string_view header) {
    std::uint32_t length = 0;
    for (char byte : header.substr(0, 4))
        length = (length << 8) | static_cast<unsigned char>(byte);
    return length;
}

// The code the reader must refuse the rest of the input with (the rest is not empty).
HelperErrorCode expected_refusal(std::string_view rest) {
    if (rest.size() < 4)
        return HelperErrorCode::invalidFrame;
    const std::uint32_t length = big_endian_length(rest);
    if (length > HelperProtocolLimits::maximumFrameBytes)
        return HelperErrorCode::frameTooLarge;
    return HelperErrorCode::invalidFrame; // empty or truncated payload
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input = bix::fuzz::as_text(data, size);
    bix::fuzz::Fd file = bix::fuzz::memory_file(input);
    auto handle = std::make_shared<FileDescriptorHandle>(file.get());
    FramedFileChannel channel(handle, handle);
    const FrameCodec codec;
    std::size_t consumed = 0;
    for (;;) {
        try {
            const std::optional<std::string> payload = channel.read();
            if (!payload) {
                BIX_FUZZ_CHECK(consumed == input.size());
                break;
            }
            const std::string frame = codec.encode(*payload);
            BIX_FUZZ_CHECK(input.substr(consumed, frame.size()) == frame);
            BIX_FUZZ_CHECK(codec.decode(frame) == *payload);
            consumed += frame.size();
        } catch (const HelperProtocolError& error) {
            BIX_FUZZ_CHECK(consumed < input.size());
            BIX_FUZZ_CHECK(error.code() == expected_refusal(input.substr(consumed)));
            break;
        }
    }
    return 0;
}
