"""The Debian packages: metadata, file list, modes and owners, and each installed tool run once
from a scratch root."""

import json
import os
import re
import shutil
import struct
import subprocess

import pytest

from conftest import (PACKAGE_OF_COMPONENT, TIMEOUT, components, mode_of, needs_component,
                      remove_tree, required, run, tool_environment)

LIBEXEC = "/usr/libexec/bix"
HATCH_ROOT = "/usr/lib/bix/hatch-tool"

# Per package: (path, kind, mode) entries it must hold, and dependencies it must declare (the
# libraries its programs link against, found by dpkg-shlibdeps).
EXPECTED = {
    "bix-ai-accessibility-helper": {
        "files": [(LIBEXEC + "/bix-ai-accessibility-helper", "-", 0o755),
                  ("/usr/share/bix/ai-accessibility-helper/profiles/demo-chat.json", "-", 0o644),
                  ("/usr/share/doc/bix-ai-accessibility-helper/README.md", "-", 0o644)],
        "depends": ["libc6", "libicu72", "libatspi2.0-0"],
    },
    "bix-safe-path-helper": {
        "files": [(LIBEXEC + "/bix-safe-path-helper", "-", 0o755),
                  ("/usr/share/doc/bix-safe-path-helper/README.md", "-", 0o644)],
        "depends": ["libc6"],
    },
    "bix-browser-bridge-host": {
        "files": [(LIBEXEC + "/bix-browser-bridge-host", "-", 0o755),
                  ("/usr/bin/bix-install-native-messaging-manifest", "-", 0o755),
                  ("/usr/share/bix/browser-bridge/%s.json.in", "-", 0o644),
                  ("/usr/share/doc/bix-browser-bridge-host/README.md", "-", 0o644)],
        "depends": ["libc6"],
    },
    "bix-hatch-tool": {
        "files": [(HATCH_ROOT, "d", 0o555),
                  (HATCH_ROOT + "/bin/bix-hatch-tool", "-", 0o555),
                  (HATCH_ROOT + "/lib/libpython3.11.so.1.0", "-", 0o444),
                  (HATCH_ROOT + "/app/bix_hatch_tool.py", "-", 0o444),
                  (HATCH_ROOT + "/lib/python3.11/site-packages", "d", 0o555),
                  (LIBEXEC + "/bix-hatch-tool", "l", None),
                  ("/usr/share/doc/bix-hatch-tool/README.md", "-", 0o644)],
        "depends": ["libc6", "zlib1g"],
    },
}

# Names that only test and benchmark builds produce.
TEST_ARTIFACT = re.compile(r"(_test|_bench|blackbox|/tests?/|/bench/|conftest|pytest|gtest|gmock|"
                           r"benchmark|bix-axctl|\.supp$)")


class Entry:
    def __init__(self, line):
        permissions, owner, _size, _date, _time, rest = line.split(None, 5)
        self.kind = permissions[0]
        self.mode = permission_bits(permissions[1:])
        self.owner = owner
        name, _, self.link = rest.partition(" -> ")
        self.path = "/" + name.lstrip("./").rstrip("/") if name not in ("./", ".") else "/"


def permission_bits(text):
    bits = 0
    for index, letter in enumerate(text):
        if letter != "-":
            bits |= 1 << (8 - index)
    return bits


def contents(deb):
    result = run(["dpkg-deb", "--contents", deb])
    assert result.returncode == 0, result.stderr.decode()
    return {e.path: e for e in (Entry(line) for line in result.stdout.decode().splitlines())}


def field(deb, name):
    result = run(["dpkg-deb", "--field", deb, name])
    assert result.returncode == 0, result.stderr.decode()
    return result.stdout.decode().strip()


def expected_packages():
    return [PACKAGE_OF_COMPONENT[c] for c in components()]


def test_one_package_per_configured_component(packages):
    assert sorted(packages) == sorted(expected_packages())
    for name, deb in packages.items():
        assert os.path.basename(deb).startswith(name + "_")


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_package_metadata_files_modes_and_owners(packages, name):
    if name not in packages:
        pytest.skip("%s is not configured in this build" % name)
    deb = packages[name]
    info = run(["dpkg-deb", "--info", deb])
    assert info.returncode == 0, info.stderr.decode()
    assert field(deb, "Version") == required("BIX_PACKAGING_VERSION") + "-1"
    assert field(deb, "Architecture") == "amd64"
    assert "@" in field(deb, "Maintainer")
    description = field(deb, "Description")
    assert len(description.splitlines()) >= 2, description
    depends = [d.strip().split()[0] for d in field(deb, "Depends").split(",") if d.strip()]
    for dependency in EXPECTED[name]["depends"]:
        assert dependency in depends, (dependency, depends)

    entries = contents(deb)
    host_name = os.environ.get("BIX_NATIVE_MESSAGING_HOST_NAME", "")
    for path, kind, mode in EXPECTED[name]["files"]:
        path = path.replace("%s", host_name)
        assert path in entries, (path, sorted(entries))
        assert entries[path].kind == kind, (path, entries[path].kind)
        if mode is not None:
            assert entries[path].mode == mode, (path, oct(entries[path].mode))
    for entry in entries.values():
        assert entry.owner == "root/root", (entry.path, entry.owner)
        assert not TEST_ARTIFACT.search(entry.path), entry.path
        assert entry.path in ("/", "/usr") or entry.path.startswith("/usr/"), entry.path
        if entry.kind != "l":  # a symbolic link's own mode means nothing
            assert not entry.mode & 0o7022, (entry.path, oct(entry.mode))  # no set-id, no g/o write


@needs_component("hatch-tool")
def test_hatch_runtime_is_read_only_as_a_whole(packages):
    entries = contents(packages["bix-hatch-tool"])
    inside = [e for p, e in entries.items() if p == HATCH_ROOT or p.startswith(HATCH_ROOT + "/")]
    assert len(inside) > 100, len(inside)
    for entry in inside:
        assert entry.kind in "d-", (entry.path, entry.kind)  # no links inside the sealed tree
        if entry.kind == "d":
            assert entry.mode == 0o555, (entry.path, oct(entry.mode))
        else:
            assert entry.mode in (0o444, 0o555), (entry.path, oct(entry.mode))
    link = entries[LIBEXEC + "/bix-hatch-tool"]
    resolved = os.path.normpath(os.path.join(LIBEXEC, link.link))
    assert resolved == HATCH_ROOT + "/bin/bix-hatch-tool"


# --- each installed tool, run once from the scratch root ----------------------------------------

def frame(payload):
    data = json.dumps(payload, separators=(",", ":")).encode()
    return struct.pack(">I", len(data)) + data


def read_frames(data):
    frames = []
    while data:
        (length,) = struct.unpack(">I", data[:4])
        frames.append(json.loads(data[4:4 + length]))
        data = data[4 + length:]
    return frames


@needs_component("helper")
def test_installed_helper_answers_a_session(scratch_root):
    helper = scratch_root + LIBEXEC + "/bix-ai-accessibility-helper"
    profile = scratch_root + "/usr/share/bix/ai-accessibility-helper/profiles/demo-chat.json"
    with open(profile, encoding="utf-8") as handle:
        assert re.fullmatch(r"[0-9a-f]{64}", json.load(handle)["profileHash"])
    nonce = "session-nonce-0123456789"
    envelope = {"processNonce": nonce, "protocol": "bix.ax.helper", "protocolVersion": 1}
    requests = (frame({"appVersion": "2.4.0", "processNonce": nonce, "protocol": "bix.ax.helper",
                       "protocolMax": 1, "protocolMin": 1, "requestId": "hello-1"}) +
                frame(dict(envelope, command="checkTrust", params={"prompt": False},
                           requestId="r1")) +
                frame(dict(envelope, command="shutdown", params={}, requestId="r2")))
    result = run([helper, "--demo-desktop"], input=requests,
                 env=tool_environment())
    assert result.returncode == 0
    assert result.stderr == b""
    hello, trust, shutdown = read_frames(result.stdout)
    assert hello["requestId"] == "hello-1" and hello["processNonce"] == nonce
    assert hello["protocol"] == "bix.ax.helper" and "helperVersion" in hello
    assert trust["ok"] is True and trust["result"]["trusted"] is True
    assert shutdown["result"] == {"status": "shutting-down"}


@needs_component("safe-path-helper")
def test_installed_safe_path_helper_creates_a_file(scratch_root, private_dir):
    tool = scratch_root + LIBEXEC + "/bix-safe-path-helper"
    root = os.path.join(private_dir, "data")
    os.mkdir(root, 0o700)
    st = os.stat(root)
    prologue = [tool, "create-file", root, str(st.st_dev), str(st.st_ino), str(st.st_uid)]
    result = run(prologue + ["note.txt", "420", "5"], input=b"hello", env=tool_environment())
    assert (result.returncode, result.stdout, result.stderr) == (0, b'{"ok":true}\n', b"")
    with open(os.path.join(root, "note.txt"), "rb") as handle:
        assert handle.read() == b"hello"
    assert mode_of(os.path.join(root, "note.txt")) == 0o644
    # The same name again is refused without touching the file.
    again = run(prologue + ["note.txt", "420", "3"], input=b"bye", env=tool_environment())
    assert again.returncode == 10 and b'"code":"EEXIST"' in again.stdout
    with open(os.path.join(root, "note.txt"), "rb") as handle:
        assert handle.read() == b"hello"


def bootstrap(directory, uid, secret, extension_id):
    socket_path = os.path.join(directory, "broker.sock").encode()
    return (b"BIXBN1\0\0" + struct.pack("<IIqHBB", 1, uid, int(__import__("time").time()) + 3600,
                                         len(socket_path), 1, 0) +
            secret + bytes(range(32, 64)) + socket_path + extension_id.encode())


@needs_component("browser-bridge-host")
def test_installed_bridge_runs_as_broker_and_refuses_bad_callers(scratch_root, private_dir):
    tool = scratch_root + LIBEXEC + "/bix-browser-bridge-host"
    usage = run([tool], env=tool_environment())
    assert usage.returncode == 64 and b"BIX_BROWSER_HOST_E_ARGUMENTS" in usage.stderr
    caller = run([tool, "chrome-extension://not-an-id/"], env=tool_environment())
    assert caller.returncode == 64 and b"BIX_BROWSER_HOST_E_CALLER" in caller.stderr

    # Broker mode from a bootstrap in a private temporary directory: it binds its socket, sends
    # the ready record carrying the first secret, and ends cleanly when its input closes.
    directory = os.path.join(private_dir, "bridge")
    os.mkdir(directory, 0o700)
    path = os.path.join(directory, "bootstrap")
    secret = bytes(range(32))
    descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(descriptor, "wb") as handle:
        handle.write(bootstrap(directory, os.geteuid(), secret, "a" * 32))
    broker = subprocess.Popen([tool, "--broker", path], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=tool_environment())
    try:
        header = broker.stdout.read(16)
        magic, version, kind, _r1, _r2, client, length = struct.unpack("<4sBBBBII", header)
        assert (magic, version, kind, client, length) == (b"BBP1", 1, 1, 0, 32)
        assert broker.stdout.read(length) == secret
        assert os.path.exists(os.path.join(directory, "broker.sock"))
        broker.stdin.close()
        assert broker.wait(timeout=TIMEOUT) == 0
        assert broker.stderr.read() == b""
        assert not os.path.exists(os.path.join(directory, "broker.sock"))
    finally:
        if broker.poll() is None:
            broker.kill()
            broker.wait()


@needs_component("hatch-tool")
def test_installed_hatch_tool_checks_its_sealed_runtime(scratch_root, private_dir):
    # Started through the libexec link, as the companion application would; the launcher finds
    # its runtime from its own canonical path.
    launcher = scratch_root + LIBEXEC + "/bix-hatch-tool"
    result = run([launcher, "self-test"], cwd=private_dir, env=tool_environment())
    assert result.returncode == 0, result.stderr.decode()[-2000:]

    # A copy of the runtime with one write bit back is refused before any module runs.
    copy = os.path.join(private_dir, "copy")
    shutil.copytree(scratch_root + HATCH_ROOT, copy, symlinks=True)
    os.chmod(os.path.join(copy, "app"), 0o755)
    refused = run([os.path.join(copy, "bin", "bix-hatch-tool"), "self-test"], cwd=private_dir,
                  env=tool_environment())
    assert refused.returncode == 70
    assert b"not sealed read-only" in refused.stderr
    remove_tree(copy)


@pytest.mark.skipif(os.geteuid() != 0, reason="dpkg --root needs root")
def test_dpkg_root_install_and_remove(work_dir, packages):
    """A real dpkg installation into a scratch root whose package database is a copy of this
    system's, so dependencies are checked against what is installed here."""
    root = os.path.join(work_dir, "dpkg-root")
    admin = os.path.join(root, "var/lib/dpkg")
    for sub in ("info", "updates", "triggers"):
        os.makedirs(os.path.join(admin, sub))
    shutil.copy("/var/lib/dpkg/status", os.path.join(admin, "status"))
    open(os.path.join(admin, "available"), "w").close()
    dpkg = ["dpkg", "--root=" + root, "--force-script-chrootless", "--log=/dev/null"]
    installed = run(dpkg + ["--install"] + sorted(packages.values()))
    assert installed.returncode == 0, installed.stdout.decode() + installed.stderr.decode()
    for name in packages:
        status = run(["dpkg-query", "--admindir=" + admin, "-W", "-f=${Status}", name])
        assert status.stdout == b"install ok installed", (name, status.stdout)
    if "bix-hatch-tool" in packages:
        assert mode_of(root + HATCH_ROOT) == 0o555
        assert os.path.realpath(root + LIBEXEC + "/bix-hatch-tool") == \
            root + HATCH_ROOT + "/bin/bix-hatch-tool"
    removed = run(dpkg + ["--purge"] + sorted(packages))
    assert removed.returncode == 0, removed.stdout.decode() + removed.stderr.decode()
    assert not os.path.exists(root + "/usr/libexec/bix")
    assert not os.path.exists(root + "/usr/lib/bix")
    remove_tree(root)
