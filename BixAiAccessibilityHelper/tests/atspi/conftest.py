"""Drives the built helper, with no arguments, against a real GTK 3 application in a private
headless accessibility session (scripts/a11y-session), over real pipes, the way the host does.

One session per test module keeps the suite fast; every application and helper a test starts is
ended by its pid in the fixture teardown, and the session is stopped by pid after the module."""

import hashlib
import json
import os
import select
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import time

import pytest

HELPER = os.environ.get("BIX_HELPER_BIN", "")
AXCTL = os.environ.get("BIX_AXCTL_BIN", "")
PROFILE_DIR = os.environ.get("BIX_PROFILE_DIR", "")
A11Y_SESSION = os.environ.get("BIX_A11Y_SESSION", "")
APP_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "gtk_chat_app.py")
SYSTEM_PYTHON = "/usr/bin/python3"  # the interpreter with GObject introspection and GTK 3

APP_ID = "org.bix.GtkChat"
APP_NAME = "bix-gtk-chat"  # the application's program name, which the accessibility bus shows
DEADLINE_SECONDS = 20.0  # generous: sanitizer builds and the loaded CI box are slow
MISSING_PIECE_STATUS = 3  # a11y-session's status when Xvfb, the bus or the launcher is missing

NONCE = "session-nonce-0123456789"
BUILD_HASH = hashlib.sha256(
    "\x1f".join(["bix-ai-accessibility-helper", "1.1.0", "bix.ax.helper/1"]).encode()
).hexdigest()
STALE = "The selected app or window changed. Reconnect it."
LAYOUT = "The selected AI layout could not be matched safely."


def canonical(value):
    """The helper's canonical JSON: sorted members, no blanks, solidus unescaped, raw UTF-8."""
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def sha256_hex(text):
    return hashlib.sha256(text.encode()).hexdigest()


def fingerprint(*fields):
    return sha256_hex("\x1f".join(fields))


def frame(payload):
    return struct.pack(">I", len(payload)) + payload


def hello(request_id="hello-1", nonce=NONCE):
    return {"protocol": "bix.ax.helper", "protocolMin": 1, "protocolMax": 1,
            "requestId": request_id, "processNonce": nonce, "appVersion": "2.4.0"}


def command(name, params=None, request_id="req-1", nonce=NONCE):
    return {"protocol": "bix.ax.helper", "protocolVersion": 1, "requestId": request_id,
            "processNonce": nonce, "command": name, "params": {} if params is None else params}


def hello_ack(request_id="hello-1", nonce=NONCE):
    return canonical({"buildHash": BUILD_HASH, "helperVersion": "1.1.0", "processNonce": nonce,
                      "protocol": "bix.ax.helper", "protocolMax": 1, "protocolMin": 1,
                      "requestId": request_id})


def wait_until(predicate, what, deadline=DEADLINE_SECONDS, interval=0.05):
    """Polls predicate until it returns something true; never a fixed sleep in place of a check."""
    end = time.monotonic() + deadline
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(interval)


def load_profile(name="gtk-chat.json"):
    with open(os.path.join(PROFILE_DIR, name), encoding="utf-8") as handle:
        return json.load(handle)


def content_hash(profile):
    return hashlib.sha256(canonical({k: v for k, v in profile.items() if k != "profileHash"}))\
        .hexdigest()


# --- the helper ------------------------------------------------------------------------------


class Helper:
    """One running helper process; the fixture ends it by its pid."""

    def __init__(self, args, env):
        self.proc = subprocess.Popen([HELPER] + list(args), stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0,
                                     env=env)
        self.counter = 0

    def send(self, value):
        self.proc.stdin.write(frame(canonical(value)))

    def _read_exact(self, count, deadline):
        data = b""
        while len(data) < count:
            remaining = deadline - time.monotonic()
            ready, _, _ = select.select([self.proc.stdout], [], [], max(remaining, 0))
            if not ready:
                raise AssertionError("helper produced no reply before the deadline")
            chunk = os.read(self.proc.stdout.fileno(), count - len(data))
            if not chunk:
                raise AssertionError(f"helper output ended after {len(data)} of {count} bytes")
            data += chunk
        return data

    def read_reply(self, within=DEADLINE_SECONDS):
        deadline = time.monotonic() + within
        (length,) = struct.unpack(">I", self._read_exact(4, deadline))
        assert 0 < length <= 262144
        return self._read_exact(length, deadline)

    def handshake(self):
        self.send(hello())
        assert self.read_reply() == hello_ack()

    def call(self, name, params=None, within=DEADLINE_SECONDS):
        """One command; returns the decoded envelope after checking that it answers this request."""
        self.counter += 1
        request_id = f"r{self.counter}"
        self.send(command(name, params, request_id=request_id))
        reply = self.read_reply(within)
        value = json.loads(reply)
        assert reply == canonical(value), "replies are canonical JSON"
        assert value["requestId"] == request_id and value["processNonce"] == NONCE, value
        return value

    def ok(self, name, params=None):
        reply = self.call(name, params)
        assert reply["ok"] is True, (name, reply)
        return reply["result"]

    def error(self, name, params=None, within=DEADLINE_SECONDS):
        reply = self.call(name, params, within)
        assert reply["ok"] is False, (name, reply)
        return reply["error"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass


# --- the headless session and the chat application -------------------------------------------


def read_environment(path):
    """The `export NAME=value` lines a11y-session writes, as a dictionary."""
    values = {}
    with open(path, encoding="utf-8") as handle:
        for line in handle:
            words = shlex.split(line)
            if words and words[0] == "export":
                for word in words[1:]:
                    name, _, value = word.partition("=")
                    values[name] = value
    return values


class Session:
    def __init__(self, directory, exports):
        self.directory = directory
        self.exports = exports

    def env(self, **changes):
        """The test's environment with the session's variables; a None value removes one."""
        env = {k: v for k, v in os.environ.items()
               if k not in ("NO_AT_BRIDGE", "GTK_A11Y", "AT_SPI_BUS_ADDRESS")}
        env.update(self.exports)
        env["HOME"] = os.path.join(self.directory, "home")  # nothing may reach the real home
        for name, value in changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env


@pytest.fixture(scope="module")
def session():
    assert HELPER and AXCTL and PROFILE_DIR and A11Y_SESSION, \
        "BIX_HELPER_BIN, BIX_AXCTL_BIN, BIX_PROFILE_DIR and BIX_A11Y_SESSION must be set"
    # Short and private: the bus sockets live inside, and socket paths are limited to 108 bytes.
    directory = tempfile.mkdtemp(prefix="bix-a11y-", dir="/tmp")
    started = subprocess.run([A11Y_SESSION, "start", directory], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, timeout=60)
    try:
        if started.returncode == MISSING_PIECE_STATUS:
            pytest.skip("no headless accessibility session: " + started.stderr.strip())
        assert started.returncode == 0, started.stderr
        os.mkdir(os.path.join(directory, "home"), 0o700)
        yield Session(directory, read_environment(os.path.join(directory, "env")))
    finally:
        stopped = subprocess.run([A11Y_SESSION, "stop", directory], stderr=subprocess.PIPE,
                                 text=True, timeout=60)
        shutil.rmtree(directory, ignore_errors=True)
        assert stopped.returncode == 0, stopped.stderr


class ChatApp:
    """One running Bix GTK Chat; its log holds what it showed, one JSON object a line."""

    def __init__(self, session, directory, args):
        self.directory = directory
        self.ready_file = os.path.join(directory, "ready")
        self.log_file = os.path.join(directory, "app.log")
        self.output = open(os.path.join(directory, "app.out"), "wb")
        self.proc = subprocess.Popen(
            [SYSTEM_PYTHON, APP_SCRIPT, "--ready-file", self.ready_file, "--log", self.log_file]
            + list(args), stdin=subprocess.DEVNULL, stdout=self.output, stderr=subprocess.STDOUT,
            env=session.env(), cwd=directory)
        self.pid = self.proc.pid

    def wait_ready(self):
        wait_until(self._ready, "the chat application's window")

    def _ready(self):
        if self.proc.poll() is not None:
            raise AssertionError(f"the chat application exited with {self.proc.returncode}: "
                                 + self.console())
        return os.path.exists(self.ready_file)

    def console(self):
        with open(os.path.join(self.directory, "app.out"), encoding="utf-8",
                  errors="replace") as handle:
            return handle.read()

    def events(self, name=None):
        if not os.path.exists(self.log_file):
            return []
        with open(self.log_file, encoding="utf-8") as handle:
            entries = [json.loads(line) for line in handle if line.endswith("\n")]
        return [e for e in entries if name is None or e["event"] == name]

    def wait_for_event(self, name, count=1):
        return wait_until(lambda: self.events(name)[count - 1:] and self.events(name),
                          f"the application's '{name}' event")[count - 1]

    def answer_to(self, prompt, event="complete"):
        """The text of the answer to prompt as the application showed it when it ended."""
        def ended():
            submitted = False
            for entry in self.events():
                if entry["event"] == "submitted":
                    submitted = entry["prompt"] == prompt
                elif submitted and entry["event"] in ("complete", "stopped"):
                    assert entry["event"] == event, entry
                    return entry["text"]
            return None
        return wait_until(ended, f"the answer to {prompt!r} to end ({event})")

    def signal(self, number):
        os.kill(self.pid, number)

    def wait_exit(self):
        return self.proc.wait(timeout=DEADLINE_SECONDS)

    def stop(self):
        if self.proc.poll() is None:
            os.kill(self.pid, signal.SIGCONT)  # a test may have left it stopped
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.output.close()


@pytest.fixture
def start_app(session, tmp_path):
    started = []

    def start(*args):
        directory = tmp_path / f"app-{len(started)}"
        directory.mkdir()
        app = ChatApp(session, str(directory), args)
        started.append(app)  # ended by the teardown even when it never gets ready
        app.wait_ready()
        return app

    yield start
    for app in started:
        app.stop()


@pytest.fixture
def start_helper(session):
    started = []

    def start(*args, env=None):
        helper = Helper(args, session.env() if env is None else env)
        started.append(helper)
        helper.handshake()
        return helper

    yield start
    for helper in started:
        helper.stop()


@pytest.fixture
def helper(start_helper):
    """The helper with no arguments: the real desktop of the session."""
    return start_helper()


# --- steps shared by the scenarios ------------------------------------------------------------


def chat_candidate(helper, bundle_id=APP_ID):
    """Lists until the application shows up (it registers with the bus after its window)."""
    def listed():
        candidates = helper.ok("listCandidateApps", {})["candidates"]
        return next((c for c in candidates if c["bundleId"] == bundle_id), None)
    return wait_until(listed, f"{bundle_id} in the helper's listing", interval=0.1)


def bind_chat(helper, profile_hash):
    """Both binding steps for the chat application's one window; returns the bound result."""
    candidate = chat_candidate(helper)
    params = {"candidateId": candidate["candidateId"], "expectedBundleId": APP_ID,
              "profileHash": profile_hash}
    offered = helper.ok("bindTarget", params)
    assert offered["status"] == "window-selection-required", offered
    params["windowCandidateId"] = offered["windows"][0]["windowCandidateId"]
    bound = helper.ok("bindTarget", params)
    assert bound["status"] == "bound", bound
    return bound


class Conversation:
    """A helper with the chat window bound and the shipped profile resolved."""

    def __init__(self, helper, profile=None):
        self.helper = helper
        self.profile = profile or load_profile()
        self.binding = bind_chat(helper, self.profile["profileHash"])["bindingId"]
        self.resolution = None
        self.resolve()

    def resolve(self):
        self.resolution = self.helper.ok("resolveProfile", {"bindingId": self.binding,
                                                            "profile": self.profile})
        return self.resolution

    def target(self, **extra):
        return {"bindingId": self.binding, "resolutionId": self.resolution["resolutionId"],
                **extra}

    def write(self, prompt):
        written = self.helper.ok("setComposerText", self.target(text=prompt))
        assert written == {"contentFingerprint": sha256_hex(prompt), "status": "verified"}

    # The answer counts as complete after this long without change: well above the gaps between
    # chunks even when the loaded machine stalls the application for a moment.
    def ask(self, prompt, turn="turn-1", stable_ms=1500, maximum_wait_ms=30000):
        self.write(prompt)
        submitted = self.helper.ok("pressSubmit", self.target())
        assert submitted == {"delivery": "confirmed", "observedComposerChange": True,
                             "retried": False}
        return self.helper.ok("observeResponse", self.target(
            turnToken=turn, stableMs=stable_ms, maximumWaitMs=maximum_wait_ms))

    def poll(self, observation, turn="turn-1", until=("complete", "interfered"), limit=400):
        """getLatestResponse every 50 ms; every reply up to the first final one or failure."""
        replies = []
        for _ in range(limit):
            reply = self.helper.call("getLatestResponse", self.target(
                observationId=observation["observationId"], turnToken=turn))
            replies.append(reply)
            if not reply["ok"] or reply["result"]["status"] in until:
                return replies
            time.sleep(0.05)
        raise AssertionError("no final status: " + json.dumps(replies[-3:]))
