// The grammar of relative paths and leaf names. A valid path splits into valid leaf names that
// join back to the very same text, within the length limits; a valid leaf is a one-component
// valid path; a durable quarantine leaf is a valid leaf; and the rules agree with the text checks
// they are built on.
#include "anchors/path_grammar.h"
#include "common/fuzz_support.h"

#include <cstddef>
#include <cstdint>
#include <string>

using namespace bix::safe_path;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = bix::fuzz::as_text(data, size);
    const bool path = valid_relative_path(text);
    const bool leaf = valid_leaf_name(text);
    const bool text_ok = valid_path_text(text);
    if (path) {
        BIX_FUZZ_CHECK(text_ok && !text.empty() && text.size() <= kMaxPathBytes);
        BIX_FUZZ_CHECK(text.front() != '/' && text.back() != '/');
        const auto components = split_path(text);
        BIX_FUZZ_CHECK(!components.empty());
        std::string joined;
        for (const std::string& component : components) {
            BIX_FUZZ_CHECK(valid_leaf_name(component));
            BIX_FUZZ_CHECK(component.size() <= kMaxComponentBytes);
            if (!joined.empty())
                joined += '/';
            joined += component;
        }
        BIX_FUZZ_CHECK(joined == text);
        BIX_FUZZ_CHECK(leaf == (components.size() == 1));
    }
    if (leaf)
        BIX_FUZZ_CHECK(path && text.find('/') == std::string_view::npos);
    if (is_durable_quarantine_leaf(text))
        BIX_FUZZ_CHECK(leaf);
    if (text.find('\0') != std::string_view::npos || text.find('\\') != std::string_view::npos)
        BIX_FUZZ_CHECK(!text_ok && !path);
    return 0;
}
