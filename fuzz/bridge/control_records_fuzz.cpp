// Control records on the broker's standard input, read from a pipe as the broker reads them: a
// header through the buffered reader, then its payload. A header that parses re-encodes to the
// same 16 bytes; a refused one has a wrong magic, version or reserved byte or an oversized
// payload; and the frame-payload check of an "f" record agrees with the native framing rule.
#include "bridge/bridge_fuzz_support.h"
#include "common/byte_order.h"
#include "common/native_frame.h"
#include "common/read_ahead.h"
#include "protocol/control_record.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

using namespace bix::bridge;

namespace {

constexpr int kTimeoutMs = 1000;

bool header_well_formed(const BixRecordHeaderBytes& bytes) {
    return std::memcmp(bytes.data(), "BBP1", 4) == 0 && bytes[4] == 1 && bytes[6] == 0 &&
           bytes[7] == 0 && bix_load_le32(bytes.data() + 12) <= kBixMaxRecordPayload;
}

bool framing_rule(const SecretBuffer& payload) {
    if (payload.size() < kBixFramePrefixSize)
        return false;
    const std::uint32_t length = bix_load_le32(payload.data());
    return bix_is_valid_frame_length(length) && payload.size() == kBixFramePrefixSize + length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > bix::fuzz::kPipeInputLimit)
        return 0;
    bix::fuzz::Fd pipe = bix::fuzz::pipe_holding(bix::fuzz::as_text(data, size));
    BixReadAhead reader(pipe.get());
    for (;;) {
        BixRecordHeaderBytes bytes{};
        auto read = reader.read_exact(bytes.data(), bytes.size(), true, kTimeoutMs);
        if (!read.ok() || read.value() == BixReadOutcome::end_of_file)
            break;
        const auto header = bix_parse_record_header(bytes);
        BIX_FUZZ_CHECK(header.has_value() == header_well_formed(bytes));
        if (!header)
            break;
        BIX_FUZZ_CHECK(bix_encode_record_header(static_cast<BixRecordType>(header->type),
                                                header->client_id,
                                                header->payload_length) == bytes);
        auto payload = SecretBuffer::allocate(header->payload_length);
        BIX_FUZZ_CHECK(payload.has_value());
        if (!payload->empty()) {
            auto body = reader.read_exact(payload->data(), payload->size(), false, kTimeoutMs);
            if (!body.ok())
                break;
        }
        BIX_FUZZ_CHECK(bix_is_frame_payload(*payload) == framing_rule(*payload));
    }
    return 0;
}
