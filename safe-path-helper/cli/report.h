// The result lines and the mapping from a failure to its code.
#pragma once

#include "platform/status.h"

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
std::string ok_line();
std::string directory_line(uint64_t device, uint64_t inode, uint64_t uid, uint64_t mode);
std::string bookmark_line(const std::string& hex, uint64_t device, uint64_t inode, uint64_t uid);
std::string size_line(uint64_t size);

} // namespace bix::safe_path
