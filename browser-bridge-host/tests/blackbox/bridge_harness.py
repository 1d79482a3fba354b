"""Drives bix-browser-bridge-host the way its two real peers do.

The harness plays the host application (writes the bootstrap file, owns the broker's control
pipe, accepts or closes clients, sends frames) and the browser (starts the host with an origin,
writes native-messaging frames to its standard input and reads its output). It is shared by the
black-box tests, the Chromium end-to-end test, the demo and the relay benchmark.
"""

import os
import pwd
import secrets
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

BUNDLE_ID = os.environ.get("BIX_HOST_BUNDLE_ID", "com.bix.companion")
BOOTSTRAP_MAGIC = b"BIXBN1\0\0"
HANDSHAKE_MAGIC = b"BIXHSK1\0"
ACK = b"BIXACK1\0"
RECORD_MAGIC = b"BBP1"
READY, CLIENT_HANDSHAKE, CLIENT_FRAME, CLIENT_CLOSED = 1, 2, 3, 4
HALT, ACCEPT, FRAME, CLOSE = ord("h"), ord("e"), ord("f"), ord("g")
MAX_FRAME = 262144
EXTENSION_ID = "abcdefghijklmnopabcdefghijklmnop"
OTHER_ID = "ponmlkjihgfedcbaponmlkjihgfedcba"
STARTUP_ERROR = (b'{"schemaVersion":1,"type":"error","requestId":"bridge-startup",'
                 b'"code":"APP_NOT_RUNNING","retryable":true}')


def origin_of(extension_id):
    return "chrome-extension://%s/" % extension_id


def frame(body):
    return struct.pack("<I", len(body)) + body


def bootstrap_relative_dir():
    return os.path.join("Library", "Application Support", BUNDLE_ID, "BrowserBridge")


class Secrets:
    def __init__(self):
        self.first = secrets.token_bytes(32)
        self.second = secrets.token_bytes(32)


def bootstrap_bytes(directory, uid, keys, allowed_ids, expiry=None, socket_path=None,
                    version=1, reserved=0, magic=BOOTSTRAP_MAGIC):
    """The bootstrap file's content, with every field overridable for rejection tests."""
    if expiry is None:
        expiry = int(time.time()) + 3600
    if socket_path is None:
        socket_path = os.path.join(directory, "broker.sock")
    path = socket_path.encode()
    ids = b"".join(i.encode() for i in allowed_ids)
    header = (magic + struct.pack("<IIqHBB", version, uid, expiry, len(path), len(allowed_ids),
                                  reserved) + keys.first + keys.second)
    return header + path + ids


def write_private_file(path, content, uid, gid, mode=0o600):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    try:
        os.write(fd, content)
    finally:
        os.close(fd)
    os.chown(path, uid, gid)
    os.chmod(path, mode)


def make_dirs_owned(base, relative, uid, gid, mode=0o700):
    """Creates base/relative one component at a time, each owned by uid and private."""
    path = base
    for part in relative.split(os.sep):
        path = os.path.join(path, part)
        os.makedirs(path, exist_ok=True)
        os.chown(path, uid, gid)
        os.chmod(path, mode)
    return path


def handshake_bytes(pid, uid, keys, nonce, origin, extension_id, version=1):
    o = origin.encode()
    i = extension_id.encode()
    return (HANDSHAKE_MAGIC + bytes([version, 0, 0, 0]) +
            struct.pack("<IIHH", pid, uid, len(o), len(i)) + keys.first + keys.second + nonce +
            o + i)


def read_exact(fd, size, timeout):
    """Reads exactly size bytes from fd within timeout seconds; returns fewer at end of file."""
    deadline = time.monotonic() + timeout
    chunks = []
    got = 0
    while got < size:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("read of %d bytes timed out after %d" % (size, got))
        ready, _, _ = select.select([fd], [], [], remaining)
        if not ready:
            continue
        chunk = os.read(fd, size - got)
        if not chunk:
            break
        chunks.append(chunk)
        got += len(chunk)
    return b"".join(chunks)


def write_all(fd, data, timeout=10):
    deadline = time.monotonic() + timeout
    view = memoryview(data)
    while view:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("write timed out")
        _, ready, _ = select.select([], [fd], [], remaining)
        if ready:
            n = os.write(fd, view)
            view = view[n:]


def read_frame(fd, timeout=10):
    head = read_exact(fd, 4, timeout)
    if not head:
        return None
    assert len(head) == 4, "short frame prefix"
    (length,) = struct.unpack("<I", head)
    body = read_exact(fd, length, timeout)
    assert len(body) == length, "short frame body"
    return body


def stop_process(proc, timeout=10):
    """Ends a process the harness started, by its pid, and reaps it."""
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    for stream in (proc.stdin, proc.stdout, proc.stderr):
        if stream:
            stream.close()


class ThrowawayUser:
    """A system user made for one test session, whose home is inside the session's temporary
    directory; removed again by remove(), even after failures."""

    def __init__(self, base):
        self.name = "bxb%s" % secrets.token_hex(6)
        self.home = os.path.join(base, "h")
        self.uid = self.gid = None

    def create(self):
        os.makedirs(self.home, exist_ok=True)
        run_user_admin(["useradd", "--no-create-home", "--home-dir", self.home,
                        "--shell", "/usr/sbin/nologin", "--user-group", self.name])
        entry = pwd.getpwnam(self.name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        os.chown(self.home, self.uid, self.gid)
        os.chmod(self.home, 0o700)
        return self

    def remove(self):
        try:
            pwd.getpwnam(self.name)
        except KeyError:
            return
        run_user_admin(["userdel", self.name])

    def popen_options(self):
        env = {"HOME": self.home, "PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
        for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):  # sanitizer builds keep their settings
            if name in os.environ:
                env[name] = os.environ[name]
        return dict(user=self.uid, group=self.gid, extra_groups=[], env=env)


def run_user_admin(command, attempts=20):
    """useradd/userdel with retries: they fail while another run holds the passwd lock."""
    for _ in range(attempts):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode == 0:
            return
        if done.returncode not in (1, 10):  # 10: cannot lock the password file
            break
        time.sleep(0.2)
    raise RuntimeError("%s failed: %s" % (command[0], done.stderr.strip()))


def make_base_dir():
    """A private scratch directory under /tmp (short, so socket paths stay under 104 bytes)
    that a throwaway user may traverse."""
    base = tempfile.mkdtemp(prefix="bxb-", dir="/tmp")
    os.chmod(base, 0o755)
    return base


def install_executable(source, base):
    """A copy of the executable that a throwaway user can run whatever the build tree's modes."""
    target = os.path.join(base, "bin", "bix-browser-bridge-host")
    os.makedirs(os.path.dirname(target), exist_ok=True)
    os.chmod(os.path.dirname(target), 0o755)
    shutil.copy2(source, target)
    os.chmod(target, 0o755)
    return target


class Broker:
    """The broker process with the harness as its host application on the control pipe."""

    def __init__(self, exe, bootstrap_path, popen_options=None):
        self.proc = subprocess.Popen([exe, "--broker", bootstrap_path], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     **(popen_options or {}))
        self.out = self.proc.stdout.fileno()
        self.inp = self.proc.stdin.fileno()

    def read_record(self, timeout=10):
        header = read_exact(self.out, 16, timeout)
        if not header:
            return None
        assert len(header) == 16, "short record header"
        magic, version, kind, r1, r2, client, length = struct.unpack("<4sBBBBII", header)
        assert (magic, version, r1, r2) == (RECORD_MAGIC, 1, 0, 0), header
        payload = read_exact(self.out, length, timeout)
        assert len(payload) == length
        return kind, client, payload

    def expect_record(self, kind, timeout=10):
        record = self.read_record(timeout)
        assert record is not None, "control pipe closed, expected record type %d" % kind
        assert record[0] == kind, "expected record type %d, got %r" % (kind, record[:2])
        return record

    def expect_ready(self, keys):
        kind, client, payload = self.expect_record(READY)
        assert (client, payload) == (0, keys.first)

    def send(self, kind, client=0, payload=b"", version=1, magic=RECORD_MAGIC, length=None):
        if length is None:
            length = len(payload)
        header = magic + struct.pack("<BBBBII", version, kind, 0, 0, client, length)
        write_all(self.inp, header + payload)

    def accept(self, client):
        self.send(ACCEPT, client)

    def send_frame(self, client, body):
        self.send(FRAME, client, frame(body))

    def no_record_within(self, seconds):
        ready, _, _ = select.select([self.out], [], [], seconds)
        return not ready

    def wait(self, timeout=10):
        status = self.proc.wait(timeout=timeout)
        return status, self.proc.stderr.read().decode()

    def stop(self):
        stop_process(self.proc)


class Host:
    """A native-messaging host started the way the browser starts it."""

    def __init__(self, exe, origin, popen_options=None, cwd=None):
        self.proc = subprocess.Popen([exe, origin], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd,
                                     **(popen_options or {}))
        self.inp = self.proc.stdin.fileno()
        self.out = self.proc.stdout.fileno()

    def send_frame(self, body):
        write_all(self.inp, frame(body))

    def read_frame(self, timeout=10):
        return read_frame(self.out, timeout)

    def close_input(self):
        self.proc.stdin.close()

    def wait(self, timeout=10):
        status = self.proc.wait(timeout=timeout)
        return status, self.proc.stdout.read(), self.proc.stderr.read().decode()

    def stop(self):
        stop_process(self.proc)


def connect_client(socket_path, timeout=5):
    client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    client.settimeout(timeout)
    client.connect(socket_path)
    return client
