#include "launcher/command_line.h"

#include <gtest/gtest.h>
#include <vector>

namespace bix::hatch {
namespace {

std::optional<CommandLine> parse(std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "bix-hatch-tool");
    return parse_command_line(static_cast<int>(arguments.size()), arguments.data());
}

TEST(CommandLine, AcceptsExactlyTheThreeForms) {
    const auto self_test = parse({"self-test"});
    ASSERT_TRUE(self_test);
    EXPECT_EQ(self_test->mode, Mode::self_test);
    EXPECT_TRUE(self_test->workspace.empty());

    const struct {
        const char* word;
        Mode mode;
    } stages[] = {
        {"prepare", Mode::prepare}, {"assemble", Mode::assemble}, {"finalize", Mode::finalize}};
    for (const auto& stage : stages) {
        const auto parsed = parse({stage.word, "--workspace", "/w"});
        ASSERT_TRUE(parsed) << stage.word;
        EXPECT_EQ(parsed->mode, stage.mode);
        EXPECT_EQ(parsed->workspace, "/w");
        EXPECT_FALSE(parsed->job_index);
    }
    for (int index = 0; index <= 9; ++index) {
        const std::string digit(1, static_cast<char>('0' + index));
        const auto job = parse({"job", "--workspace", "/w", "--index", digit.c_str()});
        ASSERT_TRUE(job);
        EXPECT_EQ(job->mode, Mode::job);
        EXPECT_EQ(job->job_index, index);
    }
}

TEST(CommandLine, RefusesEverythingElse) {
    const std::vector<std::vector<const char*>> refused = {
        {},
        {"self-test", "extra"},
        {"selftest"},
        {"prepare"},
        {"prepare", "--workspace"},
        {"prepare", "--workspace", "/w", "extra"},
        {"prepare", "-w", "/w"},
        {"job", "--workspace", "/w"},
        {"job", "--workspace", "/w", "--index", "10"},
        {"job", "--workspace", "/w", "--index", "a"},
        {"job", "--workspace", "/w", "--index", ""},
        {"job", "--workspace", "/w", "--index", "-1"},
        {"job", "--index", "1", "--workspace", "/w"},
        {"assemble", "--workspace", "/w", "--index", "1"},
        {"Prepare", "--workspace", "/w"},
        {"--workspace", "/w", "prepare"},
    };
    for (const auto& arguments : refused) {
        EXPECT_FALSE(parse(arguments)) << arguments.size() << " arguments";
    }
}

} // namespace
} // namespace bix::hatch
