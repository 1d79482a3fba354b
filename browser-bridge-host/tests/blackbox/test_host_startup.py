"""Host-mode start-up failures, run as the throwaway user the way the browser would start it."""

import os
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
