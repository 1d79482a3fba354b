// The broker's acceptance of a host's handshake, over a socket pair whose peer is this process.
// The first input byte steers the rest, so the checks behind the secrets are reached too:
//  bit 0: claim this process's pid and uid; bit 1: carry the bridge's true secrets;
//  bit 2: build the handshake with bix_build_handshake from the rest (origin, then the 32-byte
//         nonce at its end) instead of sending the rest as it is.
// Whatever arrives, acceptance fails with one of its documented errors or admits exactly a
// handshake that names an allowed extension, carries both secrets and a fresh nonce, and
// reports it in a client record holding the peer, the claims and the tail as sent.
#include "broker/handshake_acceptance.h"
#include "common/byte_order.h"
#include "common/fuzz_support.h"
#include "protocol/handshake.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace bix::bridge;
namespace off = bix::bridge::bix_handshake_offset;

namespace {

constexpr int kTimeoutMs = 1000;
constexpr std::size_t kInputLimit = 4096;
constexpr std::string_view kAllowedId = "abcdefghijklmnopabcdefghijklmnop";

// The broker's view: a bootstrap naming this user, fixed secrets and one allowed extension, and
// a ledger that already holds one nonce (all 0x33 bytes).
struct BrokerState {
    BixBootstrap bootstrap;
    BixNonceLedger ledger;

    BrokerState() {
        bootstrap.uid = ::geteuid();
        bootstrap.first_secret.fill(0x11);
        bootstrap.second_secret.fill(0x22);
        bootstrap.allowed_count = 1;
        std::memcpy(bootstrap.allowed_ids[0].data(), kAllowedId.data(), kAllowedId.size());
        BixNonce used{};
        used.fill(0x33);
        ledger.record(used);
    }
};

const BrokerState& broker() {
    static const BrokerState* state = new BrokerState();
    return *state;
}

std::string build_handshake(std::string_view rest) {
    BixNonce nonce{};
    const std::size_t nonce_bytes = std::min(rest.size(), nonce.size());
    std::memcpy(nonce.data(), rest.data() + rest.size() - nonce_bytes, nonce_bytes);
    const std::string_view origin = rest.substr(0, rest.size() - nonce_bytes);
    BixExtensionId id{};
    if (const auto parsed = bix_parse_extension_origin(origin))
        id = *parsed;
    const BixHandshakeIdentity identity{::getpid(), ::geteuid()};
    auto built = bix_build_handshake(broker().bootstrap, origin, id, identity, nonce);
    BIX_FUZZ_CHECK(built.ok());
    return std::string(reinterpret_cast<const char*>(built.value().data()), built.value().size());
}

void patch_le32(std::string& bytes, std::size_t at, std::uint32_t value) {
    if (bytes.size() >= at + 4)
        bix_store_le32(reinterpret_cast<std::uint8_t*>(bytes.data()) + at, value);
}

void check_accepted(const BixAcceptedHandshake& accepted, std::string_view sent) {
    const BrokerState& state = broker();
    BIX_FUZZ_CHECK(sent.size() >= kBixHandshakeHeaderSize);
    const auto* header = reinterpret_cast<const std::uint8_t*>(sent.data());
    BIX_FUZZ_CHECK(std::memcmp(header, BIX_HANDSHAKE_MAGIC.data(), 8) == 0);
    BIX_FUZZ_CHECK(std::memcmp(header + off::first_secret, state.bootstrap.first_secret.data(),
                               kBixSecretSize) == 0);
    BIX_FUZZ_CHECK(std::memcmp(header + off::second_secret, state.bootstrap.second_secret.data(),
                               kBixSecretSize) == 0);
    BIX_FUZZ_CHECK(!state.ledger.contains(accepted.nonce));
    BIX_FUZZ_CHECK(std::memcmp(accepted.nonce.data(), header + off::nonce, kBixNonceSize) == 0);
    const std::size_t origin_length = bix_load_le16(header + off::origin_length);
    const std::size_t tail_length = origin_length + kBixExtensionIdLength;
    BIX_FUZZ_CHECK(sent.size() >= kBixHandshakeHeaderSize + tail_length);
    const std::string_view origin = sent.substr(kBixHandshakeHeaderSize, origin_length);
    const auto id = bix_parse_extension_origin(origin);
    BIX_FUZZ_CHECK(id.has_value() && state.bootstrap.allows(*id));
    const SecretBuffer& record = accepted.client_record;
    BIX_FUZZ_CHECK(record.size() ==
                   kBixClientAcceptedFixedSize - kBixExtensionIdLength + tail_length);
    BIX_FUZZ_CHECK(bix_load_le32(record.data()) == accepted.peer.uid);
    BIX_FUZZ_CHECK(std::memcmp(record.data() + 12, header + off::pid, 12) == 0);
    BIX_FUZZ_CHECK(std::memcmp(record.data() + 24, header + off::first_secret, 96) == 0);
    BIX_FUZZ_CHECK(
        std::memcmp(record.data() + 120, sent.data() + kBixHandshakeHeaderSize, tail_length) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0 || size > kInputLimit)
        return 0;
    const std::uint8_t selector = data[0];
    const std::string_view rest = bix::fuzz::as_text(data + 1, size - 1);
    std::string sent = (selector & 4) != 0 ? build_handshake(rest) : std::string(rest);
    if ((selector & 1) != 0) {
        patch_le32(sent, off::pid, static_cast<std::uint32_t>(::getpid()));
        patch_le32(sent, off::uid, static_cast<std::uint32_t>(::geteuid()));
    }
    if ((selector & 2) != 0 && sent.size() >= off::nonce) {
        std::memset(sent.data() + off::first_secret, 0x11, kBixSecretSize);
        std::memset(sent.data() + off::second_secret, 0x22, kBixSecretSize);
    }

    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        bix::fuzz::property_failed("socketpair failed");
    bix::fuzz::Fd broker_end(ends[0]);
    bix::fuzz::Fd host_end(ends[1]);
    bix::fuzz::write_all(host_end.get(), sent);
    ::shutdown(host_end.get(), SHUT_WR);

    auto accepted = bix_accept_handshake(broker_end.get(), broker().bootstrap, ::geteuid(),
                                         broker().ledger, kTimeoutMs);
    if (accepted.ok()) {
        check_accepted(accepted.value(), sent);
    } else {
        const int error = accepted.error();
        BIX_FUZZ_CHECK(error == EACCES || error == EALREADY || error == EPROTO ||
                       error == ECONNRESET || error == EPIPE || error == ENODATA || error == EIO);
    }
    return 0;
}
