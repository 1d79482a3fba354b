#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace bix::ax {

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 of `bytes`. Backed by OpenSSL EVP here.
Sha256Digest sha256(std::string_view bytes);

} // namespace bix::ax
