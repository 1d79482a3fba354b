#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace bix::ax {

// A random RFC 4122 version 4 UUID drawn from the kernel's random source (getrandom). Value type;
// compared and hashed by its 16 bytes.
class Uuid {
public:
    // A fresh random UUID. Never fails: without a working random source the process aborts rather
    // than hand out identifiers that could repeat.
    static Uuid random();

    // 36 characters, 8-4-4-4-12 upper-case hexadecimal digits separated by hyphens.
    std::string canonicalString() const;
    // The 32 upper-case hexadecimal digits of the canonical form, without hyphens; the tail of
    // every minted identifier such as "binding_…".
    std::string hexDigits() const;

    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}
    std::array<std::uint8_t, 16> bytes_;
};

// Shorthands for the two textual forms of a fresh random UUID.
inline std::string randomUuidString() {
    return Uuid::random().canonicalString();
}
inline std::string randomUuidHexDigits() {
    return Uuid::random().hexDigits();
}

} // namespace bix::ax

template <> struct std::hash<bix::ax::Uuid> {
    std::size_t operator()(const bix::ax::Uuid& uuid) const noexcept {
        std::size_t value = 0;
        for (auto byte : uuid.bytes()) {
            value = value * 131 + byte;
        }
        return value;
    }
};
