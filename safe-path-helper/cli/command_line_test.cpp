#include "cli/command_line.h"
#include "test_support/temp_tree.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace bix::safe_path {
namespace {

using testing::TempTree;

struct Run {
    int status;
    std::string output;
};

// Runs the command line with `input` on a pipe-like file and captures the output.
Run run(const std::vector<std::string>& arguments, const TempTree& scratch,
        const std::string& input = "") {
    scratch.write_file("stdin", input);
    UniqueFd in(::open(scratch.at("stdin").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(
        ::open(scratch.at("stdout").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    const int status = run_command_line(arguments, in.get(), out.get());
    return {status, scratch.read_file("stdout")};
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        root_.make_directory("d");
        struct stat s = root_.stat_of(".");
        prologue_ = {"bix-safe-path-helper",
                     "",
                     root_.path(),
                     std::to_string(s.st_dev),
                     std::to_string(s.st_ino),
                     std::to_string(s.st_uid)};
    }
    std::vector<std::string> with(const std::string& operation, std::vector<std::string> rest) {
        auto arguments = prologue_;
        arguments[1] = operation;
        arguments.insert(arguments.end(), rest.begin(), rest.end());
        return arguments;
    }
    TempTree root_;
    TempTree scratch_;
    std::vector<std::string> prologue_;
};

TEST_F(CommandLine, MalformedPrologueIsInvalidProtocolWithStatus2) {
    const std::string line = "{\"ok\":false,\"code\":\"INVALID_PROTOCOL\",\"errno\":22}\n";
    for (size_t count = 1; count < 6; ++count) {
        std::vector<std::string> arguments(prologue_.begin(), prologue_.begin() + count);
        auto result = run(arguments, scratch_);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.output, line);
    }
    for (size_t position : {3, 4, 5}) {
        for (const char* bad : {"", "-1", "12a", "99999999999999999999"}) {
            auto arguments = with("ensure-dir", {"x"});
            arguments[position] = bad;
            auto result = run(arguments, scratch_);
            EXPECT_EQ(result.status, 2) << position << " " << bad;
            EXPECT_EQ(result.output, line);
        }
    }
}

TEST_F(CommandLine, RootChecksReportRootIdentityChangedOrTheOpenErrno) {
    auto wrong_uid = with("ensure-dir", {"x"});
    wrong_uid[5] = std::to_string(std::stoull(wrong_uid[5]) + 1);
    auto result = run(wrong_uid, scratch_);
    EXPECT_EQ(result.status, 10);
    EXPECT_EQ(result.output, "{\"ok\":false,\"code\":\"ROOT_IDENTITY_CHANGED\",\"errno\":" +
                                 std::to_string(ESTALE) + "}\n");
    auto missing = with("ensure-dir", {"x"});
    missing[2] = root_.at("missing");
    result = run(missing, scratch_);
    EXPECT_EQ(result.output, "{\"ok\":false,\"code\":\"ENOENT\",\"errno\":2}\n");
    EXPECT_FALSE(root_.exists("x"));
}

TEST_F(CommandLine, UnknownOperationsAndWrongCountsAreEinval) {
    const std::string einval = "{\"ok\":false,\"code\":\"EINVAL\",\"errno\":22}\n";
    for (const auto& arguments :
         {with("no-such-op", {"x"}), with("ensure-dir", {}), with("ensure-dir", {"x", "y"}),
          with("create-file", {"f", "384"}), with("remove-private-tree", {"d", "1"})}) {
        auto result = run(arguments, scratch_);
        EXPECT_EQ(result.status, 10) << arguments[1];
        EXPECT_EQ(result.output, einval) << arguments[1];
    }
    EXPECT_FALSE(root_.exists("x"));
}

TEST_F(CommandLine, SuccessLinesCarryQuotedNumbers) {
    auto result = run(with("ensure-dir", {"d/new"}), scratch_);
    EXPECT_EQ(result.status, 0);
    struct stat s = root_.stat_of("d/new");
    EXPECT_EQ(result.output, "{\"ok\":true,\"device\":\"" + std::to_string(s.st_dev) +
                                 "\",\"inode\":\"" + std::to_string(s.st_ino) + "\",\"uid\":\"" +
                                 std::to_string(s.st_uid) + "\",\"mode\":\"" +
                                 std::to_string(s.st_mode) + "\"}\n");
    result = run(with("create-private-file", {"d/f", "3"}), scratch_, "abc");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.output, "{\"ok\":true}\n");
    EXPECT_EQ(root_.read_file("d/f"), "abc");
}

} // namespace
} // namespace bix::safe_path
