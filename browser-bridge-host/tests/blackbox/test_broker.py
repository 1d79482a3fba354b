"""Broker mode with the test as both the host application (control pipe) and the clients
(raw handshakes on the broker's socket)."""

import os
import signal
import socket
import stat
import struct
import time

import pytest

import bridge_harness as h


def assert_closed_by_broker(client, timeout=5):
    client.settimeout(timeout)
    try:
        assert client.recv(16) == b""
    except ConnectionResetError:
        pass


def admit(local, broker, **overrides):
    client = local.connect(**overrides)
    _, client_id, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
    broker.accept(client_id)
    assert h.read_exact(client.fileno(), 8, 5) == h.ACK
    return client, client_id


def test_relays_between_socket_client_and_control_pipe(local):
    broker = local.start()
    client, client_id = admit(local, broker)
    client.sendall(h.frame(b'{"hello":1}'))
    assert broker.expect_record(h.CLIENT_FRAME)[1:] == (client_id, h.frame(b'{"hello":1}'))
    broker.send_frame(client_id, b'{"reply":1}')
    assert h.read_frame(client.fileno()) == b'{"reply":1}'
    client.shutdown(socket.SHUT_WR)
    assert broker.expect_record(h.CLIENT_CLOSED)[1:] == (client_id, b"\x01")


def test_socket_file_is_private_and_removed_when_control_pipe_closes(local):
    broker = local.start()
    info = os.lstat(local.socket_path)
    assert stat.S_ISSOCK(info.st_mode) and stat.S_IMODE(info.st_mode) == 0o600
    broker.proc.stdin.close()
    assert broker.wait() == (0, "")
    assert not os.path.exists(local.socket_path)


def test_halt_removes_socket_and_exits_zero(local):
    broker = local.start()
    broker.send(h.HALT)
    assert broker.wait() == (0, "")
    assert not os.path.exists(local.socket_path)


def test_stale_socket_file_is_reported_and_left_alone(local):
    stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stale.bind(local.socket_path)
    stale.close()
    before = os.lstat(local.socket_path)
    broker = local.start(expect_ready=False)
    assert broker.wait() == (71, "BIX_BROWSER_BROKER_E_SOCKET_OCCUPIED\n")
    after = os.lstat(local.socket_path)
    assert (after.st_ino, after.st_dev) == (before.st_ino, before.st_dev)


def test_socket_replaced_while_running_is_not_removed(local):
    broker = local.start()
    os.unlink(local.socket_path)
    foreign = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    foreign.bind(local.socket_path)
    foreign.close()
    broker.send(h.HALT)
    assert broker.wait() == (0, "")
    assert os.path.exists(local.socket_path), "someone else's socket must survive clean-up"


@pytest.mark.parametrize("mutate", [
    pytest.param(lambda l: os.chmod(l.directory, 0o755), id="directory-0755"),
    pytest.param(lambda l: os.chmod(l.bootstrap_path, 0o644), id="file-0644"),
    pytest.param(lambda l: os.link(l.bootstrap_path, l.bootstrap_path + ".2"), id="two-links"),
    pytest.param(lambda l: l.write_bootstrap(expiry=int(time.time()) + 28800 + 60),
                 id="expiry-beyond-8h"),
    pytest.param(lambda l: l.write_bootstrap(expiry=int(time.time()) - 1), id="expired"),
    pytest.param(lambda l: l.write_bootstrap(socket_path="/tmp/elsewhere/broker.sock"),
                 id="socket-elsewhere"),
    pytest.param(lambda l: l.write_bootstrap(allowed=(h.EXTENSION_ID, h.EXTENSION_ID)),
                 id="repeated-id"),
    pytest.param(lambda l: l.write_bootstrap(allowed=("q" * 32,)), id="id-outside-a-p"),
    pytest.param(lambda l: l.write_bootstrap(version=2), id="version-2"),
    pytest.param(lambda l: l.write_bootstrap(reserved=1), id="reserved-set"),
    pytest.param(lambda l: l.write_bootstrap(magic=b"BIXBN2\0\0"), id="bad-magic"),
    pytest.param(lambda l: l.write_bootstrap(allowed=(h.EXTENSION_ID,) * 0), id="no-ids"),
])
def test_rejected_bootstrap_is_a_configuration_error(local, mutate):
    mutate(local)
    broker = local.start(expect_ready=False)
    assert broker.wait() == (78, "BIX_BROWSER_BROKER_E_BOOTSTRAP\n")
    assert broker.proc.stdout.read() == b""
    assert not os.path.exists(local.socket_path)


def test_symlinked_bootstrap_is_rejected(local):
    target = os.path.join(local.directory, "real")
    os.rename(local.bootstrap_path, target)
    os.symlink(target, local.bootstrap_path)
    broker = local.start(expect_ready=False)
    assert broker.wait() == (78, "BIX_BROWSER_BROKER_E_BOOTSTRAP\n")


@pytest.mark.parametrize("overrides", [
    pytest.param({"keys": "first"}, id="wrong-first-secret"),
    pytest.param({"keys": "second"}, id="wrong-second-secret"),
    pytest.param({"pid": 0}, id="claimed-pid-zero"),
    pytest.param({"pid": 1}, id="claimed-pid-not-peer"),
    pytest.param({"uid": 4242}, id="claimed-uid-not-peer"),
    pytest.param({"version": 2}, id="version-2"),
    pytest.param({"origin": "chrome-extension://%s" % h.EXTENSION_ID}, id="origin-51"),
    pytest.param({"origin": h.origin_of(h.OTHER_ID), "extension_id": h.OTHER_ID},
                 id="not-allowed"),
    pytest.param({"origin": h.origin_of(h.OTHER_ID)}, id="id-differs-from-origin"),
    pytest.param({"origin": h.origin_of(h.EXTENSION_ID) + "x" * 12}, id="origin-64-unparsable"),
    pytest.param({"origin": h.origin_of(h.EXTENSION_ID) + "x" * 13}, id="origin-65"),
])
def test_bad_handshake_is_closed_without_a_record(local, overrides):
    broker = local.start()
    if "keys" in overrides:
        wrong = h.Secrets()
        keys = h.Secrets()
        keys.first, keys.second = local.keys.first, local.keys.second
        setattr(keys, overrides["keys"], getattr(wrong, overrides["keys"]))
        overrides = {"keys": keys}
    client = local.connect(**overrides)
    assert_closed_by_broker(client)
    assert broker.no_record_within(0.3)
    admit(local, broker)  # the broker keeps serving


def test_replayed_nonce_is_rejected(local):
    broker = local.start()
    nonce = os.urandom(32)
    first, first_id = admit(local, broker, nonce=nonce)
    replay = local.connect(nonce=nonce)
    assert_closed_by_broker(replay)
    assert broker.no_record_within(0.3)
    broker.send(h.CLOSE, first_id)
    replay = local.connect(nonce=nonce)
    assert_closed_by_broker(replay)


def test_ninth_simultaneous_client_is_closed_after_accept(local):
    broker = local.start()
    clients = [admit(local, broker) for _ in range(8)]
    ninth = local.connect()
    assert_closed_by_broker(ninth)
    assert broker.no_record_within(0.3)
    broker.send(h.CLOSE, clients[0][1])
    admit(local, broker)  # a freed slot admits again


def test_sixty_fifth_handshake_is_rejected_with_free_slots(local):
    broker = local.start()
    for expected_id in range(1, 65):
        client = local.connect()
        _, client_id, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
        assert client_id == expected_id, "ids are handed out in order and never reused"
        broker.send(h.CLOSE, client_id)
        assert_closed_by_broker(client)
    late = local.connect()
    assert_closed_by_broker(late)
    assert broker.no_record_within(0.3)


def test_client_speaking_before_acceptance_is_closed(local):
    broker = local.start()
    client = local.connect()
    _, client_id, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
    client.sendall(h.frame(b"{}"))
    assert broker.expect_record(h.CLIENT_CLOSED)[1:] == (client_id, b"\x01")
    assert_closed_by_broker(client)
    broker.send(h.ACCEPT, client_id)  # the client is gone: a control error
    assert broker.wait() == (65, "BIX_BROWSER_BROKER_E_MAIN_CONTROL\n")


def test_stalled_handshake_is_cut_off_and_broker_keeps_serving(local):
    broker = local.start()
    half = local.connect(payload=local.handshake()[:60])
    started = time.monotonic()
    assert_closed_by_broker(half, timeout=15)
    elapsed = time.monotonic() - started
    assert 1.5 <= elapsed < 10, elapsed
    admit(local, broker)


def test_bad_client_frame_closes_only_that_client(local):
    broker = local.start()
    bad, bad_id = admit(local, broker)
    good, good_id = admit(local, broker)
    bad.sendall(struct.pack("<I", h.MAX_FRAME + 1))
    assert broker.expect_record(h.CLIENT_CLOSED)[1] == bad_id
    good.sendall(h.frame(b"[1]"))
    assert broker.expect_record(h.CLIENT_FRAME)[1:] == (good_id, h.frame(b"[1]"))


def record_header(kind=h.HALT, client=0, length=0, magic=b"BBP1", version=1, r1=0, r2=0):
    return magic + struct.pack("<BBBBII", version, kind, r1, r2, client, length)


@pytest.mark.parametrize("raw,diagnostic", [
    (record_header(magic=b"BBP2"), "MAIN_RECORD"),
    (record_header(version=2), "MAIN_RECORD"),
    (record_header(r1=1), "MAIN_RECORD"),
    (record_header(r2=1), "MAIN_RECORD"),
    (record_header(kind=h.FRAME, client=1, length=262149), "MAIN_RECORD"),
    (record_header()[:10], "MAIN_RECORD"),  # end of file inside a header
    (record_header(kind=h.FRAME, client=1, length=9) + b"\x05\0\0\0", "MAIN_RECORD"),
    (record_header(client=1), "MAIN_CONTROL"),  # halt for a client
    (record_header(length=1) + b"x", "MAIN_CONTROL"),  # halt with a payload
    (record_header(kind=ord("z")), "MAIN_CONTROL"),
    (record_header(kind=h.ACCEPT, client=7), "MAIN_CONTROL"),
    (record_header(kind=h.CLOSE, client=0), "MAIN_CONTROL"),
])
def test_malformed_control_record_ends_broker(local, raw, diagnostic):
    broker = local.start()
    h.write_all(broker.inp, raw)
    broker.proc.stdin.close()
    assert broker.wait() == (65, "BIX_BROWSER_BROKER_E_%s\n" % diagnostic)
    assert not os.path.exists(local.socket_path)


@pytest.mark.parametrize("state,kind,payload", [
    ("established", h.FRAME, struct.pack("<I", 3) + b"{}"),  # inner length != payload - 4
    ("established", h.FRAME, struct.pack("<I", 0)),
    ("established", h.FRAME, b"\x01\0\0"),
    ("established", h.ACCEPT, b""),  # accepted twice
    ("awaiting", h.FRAME, h.frame(b"{}")),  # frame before acceptance
    ("awaiting", h.ACCEPT, b"x"),
    ("awaiting", h.CLOSE, b"x"),
])
def test_control_record_breaking_client_rules_ends_broker(local, state, kind, payload):
    broker = local.start()
    if state == "established":
        _, client_id = admit(local, broker)
    else:
        local.connect()
        _, client_id, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
    broker.send(kind, client_id, payload)
    assert broker.wait() == (65, "BIX_BROWSER_BROKER_E_MAIN_CONTROL\n")


def test_record_for_a_closed_client_ends_broker(local):
    broker = local.start()
    client, client_id = admit(local, broker)
    client.close()
    assert broker.expect_record(h.CLIENT_CLOSED)[1] == client_id
    broker.send_frame(client_id, b"{}")
    assert broker.wait() == (65, "BIX_BROWSER_BROKER_E_MAIN_CONTROL\n")


def test_stalled_control_record_is_cut_off(local):
    broker = local.start()
    h.write_all(broker.inp, record_header(kind=h.FRAME, client=1, length=100) + b"\0" * 10)
    started = time.monotonic()
    assert broker.wait(timeout=15) == (65, "BIX_BROWSER_BROKER_E_MAIN_RECORD\n")
    assert 1.5 <= time.monotonic() - started < 10


def test_arguments_other_than_broker_and_path_are_usage_errors(exe):
    import subprocess
    for args in ([], ["--broker"][:0] + ["a", "b"], ["--broker", "x", "y"], ["--brokerx", "p"]):
        done = subprocess.run([exe] + args, capture_output=True, timeout=10)
        assert (done.returncode, done.stdout, done.stderr) == (
            64, b"", b"BIX_BROWSER_HOST_E_ARGUMENTS\n"), args


def wait_until_stopped(pid, timeout=10):
    # The third field of /proc/PID/stat turns to "T" once the stop has taken hold.
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/%d/stat" % pid) as f:
            if f.read().rsplit(")", 1)[1].split()[0] in ("T", "t"):
                return
        time.sleep(0.01)
    raise AssertionError("process %d did not stop" % pid)


def test_client_speaking_in_the_wake_up_that_accepts_it_is_closed(local):
    broker = local.start()
    client = local.connect()
    _, client_id, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
    # Hold the broker so the early frame and the "e" record both wait for its next poll.
    os.kill(broker.proc.pid, signal.SIGSTOP)
    try:
        wait_until_stopped(broker.proc.pid)
        client.sendall(h.frame(b"{}"))
        broker.accept(client_id)
    finally:
        os.kill(broker.proc.pid, signal.SIGCONT)
    assert broker.expect_record(h.CLIENT_CLOSED)[1:] == (client_id, b"\x01")
    assert h.read_exact(client.fileno(), 8, 5) == h.ACK  # the "e" came first, then the close
    assert_closed_by_broker(client)
    admit(local, broker)  # the broker keeps serving


def test_failed_control_write_ends_broker_without_writing_into_the_broken_record(local):
    broker = local.start()
    client, client_id = admit(local, broker)
    body = b"[" + b"0" * 998 + b"]"
    client.sendall(h.frame(body) * 200)  # far more than the control pipe holds
    # The host application reads nothing more: the broker's write fails part way after 2 s.
    assert broker.wait(timeout=15) == (74, "BIX_BROWSER_BROKER_E_CONTROL_PIPE\n")
    sent = broker.proc.stdout.read()
    record = record_header(h.CLIENT_FRAME, client_id, len(body) + 4) + h.frame(body)
    assert sent and sent == (record * (len(sent) // len(record) + 1))[:len(sent)], \
        "only client-frame records, the last one possibly cut short"
    assert not os.path.exists(local.socket_path)
    assert_closed_by_broker(client)
