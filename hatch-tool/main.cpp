#include "launcher/embedded_python.h"
#include "launcher/launcher.h"
#include "platform/linux_system.h"

#include <exception>
#include <unistd.h>

int main(int argc, char** argv) {
    try {
        bix::hatch::LinuxSystem system;
        bix::hatch::EmbeddedPython python;
        return bix::hatch::run_launcher(argc, argv, system, bix::hatch::linked_python_build(),
                                        python);
    } catch (...) {
        // Only allocation can throw here, and only before the interpreter runs.
        static const char kMessage[] =
            "bix-hatch-tool: could not configure the isolated interpreter\n";
        [[maybe_unused]] const auto written = write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
        return bix::hatch::kExitSoftware;
    }
}
