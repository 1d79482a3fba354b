#include "broker/control_record.h"

#include "common/byte_order.h"
#include "common/native_frame.h"
#include "common/timed_io.h"
#include "platform/bix_platform.h"

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kSmallRecordPayload = 4096;

} // namespace

std::optional<BixRecordHeader> bix_parse_record_header(const BixRecordHeaderBytes& bytes) {
    if (std::memcmp(bytes.data(), BIX_RECORD_MAGIC.data(), BIX_RECORD_MAGIC.size()) != 0 ||
        bytes[4] != kBixRecordVersion || bytes[6] != 0 || bytes[7] != 0) {
        return std::nullopt;
    }
    BixRecordHeader header;
    header.type = bytes[5];
    header.client_id = bix_load_le32(bytes.data() + 8);
    header.payload_length = bix_load_le32(bytes.data() + 12);
    if (header.payload_length > kBixMaxRecordPayload) {
        return std::nullopt;
    }
    return header;
}

BixRecordHeaderBytes bix_encode_record_header(BixRecordType type, std::uint32_t client_id,
                                              std::uint32_t payload_length) {
    BixRecordHeaderBytes bytes{};
    std::memcpy(bytes.data(), BIX_RECORD_MAGIC.data(), BIX_RECORD_MAGIC.size());
    bytes[4] = kBixRecordVersion;
    bytes[5] = static_cast<std::uint8_t>(type);
    bix_store_le32(bytes.data() + 8, client_id);
    bix_store_le32(bytes.data() + 12, payload_length);
    return bytes;
}

BixStatus bix_write_record(int fd, BixRecordType type, std::uint32_t client_id,
                           const std::uint8_t* payload, std::size_t payload_length) {
    if (payload_length > kBixMaxRecordPayload) {
        return BixStatus::failure(EMSGSIZE);
    }
    BixRecordHeaderBytes header =
        bix_encode_record_header(type, client_id, static_cast<std::uint32_t>(payload_length));
    if (payload_length <= kSmallRecordPayload) {
        // Small records leave in one write: half the wake-ups for the reader of the pipe.
        std::array<std::uint8_t, kBixRecordHeaderSize + kSmallRecordPayload> record;
        std::memcpy(record.data(), header.data(), header.size());
        if (payload_length > 0) {
            std::memcpy(record.data() + header.size(), payload, payload_length);
        }
        BixStatus sent = bix_write_all_timeout(fd, record.data(), header.size() + payload_length);
        bix_secure_zero(record.data(), record.size());
        return sent;
    }
    if (BixStatus s = bix_write_all_timeout(fd, header.data(), header.size()); !s.ok()) {
        return s;
    }
    if (payload_length == 0) {
        return BixStatus::success();
    }
    return bix_write_all_timeout(fd, payload, payload_length);
}

bool bix_is_frame_payload(const SecretBuffer& payload) {
    if (payload.size() < kBixFramePrefixSize + kBixMinFrameLength ||
        payload.size() > kBixMaxRecordPayload) {
        return false;
    }
    std::uint32_t length = bix_load_le32(payload.data());
    return bix_is_valid_frame_length(length) && payload.size() == length + kBixFramePrefixSize;
}
