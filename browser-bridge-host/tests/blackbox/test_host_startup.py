"""Host-mode start-up failures, run as the throwaway user the way the browser would start it."""

import os
import signal
import socket
import time

import pytest

import bridge_harness as h


@pytest.mark.parametrize("origin", [
    "chrome-extension://abcdefghijklmnopabcdefghijklmnoP/",  # upper case
    "chrome-extension://abcdefghijklmnopabcdefghijklmnoq/",  # letter after "p"
    "chrome-extension://abcdefghijklmnopabcdefghijklmnop",  # no final "/"
    "chrome-extension://abcdefghijklmnopabcdefghijklmnop/x",  # 53 characters
    "chrome-extension://abcdefghijklmnopabcdefghijklmno/",  # 31-character id
    "moz-extension://abcdefghijklmnopabcdefghijklmnop/xxx",
    "",
    "--broker",
])
def test_invalid_origin_is_a_caller_error_with_nothing_on_stdout(bridge, origin):
    bridge.write_bootstrap()
    status, out, err = bridge.start_host(origin).wait()
    assert (status, out, err) == (64, b"", "BIX_BROWSER_HOST_E_CALLER\n")


def relink(bridge):
    os.link(bridge.bootstrap_path, bridge.bootstrap_path + ".second")


def symlink_directory(bridge):
    real = bridge.directory + ".real"
    os.rename(bridge.directory, real)
    os.symlink(real, bridge.directory)


@pytest.mark.parametrize("prepare", [
    pytest.param(lambda b: os.chmod(b.directory, 0o755), id="directory-0755"),
    pytest.param(lambda b: os.chown(b.directory, 0, 0), id="directory-owned-by-root"),
    pytest.param(symlink_directory, id="directory-is-symlink"),
    pytest.param(relink, id="two-links"),
    pytest.param(lambda b: os.chmod(b.bootstrap_path, 0o400), id="file-0400"),
    pytest.param(lambda b: os.chown(b.bootstrap_path, 0, 0), id="file-owned-by-root"),
    pytest.param(lambda b: os.unlink(b.bootstrap_path), id="missing"),
    pytest.param(lambda b: b.write_bootstrap(expiry=int(time.time()) + 28800 + 120),
                 id="expires-beyond-8h"),
    pytest.param(lambda b: b.write_bootstrap(expiry=int(time.time()) - 5), id="expired"),
    pytest.param(lambda b: b.write_bootstrap(socket_path=os.path.join(b.user.home,
                                                                      "broker.sock")),
                 id="socket-in-other-directory"),
    pytest.param(lambda b: h.write_private_file(
        b.bootstrap_path, h.bootstrap_bytes(b.directory, 0, b.keys, [h.EXTENSION_ID]),
        b.user.uid, b.user.gid), id="uid-of-another-user"),
    pytest.param(lambda b: h.write_private_file(
        b.bootstrap_path, h.bootstrap_bytes(b.directory, b.user.uid, b.keys,
                                            [h.EXTENSION_ID]) + b"\0",
        b.user.uid, b.user.gid), id="trailing-byte"),
])
def test_rejected_bootstrap_sends_startup_error(bridge, prepare):
    bridge.write_bootstrap()
    prepare(bridge)
    status, out, err = bridge.start_host().wait()
    assert (status, out, err) == (69, h.frame(h.STARTUP_ERROR), "BIX_BROWSER_HOST_E_BOOTSTRAP\n")


def test_valid_bootstrap_with_nine_allowed_ids_is_rejected(bridge):
    ids = ["abcdefghijklmnop"[i:] + "abcdefghijklmnop" * 2 for i in range(9)]
    bridge.write_bootstrap(allowed=[i[:32] for i in ids])
    status, out, _ = bridge.start_host().wait()
    assert (status, out) == (69, h.frame(h.STARTUP_ERROR))


def fill_listener_queue(bridge):
    """A broker stand-in that never accepts, with its queue of pending connections full."""
    made = [socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) for _ in range(8)]
    made[0].bind(bridge.socket_path)
    os.chown(bridge.socket_path, bridge.user.uid, bridge.user.gid)
    made[0].listen(0)
    for waiting in made[1:]:
        waiting.setblocking(False)
        try:
            waiting.connect(bridge.socket_path)
        except BlockingIOError:
            return made
    raise AssertionError("the listener's queue never filled")


def wait_until_catching_stop_signals(pid, timeout=10):
    wanted = (1 << (signal.SIGTERM - 1)) | (1 << (signal.SIGINT - 1))
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open("/proc/%d/status" % pid) as f:
            if int(f.read().split("SigCgt:")[1].split()[0], 16) & wanted == wanted:
                return
        time.sleep(0.01)
    raise AssertionError("process %d does not handle the stop signals" % pid)


@pytest.mark.parametrize("stop", [False, True], ids=["budget-ends", "stop-requested"])
def test_broker_too_busy_to_take_the_connection_is_app_not_running(bridge, stop):
    bridge.write_bootstrap()
    made = fill_listener_queue(bridge)
    try:
        host = bridge.start_host()
        if stop:
            wait_until_catching_stop_signals(host.proc.pid)
            host.proc.send_signal(signal.SIGTERM)
        started = time.monotonic()
        status, out, err = host.wait(timeout=15)
        elapsed = time.monotonic() - started
    finally:
        for s in made:
            s.close()
    # A stop request ends the wait early but does not swallow the diagnostic.
    assert (status, out, err) == (69, h.frame(h.STARTUP_ERROR),
                                  "BIX_BROWSER_HOST_E_APP_NOT_RUNNING\n")
    assert elapsed < 1.5 if stop else 1.5 <= elapsed < 10
