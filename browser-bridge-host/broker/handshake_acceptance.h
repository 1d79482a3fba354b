#pragma once

// The broker's check of a connecting host: peer credentials, the handshake's fixed fields, both
// bridge secrets (compared in constant time), nonce freshness and the allowed extension id.

#include "bootstrap/bootstrap.h"
#include "common/bix_result.h"
#include "common/secret_buffer.h"
#include "common/timed_io.h"
#include "platform/bix_platform.h"
#include "protocol/handshake.h"

#include <array>
#include <cstddef>
#include <sys/types.h>

namespace bix::bridge {

inline constexpr std::size_t kBixMaxAcceptedHandshakes = 64;
inline constexpr std::size_t kBixClientAcceptedFixedSize = 152;

// The nonces of every handshake accepted in this broker's lifetime (at most 64); zeroed on
// destruction. Invariant: count() <= 64 and the first count() entries are distinct.
class BixNonceLedger {
public:
    BixNonceLedger() = default;
    BixNonceLedger(const BixNonceLedger&) = delete;
    BixNonceLedger& operator=(const BixNonceLedger&) = delete;
    ~BixNonceLedger() { bix_secure_zero(nonces_.data(), sizeof nonces_); }

    std::size_t count() const { return count_; }
    bool is_full() const { return count_ >= kBixMaxAcceptedHandshakes; }
    bool contains(const BixNonce& nonce) const;
    // Records a nonce; false when the ledger is full.
    bool record(const BixNonce& nonce);

private:
    std::array<BixNonce, kBixMaxAcceptedHandshakes> nonces_{};
    std::size_t count_ = 0;
};

// An admitted handshake. The nonce is zeroed on destruction like every other copy of handshake
// bytes; the client record zeroes itself.
struct BixAcceptedHandshake {
    BixAcceptedHandshake() = default;
    BixAcceptedHandshake(BixAcceptedHandshake&&) = default;
    BixAcceptedHandshake& operator=(BixAcceptedHandshake&&) = default;
    BixAcceptedHandshake(const BixAcceptedHandshake&) = delete;
    BixAcceptedHandshake& operator=(const BixAcceptedHandshake&) = delete;
    ~BixAcceptedHandshake() { bix_secure_zero(nonce.data(), nonce.size()); }

    BixPeerCredentials peer;
    BixNonce nonce{};
    SecretBuffer client_record; // the payload of the client-accepted (type 2) record
};

// Reads and checks the handshake on `client` (blocking at most one timed read per step). Fails
// with EACCES for an identity, secret or allow-list mismatch, EALREADY for a replayed nonce,
// EMFILE when 64 handshakes were already accepted, EPROTO for a malformed record, or the I/O
// error. The ledger is only consulted; the caller records the nonce once the client is admitted.
BixResult<BixAcceptedHandshake> bix_accept_handshake(int client, const BixBootstrap& bootstrap,
                                                     uid_t broker_euid,
                                                     const BixNonceLedger& ledger,
                                                     int timeout_ms = kBixIoTimeoutMs);

// Equal contents, examined over every byte whatever the first difference.
bool bix_secrets_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t size);

} // namespace bix::bridge
