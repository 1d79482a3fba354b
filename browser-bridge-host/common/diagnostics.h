#pragma once

#include <string_view>

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

// Writes the diagnostic name and a newline to `fd` as one write; nothing else is ever logged.
void bix_emit_diagnostic(int fd, std::string_view name);

// Emits `name` and returns `status`, for the one-line failure exits.
int bix_fail(int diagnostics_fd, std::string_view name, int status);
