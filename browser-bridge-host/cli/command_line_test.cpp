#include "cli/command_line.h"

#include <gtest/gtest.h>
#include <vector>

namespace bix::bridge {

namespace {

struct SplitCase {
    std::vector<std::string> arguments;
    BixMode mode;
};

TEST(CommandLine, SplitsModesByArgumentCount) {
    const std::vector<SplitCase> cases = {
        {{"chrome-extension://abcdefghijklmnopabcdefghijklmnop/"}, BixMode::host},
        {{"--broker"}, BixMode::host}, // one argument is always an origin
        {{"--broker", "/tmp/b"}, BixMode::broker},
        {{}, BixMode::invalid},
        {{"/tmp/b", "--broker"}, BixMode::invalid},
        {{"--broker", "/tmp/b", "x"}, BixMode::invalid},
        {{"origin", "extra"}, BixMode::invalid},
    };
    for (const SplitCase& c : cases) {
        BixCommandLine parsed = bix_parse_command_line(c.arguments);
        EXPECT_EQ(parsed.mode, c.mode) << c.arguments.size();
        if (c.mode == BixMode::host) {
            EXPECT_EQ(parsed.origin, c.arguments[0]);
        }
        if (c.mode == BixMode::broker) {
            EXPECT_EQ(parsed.bootstrap_path, c.arguments[1]);
        }
    }
}

} // namespace

} // namespace bix::bridge
