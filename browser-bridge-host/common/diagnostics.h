#pragma once

#include <string_view>

namespace bix::bridge {

// Exit statuses (sysexits-style) used by both modes.
enum BixExitStatus : int {
    kBixExitOk = 0,
    kBixExitUsage = 64,
    kBixExitData = 65,
    kBixExitUnavailable = 69,
    kBixExitSystem = 71,
    kBixExitIo = 74,
    kBixExitPermission = 77,
    kBixExitConfig = 78,
};

// Every way the executable can fail. Each has exactly one diagnostic line and one exit status,
// both fixed in the table in diagnostics.cpp.
enum class BixDiagnostic {
    host_arguments,
    host_caller,
    host_bootstrap,
    host_not_allowed,
    host_app_not_running,
    host_handshake,
    host_stdio,
    host_input_frame,
    host_output_frame,
    broker_bootstrap,
    broker_control_pipe,
    broker_socket_occupied,
    broker_socket_create,
    broker_socket_bind,
    broker_socket_chmod,
    broker_socket_listen,
    broker_socket_metadata,
    broker_socket_nonblock,
    broker_ready,
    broker_main_record,
    broker_main_control,
    broker_listener,
};

struct BixDiagnosticEntry {
    std::string_view name; // the whole diagnostic line, without its newline
    int status;
    bool tells_browser; // host mode also sends the startup error frame to the browser
};

// The line and exit status of `diagnostic`.
BixDiagnosticEntry bix_diagnostic_entry(BixDiagnostic diagnostic);

// Writes the diagnostic name and a newline to `fd` as one write; nothing else is ever logged.
void bix_emit_diagnostic(int fd, std::string_view name);

// Emits the line of `diagnostic` and returns its exit status, for the one-line failure exits.
int bix_fail(int diagnostics_fd, BixDiagnostic diagnostic);

} // namespace bix::bridge
