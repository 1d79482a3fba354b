#include "broker/broker_mode.h"

#include "broker/handshake_acceptance.h"
#include "broker/listener.h"
#include "common/diagnostics.h"
#include "common/native_frame.h"
#include "common/read_ahead.h"
#include "common/stop_flag.h"
#include "common/timed_io.h"
#include "platform/bix_platform.h"
#include "protocol/control_record.h"
#include "protocol/handshake.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

namespace bix::bridge {

namespace {

constexpr std::size_t kClientSlots = 8;
constexpr std::uint8_t kClosedPayload = 1;
static_assert(kBixBatchFrames <= kBixMaxRecordsPerWrite, "a client's batch fits one write");

enum class ClientState { awaiting_acceptance = 1, established = 2 };

struct ClientSlot {
    UniqueFd fd;
    BixReadAhead input{-1}; // frames from an established client
    std::uint32_t id = 0;
    ClientState state = ClientState::awaiting_acceptance;
    BixPeerCredentials peer;

    bool open() const { return fd.valid(); }
};

enum class LoopEnd { normal, main_record, main_control, listener, control_pipe };

// What one control record did to the main loop: nothing, or end it with `end`.
struct ControlStep {
    bool keep_running = true;
    LoopEnd end = LoopEnd::normal;
};

enum class RecordOutcome { handled, halt, control_error, bad_record };

// One control record read whole from the host application.
struct ControlRecord {
    bool end_of_file = false;
    BixRecordHeader header;
    SecretBuffer payload;
};

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
        BixOutgoingRecord ready{BixRecordType::ready, 0, bootstrap_->first_secret.data(),
                                kBixSecretSize};
        return write_control(std::span<const BixOutgoingRecord>(&ready, 1));
    }

    LoopEnd run();

private:
    ControlStep handle_control_input();
    BixResult<ControlRecord> read_control_record();
    RecordOutcome handle_record(const BixRecordHeader& header, SecretBuffer& payload);
    RecordOutcome relay_to_client(ClientSlot& slot, SecretBuffer first);
    bool next_frame_staged_for(std::uint32_t client_id) const;
    void accept_one();
    bool admit(UniqueFd client);
    void handle_client(ClientSlot& slot, short revents, ClientState polled_state);
    void close_client(ClientSlot& slot, bool notify);
    ClientSlot* find_slot(std::uint32_t id);
    ClientSlot* free_slot();
    bool has_staged_input() const;
    BixStatus write_control(std::span<const BixOutgoingRecord> records);
    LoopEnd control_pipe_end() const;
    void clean_up();

    std::unique_ptr<BixBootstrap> bootstrap_;
    BixListener listener_;
    uid_t euid_;
    BixBrokerIo io_;
    BixReadAhead control_;
    std::array<ClientSlot, kClientSlots> slots_;
    std::uint32_t next_id_ = 1;
    BixNonceLedger nonces_;
    // Set by the first failed write to the control pipe, which may have left a record cut short;
    // from then on nothing is written there, and the main loop ends.
    bool control_broken_ = false;
};

LoopEnd Broker::run() {
    while (!bix_should_stop()) {
        std::array<pollfd, 2 + kClientSlots> fds{};
        std::array<std::uint32_t, kClientSlots> polled_ids{};
        std::array<ClientState, kClientSlots> polled_states{};
        fds[0] = {io_.control_in, POLLIN, 0};
        fds[1] = {listener_.fd.get(), POLLIN, 0};
        for (std::size_t i = 0; i < kClientSlots; ++i) {
            // A negative descriptor makes poll skip the empty slot.
            fds[2 + i] = {slots_[i].open() ? slots_[i].fd.get() : -1, POLLIN, 0};
            polled_ids[i] = slots_[i].id;
            polled_states[i] = slots_[i].state;
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
            if (control_broken_) {
                return control_pipe_end();
            }
        }
        for (std::size_t i = 0; i < kClientSlots; ++i) {
            // A record handled above may have closed this slot or refilled it with a newer
            // client; events polled for the old one must not touch the new one.
            bool pending = fds[2 + i].revents != 0 || slots_[i].input.has_buffered();
            if (pending && slots_[i].open() && slots_[i].id == polled_ids[i]) {
                handle_client(slots_[i], fds[2 + i].revents, polled_states[i]);
                if (control_broken_) {
                    return control_pipe_end();
                }
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
    auto record = read_control_record();
    if (!record.ok()) {
        return bad_record();
    }
    if (record->end_of_file) {
        return kStopNormally;
    }
    switch (handle_record(record->header, record->payload)) {
    case RecordOutcome::handled:
        return ControlStep{};
    case RecordOutcome::halt:
        return kStopNormally;
    case RecordOutcome::bad_record:
        return bad_record();
    case RecordOutcome::control_error:
        break;
    }
    return ControlStep{false, LoopEnd::main_control};
}

// Fails with EPROTO for a malformed header, ENOMEM, or the read's error.
BixResult<ControlRecord> Broker::read_control_record() {
    BixRecordHeaderBytes header_bytes{};
    auto read = control_.read_exact(header_bytes.data(), header_bytes.size(), true);
    if (!read.ok()) {
        return BixStatus::failure(read.error());
    }
    ControlRecord record;
    if (read.value() == BixReadOutcome::end_of_file) {
        record.end_of_file = true;
        return record;
    }
    auto header = bix_parse_record_header(header_bytes);
    if (!header) {
        return BixStatus::failure(EPROTO);
    }
    record.header = *header;
    auto payload = SecretBuffer::allocate(header->payload_length);
    if (!payload) {
        return BixStatus::failure(ENOMEM);
    }
    record.payload = std::move(*payload);
    if (!record.payload.empty()) {
        auto body = control_.read_exact(record.payload.data(), record.payload.size(), false);
        if (!body.ok()) {
            return BixStatus::failure(body.error());
        }
    }
    return record;
}

RecordOutcome Broker::handle_record(const BixRecordHeader& header, SecretBuffer& payload) {
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
        return relay_to_client(*slot, std::move(payload));
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

// Writes the frame of one "f" record, together with the frames of the "f" records for the same
// client already staged behind it, in one write. Each record is checked as if handled alone; a
// bad one ends the batch and is reported after the good ones before it were written.
RecordOutcome Broker::relay_to_client(ClientSlot& slot, SecretBuffer first) {
    if (slot.state != ClientState::established || !bix_is_frame_payload(first)) {
        return RecordOutcome::control_error;
    }
    std::array<SecretBuffer, kBixBatchFrames> frames;
    std::size_t count = 0;
    std::size_t bytes = first.size();
    frames[count++] = std::move(first);
    RecordOutcome after = RecordOutcome::handled;
    while (count < kBixBatchFrames && bytes < kBixBatchBytes && next_frame_staged_for(slot.id)) {
        auto next = read_control_record();
        if (!next.ok()) {
            after = RecordOutcome::bad_record;
            break;
        }
        if (!bix_is_frame_payload(next->payload)) {
            after = RecordOutcome::control_error;
            break;
        }
        bytes += next->payload.size();
        frames[count++] = std::move(next->payload);
    }
    std::array<iovec, kBixBatchFrames> parts{};
    for (std::size_t i = 0; i < count; ++i) {
        parts[i] = iovec{frames[i].data(), frames[i].size()};
    }
    if (!bix_write_vector_timeout(slot.fd.get(), parts.data(), count, kBixIoTimeoutMs,
                                  BixFdMode::nonblocking)
             .ok()) {
        return RecordOutcome::control_error;
    }
    return after;
}

// True when the next control record is staged whole and is an "f" record for `client_id`.
bool Broker::next_frame_staged_for(std::uint32_t client_id) const {
    if (control_.buffered_size() < kBixRecordHeaderSize) {
        return false;
    }
    BixRecordHeaderBytes bytes{};
    std::memcpy(bytes.data(), control_.buffered_data(), bytes.size());
    auto header = bix_parse_record_header(bytes);
    return header && header->type == static_cast<std::uint8_t>(BixRecordType::frame_to_client) &&
           header->client_id == client_id &&
           control_.buffered_size() - kBixRecordHeaderSize >= header->payload_length;
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
            BixOutgoingRecord record{BixRecordType::client_handshake, id,
                                     handshake->client_record.data(),
                                     handshake->client_record.size()};
            BixStatus sent = write_control(std::span<const BixOutgoingRecord>(&record, 1));
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

void Broker::handle_client(ClientSlot& slot, short revents, ClientState polled_state) {
    // The state at poll time decides: bytes reported while the client was still awaiting
    // acceptance were sent before it, even when an "e" record handled since has accepted it.
    if (polled_state == ClientState::awaiting_acceptance) {
        // A client must not speak, hang up or fail before the host application accepts it.
        close_client(slot, true);
        return;
    }
    if ((revents & (POLLIN | POLLHUP)) != 0 || slot.input.has_buffered()) {
        // Frames that arrived together leave as records in one write to the control pipe.
        BixFrameBatch batch;
        auto read = slot.input.read_frames(batch);
        if (!read.ok() || read.value() == BixReadOutcome::end_of_file) {
            close_client(slot, true);
            return;
        }
        std::array<BixOutgoingRecord, kBixBatchFrames> records{};
        for (std::size_t i = 0; i < batch.count; ++i) {
            records[i] = BixOutgoingRecord{BixRecordType::client_frame, slot.id,
                                           batch.frames[i].data(), batch.frames[i].size()};
        }
        BixStatus sent =
            write_control(std::span<const BixOutgoingRecord>(records.data(), batch.count));
        if (!sent.ok()) {
            // The control pipe is broken: the clean-up at the end closes this client too.
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
        BixOutgoingRecord closed{BixRecordType::client_closed, id, &kClosedPayload,
                                 sizeof kClosedPayload};
        // A failure marks the control pipe broken; the main loop then ends.
        (void)write_control(std::span<const BixOutgoingRecord>(&closed, 1));
    }
}

// The one door to the control pipe, which was made non-blocking before the broker started. A write
// that fails may have stopped inside a record, and whatever followed would be read as the rest of
// it, so after one failure nothing more is sent.
BixStatus Broker::write_control(std::span<const BixOutgoingRecord> records) {
    if (control_broken_) {
        return BixStatus::failure(EPIPE);
    }
    BixStatus written = bix_write_records(io_.control_out, records, BixFdMode::nonblocking);
    if (!written.ok()) {
        control_broken_ = true;
    }
    return written;
}

// A control write cut short by a stop request ends the broker as the stop does.
LoopEnd Broker::control_pipe_end() const {
    return bix_should_stop() ? LoopEnd::normal : LoopEnd::control_pipe;
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

// The diagnostic for a loop that ended other than normally.
BixDiagnostic loop_diagnostic(LoopEnd end) {
    switch (end) {
    case LoopEnd::normal:
    case LoopEnd::main_record:
        break;
    case LoopEnd::main_control:
        return BixDiagnostic::broker_main_control;
    case LoopEnd::listener:
        return BixDiagnostic::broker_listener;
    case LoopEnd::control_pipe:
        return BixDiagnostic::broker_control_pipe;
    }
    return BixDiagnostic::broker_main_record;
}

} // namespace

int bix_run_broker_mode(const std::string& bootstrap_path, const BixBootstrapContext& context,
                        const BixBrokerIo& io) {
    auto bootstrap = bix_read_bootstrap(bootstrap_path, context);
    if (!bootstrap.ok()) {
        return bix_fail(io.diagnostics, BixDiagnostic::broker_bootstrap);
    }
    if (!bix_set_nonblocking(io.control_in).ok() || !bix_set_nonblocking(io.control_out).ok()) {
        return bix_fail(io.diagnostics, BixDiagnostic::broker_control_pipe);
    }
    std::string socket_path(bootstrap.value()->socket_path_view());
    BixListenerOpen opened = bix_open_listener(socket_path, context.effective_uid);
    if (opened.failure != BixListenerFailure::none) {
        return bix_fail(io.diagnostics, bix_listener_diagnostic(opened.failure));
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
        return bix_fail(io.diagnostics, BixDiagnostic::broker_ready);
    }
    if (end == LoopEnd::normal) {
        return kBixExitOk;
    }
    return bix_fail(io.diagnostics, loop_diagnostic(end));
}

} // namespace bix::bridge
