#include "cli/command_line.h"

#include "bootstrap/bootstrap.h"
#include "broker/broker_mode.h"
#include "common/diagnostics.h"
#include "host/host_mode.h"
#include "platform/bix_platform.h"

namespace bix::bridge {

#ifndef BIX_HOST_BUNDLE_ID
#error "BIX_HOST_BUNDLE_ID must name the host application's bundle identifier"
#endif

namespace {

constexpr int kStdin = 0;
constexpr int kStdout = 1;
constexpr int kStderr = 2;

BixResult<std::string> host_bootstrap_path() {
    auto home = bix_effective_user_home();
    if (!home.ok()) {
        return BixStatus::failure(home.error());
    }
    return bix_bootstrap_path_in_home(home.value(), BIX_HOST_BUNDLE_ID);
}

BixBootstrapContext current_context() {
    return BixBootstrapContext{bix_effective_uid(), bix_unix_time_seconds()};
}

} // namespace

BixCommandLine bix_parse_command_line(const std::vector<std::string>& arguments) {
    BixCommandLine parsed;
    if (arguments.size() == 1) {
        parsed.mode = BixMode::host;
        parsed.origin = arguments[0];
    } else if (arguments.size() == 2 && arguments[0] == "--broker") {
        parsed.mode = BixMode::broker;
        parsed.bootstrap_path = arguments[1];
    }
    return parsed;
}

int bix_main(int argc, char** argv) {
    (void)bix_install_stop_signals();
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    BixCommandLine command = bix_parse_command_line(arguments);
    switch (command.mode) {
    case BixMode::host:
        return bix_run_host_mode(BixHostSetup{
            command.origin, host_bootstrap_path(), current_context(), {kStdin, kStdout, kStderr}});
    case BixMode::broker:
        return bix_run_broker_mode(command.bootstrap_path, current_context(),
                                   {kStdin, kStdout, kStderr});
    case BixMode::invalid:
        break;
    }
    return bix_fail(kStderr, BixDiagnostic::host_arguments);
}

} // namespace bix::bridge
