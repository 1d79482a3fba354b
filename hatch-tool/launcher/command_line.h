#pragma once

#include <optional>
#include <string>

namespace bix::hatch {

enum class Mode { self_test, prepare, job, assemble, finalize };

// One recognised command line. workspace is empty for self-test; job_index is set for job only.
struct CommandLine {
    Mode mode = Mode::self_test;
    std::string workspace;
    std::optional<int> job_index;
};

// Recognises exactly the three accepted forms; anything else is nullopt (a usage error).
std::optional<CommandLine> parse_command_line(int argc, const char* const* argv);

} // namespace bix::hatch
