#include "common/diagnostics.h"

#include "common/timed_io.h"

#include <string>

namespace bix::bridge {

BixDiagnosticEntry bix_diagnostic_entry(BixDiagnostic diagnostic) {
    using D = BixDiagnostic;
    switch (diagnostic) {
    case D::host_arguments:
        return {"BIX_BROWSER_HOST_E_ARGUMENTS", kBixExitUsage, false};
    case D::host_caller:
        return {"BIX_BROWSER_HOST_E_CALLER", kBixExitUsage, false};
    case D::host_bootstrap:
        return {"BIX_BROWSER_HOST_E_BOOTSTRAP", kBixExitUnavailable, true};
    case D::host_not_allowed:
        return {"BIX_BROWSER_HOST_E_NOT_ALLOWED", kBixExitPermission, false};
    case D::host_app_not_running:
        return {"BIX_BROWSER_HOST_E_APP_NOT_RUNNING", kBixExitUnavailable, true};
    case D::host_handshake:
        return {"BIX_BROWSER_HOST_E_HANDSHAKE", kBixExitPermission, false};
    case D::host_stdio:
        return {"BIX_BROWSER_HOST_E_STDIO", kBixExitIo, false};
    case D::host_input_frame:
        return {"BIX_BROWSER_HOST_E_INPUT_FRAME", kBixExitData, false};
    case D::host_output_frame:
        return {"BIX_BROWSER_HOST_E_OUTPUT_FRAME", kBixExitIo, false};
    case D::broker_bootstrap:
        return {"BIX_BROWSER_BROKER_E_BOOTSTRAP", kBixExitConfig, false};
    case D::broker_control_pipe:
        return {"BIX_BROWSER_BROKER_E_CONTROL_PIPE", kBixExitIo, false};
    case D::broker_socket_occupied:
        return {"BIX_BROWSER_BROKER_E_SOCKET_OCCUPIED", kBixExitSystem, false};
    case D::broker_socket_create:
        return {"BIX_BROWSER_BROKER_E_SOCKET_CREATE", kBixExitSystem, false};
    case D::broker_socket_bind:
        return {"BIX_BROWSER_BROKER_E_SOCKET_BIND", kBixExitSystem, false};
    case D::broker_socket_chmod:
        return {"BIX_BROWSER_BROKER_E_SOCKET_CHMOD", kBixExitSystem, false};
    case D::broker_socket_listen:
        return {"BIX_BROWSER_BROKER_E_SOCKET_LISTEN", kBixExitSystem, false};
    case D::broker_socket_metadata:
        return {"BIX_BROWSER_BROKER_E_SOCKET_METADATA", kBixExitSystem, false};
    case D::broker_socket_nonblock:
        return {"BIX_BROWSER_BROKER_E_SOCKET_NONBLOCK", kBixExitSystem, false};
    case D::broker_ready:
        return {"BIX_BROWSER_BROKER_E_READY", kBixExitIo, false};
    case D::broker_main_record:
        return {"BIX_BROWSER_BROKER_E_MAIN_RECORD", kBixExitData, false};
    case D::broker_main_control:
        return {"BIX_BROWSER_BROKER_E_MAIN_CONTROL", kBixExitData, false};
    case D::broker_listener:
        return {"BIX_BROWSER_BROKER_E_LISTENER", kBixExitSystem, false};
    }
    // Unreachable for a valid enumerator; a failure must never read as success.
    return {"BIX_BROWSER_HOST_E_ARGUMENTS", kBixExitSystem, false};
}

void bix_emit_diagnostic(int fd, std::string_view name) {
    std::string line(name);
    line += '\n';
    // Best effort: a closed or stalled standard error must not change the exit status. A stop
    // request does not cut the line off: it names the road that ends the process.
    (void)bix_write_all_timeout(fd, line.data(), line.size(), kBixIoTimeoutMs, BixStopRule::finish);
}

int bix_fail(int diagnostics_fd, BixDiagnostic diagnostic) {
    BixDiagnosticEntry entry = bix_diagnostic_entry(diagnostic);
    bix_emit_diagnostic(diagnostics_fd, entry.name);
    return entry.status;
}

} // namespace bix::bridge
