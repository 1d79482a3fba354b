#include "launcher/fake_system.h"
#include "launcher/runtime_check.h"

#include <gtest/gtest.h>

namespace bix::hatch {
namespace {

using testing::FakeSystem;

const PythonBuild kCheckedPython{"python3.11", "libpython3.11.so.1.0"};
constexpr const char* kRoot = "/opt/bix/runtime";

// A complete sealed runtime under kRoot.
void add_sealed_runtime(FakeSystem& system) {
    const std::string root = kRoot;
    for (const char* directory : {"", "/bin", "/lib"}) {
        system.add_directory(root + directory, 0555, 0);
    }
    system.add_file(root + "/bin/bix-hatch-tool", 0555);
    for (const char* directory : {"/app", "/lib/python3.11", "/lib/python3.11/lib-dynload",
                                  "/lib/python3.11/site-packages"}) {
        system.add_directory(root + directory, 0555, 0);
    }
    for (const char* module : k_reviewed_modules) {
        system.add_file(root + "/app/" + module, 0444);
    }
    system.add_file(root + "/lib/libpython3.11.so.1.0", 0444);
    const FileStatus library = system.files[root + "/lib/libpython3.11.so.1.0"];
    system.library = FileIdentity{library.device, library.inode, 0};
    system.symbol = system.library;
}

CheckResult located_check(const FakeSystem& system) {
    return locate_runtime(system, kCheckedPython).check;
}

TEST(RuntimeCheck, LocatesRootTwoLevelsAboveTheCanonicalLauncher) {
    FakeSystem system;
    add_sealed_runtime(system);
    system.executable = PathResult{"/usr/local/bin/hatch", 0};
    system.canonical["/usr/local/bin/hatch"] = "/opt/bix/runtime/bin/bix-hatch-tool";
    const LocateResult located = locate_runtime(system, kCheckedPython);
    ASSERT_TRUE(located.check.ok());
    EXPECT_EQ(located.layout.root, "/opt/bix/runtime");
    EXPECT_EQ(located.layout.launcher, "/opt/bix/runtime/bin/bix-hatch-tool");
    const std::vector<std::string> expected_paths = {
        "/opt/bix/runtime/app", "/opt/bix/runtime/lib/python3.11",
        "/opt/bix/runtime/lib/python3.11/lib-dynload",
        "/opt/bix/runtime/lib/python3.11/site-packages"};
    EXPECT_EQ(located.layout.module_paths, expected_paths);
    EXPECT_EQ(located.layout.library, "/opt/bix/runtime/lib/libpython3.11.so.1.0");
    EXPECT_TRUE(check_sealed_modules(system, located.layout).ok());
    EXPECT_TRUE(check_sealed_tree(system, located.layout).ok());
    EXPECT_TRUE(check_interpreter_library(system, located.layout, kCheckedPython).ok());
}

TEST(RuntimeCheck, RefusesLauncherPathsOutsideARuntimeBin) {
    const struct {
        PathResult executable;
        const char* canonical;
        Refusal expected;
    } cases[] = {
        {{{}, ENAMETOOLONG}, nullptr, Refusal::executable_path_too_long},
        {{{}, ENOENT}, nullptr, Refusal::executable_path_unresolved},
        {{"/gone/bin/bix-hatch-tool", 0}, nullptr, Refusal::executable_path_unresolved},
        {{"/x", 0}, "/r/bin/bix-hatch-tool-2", Refusal::unexpected_launcher_path},
        {{"/x", 0}, "/r/sbin/bix-hatch-tool", Refusal::unexpected_launcher_path},
        {{"/x", 0}, "/bin/bix-hatch-tool", Refusal::unexpected_launcher_path},
        {{"/x", 0}, "/bix-hatch-tool", Refusal::unexpected_launcher_path},
    };
    for (const auto& c : cases) {
        FakeSystem system;
        system.executable = c.executable;
        if (c.canonical != nullptr) {
            system.canonical[c.executable.path] = c.canonical;
        }
        const CheckResult check = located_check(system);
        ASSERT_FALSE(check.ok()) << (c.canonical ? c.canonical : c.executable.path);
        EXPECT_EQ(*check.refusal, c.expected) << (c.canonical ? c.canonical : "");
    }
}

TEST(RuntimeCheck, RefusesOverlongCanonicalLauncherPath) {
    FakeSystem system;
    const std::string root = "/" + std::string(1010, 'r');
    system.executable = PathResult{"/x", 0};
    system.canonical["/x"] = root + "/bin/bix-hatch-tool";
    const CheckResult check = located_check(system);
    ASSERT_FALSE(check.ok());
    EXPECT_EQ(*check.refusal, Refusal::canonical_executable_path_too_long);
}

// Each mutation of a sealed runtime, and the refusal it must cause.
TEST(RuntimeCheck, RefusesEveryUnsealedModuleLocation) {
    const std::string root = kRoot;
    const struct {
        const char* label;
        void (*mutate)(FakeSystem&);
        Refusal expected;
    } cases[] = {
        {"writable app", [](FakeSystem& s) { s.add_directory("/opt/bix/runtime/app", 0755, 0); },
         Refusal::module_root_not_sealed},
        {"group-writable stdlib",
         [](FakeSystem& s) { s.add_directory("/opt/bix/runtime/lib/python3.11", 0575, 0); },
         Refusal::module_root_not_sealed},
        {"lib-dynload symlink",
         [](FakeSystem& s) {
             s.add_symlink("/opt/bix/runtime/lib/python3.11/lib-dynload", "/usr/lib");
         },
         Refusal::module_root_not_sealed},
        {"missing site-packages",
         [](FakeSystem& s) { s.files.erase("/opt/bix/runtime/lib/python3.11/site-packages"); },
         Refusal::module_root_not_sealed},
        {"other-writable site-packages",
         [](FakeSystem& s) {
             s.add_directory("/opt/bix/runtime/lib/python3.11/site-packages", 0557, 0);
         },
         Refusal::module_root_not_sealed},
        {"module 0644",
         [](FakeSystem& s) { s.add_file("/opt/bix/runtime/app/compose_atlas.py", 0644); },
         Refusal::reviewed_module_unsafe},
        {"module hard-linked",
         [](FakeSystem& s) { s.add_file("/opt/bix/runtime/app/validate_atlas.py", 0444, 2); },
         Refusal::reviewed_module_unsafe},
        {"module symlink",
         [](FakeSystem& s) {
             s.add_symlink("/opt/bix/runtime/app/bix_hatch_tool.py", "/tmp/evil.py");
         },
         Refusal::reviewed_module_unsafe},
        {"module directory",
         [](FakeSystem& s) { s.add_directory("/opt/bix/runtime/app/inspect_frames.py", 0555); },
         Refusal::reviewed_module_unsafe},
        {"module missing",
         [](FakeSystem& s) { s.files.erase("/opt/bix/runtime/app/prepare_pet_run.py"); },
         Refusal::reviewed_module_unsafe},
    };
    for (const auto& c : cases) {
        FakeSystem system;
        add_sealed_runtime(system);
        c.mutate(system);
        const LocateResult located = locate_runtime(system, kCheckedPython);
        ASSERT_TRUE(located.check.ok()) << c.label;
        const CheckResult check = check_sealed_modules(system, located.layout);
        ASSERT_FALSE(check.ok()) << c.label;
        EXPECT_EQ(*check.refusal, c.expected) << c.label;
    }
}

// One object added under ROOT (owned by uid 77, the launcher by `launcher_owner`) and whether
// the tree stays sealed; plus the loaded objects, one added to the usual ones.
TEST(RuntimeCheck, AcceptsOnlyASealedTreeAndSealedOrSystemObjects) {
    const std::string pycache = std::string(kRoot) + "/lib/python3.11/__pycache__";
    const struct {
        mode_t mode;
        uid_t launcher_owner;
        bool sealed;
    } trees[] = {{S_IFDIR | 0555, 77, true},  {S_IFDIR | 0555, 0, false},
                 {S_IFDIR | 0755, 77, false}, {S_IFREG | 0464, 77, false},
                 {S_IFLNK | 0777, 77, false}, {S_IFIFO | 0444, 77, false}};
    for (const auto& c : trees) {
        FakeSystem system;
        add_sealed_runtime(system);
        system.files[pycache] = FileStatus{c.mode, 77, 1, 7, 9};
        system.files[std::string(kRoot) + "/bin/bix-hatch-tool"].owner = c.launcher_owner;
        const LocateResult located = locate_runtime(system, kCheckedPython);
        EXPECT_EQ(check_sealed_tree(system, located.layout).ok(), c.sealed) << std::oct << c.mode;
    }
    const std::string lib = "/usr/lib/x86_64-linux-gnu/";
    const struct {
        LoadedObject extra;
        bool accepted;
    } objects[] = {
        {{LoadedObjectKind::file, lib + "libexpat.so.1"}, true},
        {{LoadedObjectKind::file, lib + "libasan.so.8"}, k_accepts_sanitizer_runtime},
        {{LoadedObjectKind::file, "/tmp/x/libinterpose.so"}, false},
        {{LoadedObjectKind::file, std::string(kRoot) + "/lib/libz.so.1"}, false},
        {{LoadedObjectKind::file, lib + "libfakeroot/libfakeroot-sysv.so"}, false},
        {{LoadedObjectKind::main_program, {}}, false},
    };
    for (const auto& c : objects) {
        FakeSystem system;
        add_sealed_runtime(system);
        system.loaded.objects.push_back(c.extra);
        const LocateResult located = locate_runtime(system, kCheckedPython);
        EXPECT_EQ(check_loaded_objects(system, located.layout).ok(), c.accepted) << c.extra.path;
    }
}

TEST(RuntimeCheck, RefusesAnInterpreterLibraryFromOutsideTheRuntime) {
    const struct {
        const char* label;
        void (*mutate)(FakeSystem&);
    } cases[] = {
        {"sealed copy missing",
         [](FakeSystem& s) { s.files.erase("/opt/bix/runtime/lib/libpython3.11.so.1.0"); }},
        {"sealed copy a symlink",
         [](FakeSystem& s) {
             s.add_symlink("/opt/bix/runtime/lib/libpython3.11.so.1.0", "/usr/lib/x.so");
         }},
        {"loaded from another file", [](FakeSystem& s) { s.library.inode += 1; }},
        {"loaded from another device", [](FakeSystem& s) { s.library.device += 1; }},
        {"library not found loaded", [](FakeSystem& s) { s.library.error = ENOENT; }},
        {"entry symbol interposed", [](FakeSystem& s) { s.symbol.inode += 1; }},
    };
    for (const auto& c : cases) {
        FakeSystem system;
        add_sealed_runtime(system);
        c.mutate(system);
        const LocateResult located = locate_runtime(system, kCheckedPython);
        ASSERT_TRUE(located.check.ok()) << c.label;
        const CheckResult check = check_interpreter_library(system, located.layout, kCheckedPython);
        ASSERT_FALSE(check.ok()) << c.label;
        EXPECT_EQ(*check.refusal, Refusal::interpreter_library_not_sealed) << c.label;
    }
}

} // namespace
} // namespace bix::hatch
