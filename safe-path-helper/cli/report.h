// The result lines and the mapping from a failure to its code.
#pragma once

#include "platform/status.h"
#include "requests/outcome.h"

#include <cstdint>
#include <string>

namespace bix::safe_path {

constexpr int kExitSuccess = 0;
constexpr int kExitInvalidProtocol = 2;
constexpr int kExitFailure = 10;

// The code a failure is reported with: the race outcome, "IDENTITY_CHANGED" for ESTALE, the errno
// name for the named errors, else "FILESYSTEM_ERROR".
std::string failure_code(const Status& status);
std::string failure_line(const std::string& code, int error);
// The line a success prints: the ok line, or the directory, bookmark or size line of its report.
std::string success_line(const OperationResult::Report& report);

} // namespace bix::safe_path
