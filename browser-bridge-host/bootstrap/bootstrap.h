#pragma once

// The bootstrap file the host application writes next to the broker's socket. It names the
// socket, carries the two bridge secrets and lists the extensions allowed to connect.

#include "bootstrap/extension_origin.h"
#include "common/bix_result.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace bix::bridge {

inline constexpr std::size_t kBixBootstrapHeaderSize = 92;
inline constexpr std::size_t kBixBootstrapMinSize = 156;
inline constexpr std::size_t kBixBootstrapMaxSize = 4096;
inline constexpr std::size_t kBixBootstrapMaxPath = 1023;
inline constexpr std::size_t kBixSocketPathMax = 103;
inline constexpr std::size_t kBixMaxAllowedExtensions = 8;
inline constexpr std::size_t kBixSecretSize = 32;
inline constexpr std::int64_t kBixMaxBootstrapLifetimeSeconds = 28800;
inline constexpr std::uint32_t kBixBootstrapVersion = 1;
inline constexpr std::string_view kBixSocketName = "broker.sock";
// "BIXBN1" and two zero bytes.
inline constexpr std::array<std::uint8_t, 8> BIX_BOOTSTRAP_MAGIC = {'B', 'I', 'X', 'B',
                                                                    'N', '1', 0,   0};

using BixSecret = std::array<std::uint8_t, kBixSecretSize>;

// A parsed bootstrap. Owns copies of the secrets and ids and zeroes all of them on destruction;
// it is handed around by unique_ptr so no stray copy of the secrets is ever made.
struct BixBootstrap {
    BixBootstrap() = default;
    BixBootstrap(const BixBootstrap&) = delete;
    BixBootstrap& operator=(const BixBootstrap&) = delete;
    ~BixBootstrap();

    uid_t uid = 0;
    std::int64_t expiry = 0;
    std::array<char, kBixSocketPathMax + 1> socket_path{}; // NUL-terminated
    BixSecret first_secret{};
    BixSecret second_secret{};
    std::size_t allowed_count = 0;
    std::array<std::array<char, kBixExtensionIdLength + 1>, kBixMaxAllowedExtensions> allowed_ids{};
    std::array<char, kBixBootstrapMaxPath + 1> directory{}; // NUL-terminated

    std::string_view socket_path_view() const { return socket_path.data(); }
    bool allows(const BixExtensionId& id) const;
};

// What the reader checks the file against: the caller's effective uid and the current Unix time.
struct BixBootstrapContext {
    uid_t effective_uid = 0;
    std::int64_t now = 0;
};

// Reads and checks the bootstrap file; fails with EINVAL on a malformed path or content, EPERM on
// wrong ownership, permissions or link count, and the system's errno when a call fails. The file
// buffer is zeroed on every path.
BixResult<std::unique_ptr<BixBootstrap>> bix_read_bootstrap(const std::string& path,
                                                            const BixBootstrapContext& context);

// The bootstrap's fixed place in a home directory for the given host application.
BixResult<std::string> bix_bootstrap_path_in_home(std::string_view home,
                                                  std::string_view bundle_id);

} // namespace bix::bridge
