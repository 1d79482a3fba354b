#include "common/byte_order.h"
#include "common/test_support.h"
#include "common/timed_io.h"
#include "protocol/control_record.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace bix::bridge {

namespace {

BixRecordHeaderBytes header(std::uint8_t type, std::uint32_t client, std::uint32_t length) {
    return bix_encode_record_header(static_cast<BixRecordType>(type), client, length);
}

struct HeaderCase {
    const char* name;
    int byte; // -1: none
    std::uint8_t value;
    std::uint32_t length;
    bool valid;
};

TEST(ControlRecord, HeaderParserChecksMagicVersionReservedAndLength) {
    const std::vector<HeaderCase> cases = {
        {"valid", -1, 0, 5, true},
        {"largest-payload", -1, 0, 262148, true},
        {"payload-too-large", -1, 0, 262149, false},
        {"magic", 3, '2', 0, false},
        {"version-0", 4, 0, 0, false},
        {"version-2", 4, 2, 0, false},
        {"reserved-6", 6, 1, 0, false},
        {"reserved-7", 7, 1, 0, false},
    };
    for (const HeaderCase& c : cases) {
        BixRecordHeaderBytes bytes = header('f', 7, c.length);
        if (c.byte >= 0) {
            bytes[static_cast<std::size_t>(c.byte)] = c.value;
        }
        auto parsed = bix_parse_record_header(bytes);
        EXPECT_EQ(parsed.has_value(), c.valid) << c.name;
        if (parsed) {
            EXPECT_EQ(parsed->type, 'f');
            EXPECT_EQ(parsed->client_id, 7u);
            EXPECT_EQ(parsed->payload_length, c.length);
        }
    }
}

TEST(ControlRecord, WritesHeaderThenPayload) {
    FdPair pair = make_socketpair();
    const std::uint8_t payload[] = {1};
    ASSERT_TRUE(
        bix_write_record(pair.second.get(), BixRecordType::client_closed, 9, payload, 1).ok());
    std::uint8_t bytes[17] = {};
    ASSERT_TRUE(bix_read_exact_timeout(pair.first.get(), bytes, sizeof bytes, false).ok());
    const std::uint8_t expected[17] = {'B', 'B', 'P', '1', 1, 4, 0, 0, 9, 0, 0, 0, 1, 0, 0, 0, 1};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
}

SecretBuffer payload_of(std::uint32_t inner_length, std::size_t total) {
    SecretBuffer buffer = std::move(*SecretBuffer::allocate(total));
    if (total >= 4) {
        bix_store_le32(buffer.data(), inner_length);
    }
    return buffer;
}

struct PayloadCase {
    std::uint32_t inner_length;
    std::size_t total;
    bool valid;
};

TEST(ControlRecord, FramePayloadMustBeExactlyOneFrame) {
    const std::vector<PayloadCase> cases = {
        {1, 5, true},  {262144, 262148, true},  {0, 4, false}, {2, 5, false},
        {1, 6, false}, {262145, 262149, false}, {3, 3, false}, {0, 0, false},
    };
    for (const PayloadCase& c : cases) {
        EXPECT_EQ(bix_is_frame_payload(payload_of(c.inner_length, c.total)), c.valid)
            << c.inner_length << "/" << c.total;
    }
}

} // namespace

} // namespace bix::bridge
