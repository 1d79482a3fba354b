#pragma once

#include "launcher/refusal.h"
#include "platform/hatch_system.h"

#include <array>
#include <string>
#include <vector>

namespace bix::hatch {

inline constexpr const char* kLauncherName = "bix-hatch-tool";
inline constexpr std::size_t kMaxCanonicalPathBytes = 1023;

// The reviewed modules, all required, in this order.
inline constexpr std::array<const char*, 10> k_reviewed_modules = {
    "bix_hatch_tool.py",       "compose_atlas.py",   "extract_strip_frames.py",
    "finalize_bix_handoff.py", "hatch_common.py",    "inspect_frames.py",
    "make_contact_sheet.py",   "prepare_pet_run.py", "render_animation_previews.py",
    "validate_atlas.py"};

// Names that depend on the embedded Python build ("python3.11", "libpython3.11.so.1.0").
struct PythonBuild {
    std::string stdlib_name;
    std::string library_soname;
};

// The sealed runtime as located from the launcher's canonical path.
struct RuntimeLayout {
    std::string root;
    std::string launcher;
    std::vector<std::string> module_paths; // app, stdlib, lib-dynload, site-packages
    std::string library;                   // ROOT/lib/<SONAME>
};

struct LocateResult {
    RuntimeLayout layout;
    CheckResult check;
};

// Finds the canonical launcher path and derives ROOT (two directories above it).
LocateResult locate_runtime(const HatchSystem& system, const PythonBuild& python);

// Requires the four module directories to be real directories and every reviewed module a
// single-link regular file, none of them with any write permission bit.
CheckResult check_sealed_modules(const HatchSystem& system, const RuntimeLayout& layout);

// Requires every object under ROOT, ROOT included, to be a directory or a regular file with no
// write permission bit, owned by root or by the launcher's owner: a writable folder or
// bytecode file anywhere in the standard library would run as surely as a reviewed module.
CheckResult check_sealed_tree(const HatchSystem& system, const RuntimeLayout& layout);

// Whether this build lets the sanitizer runtimes it was built with stay loaded.
#ifdef BIX_HATCH_SANITIZER_RUNTIME
inline constexpr bool k_accepts_sanitizer_runtime = true;
#else
inline constexpr bool k_accepts_sanitizer_runtime = false;
#endif

// Accepts only the launcher, ROOT/lib's interpreter library, the kernel's virtual object and
// libraries in the system's own library directories among the objects this process has
// loaded, so that no code from anywhere else is present when the interpreter starts.
CheckResult check_loaded_objects(const HatchSystem& system, const RuntimeLayout& layout);

// Proves that the interpreter library this process loaded, and the one its symbol lookup
// resolves to, are ROOT/lib's file, so neither the loader's fallback search nor an injected
// library can run an interpreter from outside the sealed runtime.
CheckResult check_interpreter_library(const HatchSystem& system, const RuntimeLayout& layout,
                                      const PythonBuild& python);

} // namespace bix::hatch
