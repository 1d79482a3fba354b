#pragma once

#include "launcher/refusal.h"
#include "platform/hatch_system.h"

#include <string>

namespace bix::hatch {

inline constexpr std::size_t kMaxWorkspacePathBytes = 1023;
inline constexpr mode_t kWorkspaceMode = 0700;

// Checks, in order, that workspace is a short absolute path without control bytes, a real
// directory owned by the effective user with mode exactly 0700, already canonical, and the
// current directory. The directory is held open from the first of these file-system checks to
// the last, and the current directory must be that very object (same device and inode). The
// first failing check is returned.
CheckResult check_workspace(const HatchSystem& system, const std::string& workspace);

} // namespace bix::hatch
