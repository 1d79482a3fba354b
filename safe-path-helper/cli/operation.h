// What every operation receives and gives back.
#pragma once

#include "anchors/root.h"

#include <span>
#include <string>

namespace bix::safe_path {

// The verified root, the whole argument vector (position 0 is the program) and the standard
// streams. Operations read content from `input_fd` and write only through `output_fd`.
struct OperationContext {
    const Root& root;
    std::span<const std::string> arguments;
    int input_fd;
    int output_fd;
};

// The operation's status plus, on success, its own result line when it has one (empty means the
// ok line). `printed` is set once an operation has written to standard output itself (reads).
struct OperationResult {
    Status status;
    std::string success_line;
    bool printed = false;

    OperationResult(Status s) : status(s) {}
    static OperationResult with_line(std::string line) {
        OperationResult result{Status::success()};
        result.success_line = std::move(line);
        return result;
    }
};

using Operation = OperationResult (*)(const OperationContext&);

} // namespace bix::safe_path
