#include "launcher/workspace_check.h"

#include <sys/stat.h>

namespace bix::hatch {
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

// Device and inode name one object, whatever paths lead to it.
bool is_same_object(const FileStatus& a, const FileStatus& b) {
    return a.device == b.device && a.inode == b.inode;
}

} // namespace

CheckResult check_workspace(const HatchSystem& system, const std::string& workspace) {
    if (!is_plain_absolute_path(workspace)) {
        return CheckResult::fail(Refusal::workspace_not_absolute_canonical);
    }
    // Not following a final link: a symbolic link to a directory is not the workspace. Every
    // later check asks the held object, so a path swapped meanwhile cannot pass them.
    const HeldObject held = system.hold_without_following(workspace);
    const StatusResult& status = held.status;
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
    // Being canonical is a property of the spelling, so this one comparison is of strings.
    const PathResult& canonical = held.canonical;
    if (!canonical.ok()) {
        return CheckResult::fail(Refusal::workspace_not_canonical, canonical.error);
    }
    if (canonical.path != workspace) {
        return CheckResult::fail(Refusal::workspace_not_canonical);
    }
    const StatusResult current = system.current_directory_status();
    if (!current.ok()) {
        return CheckResult::fail(Refusal::current_directory_not_workspace, current.error);
    }
    if (!is_same_object(current.status, status.status)) {
        return CheckResult::fail(Refusal::current_directory_not_workspace);
    }
    return CheckResult::pass();
}

} // namespace bix::hatch
