#include "Platform/Uuid.h"

#include <gtest/gtest.h>

// GCC 12 with the sanitizers at -O1 reports a false -Wmaybe-uninitialized inside libstdc++'s regex
// compiler (GCC bug 105562), in code instantiated from this header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic pop
#endif
#include <set>

namespace bix::ax {
namespace {

TEST(Uuid, CanonicalFormIsUpperCaseVersion4) {
    const std::regex canonical(
        "^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
    for (int i = 0; i < 64; ++i) {
        const auto uuid = Uuid::random();
        const auto text = uuid.canonicalString();
        EXPECT_TRUE(std::regex_match(text, canonical)) << text;
        std::string withoutHyphens = text;
        std::erase(withoutHyphens, '-');
        EXPECT_EQ(uuid.hexDigits(), withoutHyphens);
    }
}

TEST(Uuid, FreshValuesDoNotRepeat) {
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        EXPECT_TRUE(seen.insert(randomUuidHexDigits()).second);
    }
    const auto a = Uuid::random();
    const auto copy = a;
    EXPECT_EQ(a, copy);
    EXPECT_EQ(std::hash<Uuid>{}(a), std::hash<Uuid>{}(copy));
    EXPECT_NE(a, Uuid::random());
}

} // namespace
} // namespace bix::ax
