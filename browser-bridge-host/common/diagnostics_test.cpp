#include "common/diagnostics.h"
#include "common/test_support.h"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <unistd.h>

namespace bix::bridge {

namespace {

constexpr BixDiagnostic kLast = BixDiagnostic::broker_listener;

// Each failure writes its own single line and ends with a failing status; only host-mode
// start-up failures that leave the browser waiting also send it the startup error frame.
TEST(Diagnostics, EveryFailureHasItsOwnLineAndAFailingStatus) {
    std::set<std::string> seen;
    for (int i = 0; i <= static_cast<int>(kLast); ++i) {
        auto diagnostic = static_cast<BixDiagnostic>(i);
        BixDiagnosticEntry entry = bix_diagnostic_entry(diagnostic);
        SCOPED_TRACE(std::string(entry.name));
        EXPECT_TRUE(seen.insert(std::string(entry.name)).second) << "name used twice";
        EXPECT_NE(entry.status, kBixExitOk);
        if (entry.tells_browser) {
            EXPECT_EQ(entry.name.rfind("BIX_BROWSER_HOST_E_", 0), 0u);
            EXPECT_EQ(entry.status, kBixExitUnavailable);
        }

        FdPair pipe = make_pipe();
        EXPECT_EQ(bix_fail(pipe.second.get(), diagnostic), entry.status);
        pipe.second.reset();
        std::string written(256, '\0');
        ssize_t n = read(pipe.first.get(), written.data(), written.size());
        ASSERT_GT(n, 0);
        written.resize(static_cast<std::size_t>(n));
        EXPECT_EQ(written, std::string(entry.name) + "\n");
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kLast) + 1);
}

} // namespace

} // namespace bix::bridge
