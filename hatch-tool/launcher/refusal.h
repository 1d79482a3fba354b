#pragma once

#include <optional>
#include <string>

namespace bix::hatch {

inline constexpr int kExitUsage = 64;
inline constexpr int kExitSoftware = 70;

inline constexpr const char* kUsageText =
    "usage: bix-hatch-tool self-test\n"
    "       bix-hatch-tool <prepare|assemble|finalize> --workspace "
    "<canonical-owner-only-directory>\n"
    "       bix-hatch-tool job --workspace <canonical-owner-only-directory> --index <0..9>\n";

// Every reason the launcher stops before running the reviewed module; each has one message.
enum class Refusal {
    usage,
    workspace_not_absolute_canonical,
    workspace_not_real_directory,
    workspace_owner_or_mode,
    workspace_not_canonical,
    current_directory_not_workspace,
    executable_path_too_long,
    executable_path_unresolved,
    canonical_executable_path_too_long,
    unexpected_launcher_path,
    launcher_outside_runtime_bin,
    module_root_not_sealed,
    reviewed_module_unsafe,
    interpreter_library_not_sealed,
    foreign_object_loaded,
    loader_restart_failed,
    launcher_path_too_long,
    interpreter_configuration_failed,
    search_path_too_long,
    search_path_undecodable,
    search_path_append_failed,
    interpreter_initialization_failed,
};

// The outcome of one check: nothing, or the refusal and the errno value behind it (0 when the
// refusal is about content rather than a failed call).
struct CheckResult {
    std::optional<Refusal> refusal;
    int error = 0;

    bool ok() const { return !refusal.has_value(); }
    static CheckResult pass() { return {}; }
    static CheckResult fail(Refusal why, int error = 0) { return CheckResult{why, error}; }
};

struct RefusalReport {
    std::string text; // the whole standard-error output: message, then usage text if any
    int status;
};

// The fixed standard-error text and exit status for a refusal.
RefusalReport report_for(Refusal refusal);

} // namespace bix::hatch
