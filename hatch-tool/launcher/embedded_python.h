#pragma once

#include "launcher/launcher.h"

namespace bix::hatch {

// The Python build this launcher is linked against.
PythonBuild linked_python_build();

// Runs the reviewed entry module in an isolated interpreter configured only from the checked
// runtime layout: fixed hash seed, no site, no bytecode writing, exactly the four module paths.
// Owns the PyConfig for the duration of run() and clears it on every path.
class EmbeddedPython final : public InterpreterHost {
public:
    RunResult run(const RuntimeLayout& layout, int argc, char** argv) override;
};

} // namespace bix::hatch
