#include "broker/handshake_acceptance.h"

#include "bootstrap/extension_origin.h"
#include "common/byte_order.h"

#include <cerrno>
#include <cstring>
#include <string_view>

namespace bix::bridge {

namespace {

namespace off = bix_handshake_offset;

constexpr std::size_t kMinOriginLength = 52;
constexpr std::size_t kMaxOriginLength = 64;
// Offsets in the client-accepted record.
constexpr std::size_t kPeerUidAt = 0;
constexpr std::size_t kPeerGidAt = 4;
constexpr std::size_t kPeerPidAt = 8;
constexpr std::size_t kClaimsAt = 12; // bytes 12..23 of the handshake
constexpr std::size_t kClaimsSize = 12;
constexpr std::size_t kSecretsAt = 24; // bytes 24..119: both secrets and the nonce
constexpr std::size_t kSecretsSize = 96;
constexpr std::size_t kTailAt = 120;

BixStatus check_peer(const BixPeerCredentials& peer, const BixBootstrap& bootstrap,
                     uid_t broker_euid) {
    if (peer.uid != bootstrap.uid || peer.uid != broker_euid) {
        return BixStatus::failure(EACCES);
    }
    return BixStatus::success();
}

BixStatus check_fixed_fields(const std::uint8_t* header, const BixPeerCredentials& peer) {
    if (std::memcmp(header, BIX_HANDSHAKE_MAGIC.data(), BIX_HANDSHAKE_MAGIC.size()) != 0 ||
        header[off::version] != kBixHandshakeVersion) {
        return BixStatus::failure(EPROTO);
    }
    std::uint32_t claimed_pid = bix_load_le32(header + off::pid);
    std::uint32_t claimed_uid = bix_load_le32(header + off::uid);
    if (claimed_pid == 0 ||
        (peer.pid != 0 && claimed_pid != static_cast<std::uint32_t>(peer.pid)) ||
        claimed_uid != static_cast<std::uint32_t>(peer.uid)) {
        return BixStatus::failure(EACCES);
    }
    std::size_t origin_length = bix_load_le16(header + off::origin_length);
    if (origin_length < kMinOriginLength || origin_length > kMaxOriginLength ||
        bix_load_le16(header + off::id_length) != kBixExtensionIdLength) {
        return BixStatus::failure(EPROTO);
    }
    return BixStatus::success();
}

BixStatus check_secrets(const std::uint8_t* header, const BixBootstrap& bootstrap) {
    // Both comparisons always run, so the time taken says nothing about which secret differed.
    bool first = bix_secrets_equal(header + off::first_secret, bootstrap.first_secret.data(),
                                   kBixSecretSize);
    bool second = bix_secrets_equal(header + off::second_secret, bootstrap.second_secret.data(),
                                    kBixSecretSize);
    return (first & second) ? BixStatus::success() : BixStatus::failure(EACCES);
}

BixStatus check_nonce(const BixNonce& nonce, const BixNonceLedger& ledger) {
    if (ledger.is_full()) {
        return BixStatus::failure(EMFILE);
    }
    return ledger.contains(nonce) ? BixStatus::failure(EALREADY) : BixStatus::success();
}

BixStatus check_origin(const std::uint8_t* tail, std::size_t origin_length,
                       const BixBootstrap& bootstrap) {
    std::string_view origin(reinterpret_cast<const char*>(tail), origin_length);
    auto id = bix_parse_extension_origin(origin);
    if (!id) {
        return BixStatus::failure(EPROTO);
    }
    if (std::memcmp(id->data(), tail + origin_length, kBixExtensionIdLength) != 0 ||
        !bootstrap.allows(*id)) {
        return BixStatus::failure(EACCES);
    }
    return BixStatus::success();
}

BixResult<SecretBuffer> build_client_record(const std::uint8_t* header, const SecretBuffer& tail,
                                            const BixPeerCredentials& peer) {
    auto record =
        SecretBuffer::allocate(kBixClientAcceptedFixedSize - kBixExtensionIdLength + tail.size());
    if (!record) {
        return BixStatus::failure(ENOMEM);
    }
    std::uint8_t* p = record->data();
    bix_store_le32(p + kPeerUidAt, static_cast<std::uint32_t>(peer.uid));
    bix_store_le32(p + kPeerGidAt, static_cast<std::uint32_t>(peer.gid));
    bix_store_le32(p + kPeerPidAt, static_cast<std::uint32_t>(peer.pid));
    std::memcpy(p + kClaimsAt, header + off::pid, kClaimsSize);
    std::memcpy(p + kSecretsAt, header + off::first_secret, kSecretsSize);
    std::memcpy(p + kTailAt, tail.data(), tail.size());
    return std::move(*record);
}

// Zeroes the handshake header however the acceptance ends.
struct HeaderWiper {
    std::uint8_t* bytes;
    ~HeaderWiper() { bix_secure_zero(bytes, kBixHandshakeHeaderSize); }
};

} // namespace

bool bix_secrets_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t size) {
    volatile std::uint8_t difference = 0;
    for (std::size_t i = 0; i < size; ++i) {
        difference = difference | static_cast<std::uint8_t>(a[i] ^ b[i]);
    }
    return difference == 0;
}

bool BixNonceLedger::contains(const BixNonce& nonce) const {
    bool found = false;
    for (std::size_t i = 0; i < count_; ++i) {
        found |= bix_secrets_equal(nonces_[i].data(), nonce.data(), nonce.size());
    }
    return found;
}

bool BixNonceLedger::record(const BixNonce& nonce) {
    if (is_full()) {
        return false;
    }
    nonces_[count_++] = nonce;
    return true;
}

BixResult<BixAcceptedHandshake> bix_accept_handshake(int client, const BixBootstrap& bootstrap,
                                                     uid_t broker_euid,
                                                     const BixNonceLedger& ledger, int timeout_ms) {
    auto peer = bix_peer_credentials(client);
    if (!peer.ok()) {
        return BixStatus::failure(peer.error());
    }
    if (BixStatus s = check_peer(peer.value(), bootstrap, broker_euid); !s.ok()) {
        return s.failure();
    }
    std::uint8_t header[kBixHandshakeHeaderSize] = {};
    HeaderWiper wiper{header};
    auto read = bix_read_exact_timeout(client, header, sizeof header, false, timeout_ms);
    if (!read.ok()) {
        return BixStatus::failure(read.error());
    }
    if (BixStatus s = check_fixed_fields(header, peer.value()); !s.ok()) {
        return s.failure();
    }
    if (BixStatus s = check_secrets(header, bootstrap); !s.ok()) {
        return s.failure();
    }
    BixAcceptedHandshake accepted;
    accepted.peer = peer.value();
    std::memcpy(accepted.nonce.data(), header + off::nonce, kBixNonceSize);
    if (BixStatus s = check_nonce(accepted.nonce, ledger); !s.ok()) {
        return s.failure();
    }
    std::size_t origin_length = bix_load_le16(header + off::origin_length);
    auto tail = SecretBuffer::allocate(origin_length + kBixExtensionIdLength);
    if (!tail) {
        return BixStatus::failure(ENOMEM);
    }
    auto tail_read = bix_read_exact_timeout(client, tail->data(), tail->size(), false, timeout_ms);
    if (!tail_read.ok()) {
        return BixStatus::failure(tail_read.error());
    }
    if (BixStatus s = check_origin(tail->data(), origin_length, bootstrap); !s.ok()) {
        return s.failure();
    }
    auto record = build_client_record(header, *tail, peer.value());
    if (!record.ok()) {
        return BixStatus::failure(record.error());
    }
    accepted.client_record = std::move(record.value());
    return accepted;
}

} // namespace bix::bridge
