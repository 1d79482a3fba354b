#include "protocol/handshake.h"

#include "common/byte_order.h"
#include "platform/bix_platform.h"

#include <cerrno>
#include <cstring>

namespace bix::bridge {

BixResult<SecretBuffer> bix_build_handshake(const BixBootstrap& bootstrap, std::string_view origin,
                                            const BixExtensionId& id,
                                            const BixHandshakeIdentity& identity,
                                            const BixNonce& nonce) {
    namespace off = bix_handshake_offset;
    if (origin.size() > kBixMaxOriginLength) {
        return BixStatus::failure(EINVAL);
    }
    auto record = SecretBuffer::allocate(kBixHandshakeHeaderSize + origin.size() + id.size());
    if (!record) {
        return BixStatus::failure(ENOMEM);
    }
    std::uint8_t* p = record->data();
    std::memcpy(p, BIX_HANDSHAKE_MAGIC.data(), BIX_HANDSHAKE_MAGIC.size());
    p[off::version] = kBixHandshakeVersion;
    bix_store_le32(p + off::pid, static_cast<std::uint32_t>(identity.pid));
    bix_store_le32(p + off::uid, static_cast<std::uint32_t>(identity.uid));
    bix_store_le16(p + off::origin_length, static_cast<std::uint16_t>(origin.size()));
    bix_store_le16(p + off::id_length, static_cast<std::uint16_t>(id.size()));
    bix_copy_secret(p + off::first_secret, bootstrap.first_secret.data(), kBixSecretSize);
    bix_copy_secret(p + off::second_secret, bootstrap.second_secret.data(), kBixSecretSize);
    bix_copy_secret(p + off::nonce, nonce.data(), nonce.size());
    std::memcpy(p + off::origin, origin.data(), origin.size());
    std::memcpy(p + off::origin + origin.size(), id.data(), id.size());
    return std::move(*record);
}

} // namespace bix::bridge
