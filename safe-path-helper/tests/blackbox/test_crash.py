"""Crash tests: each checked operation is killed on entry to every file-system call that changes
or flushes the tree (strace fault injection), then the matching recovery must reach its end state
and a second recovery must change nothing."""
import collections
import hashlib
import os
import shutil
import subprocess

import pytest

from conftest import EINVAL, ESTALE, Outcome, build_layout, group, quarantine_name, snapshot

Q = quarantine_name("e")
CALLS = ("renameat2", "linkat", "unlinkat", "fsync")
STRACE = shutil.which("strace")


def strace_works():
    if STRACE is None:
        return False
    probe = subprocess.run([STRACE, "-qq", "-o", "/dev/null", "-e", "trace=none", "true"],
                           capture_output=True)
    return probe.returncode == 0


pytestmark = pytest.mark.skipif(not strace_works(), reason="strace cannot trace here")


def traced_environment():
    """LeakSanitizer cannot stop a process that strace already traces; every untraced run of the
    same operation still checks for leaks."""
    env = dict(os.environ)
    options = env.get("ASAN_OPTIONS", "")
    env["ASAN_OPTIONS"] = (options + ":" if options else "") + "detect_leaks=0"
    return env


def traced_calls(tool, argv, tmp_path, data=b"", check=True):
    """How often the operation makes each call in an undisturbed run (which is then undone)."""
    log = tmp_path / "calls"
    subprocess.run([STRACE, "-qq", "-o", str(log), "-e", "trace=" + ",".join(CALLS),
                    tool.executable] + argv, input=data, capture_output=True, check=check,
                   env=traced_environment())
    counts = collections.Counter()
    for line in log.read_text().splitlines():
        name = line.split("(", 1)[0].strip()
        if name in CALLS:
            counts[name] += 1
    return counts


def run_killed(tool, argv, call, nth, data=b""):
    proc = subprocess.run([STRACE, "-qq", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                           f"inject={call}:signal=SIGKILL:when={nth}", tool.executable] + argv,
                          input=data, capture_output=True, env=traced_environment())
    return proc.returncode


class Scenario:
    """One operation, the layout it starts from, its recovery and the end state."""

    def __init__(self, tool):
        self.tool = tool

    def reset(self):
        shutil.rmtree(self.tool.root)
        os.mkdir(self.tool.root, 0o700)

    def recover(self):
        return self.tool.run(self.recovery, *self.recovery_args)


class Unlink(Scenario):
    recovery = "recover-unlink"

    def prepare(self):
        build_layout(self.tool.root, ["d/", "s/", "d/f=victim", "d/keep=keep"])
        identity = self.tool.content_identity("d/f")
        self.recovery_args = (group(self.tool, "d", "f") + group(self.tool, "s", "stage") +
                              group(self.tool, "s", Q) + identity)
        return ["unlink-checked"] + self.tool.prologue() + ["d/f", "s/stage", "s/" + Q] + identity

    def assert_end_state(self):
        assert os.listdir(self.tool.path("d")) == ["keep"]
        assert os.listdir(self.tool.path("s")) == []


class Rename(Scenario):
    recovery = "recover-rename"

    def prepare(self):
        build_layout(self.tool.root, ["a/", "b/", "a/f=data"])
        identity = self.tool.content_identity("a/f")
        self.recovery_args = group(self.tool, "a", "f") + group(self.tool, "b", "g") + identity
        return ["rename-excl"] + self.tool.prologue() + ["a/f", "b/g"] + identity[:5]

    def assert_end_state(self):
        assert open(self.tool.path("a/f"), "rb").read() == b"data"
        assert os.listdir(self.tool.path("b")) == []


class Swap(Scenario):
    recovery = "recover-swap"

    def prepare(self):
        build_layout(self.tool.root, ["a/", "a/x=one", "y=two"])
        ids = self.tool.content_identity("a/x") + self.tool.content_identity("y")
        self.recovery_args = group(self.tool, "a", "x") + group(self.tool, ".", "y") + ids
        return ["rename-swap"] + self.tool.prologue() + ["a/x", "y"] + ids[0:5] + ids[8:13]

    def assert_end_state(self):
        assert open(self.tool.path("a/x"), "rb").read() == b"one"
        assert open(self.tool.path("y"), "rb").read() == b"two"


class Link(Scenario):
    recovery = "recover-link"

    def prepare(self):
        build_layout(self.tool.root, ["f=data", "n/", "r/"])
        identity = self.tool.content_identity("f")
        self.recovery_args = (group(self.tool, ".", "f") + group(self.tool, "n", "g") +
                              group(self.tool, "r", "back") + group(self.tool, "r", Q) + identity)
        return (["link-excl"] + self.tool.prologue() + ["f", "n/g", "r/back", "r/" + Q] +
                identity)

    def assert_end_state(self):
        assert os.lstat(self.tool.path("f")).st_nlink == 1
        assert os.listdir(self.tool.path("n")) == [] and os.listdir(self.tool.path("r")) == []


@pytest.mark.parametrize("scenario_type", [Unlink, Rename, Swap, Link])
def test_killed_at_every_call_then_recovered(tool, tmp_path, scenario_type):
    scenario = scenario_type(tool)
    counts = traced_calls(tool, scenario.prepare(), tmp_path)
    assert sum(counts[c] for c in ("renameat2", "linkat", "unlinkat")) > 0, counts
    killed = 0
    for call in CALLS:
        for nth in range(1, counts[call] + 1):
            scenario.reset()
            argv = scenario.prepare()
            status = run_killed(tool, argv, call, nth)
            killed += status != 0
            first = scenario.recover()
            assert first.ok, (call, nth, first)
            scenario.assert_end_state()
            before = snapshot(tool.root)
            second = scenario.recover()
            assert second.ok and snapshot(tool.root) == before, (call, nth, second)
    assert killed == sum(counts.values())


def test_failed_final_unlink_is_identity_changed_and_recoverable(tool):
    """A verified file the kernel refuses to unlink is reported with the mismatch marker, left
    at its quarantine name, and recovery then finishes the job."""
    scenario = Unlink(tool)
    argv = scenario.prepare()
    proc = subprocess.run([STRACE, "-qq", "-o", "/dev/null", "-e", "trace=unlinkat", "-e",
                           "inject=unlinkat:error=EIO:when=1", tool.executable] + argv,
                          capture_output=True, env=traced_environment())
    outcome = Outcome(proc.returncode, proc.stdout)
    assert outcome.failed("IDENTITY_CHANGED", ESTALE), outcome
    assert os.listdir(tool.path("s")) == [Q]
    assert scenario.recover().ok
    scenario.assert_end_state()



@pytest.mark.parametrize("operation,args,data,retry_code", [
    ("remove-private-file", ["p/f", "6", hashlib.sha256(b"secret").hexdigest()], b"", None),
    ("remove-private-staging-file", ["p/f", "100"], b"", None),
    ("remove-private-tree", ["p/t", "100", "16"], b"", None),
    # Short input: the rollback deletes the new file (before its move it is still at its name).
    ("create-file", ["p/n", "384", "9"], b"secret", "EINVAL"),
    ("create-private-file", ["p/n", "9"], b"secret", "EINVAL"),
])
def test_deletion_killed_at_every_call_is_finished_by_the_retry(tool, tmp_path, operation, args,
                                                                 data, retry_code):
    """The retry finds, proves and removes what the killed run moved aside: no deletion name and
    no trace of the content is left."""
    layout = ["p/", "p/keep=keep", "p/f=secret", "p/t/", "p/t/a=secret", "p/t/s/", "p/t/s/b=x"]
    argv = [operation] + tool.prologue() + args
    build_layout(tool.root, layout)
    counts = traced_calls(tool, argv, tmp_path, data, check=False)
    assert counts["unlinkat"] > 0, counts
    for call in CALLS if retry_code is None else ("unlinkat", "fsync"):
        for nth in range(1, counts[call] + 1):
            shutil.rmtree(tool.path("p"))
            build_layout(tool.root, layout)
            assert run_killed(tool, argv, call, nth, data) != 0, (call, nth)
            retry = tool.raw(argv, data=data)
            assert retry.ok if retry_code is None else retry.failed(retry_code, EINVAL), retry
            left = {"keep", "f", "t"} - set(args[0][2:].split("/")[:1])
            assert set(os.listdir(tool.path("p"))) == left, (call, nth)


@pytest.mark.parametrize("operation,args", [("create-file", ["p/f", "384", "5"]),
                                            ("create-private-file", ["p/f", "5"])])
def test_failed_rollback_of_a_create_is_reported_preserved(tool, operation, args):
    build_layout(tool.root, ["p/"])
    proc = subprocess.run([STRACE, "-qq", "-o", "/dev/null", "-e", "inject=renameat2:error=EIO",
                           tool.executable, operation] + tool.prologue() + args, input=b"ab",
                          capture_output=True, env=traced_environment())
    assert Outcome(proc.returncode, proc.stdout).failed("RACE_PRESERVED", ESTALE), proc.stdout
    assert os.listdir(tool.path("p")) == ["f"]
