#include "launcher/workspace_check.h"

#include <sys/stat.h>

namespace bix_hatch {
namespace {

bool is_control_byte(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

bool is_plain_absolute_path(const std::string& path) {
    if (path.empty() || path.size() > kMaxWorkspacePathBytes || path.front() != '/') {
        return false;
    }
    for (const char c : path) {
        if (is_control_byte(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

} // namespace

CheckResult check_workspace(const HatchSystem& system, const std::string& workspace) {
    if (!is_plain_absolute_path(workspace)) {
        return CheckResult::fail(Refusal::workspace_not_absolute_canonical);
    }
    // Not following a final link: a symbolic link to a directory is not the workspace.
    const StatusResult status = system.status_without_following(workspace);
    if (!status.ok()) {
        return CheckResult::fail(Refusal::workspace_not_real_directory, status.error);
    }
    if (!S_ISDIR(status.status.mode)) {
        return CheckResult::fail(Refusal::workspace_not_real_directory);
    }
    if (status.status.owner != system.effective_uid() ||
        (status.status.mode & 07777) != kWorkspaceMode) {
        return CheckResult::fail(Refusal::workspace_owner_or_mode);
    }
    const PathResult canonical = system.canonical_path(workspace);
    if (!canonical.ok()) {
        return CheckResult::fail(Refusal::workspace_not_canonical, canonical.error);
    }
    if (canonical.path != workspace) {
        return CheckResult::fail(Refusal::workspace_not_canonical);
    }
    const PathResult current = system.current_directory();
    if (!current.ok()) {
        return CheckResult::fail(Refusal::current_directory_not_workspace, current.error);
    }
    if (current.path != workspace) {
        return CheckResult::fail(Refusal::current_directory_not_workspace);
    }
    return CheckResult::pass();
}

} // namespace bix_hatch
