#pragma once

#include <string>
#include <string_view>

namespace bix::ax {

// Unicode services the protocol needs on UTF-8 text: canonical composition (NFC), white-space
// trimming and the control/format character test. Backed by ICU here; a port replaces this file's
// implementation only. Stateless and thread-safe.
class UnicodeText {
public:
    // True when `utf8` equals its NFC form. `utf8` must be valid UTF-8.
    static bool isNFC(std::string_view utf8);

    // The NFC form of `utf8` (ill-formed sequences become U+FFFD).
    static std::string toNFC(std::string_view utf8);

    // `utf8` without Unicode white space (including line breaks) at either end.
    static std::string trimWhitespaceAndNewlines(std::string_view utf8);

    // True when any scalar is of general category Cc (control) or Cf (format).
    static bool containsControlOrFormat(std::string_view utf8);
};

} // namespace bix::ax
