#pragma once

// Host mode: started by the browser with the extension origin, it authenticates to the host
// application's broker and relays native-messaging frames both ways until either side closes.

#include "bootstrap/bootstrap.h"
#include "common/bix_result.h"

#include <string>
#include <string_view>

namespace bix::bridge {

struct BixHostIo {
    int browser_in = 0;
    int browser_out = 1;
    int diagnostics = 2;
};

struct BixHostSetup {
    std::string_view origin;
    BixResult<std::string> bootstrap_path; // failure: no usable home or the path is too long
    BixBootstrapContext context;
    BixHostIo io;
};

// Runs host mode to its end and returns the exit status; every failure leaves exactly one
// diagnostic line. Nothing but relayed frames and the startup error frame reaches browser_out.
int bix_run_host_mode(const BixHostSetup& setup);

// The startup error frame ("APP_NOT_RUNNING"), length prefix included.
std::string bix_startup_error_frame();

enum class BixRelayEnd { finished, input_frame, output_frame };

// Relays whole frames browser_in -> socket and socket -> browser_out until an end of file at a
// frame boundary, a stop request, a poll failure or a descriptor error.
BixRelayEnd bix_relay_frames(int browser_in, int browser_out, int socket);

} // namespace bix::bridge
