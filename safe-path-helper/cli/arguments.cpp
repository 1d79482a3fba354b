#include "cli/arguments.h"

#include "anchors/path_grammar.h"

namespace bix::safe_path {

std::optional<uint64_t> parse_number(std::string_view text) {
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

Result<uint64_t> parse_bounded(std::string_view text, uint64_t maximum) {
    auto value = parse_number(text);
    if (!value || *value > maximum)
        return invalid();
    return *value;
}

Result<EntryIdentity> parse_entry_identity(std::span<const std::string> arguments, size_t first) {
    if (arguments.size() < first + 5)
        return invalid();
    uint64_t values[5];
    for (size_t i = 0; i < 5; ++i) {
        auto value = parse_number(arguments[first + i]);
        if (!value)
            return invalid();
        values[i] = *value;
    }
    return EntryIdentity{values[0], values[1], values[2], values[3], values[4]};
}

Result<ContentIdentity> parse_content_identity(std::span<const std::string> arguments,
                                               size_t first) {
    if (arguments.size() < first + 8)
        return invalid();
    auto entry = parse_entry_identity(arguments, first);
    if (!entry)
        return entry.status();
    auto size = parse_number(arguments[first + 5]);
    auto time = parse_number(arguments[first + 6]);
    if (!size || !time || !valid_digest(arguments[first + 7]))
        return invalid();
    return ContentIdentity{*entry, *size, *time, arguments[first + 7]};
}

Result<BookmarkedGroup> parse_bookmarked_group(std::span<const std::string> arguments,
                                               size_t first) {
    if (arguments.size() < first + 6)
        return invalid();
    BookmarkedGroup group;
    group.bookmark = arguments[first];
    auto device = parse_number(arguments[first + 1]);
    auto inode = parse_number(arguments[first + 2]);
    auto uid = parse_number(arguments[first + 3]);
    group.directory_path = arguments[first + 4];
    group.leaf = arguments[first + 5];
    if (!device || !inode || !uid || !from_hex(group.bookmark).ok() ||
        (group.directory_path != "." && !valid_relative_path(group.directory_path)) ||
        !valid_leaf_name(group.leaf))
        return invalid();
    group.identity = DirectoryIdentity{*device, *inode, *uid};
    return group;
}

} // namespace bix::safe_path
