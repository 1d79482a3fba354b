#pragma once

#include "launcher/refusal.h"
#include "launcher/runtime_check.h"
#include "platform/hatch_system.h"

#include <array>
#include <string>
#include <vector>

namespace bix::hatch {

// What starting the interpreter produced: the module's exit status, or a refusal made while
// configuring or initialising the interpreter.
struct RunResult {
    CheckResult check;
    int status = 0;
};

// Configures an isolated interpreter for a checked runtime and runs the reviewed entry module.
class InterpreterHost {
public:
    virtual ~InterpreterHost() = default;
    // Called only once every installation and workspace check has passed; argv is handed to the
    // module unchanged.
    virtual RunResult run(const RuntimeLayout& layout, int argc, char** argv) = 0;
};

// The dynamic loader's variables that put code from outside the sealed runtime into the
// process; a launcher started with any of them restarts once without them.
inline constexpr std::array<const char*, 3> k_loader_variables = {"LD_PRELOAD", "LD_LIBRARY_PATH",
                                                                  "LD_AUDIT"};

// Set in the environment of the restarted launcher, so that variables put back by whatever
// performed the restart (an exec wrapper) end in a refusal instead of another restart.
inline constexpr const char* k_restart_marker = "BIX_HATCH_TOOL_RESTARTED";

// The loader variables present in the environment.
std::vector<std::string> present_loader_variables(const HatchSystem& system);

// True for the variables an interpreter may still consult despite ignoring the environment.
bool is_interpreter_variable(const std::string& name);

// Removes every PYTHON* variable and __PYVENV_LAUNCHER__ from the process environment.
CheckResult remove_interpreter_variables(HatchSystem& system);

// The whole launcher: recognises the command line, checks the workspace, the installation and
// the loaded interpreter library, clears the interpreter's variables, then runs the module.
// Every refusal writes its text through the system and returns its exit status.
int run_launcher(int argc, char** argv, HatchSystem& system, const PythonBuild& python,
                 InterpreterHost& interpreter);

} // namespace bix::hatch
