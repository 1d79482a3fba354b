"""Fixtures for the black-box tests of bix-safe-path-helper.

Every test works in its own temporary directory; the tool runs as a real process over real pipes.
"""
import errno
import hashlib
import json
import os
import stat
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import fsops  # noqa: E402

QUARANTINE_PREFIX = ".bix-native-quarantine-"


def quarantine_name(seed="0"):
    return QUARANTINE_PREFIX + (seed * 32)[:32]


class Outcome:
    """One finished run: exit status, parsed first line, raw stdout."""

    def __init__(self, status, stdout):
        self.status = status
        self.stdout = stdout
        first, _, self.rest = stdout.partition(b"\n")
        self.line = json.loads(first) if first else None

    @property
    def ok(self):
        return self.status == 0 and self.line == {"ok": True}

    def failed(self, code, err=None):
        """True when the run failed with `code` (and errno `err` when given)."""
        expected_errno = err if err is not None else self.line.get("errno")
        return (self.status == 10 and self.line.get("ok") is False and
                self.line.get("code") == code and self.line.get("errno") == expected_errno and
                self.rest == b"")

    def __repr__(self):
        return f"Outcome(status={self.status}, stdout={self.stdout[:300]!r})"


class Tool:
    """Runs the helper against one root directory."""

    def __init__(self, executable, root):
        self.executable = executable
        self.root = root

    def prologue(self):
        st = os.stat(self.root)
        return [str(self.root), str(st.st_dev), str(st.st_ino), str(st.st_uid)]

    def raw(self, args, data=b"", env=None, timeout=120, umask=-1):
        merged = dict(os.environ)
        merged.update(env or {})
        proc = subprocess.Popen([self.executable] + [str(a) for a in args], stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=merged,
                                umask=umask)
        try:
            stdout, stderr = proc.communicate(data, timeout=timeout)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        assert stderr == b"", stderr
        assert stdout.endswith(b"\n") or proc.returncode == 0, stdout
        return Outcome(proc.returncode, stdout)

    def run(self, operation, *args, data=b"", env=None, umask=-1):
        return self.raw([operation] + self.prologue() + list(args), data=data, env=env,
                        umask=umask)

    # Identities as the host would take them.
    def path(self, relative):
        return os.path.join(self.root, relative)

    def entry_identity(self, relative):
        st = os.lstat(self.path(relative))
        return [str(st.st_dev), str(st.st_ino), str(st.st_nlink), str(st.st_uid),
                str(st.st_mode)]

    def content_identity(self, relative):
        st = os.lstat(self.path(relative))
        with open(self.path(relative), "rb") as handle:
            digest = hashlib.sha256(handle.read()).hexdigest()
        return self.entry_identity(relative) + [str(st.st_size), str(st.st_mtime_ns), digest]

    def directory_identity(self, relative="."):
        st = os.lstat(self.path(relative))
        return [str(st.st_dev), str(st.st_ino), str(st.st_uid)]


def snapshot(top):
    """Everything below `top`: type, permissions, link count and content or link target."""
    result = {}
    for directory, dirs, files in os.walk(top):
        for name in dirs + files:
            full = os.path.join(directory, name)
            rel = os.path.relpath(full, top)
            st = os.lstat(full)
            if stat.S_ISLNK(st.st_mode):
                result[rel] = ("link", os.readlink(full))
            elif stat.S_ISDIR(st.st_mode):
                result[rel] = ("dir", stat.S_IMODE(st.st_mode), st.st_ino)
            elif not stat.S_ISREG(st.st_mode):
                result[rel] = ("special", st.st_mode, st.st_ino)
            else:
                with open(full, "rb") as handle:
                    result[rel] = ("file", stat.S_IMODE(st.st_mode), st.st_nlink, st.st_ino,
                                   handle.read())
    return result


def build_layout(top, layout):
    """Creates a layout written as "d/", "d/f=content", "l -> target" entries."""
    for entry in layout:
        if " -> " in entry:
            name, target = entry.split(" -> ")
            os.symlink(target, os.path.join(top, name))
        elif entry.endswith("/"):
            os.makedirs(os.path.join(top, entry), mode=0o700, exist_ok=True)
        else:
            name, _, content = entry.partition("=")
            path = os.path.join(top, name)
            with open(path, "wb") as handle:
                handle.write(content.encode())
            os.chmod(path, 0o600)


@pytest.fixture
def executable():
    path = os.environ.get("BIX_SAFE_PATH_HELPER")
    if not path:
        pytest.skip("BIX_SAFE_PATH_HELPER is not set")
    return path


@pytest.fixture
def world(tmp_path):
    """A temporary directory holding the root ("root") and a place outside it ("outside")."""
    os.chmod(tmp_path, 0o700)
    (tmp_path / "root").mkdir(mode=0o700)
    (tmp_path / "outside").mkdir(mode=0o700)
    (tmp_path / "outside" / "secret").write_bytes(b"outside data")
    return tmp_path


@pytest.fixture
def tool(executable, world):
    return Tool(executable, str(world / "root"))


hooks_only = pytest.mark.skipif(os.environ.get("BIX_SAFE_PATH_HOOKS") != "1",
                                reason="the tool was built without the test-only step hooks")
root_only = pytest.mark.skipif(os.geteuid() != 0, reason="mount tests need root")

ESTALE = errno.ESTALE
EINVAL = errno.EINVAL
EEXIST = errno.EEXIST


def group(tool, directory, leaf):
    """A bookmarked directory group for `leaf` inside `directory` ("." for the root)."""
    probe = leaf if directory == "." else directory + "/" + leaf
    outcome = tool.run("bookmark-parent", probe)
    assert outcome.status == 0, outcome
    line = outcome.line
    return [line["bookmark"], line["device"], line["inode"], line["uid"], directory, leaf]
