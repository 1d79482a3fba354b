#include "common/diagnostics.h"

#include "common/timed_io.h"

#include <string>

void bix_emit_diagnostic(int fd, std::string_view name) {
    std::string line(name);
    line += '\n';
    // Best effort: a closed or stalled standard error must not change the exit status. A stop
    // request does not cut the line off: it names the road that ends the process.
    (void)bix_write_all_timeout(fd, line.data(), line.size(), kBixIoTimeoutMs, BixStopRule::finish);
}

int bix_fail(int diagnostics_fd, std::string_view name, int status) {
    bix_emit_diagnostic(diagnostics_fd, name);
    return status;
}
