"""Drives the built bix-ai-accessibility-helper over real pipes, the way the host application does."""

import hashlib
import json
import os
import select
import struct
import subprocess
import time

import pytest

HELPER = os.environ.get("BIX_HELPER_BIN", "")
SCENARIO_DIR = os.environ.get("BIX_SCENARIO_DIR", "")
DEADLINE_SECONDS = 20.0  # generous: sanitizer builds start slowly

NONCE = "session-nonce-0123456789"
BUILD_HASH = hashlib.sha256(
    "\x1f".join(["bix-ai-accessibility-helper", "1.1.0", "bix.ax.helper/1"]).encode()
).hexdigest()


def canonical(value):
    """The helper's canonical JSON: sorted members, no blanks, solidus unescaped, raw UTF-8."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def hello(request_id="hello-1", nonce=NONCE, **overrides):
    value = {
        "protocol": "bix.ax.helper",
        "protocolMin": 1,
        "protocolMax": 1,
        "requestId": request_id,
        "processNonce": nonce,
        "appVersion": "2.4.0",
    }
    value.update(overrides)
    return value


def command(name, params=None, request_id="req-1", nonce=NONCE, **overrides):
    value = {
        "protocol": "bix.ax.helper",
        "protocolVersion": 1,
        "requestId": request_id,
        "processNonce": nonce,
        "command": name,
        "params": {} if params is None else params,
    }
    value.update(overrides)
    return value


def failure(code, message, request_id=None, nonce=None):
    value = {
        "error": {"code": code, "message": message},
        "ok": False,
        "protocol": "bix.ax.helper",
        "protocolVersion": 1,
    }
    if request_id is not None:
        value["requestId"] = request_id
    if nonce is not None:
        value["processNonce"] = nonce
    return canonical(value)


def success(result, request_id="req-1", nonce=NONCE):
    return canonical(
        {
            "ok": True,
            "processNonce": nonce,
            "protocol": "bix.ax.helper",
            "protocolVersion": 1,
            "requestId": request_id,
            "result": result,
        }
    )


def hello_ack(request_id="hello-1", nonce=NONCE):
    return canonical(
        {
            "buildHash": BUILD_HASH,
            "helperVersion": "1.1.0",
            "processNonce": nonce,
            "protocol": "bix.ax.helper",
            "protocolMax": 1,
            "protocolMin": 1,
            "requestId": request_id,
        }
    )


class Helper:
    """One running helper process; every test ends it by its pid in the fixture teardown."""

    def __init__(self, args):
        self.proc = subprocess.Popen(
            [HELPER] + args,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            bufsize=0,
        )

    # --- writing -----------------------------------------------------------------------------
    def write_raw(self, data):
        self.proc.stdin.write(data)

    def send(self, value):
        payload = value if isinstance(value, bytes) else canonical(value)
        self.write_raw(frame(payload))

    def close_input(self):
        self.proc.stdin.close()

    # --- reading -----------------------------------------------------------------------------
    def _read_some(self, stream, limit, deadline):
        remaining = deadline - time.monotonic()
        ready, _, _ = select.select([stream], [], [], max(remaining, 0))
        if not ready:
            raise AssertionError("helper produced no output before the deadline")
        return os.read(stream.fileno(), limit)

    def read_exact(self, count):
        deadline = time.monotonic() + DEADLINE_SECONDS
        data = b""
        while len(data) < count:
            chunk = self._read_some(self.proc.stdout, count - len(data), deadline)
            if not chunk:
                raise AssertionError(f"output ended after {len(data)} of {count} bytes")
            data += chunk
        return data

    def read_reply(self):
        (length,) = struct.unpack(">I", self.read_exact(4))
        assert 0 < length <= 262144
        return self.read_exact(length)

    def request(self, value):
        self.send(value)
        return self.read_reply()

    def handshake(self):
        assert self.request(hello()) == hello_ack()

    def read_rest_of_output(self):
        """Everything the helper still writes to standard output until it closes it."""
        deadline = time.monotonic() + DEADLINE_SECONDS
        data = b""
        while True:
            chunk = self._read_some(self.proc.stdout, 65536, deadline)
            if not chunk:
                return data
            data += chunk

    def finish(self):
        """Waits for the helper to exit; returns (exit status, rest of stdout, all of stderr)."""
        rest = self.read_rest_of_output()
        status = self.proc.wait(timeout=DEADLINE_SECONDS)
        return status, rest, self.proc.stderr.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass


@pytest.fixture
def start_helper():
    assert HELPER, "BIX_HELPER_BIN must name the built helper"
    started = []

    def start(*args):
        helper = Helper(list(args))
        started.append(helper)
        return helper

    yield start
    for helper in started:
        helper.stop()


@pytest.fixture
def helper(start_helper):
    return start_helper("--demo-desktop")


@pytest.fixture
def scenario():
    def path(name):
        full = os.path.join(SCENARIO_DIR, name)
        assert os.path.isfile(full), f"scenario {name} is missing from {SCENARIO_DIR}"
        return full

    return path
