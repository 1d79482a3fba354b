// Entry of bix-safe-path-helper: one file-system operation per run, one JSON line on stdout.
#include "cli/command_line.h"
#include "platform/step_hook.h"

#include <signal.h>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    try {
        // A closed reader must turn a write into EPIPE, reported as a failure, not a silent death.
        ::signal(SIGPIPE, SIG_IGN);
#ifdef BIX_TEST_HOOKS
        bix::safe_path::platform::install_step_hook_from_environment();
#endif
        std::vector<std::string> arguments(argv, argv + argc);
        return bix::safe_path::run_command_line(arguments, STDIN_FILENO, STDOUT_FILENO);
    } catch (...) {
        static const char kLine[] = "{\"ok\":false,\"code\":\"FILESYSTEM_ERROR\",\"errno\":12}\n";
        (void)!::write(STDOUT_FILENO, kLine, sizeof kLine - 1);
        return 10;
    }
}
