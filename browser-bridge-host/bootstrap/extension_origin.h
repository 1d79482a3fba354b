#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace bix::bridge {

// An extension origin is exactly "chrome-extension://" + a 32-character id drawn from "a".."p"
// + "/". The id is what the bootstrap's allow list names.
inline constexpr std::string_view kBixOriginPrefix = "chrome-extension://";
inline constexpr std::size_t kBixExtensionIdLength = 32;
inline constexpr std::size_t kBixOriginLength = 52;

using BixExtensionId = std::array<char, kBixExtensionIdLength>;

// True when every one of the 32 characters lies in "a".."p".
bool bix_is_valid_extension_id(std::string_view id);

// The origin's extension id, or nullopt when the text is not exactly an extension origin.
std::optional<BixExtensionId> bix_parse_extension_origin(std::string_view origin);

} // namespace bix::bridge
