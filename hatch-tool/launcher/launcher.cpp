#include "launcher/launcher.h"

#include "launcher/command_line.h"
#include "launcher/workspace_check.h"

#include <algorithm>
#include <cerrno>

namespace bix::hatch {
namespace {

int refuse(HatchSystem& system, Refusal refusal) {
    const RefusalReport report = report_for(refusal);
    system.write_diagnostic(report.text);
    return report.status;
}

} // namespace

bool is_interpreter_variable(const std::string& name) {
    // CPython still takes sys.executable from PYTHONEXECUTABLE and __PYVENV_LAUNCHER__ even
    // when told to ignore the environment, so none of these may survive.
    return name.rfind("PYTHON", 0) == 0 || name == "__PYVENV_LAUNCHER__";
}

CheckResult remove_interpreter_variables(HatchSystem& system) {
    for (const std::string& name : system.environment_names()) {
        if (!is_interpreter_variable(name)) {
            continue;
        }
        if (const int error = system.remove_environment(name); error != 0) {
            return CheckResult::fail(Refusal::interpreter_configuration_failed, error);
        }
    }
    return CheckResult::pass();
}

std::vector<std::string> present_loader_variables(const HatchSystem& system) {
    std::vector<std::string> present;
    for (const std::string& name : system.environment_names()) {
        if (std::find(k_loader_variables.begin(), k_loader_variables.end(), name) !=
                k_loader_variables.end() &&
            std::find(present.begin(), present.end(), name) == present.end()) {
            present.push_back(name);
        }
    }
    return present;
}

namespace {

// Whatever the loader variables loaded has already run its constructors in this process; the
// run that does the work is a fresh start of the launcher that never loads it. The marker
// limits this to one restart.
CheckResult restart_without_loader_variables(HatchSystem& system, char** argv) {
    const std::vector<std::string> names = system.environment_names();
    const bool restarted = std::find(names.begin(), names.end(), k_restart_marker) != names.end();
    if (const auto variables = present_loader_variables(system); !variables.empty()) {
        const int error =
            restarted ? EEXIST : system.restart_without(variables, k_restart_marker, argv);
        return CheckResult::fail(Refusal::loader_restart_failed, error);
    }
    if (restarted) {
        if (const int error = system.remove_environment(k_restart_marker); error != 0) {
            return CheckResult::fail(Refusal::interpreter_configuration_failed, error);
        }
    }
    return CheckResult::pass();
}

} // namespace

int run_launcher(int argc, char** argv, HatchSystem& system, const PythonBuild& python,
                 InterpreterHost& interpreter) {
    if (const CheckResult restart = restart_without_loader_variables(system, argv); !restart.ok()) {
        return refuse(system, *restart.refusal);
    }
    const auto command = parse_command_line(argc, argv);
    if (!command) {
        return refuse(system, Refusal::usage);
    }
    if (command->mode != Mode::self_test) {
        if (const CheckResult workspace = check_workspace(system, command->workspace);
            !workspace.ok()) {
            return refuse(system, *workspace.refusal);
        }
    }
    const LocateResult located = locate_runtime(system, python);
    if (!located.check.ok()) {
        return refuse(system, *located.check.refusal);
    }
    if (const CheckResult sealed = check_sealed_modules(system, located.layout); !sealed.ok()) {
        return refuse(system, *sealed.refusal);
    }
    if (const CheckResult tree = check_sealed_tree(system, located.layout); !tree.ok()) {
        return refuse(system, *tree.refusal);
    }
    if (const CheckResult library = check_interpreter_library(system, located.layout, python);
        !library.ok()) {
        return refuse(system, *library.refusal);
    }
    if (const CheckResult loaded = check_loaded_objects(system, located.layout); !loaded.ok()) {
        return refuse(system, *loaded.refusal);
    }
    if (const CheckResult cleared = remove_interpreter_variables(system); !cleared.ok()) {
        return refuse(system, *cleared.refusal);
    }
    const RunResult result = interpreter.run(located.layout, argc, argv);
    if (!result.check.ok()) {
        return refuse(system, *result.check.refusal);
    }
    return result.status;
}

} // namespace bix::hatch
