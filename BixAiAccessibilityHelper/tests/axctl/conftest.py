"""Runs the built bix-axctl against the built helper (or a misbehaving stand-in) over real pipes."""

import json
import os
import signal
import stat
import subprocess
import sys
import time

import pytest

AXCTL = os.environ.get("BIX_AXCTL_BIN", "")
HELPER = os.environ.get("BIX_HELPER_BIN", "")
PROFILE = os.path.join(os.environ.get("BIX_PROFILE_DIR", ""), "demo-chat.json")
SCENARIOS = os.environ.get("BIX_SCENARIO_DIR", "")
FAKE_HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_helper.py")
DEADLINE_SECONDS = 60.0  # generous: sanitizer builds start slowly


def canonical(value):
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False)


def pid_is_gone(pid, wait_seconds=5.0):
    """True once `pid` no longer exists (a zombie left to init is reaped quickly)."""
    deadline = time.monotonic() + wait_seconds
    while True:
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.02)


class Helpers:
    """Wrappers that record the pid of every helper bix-axctl starts, so a test can check that
    bix-axctl ended it, and the fixture can end any survivor by its pid."""

    def __init__(self, directory):
        self.directory = directory
        self.pid_files = []

    def _wrapper(self, name, command):
        pid_file = os.path.join(self.directory, name + ".pid")
        script = os.path.join(self.directory, name)
        with open(script, "w") as out:
            out.write(f"#!/bin/sh\necho $$ > '{pid_file}'\nexec {command} \"$@\"\n")
        os.chmod(script, stat.S_IRWXU)
        self.pid_files.append(pid_file)
        return script, pid_file

    def real(self):
        return self._wrapper("helper", f"'{HELPER}'")

    def fake(self, mode):
        """A stand-in helper; it creates `<pid file>.shutdown` when it receives shutdown."""
        pid_file = os.path.join(self.directory, f"fake-{mode}.pid")
        return self._wrapper(f"fake-{mode}",
                             f"'{sys.executable}' '{FAKE_HELPER}' {mode} '{pid_file}.shutdown'")

    @staticmethod
    def pid(pid_file):
        with open(pid_file) as data:
            return int(data.read())

    def end_all(self):
        for pid_file in self.pid_files:
            if os.path.exists(pid_file):
                pid = self.pid(pid_file)
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass


@pytest.fixture
def helpers(tmp_path):
    assert AXCTL and HELPER, "BIX_AXCTL_BIN and BIX_HELPER_BIN must name the built programs"
    made = Helpers(str(tmp_path))
    yield made
    made.end_all()


def run_axctl(*args, stdin_text=None, pass_fds=()):
    """Runs bix-axctl to its end; returns (status, stdout, stderr)."""
    done = subprocess.run([AXCTL, *args], input=stdin_text, capture_output=True, text=True,
                          timeout=DEADLINE_SECONDS, pass_fds=pass_fds)
    return done.returncode, done.stdout, done.stderr


def reply_lines(stdout):
    """The --json output: one canonical reply envelope per line."""
    replies = []
    for line in stdout.splitlines():
        value = json.loads(line)
        assert canonical(value) == line
        replies.append(value)
    return replies
