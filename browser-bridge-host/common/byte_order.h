#pragma once

#include <cstdint>

namespace bix::bridge {

// Little-endian field access for the bridge's binary records (bootstrap file, handshake,
// acknowledgement, control records, native-messaging length prefixes).
inline std::uint16_t bix_load_le16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t bix_load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t bix_load_le64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(bix_load_le32(p)) |
           (static_cast<std::uint64_t>(bix_load_le32(p + 4)) << 32);
}

inline void bix_store_le16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

inline void bix_store_le32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

inline void bix_store_le64(std::uint8_t* p, std::uint64_t v) {
    bix_store_le32(p, static_cast<std::uint32_t>(v));
    bix_store_le32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

} // namespace bix::bridge
