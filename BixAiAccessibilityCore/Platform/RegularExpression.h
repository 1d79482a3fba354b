#pragma once

#include <memory>
#include <string_view>

namespace bix::ax {

// A compiled regular expression in the dialect of the platform's text system (look-ahead and
// inline flags such as (?i) supported). Backed by ICU here. Owns the compiled pattern, which is
// immutable after construction; matching may run on any number of threads at once.
class RegularExpression {
public:
    // Compiles `pattern` with no options. A pattern that does not compile is a programming error:
    // it throws std::logic_error.
    explicit RegularExpression(std::string_view pattern);
    ~RegularExpression();
    RegularExpression(const RegularExpression&) = delete;
    RegularExpression& operator=(const RegularExpression&) = delete;

    // True when the first match found in `utf8` starts at its beginning and covers all of it.
    // (Unlike an anchored search, a match that stops before a trailing line feed does not count.)
    bool firstMatchCoversWhole(std::string_view utf8) const;

    // True when the pattern matches anywhere in `utf8`.
    bool matchesAnywhere(std::string_view utf8) const;

private:
    struct Compiled;
    std::unique_ptr<Compiled> compiled_;
};

} // namespace bix::ax
