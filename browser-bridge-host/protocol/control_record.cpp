#include "protocol/control_record.h"

#include "common/byte_order.h"
#include "common/native_frame.h"
#include "common/timed_io.h"
#include "platform/bix_platform.h"

#include <cerrno>
#include <cstring>

namespace bix::bridge {

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
    BixOutgoingRecord record{type, client_id, payload, payload_length};
    return bix_write_records(fd, std::span<const BixOutgoingRecord>(&record, 1));
}

BixStatus bix_write_records(int fd, std::span<const BixOutgoingRecord> records, BixFdMode mode) {
    if (records.size() > kBixMaxRecordsPerWrite) {
        return BixStatus::failure(EINVAL);
    }
    // Headers and payloads leave in one system call: fewer wake-ups for the pipe's reader.
    std::array<BixRecordHeaderBytes, kBixMaxRecordsPerWrite> headers{};
    std::array<iovec, 2 * kBixMaxRecordsPerWrite> parts{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const BixOutgoingRecord& record = records[i];
        if (record.payload_length > kBixMaxRecordPayload) {
            return BixStatus::failure(EMSGSIZE);
        }
        headers[i] = bix_encode_record_header(record.type, record.client_id,
                                              static_cast<std::uint32_t>(record.payload_length));
        parts[count++] = iovec{headers[i].data(), headers[i].size()};
        if (record.payload_length > 0) {
            parts[count++] =
                iovec{const_cast<std::uint8_t*>(record.payload), record.payload_length};
        }
    }
    return bix_write_vector_timeout(fd, parts.data(), count, kBixIoTimeoutMs, mode);
}

bool bix_is_frame_payload(const SecretBuffer& payload) {
    if (payload.size() < kBixFramePrefixSize + kBixMinFrameLength ||
        payload.size() > kBixMaxRecordPayload) {
        return false;
    }
    std::uint32_t length = bix_load_le32(payload.data());
    return bix_is_valid_frame_length(length) && payload.size() == length + kBixFramePrefixSize;
}

} // namespace bix::bridge
