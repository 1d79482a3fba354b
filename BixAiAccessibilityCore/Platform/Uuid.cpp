#include "Platform/Uuid.h"

#include <cerrno>
#include <cstdlib>
#include <sys/random.h>

namespace bix::ax {

namespace {

void fillRandom(std::uint8_t* out, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        ssize_t got = ::getrandom(out + filled, size - filled, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Identifiers guard handles and bindings; never fall back to a weak source.
            std::abort();
        }
        filled += static_cast<std::size_t>(got);
    }
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

} // namespace

Uuid Uuid::random() {
    std::array<std::uint8_t, 16> bytes{};
    fillRandom(bytes.data(), bytes.size());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return Uuid(bytes);
}

std::string Uuid::hexDigits() const {
    std::string out;
    out.reserve(32);
    for (auto byte : bytes_) {
        out.push_back(kHexDigits[byte >> 4]);
        out.push_back(kHexDigits[byte & 0x0F]);
    }
    return out;
}

std::string Uuid::canonicalString() const {
    std::string hex = hexDigits();
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < hex.size(); ++i) {
        if (i == 8 || i == 12 || i == 16 || i == 20) {
            out.push_back('-');
        }
        out.push_back(hex[i]);
    }
    return out;
}

} // namespace bix::ax
