#include "launcher/runtime_check.h"

#include <cerrno>
#include <sys/stat.h>

namespace bix_hatch {
namespace {

constexpr mode_t kAnyWriteBit = 0222;
constexpr const char* kInterpreterEntrySymbol = "Py_InitializeFromConfig";

std::string parent_of(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

RuntimeLayout layout_for(const std::string& root, const std::string& launcher,
                         const PythonBuild& python) {
    const std::string stdlib = root + "/lib/" + python.stdlib_name;
    return RuntimeLayout{
        root,
        launcher,
        {root + "/app", stdlib, stdlib + "/lib-dynload", stdlib + "/site-packages"},
        root + "/lib/" + python.library_soname};
}

bool is_sealed_directory(const StatusResult& status) {
    return status.ok() && S_ISDIR(status.status.mode) && (status.status.mode & kAnyWriteBit) == 0;
}

bool is_sealed_module(const StatusResult& status) {
    return status.ok() && S_ISREG(status.status.mode) && status.status.links == 1 &&
           (status.status.mode & kAnyWriteBit) == 0;
}

} // namespace

LocateResult locate_runtime(const HatchSystem& system, const PythonBuild& python) {
    const PathResult executable = system.executable_path();
    if (!executable.ok()) {
        const Refusal why = executable.error == ENAMETOOLONG ? Refusal::executable_path_too_long
                                                             : Refusal::executable_path_unresolved;
        return {{}, CheckResult::fail(why, executable.error)};
    }
    const PathResult canonical = system.canonical_path(executable.path);
    if (!canonical.ok()) {
        return {{}, CheckResult::fail(Refusal::executable_path_unresolved, canonical.error)};
    }
    if (canonical.path.size() > kMaxCanonicalPathBytes) {
        return {{}, CheckResult::fail(Refusal::canonical_executable_path_too_long)};
    }
    const std::string bin = parent_of(canonical.path);
    if (name_of(canonical.path) != kLauncherName || name_of(bin) != "bin" ||
        parent_of(bin) == "/") {
        return {{}, CheckResult::fail(Refusal::unexpected_launcher_path)};
    }
    const std::string root = parent_of(bin);
    if (root + "/bin/" + kLauncherName != canonical.path) {
        return {{}, CheckResult::fail(Refusal::launcher_outside_runtime_bin)};
    }
    return {layout_for(root, canonical.path, python), CheckResult::pass()};
}

CheckResult check_sealed_modules(const HatchSystem& system, const RuntimeLayout& layout) {
    for (const std::string& directory : layout.module_paths) {
        const StatusResult status = system.status_without_following(directory);
        if (!is_sealed_directory(status)) {
            return CheckResult::fail(Refusal::module_root_not_sealed, status.error);
        }
    }
    for (const char* module : k_reviewed_modules) {
        const StatusResult status =
            system.status_without_following(layout.module_paths.front() + "/" + module);
        if (!is_sealed_module(status)) {
            return CheckResult::fail(Refusal::reviewed_module_unsafe, status.error);
        }
    }
    return CheckResult::pass();
}

CheckResult check_interpreter_library(const HatchSystem& system, const RuntimeLayout& layout,
                                      const PythonBuild& python) {
    const StatusResult status = system.status_without_following(layout.library);
    if (!status.ok() || !S_ISREG(status.status.mode)) {
        return CheckResult::fail(Refusal::interpreter_library_not_sealed, status.error);
    }
    const FileIdentity sealed = system.mapped_file_identity(layout.library);
    if (!sealed.ok()) {
        return CheckResult::fail(Refusal::interpreter_library_not_sealed, sealed.error);
    }
    const auto is_sealed_copy = [&](const FileIdentity& identity) {
        return identity.ok() && identity.device == sealed.device && identity.inode == sealed.inode;
    };
    const FileIdentity loaded = system.loaded_library_identity(python.library_soname);
    if (!is_sealed_copy(loaded)) {
        return CheckResult::fail(Refusal::interpreter_library_not_sealed, loaded.error);
    }
    const FileIdentity entry = system.symbol_identity(kInterpreterEntrySymbol);
    if (!is_sealed_copy(entry)) {
        return CheckResult::fail(Refusal::interpreter_library_not_sealed, entry.error);
    }
    return CheckResult::pass();
}

} // namespace bix_hatch
