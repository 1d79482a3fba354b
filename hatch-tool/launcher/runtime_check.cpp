#include "launcher/runtime_check.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

namespace bix::hatch {
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

// Only these could change a sealed object: root, and the launcher's owner (who installed it).
bool is_sealed_tree_entry(const FileStatus& status, uid_t launcher_owner) {
    return (S_ISDIR(status.mode) || S_ISREG(status.mode)) && (status.mode & kAnyWriteBit) == 0 &&
           (status.owner == 0 || status.owner == launcher_owner);
}

bool is_sanitizer_runtime(const std::string& name) {
    for (const char* prefix :
         {"libasan.so", "libubsan.so", "liblsan.so", "libtsan.so", "libhwasan.so"}) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

bool is_system_library(const std::string& path, const std::vector<std::string>& directories) {
    const std::string directory = parent_of(path);
    if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
        return false;
    }
    return k_accepts_sanitizer_runtime || !is_sanitizer_runtime(name_of(path));
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

CheckResult check_sealed_tree(const HatchSystem& system, const RuntimeLayout& layout) {
    const StatusResult launcher = system.status_without_following(layout.launcher);
    if (!launcher.ok()) {
        return CheckResult::fail(Refusal::module_root_not_sealed, launcher.error);
    }
    const TreeListing tree = system.list_tree(layout.root);
    if (!tree.ok()) {
        return CheckResult::fail(Refusal::module_root_not_sealed, tree.error);
    }
    for (const TreeEntry& entry : tree.entries) {
        if (!is_sealed_tree_entry(entry.status, launcher.status.owner)) {
            return CheckResult::fail(Refusal::module_root_not_sealed);
        }
    }
    return CheckResult::pass();
}

CheckResult check_loaded_objects(const HatchSystem& system, const RuntimeLayout& layout) {
    const LoadedObjectList loaded = system.loaded_objects();
    if (!loaded.ok()) {
        return CheckResult::fail(Refusal::foreign_object_loaded, loaded.error);
    }
    const std::vector<std::string> directories = system.system_library_directories();
    std::size_t programs = 0;
    for (const LoadedObject& object : loaded.objects) {
        switch (object.kind) {
        case LoadedObjectKind::main_program:
            ++programs;
            break;
        case LoadedObjectKind::vdso:
            break;
        case LoadedObjectKind::file:
            if (object.path != layout.library && !is_system_library(object.path, directories)) {
                return CheckResult::fail(Refusal::foreign_object_loaded);
            }
            break;
        }
    }
    return programs == 1 ? CheckResult::pass() : CheckResult::fail(Refusal::foreign_object_loaded);
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

} // namespace bix::hatch
