#pragma once

// Control records on the broker's standard streams: a 16-byte little-endian header (magic "BBP1",
// version 1, type, two reserved zero bytes, client id, payload length) and the payload.

#include "common/bix_result.h"
#include "common/secret_buffer.h"
#include "common/timed_io.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace bix::bridge {

inline constexpr std::array<std::uint8_t, 4> BIX_RECORD_MAGIC = {'B', 'B', 'P', '1'};
inline constexpr std::uint8_t kBixRecordVersion = 1;
inline constexpr std::size_t kBixRecordHeaderSize = 16;
inline constexpr std::uint32_t kBixMaxRecordPayload = 262148;

enum class BixRecordType : std::uint8_t {
    // Broker to host application.
    ready = 1,
    client_handshake = 2,
    client_frame = 3,
    client_closed = 4,
    // Host application to broker.
    halt = 'h',
    accept_client = 'e',
    frame_to_client = 'f',
    close_client = 'g',
};

struct BixRecordHeader {
    std::uint8_t type = 0;
    std::uint32_t client_id = 0;
    std::uint32_t payload_length = 0;
};

using BixRecordHeaderBytes = std::array<std::uint8_t, kBixRecordHeaderSize>;

// The header's fields, or nullopt for a wrong magic, version or reserved byte or a payload length
// above 262148. The type is not judged here.
std::optional<BixRecordHeader> bix_parse_record_header(const BixRecordHeaderBytes& bytes);

BixRecordHeaderBytes bix_encode_record_header(BixRecordType type, std::uint32_t client_id,
                                              std::uint32_t payload_length);

// Writes the header, then the payload, with one timed gathered write.
BixStatus bix_write_record(int fd, BixRecordType type, std::uint32_t client_id,
                           const std::uint8_t* payload, std::size_t payload_length);

// One record to send; the payload is borrowed, not owned.
struct BixOutgoingRecord {
    BixRecordType type = BixRecordType::ready;
    std::uint32_t client_id = 0;
    const std::uint8_t* payload = nullptr;
    std::size_t payload_length = 0;
};

inline constexpr std::size_t kBixMaxRecordsPerWrite = 16;

// Writes up to 16 records back to back with one timed gathered write; fails with EMSGSIZE for
// an oversized payload and EINVAL for too many records, before writing anything.
BixStatus bix_write_records(int fd, std::span<const BixOutgoingRecord> records,
                            BixFdMode mode = BixFdMode::unknown);

// True when an "f" payload is exactly one native-messaging frame: a length L in 1..262144
// followed by L bytes.
bool bix_is_frame_payload(const SecretBuffer& payload);

} // namespace bix::bridge
