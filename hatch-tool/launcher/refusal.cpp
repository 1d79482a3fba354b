#include "launcher/refusal.h"

namespace bix::hatch {
namespace {

struct RefusalEntry {
    const char* message; // nullptr: usage text only
    int status;
    bool usage_follows;
};

RefusalEntry entry_for(Refusal refusal) {
    switch (refusal) {
    case Refusal::usage:
        return {nullptr, kExitUsage, true};
    case Refusal::workspace_not_absolute_canonical:
        return {"workspace must be an absolute canonical path", kExitUsage, true};
    case Refusal::workspace_not_real_directory:
        return {"workspace must be a real directory", kExitUsage, true};
    case Refusal::workspace_owner_or_mode:
        return {"workspace must be owned by this user with mode 0700", kExitUsage, true};
    case Refusal::workspace_not_canonical:
        return {"workspace path must already be canonical", kExitUsage, true};
    case Refusal::current_directory_not_workspace:
        return {"current directory must exactly equal the workspace", kExitUsage, true};
    case Refusal::executable_path_too_long:
        return {"executable path exceeds the supported limit", kExitSoftware, false};
    case Refusal::executable_path_unresolved:
        return {"could not resolve its executable path", kExitSoftware, false};
    case Refusal::canonical_executable_path_too_long:
        return {"canonical executable path is too long", kExitSoftware, false};
    case Refusal::unexpected_launcher_path:
        return {"unexpected installed launcher path", kExitSoftware, false};
    case Refusal::launcher_outside_runtime_bin:
        return {"launcher is not in the sealed runtime bin directory", kExitSoftware, false};
    case Refusal::module_root_not_sealed:
        return {"runtime module root is not sealed read-only", kExitSoftware, false};
    case Refusal::reviewed_module_unsafe:
        return {"reviewed runtime module is missing or writable", kExitSoftware, false};
    case Refusal::interpreter_library_not_sealed:
        return {"interpreter library is not the sealed runtime's copy", kExitSoftware, false};
    case Refusal::foreign_object_loaded:
        return {"a loaded object is neither the sealed runtime's nor the system's", kExitSoftware,
                false};
    case Refusal::loader_restart_failed:
        return {"could not restart without the dynamic loader variables", kExitSoftware, false};
    case Refusal::launcher_path_too_long:
        return {"launcher path is too long", kExitSoftware, false};
    case Refusal::interpreter_configuration_failed:
        return {"could not configure the isolated interpreter", kExitSoftware, false};
    case Refusal::search_path_too_long:
        return {"runtime module search path is too long", kExitSoftware, false};
    case Refusal::search_path_undecodable:
        return {"could not decode a runtime module search path", kExitSoftware, false};
    case Refusal::search_path_append_failed:
        return {"could not configure a runtime module search path", kExitSoftware, false};
    case Refusal::interpreter_initialization_failed:
        return {"isolated interpreter initialization failed", kExitSoftware, false};
    }
    return {"isolated interpreter initialization failed", kExitSoftware, false};
}

} // namespace

RefusalReport report_for(Refusal refusal) {
    const RefusalEntry entry = entry_for(refusal);
    std::string text;
    if (entry.message != nullptr) {
        text = std::string("bix-hatch-tool: ") + entry.message + "\n";
    }
    if (entry.usage_follows) {
        text += kUsageText;
    }
    return RefusalReport{text, entry.status};
}

} // namespace bix::hatch
