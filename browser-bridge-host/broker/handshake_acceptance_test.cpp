#include "broker/handshake_acceptance.h"
#include "common/byte_order.h"
#include "common/test_support.h"
#include "protocol/handshake.h"

#include <cerrno>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace bix::bridge {

namespace {

const std::string kOrigin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop/";
const std::string kOtherOrigin = "chrome-extension://ponmlkjihgfedcbaponmlkjihgfedcba/";

BixExtensionId id_of(const std::string& origin) {
    return *bix_parse_extension_origin(origin);
}

std::unique_ptr<BixBootstrap> make_bootstrap() {
    auto bootstrap = std::make_unique<BixBootstrap>();
    bootstrap->uid = geteuid();
    for (std::size_t i = 0; i < kBixSecretSize; ++i) {
        bootstrap->first_secret[i] = static_cast<std::uint8_t>(i);
        bootstrap->second_secret[i] = static_cast<std::uint8_t>(255 - i);
    }
    bootstrap->allowed_count = 1;
    std::memcpy(bootstrap->allowed_ids[0].data(), kOrigin.data() + 19, 32);
    return bootstrap;
}

BixNonce nonce_of(std::uint8_t seed) {
    BixNonce nonce{};
    nonce.fill(seed);
    return nonce;
}

std::string handshake_bytes(const BixBootstrap& bootstrap, const BixNonce& nonce,
                            const std::string& origin = kOrigin) {
    auto record =
        bix_build_handshake(bootstrap, origin, id_of(origin), {getpid(), geteuid()}, nonce);
    return std::string(reinterpret_cast<const char*>(record->data()), record->size());
}

TEST(Handshake, BuildsTheDocumentedLayout) {
    auto bootstrap = make_bootstrap();
    std::string bytes = handshake_bytes(*bootstrap, nonce_of(9));
    ASSERT_EQ(bytes.size(), 152u + kOrigin.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    EXPECT_EQ(bytes.substr(0, 8), std::string("BIXHSK1\0", 8));
    EXPECT_EQ(p[8], 1);
    EXPECT_EQ(bytes.substr(9, 3), std::string(3, '\0'));
    EXPECT_EQ(bix_load_le32(p + 12), static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(bix_load_le32(p + 16), geteuid());
    EXPECT_EQ(bix_load_le16(p + 20), 52);
    EXPECT_EQ(bix_load_le16(p + 22), 32);
    EXPECT_EQ(0, std::memcmp(p + 24, bootstrap->first_secret.data(), 32));
    EXPECT_EQ(0, std::memcmp(p + 56, bootstrap->second_secret.data(), 32));
    EXPECT_EQ(p[88], 9);
    EXPECT_EQ(bytes.substr(120), kOrigin + kOrigin.substr(19, 32));
}

// Sends `bytes` from the far end of a socket pair and runs the broker's acceptance on the near end.
BixResult<BixAcceptedHandshake> accept_bytes(const std::string& bytes,
                                             const BixBootstrap& bootstrap,
                                             const BixNonceLedger& ledger, bool hang_up = true) {
    FdPair pair = make_socketpair();
    write_bytes(pair.second.get(), bytes);
    if (hang_up) {
        pair.second.reset();
    }
    return bix_accept_handshake(pair.first.get(), bootstrap, geteuid(), ledger, 100);
}

TEST(HandshakeAcceptance, AcceptsAValidHandshakeAndBuildsTheClientRecord) {
    auto bootstrap = make_bootstrap();
    BixNonceLedger ledger;
    std::string bytes = handshake_bytes(*bootstrap, nonce_of(1));
    auto accepted = accept_bytes(bytes, *bootstrap, ledger);
    ASSERT_TRUE(accepted.ok()) << accepted.error();
    const SecretBuffer& record = accepted->client_record;
    ASSERT_EQ(record.size(), 152u + kOrigin.size());
    EXPECT_EQ(bix_load_le32(record.data()), geteuid());
    EXPECT_EQ(bix_load_le32(record.data() + 4), getegid());
    EXPECT_EQ(bix_load_le32(record.data() + 8), static_cast<std::uint32_t>(getpid()));
    EXPECT_EQ(0, std::memcmp(record.data() + 12, bytes.data() + 12, 108));
    EXPECT_EQ(0, std::memcmp(record.data() + 120, bytes.data() + 120, kOrigin.size() + 32));
    EXPECT_EQ(accepted->nonce, nonce_of(1));
    EXPECT_EQ(ledger.count(), 0u) << "the caller records the nonce, not the check";
}

struct RejectCase {
    const char* name;
    std::function<void(std::string&)> mutate;
    int expected_error;
};

void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
    bix_store_le32(reinterpret_cast<std::uint8_t*>(bytes.data() + at), value);
}

void put16(std::string& bytes, std::size_t at, std::uint16_t value) {
    bix_store_le16(reinterpret_cast<std::uint8_t*>(bytes.data() + at), value);
}

TEST(HandshakeAcceptance, RejectsEveryBrokenField) {
    auto bootstrap = make_bootstrap();
    std::string other_tail = kOtherOrigin + kOtherOrigin.substr(19, 32);
    const std::vector<RejectCase> cases = {
        {"magic", [](auto& b) { b[6] = '2'; }, EPROTO},
        {"version", [](auto& b) { b[8] = 2; }, EPROTO},
        {"claimed-pid-zero", [](auto& b) { put32(b, 12, 0); }, EACCES},
        {"claimed-pid-other", [](auto& b) { put32(b, 12, getpid() + 1); }, EACCES},
        {"claimed-uid-other", [](auto& b) { put32(b, 16, geteuid() + 1); }, EACCES},
        {"origin-length-51", [](auto& b) { put16(b, 20, 51); }, EPROTO},
        {"origin-length-65", [](auto& b) { put16(b, 20, 65); }, EPROTO},
        {"id-length-31", [](auto& b) { put16(b, 22, 31); }, EPROTO},
        {"first-secret-last-byte", [](auto& b) { b[24 + 31] ^= 1; }, EACCES},
        {"second-secret-first-byte", [](auto& b) { b[56] ^= 0x80; }, EACCES},
        {"origin-not-allowed", [&](auto& b) { b.replace(120, other_tail.size(), other_tail); },
         EACCES},
        {"id-differs-from-origin", [](auto& b) { b[b.size() - 1] = 'a'; }, EACCES},
        {"origin-malformed", [](auto& b) { b[120 + 51] = 'x'; }, EPROTO},
        {"truncated-header", [](auto& b) { b.resize(100); }, ECONNRESET},
        {"truncated-tail", [](auto& b) { b.resize(130); }, ECONNRESET},
    };
    for (const RejectCase& c : cases) {
        std::string bytes = handshake_bytes(*bootstrap, nonce_of(2));
        c.mutate(bytes);
        BixNonceLedger ledger;
        auto accepted = accept_bytes(bytes, *bootstrap, ledger);
        EXPECT_FALSE(accepted.ok()) << c.name;
        EXPECT_EQ(accepted.error(), c.expected_error) << c.name;
    }
}

TEST(HandshakeAcceptance, StalledPeerIsCutOffByTheTimedRead) {
    auto bootstrap = make_bootstrap();
    BixNonceLedger ledger;
    std::string half = handshake_bytes(*bootstrap, nonce_of(3)).substr(0, 60);
    auto accepted = accept_bytes(half, *bootstrap, ledger, false);
    EXPECT_EQ(accepted.error(), ETIMEDOUT);
}

TEST(HandshakeAcceptance, RejectsPeersOfAnotherUser) {
    auto bootstrap = make_bootstrap();
    bootstrap->uid = geteuid() + 1;
    BixNonceLedger ledger;
    auto accepted = accept_bytes(handshake_bytes(*bootstrap, nonce_of(4)), *bootstrap, ledger);
    EXPECT_EQ(accepted.error(), EACCES);
}

TEST(HandshakeAcceptance, RejectsReplayedNoncesAndTheSixtyFifthHandshake) {
    auto bootstrap = make_bootstrap();
    BixNonceLedger ledger;
    ASSERT_TRUE(ledger.record(nonce_of(1)));
    EXPECT_EQ(accept_bytes(handshake_bytes(*bootstrap, nonce_of(1)), *bootstrap, ledger).error(),
              EALREADY);
    for (int seed = 2; seed <= 64; ++seed) {
        ASSERT_TRUE(
            accept_bytes(handshake_bytes(*bootstrap, nonce_of(seed)), *bootstrap, ledger).ok())
            << seed;
        ASSERT_TRUE(ledger.record(nonce_of(static_cast<std::uint8_t>(seed))));
    }
    EXPECT_TRUE(ledger.is_full());
    EXPECT_FALSE(ledger.record(nonce_of(200)));
    EXPECT_EQ(accept_bytes(handshake_bytes(*bootstrap, nonce_of(200)), *bootstrap, ledger).error(),
              EMFILE);
}

TEST(SecretComparison, ComparesEveryByte) {
    std::uint8_t a[32] = {};
    std::uint8_t b[32] = {};
    EXPECT_TRUE(bix_secrets_equal(a, b, 32));
    for (std::size_t i = 0; i < 32; ++i) {
        b[i] = 1;
        EXPECT_FALSE(bix_secrets_equal(a, b, 32)) << i;
        b[i] = 0;
    }
}

} // namespace

} // namespace bix::bridge
