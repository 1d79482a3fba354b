#include "launcher/command_line.h"

#include <string_view>

namespace bix::hatch {
namespace {

std::optional<Mode> stage_mode(std::string_view word) {
    if (word == "prepare") {
        return Mode::prepare;
    }
    if (word == "assemble") {
        return Mode::assemble;
    }
    if (word == "finalize") {
        return Mode::finalize;
    }
    return std::nullopt;
}

// A job index is exactly one character from "0" to "9".
std::optional<int> job_index(std::string_view word) {
    if (word.size() != 1 || word[0] < '0' || word[0] > '9') {
        return std::nullopt;
    }
    return word[0] - '0';
}

} // namespace

std::optional<CommandLine> parse_command_line(int argc, const char* const* argv) {
    if (argc < 2 || argv == nullptr) {
        return std::nullopt;
    }
    const std::string_view mode(argv[1]);
    if (argc == 2 && mode == "self-test") {
        return CommandLine{Mode::self_test, {}, std::nullopt};
    }
    if (argc == 4 && std::string_view(argv[2]) == "--workspace") {
        if (const auto stage = stage_mode(mode)) {
            return CommandLine{*stage, argv[3], std::nullopt};
        }
        return std::nullopt;
    }
    if (argc == 6 && mode == "job" && std::string_view(argv[2]) == "--workspace" &&
        std::string_view(argv[4]) == "--index") {
        if (const auto index = job_index(argv[5])) {
            return CommandLine{Mode::job, argv[3], index};
        }
    }
    return std::nullopt;
}

} // namespace bix::hatch
