#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace bix::ax {

// The wire names of a closed enumeration, one entry per enumerator in declaration order, so a
// name is found by indexing with the enumerator's value. Immutable; usable in constant
// expressions, where followsDeclarationOrder() proves the indexing sound.
template <typename Enum, std::size_t Count> class RawValueTable {
public:
    struct Entry {
        Enum value;
        std::string_view name;
    };

    constexpr explicit RawValueTable(std::array<Entry, Count> entries) : entries_(entries) {}

    constexpr bool followsDeclarationOrder() const {
        for (std::size_t i = 0; i < Count; ++i) {
            if (static_cast<std::size_t>(entries_[i].value) != i) {
                return false;
            }
        }
        return true;
    }

    // Every enumerator, in declaration order.
    constexpr std::array<Enum, Count> allValues() const {
        std::array<Enum, Count> all{};
        for (std::size_t i = 0; i < Count; ++i) {
            all[i] = entries_[i].value;
        }
        return all;
    }

    // The wire name of `value`; nothing for a value outside the enumeration.
    constexpr std::optional<std::string_view> name(Enum value) const {
        const auto index = static_cast<std::size_t>(value);
        if (index >= Count) {
            return std::nullopt;
        }
        return entries_[index].name;
    }

    // The enumerator whose wire name is exactly `name` (case-sensitive), or nothing.
    constexpr std::optional<Enum> find(std::string_view name) const {
        for (const Entry& entry : entries_) {
            if (entry.name == name) {
                return entry.value;
            }
        }
        return std::nullopt;
    }

private:
    std::array<Entry, Count> entries_;
};

} // namespace bix::ax
