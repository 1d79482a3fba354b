// The prologue and the dispatch of one run.
#pragma once

#include <span>
#include <string>

namespace bix::safe_path {

// Runs one operation: checks the prologue, opens and verifies the root, dispatches on name and
// argument count, writes exactly one result line to `output_fd` (plus a read's bytes) and
// returns the exit status (0, 2 or 10).
int run_command_line(std::span<const std::string> arguments, int input_fd, int output_fd);

} // namespace bix::safe_path
