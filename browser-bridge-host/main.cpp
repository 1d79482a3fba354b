// bix-browser-bridge-host: the browser's native-messaging host, or with --broker the host
// application's broker.
#include "cli/command_line.h"
#include "common/diagnostics.h"

int main(int argc, char** argv) {
    try {
        return bix::bridge::bix_main(argc, argv);
    } catch (...) {
        // Only allocation failures can throw; end as a system failure without a stack trace.
        return bix::bridge::kBixExitSystem;
    }
}
