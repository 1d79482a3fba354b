#include "bootstrap/extension_origin.h"

#include <algorithm>

namespace bix::bridge {

bool bix_is_valid_extension_id(std::string_view id) {
    return id.size() == kBixExtensionIdLength &&
           std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; });
}

std::optional<BixExtensionId> bix_parse_extension_origin(std::string_view origin) {
    if (origin.size() != kBixOriginLength || !origin.starts_with(kBixOriginPrefix) ||
        origin.back() != '/') {
        return std::nullopt;
    }
    std::string_view id = origin.substr(kBixOriginPrefix.size(), kBixExtensionIdLength);
    if (!bix_is_valid_extension_id(id)) {
        return std::nullopt;
    }
    BixExtensionId parsed{};
    std::copy(id.begin(), id.end(), parsed.begin());
    return parsed;
}

} // namespace bix::bridge
