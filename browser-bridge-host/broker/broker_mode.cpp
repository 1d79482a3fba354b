#include "broker/broker_mode.h"

#include "broker/control_record.h"
#include "broker/handshake_acceptance.h"
#include "broker/listener.h"
#include "common/diagnostics.h"
#include "common/native_frame.h"
#include "common/read_ahead.h"
#include "common/stop_flag.h"
#include "common/timed_io.h"
#include "host/handshake.h"
#include "platform/bix_platform.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

constexpr std::size_t kClientSlots = 8;
constexpr std::uint8_t kClosedPayload = 1;

enum class ClientState { awaiting_acceptance = 1, established = 2 };

struct ClientSlot {
    UniqueFd fd;
    BixReadAhead input{-1}; // frames from an established client
    std::uint32_t id = 0;
    ClientState state = ClientState::awaiting_acceptance;
    BixPeerCredentials peer;

    bool open() const { return fd.valid(); }
};

enum class LoopEnd { normal, main_record, main_control, listener };

// What one control record did to the main loop: nothing, or end it with `end`.
struct ControlStep {
    bool keep_running = true;
    LoopEnd end = LoopEnd::normal;
};

enum class RecordOutcome { handled, halt, control_error };

// The running broker. Owns the bootstrap, the listener, the client slots and the nonce ledger;
// single-threaded, so nothing is locked. Invariants: an open slot has a non-zero id that no other
// slot has; ids are handed out in increasing order and never reused.
class Broker {
public:
    Broker(std::unique_ptr<BixBootstrap> bootstrap, BixListener listener, uid_t euid,
           const BixBrokerIo& io)
        : bootstrap_(std::move(bootstrap)), listener_(std::move(listener)), euid_(euid), io_(io),
          control_(io.control_in) {}
    Broker(const Broker&) = delete;
    Broker& operator=(const Broker&) = delete;
    ~Broker() { clean_up(); }

    BixStatus send_ready() {
        return bix_write_record(io_.control_out, BixRecordType::ready, 0,
                                bootstrap_->first_secret.data(), kBixSecretSize);
    }

    LoopEnd run();

private:
    ControlStep handle_control_input();
    RecordOutcome handle_record(const BixRecordHeader& header, const SecretBuffer& payload);
    void accept_one();
    bool admit(UniqueFd client);
    void handle_client(ClientSlot& slot, short revents);
    void close_client(ClientSlot& slot, bool notify);
    ClientSlot* find_slot(std::uint32_t id);
    ClientSlot* free_slot();
    bool has_staged_input() const;
    void clean_up();

    std::unique_ptr<BixBootstrap> bootstrap_;
    BixListener listener_;
    uid_t euid_;
    BixBrokerIo io_;
    BixReadAhead control_;
    std::array<ClientSlot, kClientSlots> slots_;
    std::uint32_t next_id_ = 1;
    BixNonceLedger nonces_;
};

LoopEnd Broker::run() {
    while (!bix_should_stop()) {
        std::array<pollfd, 2 + kClientSlots> fds{};
        std::array<std::uint32_t, kClientSlots> polled_ids{};
        fds[0] = {io_.control_in, POLLIN, 0};
        fds[1] = {listener_.fd.get(), POLLIN, 0};
        for (std::size_t i = 0; i < kClientSlots; ++i) {
            // A negative descriptor makes poll skip the empty slot.
            fds[2 + i] = {slots_[i].open() ? slots_[i].fd.get() : -1, POLLIN, 0};
            polled_ids[i] = slots_[i].id;
        }
        // Bytes already staged are invisible to poll: look without waiting, then serve them.
        auto ready = bix_poll(fds.data(), fds.size(), has_staged_input() ? 0 : -1);
        if (!ready.ok()) {
            if (ready.error() == EINTR) {
                continue;
            }
            return LoopEnd::normal;
        }
        if (bix_should_stop()) {
            break;
        }
        if (fds[0].revents != 0 || control_.has_buffered()) {
            ControlStep step = handle_control_input();
            if (!step.keep_running) {
                return step.end;
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            accept_one();
        }
        for (std::size_t i = 0; i < kClientSlots; ++i) {
            // A record handled above may have closed this slot or refilled it with a newer
            // client; events polled for the old one must not touch the new one.
            bool pending = fds[2 + i].revents != 0 || slots_[i].input.has_buffered();
            if (pending && slots_[i].open() && slots_[i].id == polled_ids[i]) {
                handle_client(slots_[i], fds[2 + i].revents);
            }
        }
        if ((fds[1].revents & (POLLERR | POLLNVAL)) != 0) {
            return LoopEnd::listener;
        }
    }
    return LoopEnd::normal;
}

ControlStep Broker::handle_control_input() {
    constexpr ControlStep kStopNormally{false, LoopEnd::normal};
    // A read cut short by a stop request is a clean stop, not a malformed record.
    auto bad_record = [] {
        return bix_should_stop() ? ControlStep{false, LoopEnd::normal}
                                 : ControlStep{false, LoopEnd::main_record};
    };
    BixRecordHeaderBytes header_bytes{};
    auto read = control_.read_exact(header_bytes.data(), header_bytes.size(), true);
    if (!read.ok()) {
        return bad_record();
    }
    if (read.value() == BixReadOutcome::end_of_file) {
        return kStopNormally;
    }
    auto header = bix_parse_record_header(header_bytes);
    if (!header) {
        return bad_record();
    }
    auto payload = SecretBuffer::allocate(header->payload_length);
    if (!payload) {
        return bad_record();
    }
    if (!payload->empty()) {
        auto body = control_.read_exact(payload->data(), payload->size(), false);
        if (!body.ok()) {
            return bad_record();
        }
    }
    switch (handle_record(*header, *payload)) {
    case RecordOutcome::handled:
        return ControlStep{};
    case RecordOutcome::halt:
        return kStopNormally;
    case RecordOutcome::control_error:
        break;
    }
    return ControlStep{false, LoopEnd::main_control};
}

RecordOutcome Broker::handle_record(const BixRecordHeader& header, const SecretBuffer& payload) {
    auto type = static_cast<BixRecordType>(header.type);
    if (type == BixRecordType::halt) {
        bool well_formed = header.client_id == 0 && payload.empty();
        return well_formed ? RecordOutcome::halt : RecordOutcome::control_error;
    }
    ClientSlot* slot = find_slot(header.client_id);
    if (slot == nullptr) {
        return RecordOutcome::control_error;
    }
    switch (type) {
    case BixRecordType::accept_client:
        if (!payload.empty() || slot->state != ClientState::awaiting_acceptance ||
            !bix_write_all_timeout(slot->fd.get(), BIX_HANDSHAKE_ACK.data(),
                                   BIX_HANDSHAKE_ACK.size())
                 .ok()) {
            return RecordOutcome::control_error;
        }
        slot->state = ClientState::established;
        return RecordOutcome::handled;
    case BixRecordType::frame_to_client:
        if (slot->state != ClientState::established || !bix_is_frame_payload(payload) ||
            !bix_write_all_timeout(slot->fd.get(), payload.data(), payload.size()).ok()) {
            return RecordOutcome::control_error;
        }
        return RecordOutcome::handled;
    case BixRecordType::close_client:
        if (!payload.empty()) {
            return RecordOutcome::control_error;
        }
        close_client(*slot, false);
        return RecordOutcome::handled;
    default:
        return RecordOutcome::control_error;
    }
}

void Broker::accept_one() {
    auto accepted = bix_accept(listener_.fd.get());
    if (!accepted.ok()) {
        return; // nothing pending (EAGAIN) or the peer already gave up
    }
    // A refused connection is shut down and closed inside admit().
    (void)admit(std::move(accepted.value()));
}

bool Broker::admit(UniqueFd client) {
    ClientSlot* slot = free_slot();
    bool admissible = slot != nullptr && next_id_ != 0 && !nonces_.is_full() &&
                      bix_set_nonblocking(client.get()).ok();
    if (admissible) {
        auto handshake = bix_accept_handshake(client.get(), *bootstrap_, euid_, nonces_);
        if (handshake.ok()) {
            nonces_.record(handshake->nonce);
            std::uint32_t id = next_id_;
            BixStatus sent =
                bix_write_record(io_.control_out, BixRecordType::client_handshake, id,
                                 handshake->client_record.data(), handshake->client_record.size());
            if (sent.ok()) {
                slot->input = BixReadAhead(client.get());
                slot->fd = std::move(client);
                slot->id = id;
                slot->state = ClientState::awaiting_acceptance;
                slot->peer = handshake->peer;
                ++next_id_;
                return true;
            }
        }
    }
    bix_shutdown_both(client.get());
    return false;
}

void Broker::handle_client(ClientSlot& slot, short revents) {
    if (slot.state == ClientState::awaiting_acceptance) {
        // A client must not speak, hang up or fail before the host application accepts it.
        close_client(slot, true);
        return;
    }
    if ((revents & (POLLIN | POLLHUP)) != 0 || slot.input.has_buffered()) {
        auto read = slot.input.read_frame();
        if (!read.ok() || read->end_of_file) {
            close_client(slot, true);
            return;
        }
        BixStatus sent = bix_write_record(io_.control_out, BixRecordType::client_frame, slot.id,
                                          read->frame.data(), read->frame.size());
        if (!sent.ok()) {
            close_client(slot, true);
            return;
        }
    }
    if ((revents & (POLLERR | POLLNVAL)) != 0) {
        close_client(slot, true);
    }
}

void Broker::close_client(ClientSlot& slot, bool notify) {
    std::uint32_t id = slot.id;
    bix_shutdown_both(slot.fd.get());
    slot = ClientSlot{};
    if (notify) {
        (void)bix_write_record(io_.control_out, BixRecordType::client_closed, id, &kClosedPayload,
                               sizeof kClosedPayload);
    }
}

ClientSlot* Broker::find_slot(std::uint32_t id) {
    if (id == 0) {
        return nullptr;
    }
    for (ClientSlot& slot : slots_) {
        if (slot.open() && slot.id == id) {
            return &slot;
        }
    }
    return nullptr;
}

bool Broker::has_staged_input() const {
    if (control_.has_buffered()) {
        return true;
    }
    for (const ClientSlot& slot : slots_) {
        if (slot.open() && slot.input.has_buffered()) {
            return true;
        }
    }
    return false;
}

ClientSlot* Broker::free_slot() {
    for (ClientSlot& slot : slots_) {
        if (!slot.open()) {
            return &slot;
        }
    }
    return nullptr;
}

void Broker::clean_up() {
    for (ClientSlot& slot : slots_) {
        if (slot.open()) {
            close_client(slot, false);
        }
    }
    bix_close_listener(listener_, euid_);
    bootstrap_.reset();
}

std::string_view loop_diagnostic(LoopEnd end) {
    switch (end) {
    case LoopEnd::normal:
        break;
    case LoopEnd::main_record:
        return "BIX_BROWSER_BROKER_E_MAIN_RECORD";
    case LoopEnd::main_control:
        return "BIX_BROWSER_BROKER_E_MAIN_CONTROL";
    case LoopEnd::listener:
        return "BIX_BROWSER_BROKER_E_LISTENER";
    }
    return {};
}

int loop_status(LoopEnd end) {
    switch (end) {
    case LoopEnd::normal:
        return kBixExitOk;
    case LoopEnd::main_record:
    case LoopEnd::main_control:
        return kBixExitData;
    case LoopEnd::listener:
        return kBixExitSystem;
    }
    return kBixExitOk;
}

} // namespace

int bix_run_broker_mode(const std::string& bootstrap_path, const BixBootstrapContext& context,
                        const BixBrokerIo& io) {
    auto bootstrap = bix_read_bootstrap(bootstrap_path, context);
    if (!bootstrap.ok()) {
        return bix_fail(io.diagnostics, "BIX_BROWSER_BROKER_E_BOOTSTRAP", kBixExitConfig);
    }
    if (!bix_set_nonblocking(io.control_in).ok() || !bix_set_nonblocking(io.control_out).ok()) {
        return bix_fail(io.diagnostics, "BIX_BROWSER_BROKER_E_CONTROL_PIPE", kBixExitIo);
    }
    std::string socket_path(bootstrap.value()->socket_path_view());
    BixListenerOpen opened = bix_open_listener(socket_path, context.effective_uid);
    if (opened.failure != BixListenerFailure::none) {
        return bix_fail(io.diagnostics, bix_listener_diagnostic(opened.failure), kBixExitSystem);
    }
    LoopEnd end = LoopEnd::normal;
    bool ready_sent = false;
    {
        // The broker's destructor is the one clean-up: clients, listener, socket file, secrets.
        Broker broker(std::move(bootstrap.value()), std::move(opened.listener),
                      context.effective_uid, io);
        ready_sent = broker.send_ready().ok();
        if (ready_sent) {
            end = broker.run();
        }
    }
    if (!ready_sent) {
        return bix_fail(io.diagnostics, "BIX_BROWSER_BROKER_E_READY", kBixExitIo);
    }
    if (end == LoopEnd::normal) {
        return kBixExitOk;
    }
    return bix_fail(io.diagnostics, loop_diagnostic(end), loop_status(end));
}
