#include "anchors/path_grammar.h"

#include <cstdint>

namespace bix::safe_path {
namespace {

constexpr std::string_view kQuarantinePrefix = ".bix-native-quarantine-";
constexpr size_t kQuarantineHexDigits = 32;

// Decodes one UTF-8 sequence at `text[index]`, rejecting stray continuation bytes, overlong
// forms, surrogates, code points above U+10FFFF and truncated sequences. Returns false on error.
bool decode_one(std::string_view text, size_t& index, uint32_t& code_point) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(index);
    size_t length;
    uint32_t minimum;
    if (lead < 0x80) {
        code_point = lead;
        index += 1;
        return true;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        code_point = lead & 0x1F;
        minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        code_point = lead & 0x0F;
        minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        code_point = lead & 0x07;
        minimum = 0x10000;
    } else {
        return false; // continuation byte, 0xC0, 0xC1 or 0xF5-0xFF
    }
    if (index + length > text.size())
        return false;
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = byte(index + i);
        if ((next & 0xC0) != 0x80)
            return false;
        code_point = (code_point << 6) | (next & 0x3F);
    }
    if (code_point < minimum || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF))
        return false;
    index += length;
    return true;
}

bool forbidden_code_point(uint32_t c) {
    return c < 0x20 || c == 0x5C || (c >= 0x7F && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0xFEFF;
}

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

} // namespace

bool valid_path_text(std::string_view text) {
    size_t index = 0;
    while (index < text.size()) {
        uint32_t code_point = 0;
        if (!decode_one(text, index, code_point) || forbidden_code_point(code_point))
            return false;
    }
    return true;
}

bool valid_relative_path(std::string_view path) {
    if (path.empty() || path.size() > kMaxPathBytes || path.front() == '/' || path.back() == '/')
        return false;
    if (!valid_path_text(path))
        return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == ".." ||
            component.size() > kMaxComponentBytes)
            return false;
        start = end + 1;
    }
    return true;
}

bool valid_leaf_name(std::string_view name) {
    return valid_relative_path(name) && name.find('/') == std::string_view::npos;
}

bool is_durable_quarantine_leaf(std::string_view name) {
    if (name.size() != kQuarantinePrefix.size() + kQuarantineHexDigits ||
        name.substr(0, kQuarantinePrefix.size()) != kQuarantinePrefix)
        return false;
    for (char c : name.substr(kQuarantinePrefix.size()))
        if (!is_lower_hex(c))
            return false;
    return true;
}

std::vector<std::string> split_path(std::string_view path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        components.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return components;
}

} // namespace bix::safe_path
