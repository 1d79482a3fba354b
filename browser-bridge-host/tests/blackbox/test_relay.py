"""Host mode end to end: a browser stand-in, the real host, the real broker and a host
application stand-in, all over real pipes and a real Unix socket."""

import os
import socket
import struct
import time

import pytest

import bridge_harness as h


def body_of(size, seed):
    text = ('{"n":%d,"pad":"' % seed).encode()
    return text + b"x" * (size - len(text) - 2) + b'"}' if size > len(text) + 2 else b"1" * size


@pytest.mark.parametrize("size", [1, 1024, h.MAX_FRAME])
def test_relays_frames_both_ways_and_ends_cleanly_when_browser_closes(bridge, size):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host, client = bridge.connect_host(broker)

    to_app = body_of(size, 1)
    host.send_frame(to_app)
    kind, from_client, payload = broker.expect_record(h.CLIENT_FRAME)
    assert (from_client, payload) == (client, h.frame(to_app))

    to_browser = body_of(size, 2)
    broker.send_frame(client, to_browser)
    assert host.read_frame() == to_browser

    host.close_input()
    status, out, err = host.wait()
    assert (status, out, err) == (0, b"", "")
    assert broker.expect_record(h.CLIENT_CLOSED)[1:] == (client, b"\x01")


def test_client_accepted_record_carries_peer_credentials_and_handshake(bridge):
    bridge.write_bootstrap(allowed=(h.OTHER_ID, h.EXTENSION_ID))
    broker = bridge.start_broker()
    host = bridge.start_host()
    _, client, record = broker.expect_record(h.CLIENT_HANDSHAKE)
    assert client == 1
    uid, gid, pid, claimed_pid, claimed_uid, origin_len, id_len = struct.unpack(
        "<IIIIIHH", record[:24])
    assert (uid, gid, pid) == (bridge.user.uid, bridge.user.gid, host.proc.pid)
    assert (claimed_pid, claimed_uid, origin_len, id_len) == (host.proc.pid, bridge.user.uid,
                                                              52, 32)
    assert record[24:88] == bridge.keys.first + bridge.keys.second
    assert record[120:] == (h.origin_of(h.EXTENSION_ID) + h.EXTENSION_ID).encode()
    assert len(record) == 152 + 52


def test_frames_keep_their_order_across_several_clients(bridge):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    first, first_id = bridge.connect_host(broker)
    second, second_id = bridge.connect_host(broker)
    assert (first_id, second_id) == (1, 2)
    for i in range(5):
        broker.send_frame(second_id, b'{"to":"second","i":%d}' % i)
        broker.send_frame(first_id, b'{"to":"first","i":%d}' % i)
    for i in range(5):
        assert first.read_frame() == b'{"to":"first","i":%d}' % i
        assert second.read_frame() == b'{"to":"second","i":%d}' % i


@pytest.mark.parametrize("length", [0, h.MAX_FRAME + 1])
def test_bad_browser_frame_is_an_input_frame_error(bridge, length):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host, client = bridge.connect_host(broker)
    h.write_all(host.inp, struct.pack("<I", length))
    status, out, err = host.wait()
    assert (status, out, err) == (65, b"", "BIX_BROWSER_HOST_E_INPUT_FRAME\n")
    assert broker.expect_record(h.CLIENT_CLOSED)[1] == client


def test_stalled_browser_is_cut_off_after_about_two_seconds(bridge):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host, client = bridge.connect_host(broker)
    h.write_all(host.inp, struct.pack("<I", 100) + b"{" * 10)  # then nothing more
    started = time.monotonic()
    status, out, err = host.wait(timeout=15)
    elapsed = time.monotonic() - started
    assert (status, out, err) == (65, b"", "BIX_BROWSER_HOST_E_INPUT_FRAME\n")
    assert 1.5 <= elapsed < 10, elapsed
    assert broker.expect_record(h.CLIENT_CLOSED)[1] == client


def test_host_application_closing_the_client_ends_the_host_normally(bridge):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host, client = bridge.connect_host(broker)
    broker.send(h.CLOSE, client)
    status, out, err = host.wait()
    assert (status, out, err) == (0, b"", "")
    assert broker.no_record_within(0.3), "a closed-by-app client gets no type-4 record"


def test_unanswered_handshake_fails_after_the_acknowledgement_wait(bridge):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host = bridge.start_host()
    _, client, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
    status, out, err = host.wait(timeout=15)
    assert (status, out, err) == (77, b"", "BIX_BROWSER_HOST_E_HANDSHAKE\n")
    assert broker.expect_record(h.CLIENT_CLOSED)[1] == client


def test_refused_client_gets_no_acknowledgement(bridge):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host = bridge.start_host()
    _, client, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
    broker.send(h.CLOSE, client)
    status, out, err = host.wait()
    assert (status, out, err) == (77, b"", "BIX_BROWSER_HOST_E_HANDSHAKE\n")


def test_broker_not_listening_sends_startup_error(bridge):
    bridge.write_bootstrap()
    host = bridge.start_host()
    status, out, err = host.wait()
    assert (status, out, err) == (69, h.frame(h.STARTUP_ERROR), "BIX_BROWSER_HOST_E_APP_NOT_RUNNING\n")


def test_extension_missing_from_allow_list_is_refused(bridge):
    bridge.write_bootstrap(allowed=(h.OTHER_ID,))
    broker = bridge.start_broker()
    host = bridge.start_host()
    status, out, err = host.wait()
    assert (status, out, err) == (77, b"", "BIX_BROWSER_HOST_E_NOT_ALLOWED\n")
    assert broker.no_record_within(0.3)


@pytest.mark.parametrize("signal_number", [15, 2])
def test_stop_signal_ends_both_modes_cleanly(bridge, signal_number):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host, client = bridge.connect_host(broker)
    host.send_frame(b"{}")  # one round trip proves the host is past its handshake
    assert broker.expect_record(h.CLIENT_FRAME)[1] == client
    host.proc.send_signal(signal_number)
    status, out, err = host.wait()
    assert (status, out, err) == (0, b"", "")
    assert broker.expect_record(h.CLIENT_CLOSED)[1] == client
    broker.proc.send_signal(signal_number)
    assert broker.wait() == (0, "")
    assert not os.path.exists(bridge.socket_path)


def test_trickling_browser_is_cut_off_like_a_stalled_one(bridge):
    """One byte every half second would take a minute for this frame; the whole read of the body
    has a two-second budget, not each byte."""
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host, client = bridge.connect_host(broker)
    h.write_all(host.inp, struct.pack("<I", 120))
    started = time.monotonic()
    for _ in range(40):
        if host.proc.poll() is not None:
            break
        try:
            h.write_all(host.inp, b" ")
        except BrokenPipeError:
            break
        time.sleep(0.5)
    status, out, err = host.wait(timeout=15)
    assert (status, out, err) == (65, b"", "BIX_BROWSER_HOST_E_INPUT_FRAME\n")
    assert time.monotonic() - started < 10
    assert broker.expect_record(h.CLIENT_CLOSED)[1] == client


def memory_holding(pid, pieces):
    """The readable mappings of a process that hold any of `pieces`, read as root; mappings above
    64 MiB are sanitizer shadow memory."""
    found = []
    with open("/proc/%d/maps" % pid) as maps, open("/proc/%d/mem" % pid, "rb", 0) as mem:
        for line in maps:
            start, end = (int(x, 16) for x in line.split()[0].split("-"))
            if "r" in line.split()[1] and "[v" not in line and end - start <= 64 << 20:
                mem.seek(start)
                data = mem.read(end - start)
                found += [line] if any(piece in data for piece in pieces) else []
    return found


def test_relaying_host_holds_no_copy_of_the_bridge_secrets(bridge):
    bridge.write_bootstrap()
    broker = bridge.start_broker()
    host, client = bridge.connect_host(broker)
    host.send_frame(b"{}")
    assert broker.expect_record(h.CLIENT_FRAME)[1] == client
    broker.send_frame(client, b"[]")
    assert host.read_frame() == b"[]"  # the host now waits in its relay
    secrets = bridge.keys.first + bridge.keys.second
    assert memory_holding(host.proc.pid, [secrets[i:i + 8] for i in range(0, 64, 8)]) == []
    origin = h.origin_of(h.EXTENSION_ID).encode()  # in the host's arguments, on its stack
    assert memory_holding(host.proc.pid, [origin]) != [], "the scan reads the host"
    host.close_input()
    assert host.wait() == (0, b"", "")
