// Parsing of the command line's numbers, identities and bookmarked directory groups.
#pragma once

#include "anchors/bookmark.h"
#include "anchors/identity.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace bix::safe_path {

// Unsigned decimal, base 10, 64-bit: not empty, no sign, fully consumed, no overflow.
std::optional<uint64_t> parse_number(std::string_view text);

// The identities start at `first` and span 5 (entry) or 8 (content) arguments; EINVAL when a
// number or the digest is malformed.
Result<EntryIdentity> parse_entry_identity(std::span<const std::string> arguments, size_t first);
Result<ContentIdentity> parse_content_identity(std::span<const std::string> arguments,
                                               size_t first);
// Six arguments: bookmark, device, inode, uid, directory path ("." or a valid path), leaf.
Result<BookmarkedGroup> parse_bookmarked_group(std::span<const std::string> arguments,
                                               size_t first);
// A number at most `maximum`; EINVAL otherwise.
Result<uint64_t> parse_bounded(std::string_view text, uint64_t maximum);

} // namespace bix::safe_path
