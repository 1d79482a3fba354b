#include "cli/report.h"

#include <array>
#include <utility>

namespace bix::safe_path {
namespace {

constexpr std::array<std::pair<int, const char*>, 11> kErrnoNames = {{
    {EPERM, "EPERM"},
    {ENOENT, "ENOENT"},
    {E2BIG, "E2BIG"},
    {EACCES, "EACCES"},
    {EEXIST, "EEXIST"},
    {EXDEV, "EXDEV"},
    {ENOTDIR, "ENOTDIR"},
    {EISDIR, "EISDIR"},
    {EINVAL, "EINVAL"},
    {ELOOP, "ELOOP"},
    {ENOTEMPTY, "ENOTEMPTY"},
}};

std::string quoted(uint64_t value) {
    return "\"" + std::to_string(value) + "\"";
}

} // namespace

std::string failure_code(const Status& status) {
    if (status.race_outcome() == RaceOutcome::rolled_back)
        return "RACE_ROLLED_BACK";
    if (status.race_outcome() == RaceOutcome::preserved)
        return "RACE_PRESERVED";
    if (status.error() == ESTALE)
        return "IDENTITY_CHANGED";
    for (const auto& [number, name] : kErrnoNames)
        if (number == status.error())
            return name;
    return "FILESYSTEM_ERROR";
}

std::string failure_line(const std::string& code, int error) {
    return "{\"ok\":false,\"code\":\"" + code + "\",\"errno\":" + std::to_string(error) + "}\n";
}

std::string ok_line() {
    return "{\"ok\":true}\n";
}

std::string directory_line(uint64_t device, uint64_t inode, uint64_t uid, uint64_t mode) {
    return "{\"ok\":true,\"device\":" + quoted(device) + ",\"inode\":" + quoted(inode) +
           ",\"uid\":" + quoted(uid) + ",\"mode\":" + quoted(mode) + "}\n";
}

std::string bookmark_line(const std::string& hex, uint64_t device, uint64_t inode, uint64_t uid) {
    return "{\"ok\":true,\"bookmark\":\"" + hex + "\",\"device\":" + quoted(device) +
           ",\"inode\":" + quoted(inode) + ",\"uid\":" + quoted(uid) + "}\n";
}

std::string size_line(uint64_t size) {
    return "{\"ok\":true,\"size\":" + quoted(size) + "}\n";
}

} // namespace bix::safe_path
