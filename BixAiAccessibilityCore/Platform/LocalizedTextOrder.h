#pragma once

#include <memory>
#include <string_view>

namespace bix::ax {

// The user's locale rules for ordering names shown to the host: a case-insensitive,
// diacritic-sensitive comparison in the default locale. Backed by an ICU collator at secondary
// strength here; a port replaces this file's implementation only.
//
// Owns one collator, configured once in the constructor; compare() only reads it, so one instance
// may be used from several threads.
class LocalizedTextOrder {
public:
    LocalizedTextOrder();
    ~LocalizedTextOrder();
    LocalizedTextOrder(const LocalizedTextOrder&) = delete;
    LocalizedTextOrder& operator=(const LocalizedTextOrder&) = delete;

    // Negative, zero or positive as `a` sorts before, equal to or after `b`. Names that differ
    // only in letter case compare equal. Both must be UTF-8.
    int compare(std::string_view a, std::string_view b) const;

private:
    struct Collation;
    std::unique_ptr<Collation> collation_; // null when no collator could be opened
};

} // namespace bix::ax
