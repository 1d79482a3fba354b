// The grammar of relative paths and leaf names handed to the helper.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bix::safe_path {

constexpr size_t kMaxPathBytes = 4096;
constexpr size_t kMaxComponentBytes = 255;

// Well-formed UTF-8, no controls, bidirectional or invisible format characters, no backslash.
bool valid_path_text(std::string_view text);
// A relative path: not empty, no leading or trailing "/", components neither empty, "." nor "..",
// each at most 255 bytes, at most 4096 bytes in all, and valid path text.
bool valid_relative_path(std::string_view path);
// A valid relative path of one component.
bool valid_leaf_name(std::string_view name);
// ".bix-native-quarantine-" and 32 lowercase hexadecimal digits.
bool is_durable_quarantine_leaf(std::string_view name);
// The components of a valid relative path.
std::vector<std::string> split_path(std::string_view path);

} // namespace bix::safe_path
