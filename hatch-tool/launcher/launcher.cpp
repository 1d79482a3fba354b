#include "launcher/launcher.h"

#include "launcher/command_line.h"
#include "launcher/workspace_check.h"

namespace bix_hatch {
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

int run_launcher(int argc, char** argv, HatchSystem& system, const PythonBuild& python,
                 InterpreterHost& interpreter) {
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
    if (const CheckResult library = check_interpreter_library(system, located.layout, python);
        !library.ok()) {
        return refuse(system, *library.refusal);
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

} // namespace bix_hatch
