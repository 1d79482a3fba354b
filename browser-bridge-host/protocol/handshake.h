#pragma once

// The handshake a host sends to the broker and the broker's acknowledgement.
//
// Handshake, little-endian: magic "BIXHSK1\0" (8), version 1 (1), zero (3), host pid (4),
// host euid (4), origin length (2), id length (2), first secret (32), second secret (32),
// nonce (32), then the origin and the 32-byte extension id.

#include "bootstrap/bootstrap.h"
#include "bootstrap/extension_origin.h"
#include "common/bix_result.h"
#include "common/secret_buffer.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <sys/types.h>

namespace bix::bridge {

inline constexpr std::array<std::uint8_t, 8> BIX_HANDSHAKE_MAGIC = {'B', 'I', 'X', 'H',
                                                                    'S', 'K', '1', 0};
inline constexpr std::array<std::uint8_t, 8> BIX_HANDSHAKE_ACK = {'B', 'I', 'X', 'A',
                                                                  'C', 'K', '1', 0};
inline constexpr std::uint8_t kBixHandshakeVersion = 1;
inline constexpr std::size_t kBixHandshakeHeaderSize = 120;
inline constexpr std::size_t kBixNonceSize = 32;
inline constexpr std::size_t kBixMaxOriginLength = 65535;

namespace bix_handshake_offset {
inline constexpr std::size_t version = 8;
inline constexpr std::size_t pid = 12;
inline constexpr std::size_t uid = 16;
inline constexpr std::size_t origin_length = 20;
inline constexpr std::size_t id_length = 22;
inline constexpr std::size_t first_secret = 24;
inline constexpr std::size_t second_secret = 56;
inline constexpr std::size_t nonce = 88;
inline constexpr std::size_t origin = 120;
} // namespace bix_handshake_offset

using BixNonce = std::array<std::uint8_t, kBixNonceSize>;

struct BixHandshakeIdentity {
    pid_t pid = 0;
    uid_t uid = 0;
};

// Builds the handshake record for `origin`, whose id is `id`, with the bootstrap's secrets and
// `nonce`. Fails with EINVAL when the origin is 65536 bytes or longer.
BixResult<SecretBuffer> bix_build_handshake(const BixBootstrap& bootstrap, std::string_view origin,
                                            const BixExtensionId& id,
                                            const BixHandshakeIdentity& identity,
                                            const BixNonce& nonce);

} // namespace bix::bridge
