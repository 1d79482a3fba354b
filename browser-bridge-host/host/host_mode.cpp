#include "host/host_mode.h"

#include "common/byte_order.h"
#include "common/diagnostics.h"
#include "common/native_frame.h"
#include "common/read_ahead.h"
#include "common/stop_flag.h"
#include "common/timed_io.h"
#include "platform/bix_platform.h"
#include "protocol/handshake.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

namespace bix::bridge {

namespace {

constexpr std::size_t kMaxStartupMessage = 255;
constexpr const char* kStartupErrorFormat =
    "{\"schemaVersion\":1,\"type\":\"error\",\"requestId\":\"bridge-startup\",\"code\":\"%s\","
    "\"retryable\":true}";

void send_startup_error(int browser_out) {
    std::string frame = bix_startup_error_frame();
    if (!frame.empty()) {
        // Sent even when a stop request cut the start-up short: the browser learns why.
        (void)bix_write_all_timeout(browser_out, frame.data(), frame.size(), kBixIoTimeoutMs,
                                    BixStopRule::finish);
    }
}

// Emits the diagnostic and, for the failures the browser is told about, the startup error frame.
int host_fail(const BixHostIo& io, BixDiagnostic diagnostic) {
    BixDiagnosticEntry entry = bix_diagnostic_entry(diagnostic);
    bix_emit_diagnostic(io.diagnostics, entry.name);
    if (entry.tells_browser) {
        send_startup_error(io.browser_out);
    }
    return entry.status;
}

BixResult<UniqueFd> connect_to_broker(const BixBootstrap& bootstrap) {
    auto socket = bix_unix_stream_socket();
    if (!socket.ok()) {
        return socket;
    }
    // Non-blocking before the connect, so a broker too busy to take the connection holds the
    // host for one budget at most, and a stop request ends the wait.
    if (BixStatus s = bix_set_nonblocking(socket->get()); !s.ok()) {
        return s.failure();
    }
    if (BixStatus s = bix_connect_timeout(socket->get(), std::string(bootstrap.socket_path_view()));
        !s.ok()) {
        return s.failure();
    }
    return std::move(socket.value());
}

// Sends the handshake and waits for the broker's acknowledgement, which the host application
// must grant within one timed read.
BixStatus perform_handshake(int socket, const BixBootstrap& bootstrap, std::string_view origin,
                            const BixExtensionId& id, const BixBootstrapContext& context) {
    BixNonce nonce{};
    if (BixStatus s = bix_fill_random(nonce.data(), nonce.size()); !s.ok()) {
        return s;
    }
    auto record =
        bix_build_handshake(bootstrap, origin, id,
                            BixHandshakeIdentity{bix_process_id(), context.effective_uid}, nonce);
    bix_secure_zero(nonce.data(), nonce.size());
    if (!record.ok()) {
        return BixStatus::failure(record.error());
    }
    BixStatus sent = bix_write_all_timeout(socket, record->data(), record->size());
    record->release();
    if (!sent.ok()) {
        return sent;
    }
    std::uint8_t ack[BIX_HANDSHAKE_ACK.size()] = {};
    auto read = bix_read_exact_timeout(socket, ack, sizeof ack, false);
    if (!read.ok()) {
        return BixStatus::failure(read.error());
    }
    if (std::memcmp(ack, BIX_HANDSHAKE_ACK.data(), sizeof ack) != 0) {
        return BixStatus::failure(EPROTO);
    }
    return BixStatus::success();
}

enum class CopyResult { copied, end_of_file, failed };

// Copies the next frame and any further whole frames that arrived with it, in one write.
CopyResult copy_frames(BixReadAhead& from, int to) {
    BixFrameBatch batch;
    auto read = from.read_frames(batch);
    if (!read.ok()) {
        return CopyResult::failed;
    }
    if (read.value() == BixReadOutcome::end_of_file) {
        return CopyResult::end_of_file;
    }
    std::array<iovec, kBixBatchFrames> parts{};
    for (std::size_t i = 0; i < batch.count; ++i) {
        parts[i] = iovec{batch.frames[i].data(), batch.frames[i].size()};
    }
    // Both destinations were made non-blocking before the relay started.
    BixStatus written = bix_write_vector_timeout(to, parts.data(), batch.count, kBixIoTimeoutMs,
                                                 BixFdMode::nonblocking);
    return written.ok() ? CopyResult::copied : CopyResult::failed;
}

bool is_readable(short revents) {
    return (revents & (POLLIN | POLLHUP)) != 0;
}

bool has_error(short revents) {
    return (revents & (POLLERR | POLLNVAL)) != 0;
}

// One copy step: an end of file or a failure caused by a stop request ends the relay cleanly.
std::optional<BixRelayEnd> relay_step(BixReadAhead& from, int to, BixRelayEnd failure) {
    switch (copy_frames(from, to)) {
    case CopyResult::copied:
        return std::nullopt;
    case CopyResult::end_of_file:
        return BixRelayEnd::finished;
    case CopyResult::failed:
        break;
    }
    return bix_should_stop() ? BixRelayEnd::finished : failure;
}

} // namespace

std::string bix_startup_error_frame() {
    char message[kMaxStartupMessage + 1] = {};
    int length = std::snprintf(message, sizeof message, kStartupErrorFormat, "APP_NOT_RUNNING");
    if (length < 1 || static_cast<std::size_t>(length) > kMaxStartupMessage) {
        return {};
    }
    std::string frame(kBixFramePrefixSize, '\0');
    bix_store_le32(reinterpret_cast<std::uint8_t*>(frame.data()),
                   static_cast<std::uint32_t>(length));
    frame.append(message, static_cast<std::size_t>(length));
    return frame;
}

BixRelayEnd bix_relay_frames(int browser_in, int browser_out, int socket) {
    BixReadAhead from_browser(browser_in);
    BixReadAhead from_broker(socket);
    while (!bix_should_stop()) {
        pollfd fds[2] = {{browser_in, POLLIN, 0}, {socket, POLLIN, 0}};
        // Bytes already staged are invisible to poll: look without waiting, then serve them.
        bool staged = from_browser.has_buffered() || from_broker.has_buffered();
        auto ready = bix_poll(fds, 2, staged ? 0 : -1);
        if (!ready.ok()) {
            if (ready.error() == EINTR) {
                continue;
            }
            return BixRelayEnd::finished;
        }
        if (bix_should_stop()) {
            break;
        }
        if (is_readable(fds[0].revents) || from_browser.has_buffered()) {
            if (auto end = relay_step(from_browser, socket, BixRelayEnd::input_frame)) {
                return *end;
            }
        }
        if (is_readable(fds[1].revents) || from_broker.has_buffered()) {
            if (auto end = relay_step(from_broker, browser_out, BixRelayEnd::output_frame)) {
                return *end;
            }
        }
        if (has_error(fds[0].revents) || has_error(fds[1].revents)) {
            break;
        }
    }
    return BixRelayEnd::finished;
}

int bix_run_host_mode(const BixHostSetup& setup) {
    const BixHostIo& io = setup.io;
    auto id = bix_parse_extension_origin(setup.origin);
    if (!id) {
        return host_fail(io, BixDiagnostic::host_caller);
    }
    if (!setup.bootstrap_path.ok()) {
        return host_fail(io, BixDiagnostic::host_bootstrap);
    }
    auto bootstrap = bix_read_bootstrap(setup.bootstrap_path.value(), setup.context);
    if (!bootstrap.ok()) {
        return host_fail(io, BixDiagnostic::host_bootstrap);
    }
    if (!bootstrap.value()->allows(*id)) {
        return host_fail(io, BixDiagnostic::host_not_allowed);
    }
    auto socket = connect_to_broker(*bootstrap.value());
    if (!socket.ok()) {
        return host_fail(io, BixDiagnostic::host_app_not_running);
    }
    BixStatus handshake =
        perform_handshake(socket->get(), *bootstrap.value(), setup.origin, *id, setup.context);
    // The secrets are not needed past the handshake; zero them now rather than at exit, and with
    // them whatever the bootstrap reading and the handshake left in the dead stack below.
    bootstrap.value().reset();
    bix_clear_stack_below();
    if (!handshake.ok()) {
        return host_fail(io, BixDiagnostic::host_handshake);
    }
    if (!bix_set_nonblocking(io.browser_in).ok() || !bix_set_nonblocking(io.browser_out).ok()) {
        return host_fail(io, BixDiagnostic::host_stdio);
    }
    BixRelayEnd end = bix_relay_frames(io.browser_in, io.browser_out, socket->get());
    bix_shutdown_both(socket->get());
    socket->reset();
    switch (end) {
    case BixRelayEnd::finished:
        return kBixExitOk;
    case BixRelayEnd::input_frame:
        return host_fail(io, BixDiagnostic::host_input_frame);
    case BixRelayEnd::output_frame:
        return host_fail(io, BixDiagnostic::host_output_frame);
    }
    return kBixExitOk;
}

} // namespace bix::bridge
