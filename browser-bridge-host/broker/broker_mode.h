#pragma once

// Broker mode: the host application's multiplexer. It listens on the bootstrap's socket, admits
// hosts that prove the bootstrap's secrets, and carries their frames to and from the host
// application as control records on its own standard streams.

#include "bootstrap/bootstrap.h"

#include <string>

namespace bix::bridge {

struct BixBrokerIo {
    int control_in = 0;
    int control_out = 1;
    int diagnostics = 2;
};

// Runs the broker to its end and returns the exit status; failures leave one diagnostic line.
int bix_run_broker_mode(const std::string& bootstrap_path, const BixBootstrapContext& context,
                        const BixBrokerIo& io);

} // namespace bix::bridge
