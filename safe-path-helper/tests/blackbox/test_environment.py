"""Deletions and rollbacks where the kernel cannot name an object by path: /proc unmounted, or an
absolute path past 4,096 bytes. Each run gets a private mount namespace."""
import hashlib
import os
import shutil
import subprocess

import pytest

from conftest import EINVAL, Outcome, quarantine_name, root_only

Q = quarantine_name("d")
pytestmark = [root_only, pytest.mark.skipif(not shutil.which("unshare"), reason="no unshare")]


def run_isolated(tool, argv, data=b"", without_proc=False):
    """The sanitizers read their options and maps from /proc, so under them only the tool's own
    descriptor directory is hidden (the tool is exec'd into the shell's pid)."""
    with open(tool.executable, "rb") as handle:
        sanitized = b"__asan_init" in handle.read()
    hide = "mount -t tmpfs none /proc/$$/fd" if sanitized else "umount -l /proc"
    script = (hide + " && " if without_proc else "") + 'exec "$@"'
    proc = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh",
                           tool.executable, argv[0]] + tool.prologue() + [str(a) for a in argv[1:]],
                          input=data, capture_output=True, timeout=120)
    assert proc.stderr == b"", proc.stderr
    return Outcome(proc.returncode, proc.stdout)


@pytest.mark.parametrize("where", ["no-proc", "deep"])
@pytest.mark.parametrize("operation", ["create-file", "remove-private-file", "remove-private-tree",
                                       "unlink-checked"])
def test_deletions_and_rollbacks_need_no_path_string(tool, where, operation):
    # Deep: a relative path within the grammar (room left for a quarantine leaf) whose absolute
    # form passes 4,096 bytes; everything is reached through descriptors.
    relative = "p" if where == "no-proc" else "/".join(["d" * 249] * 17)[:4096 - 1 - len(Q)]
    assert where == "no-proc" or len(tool.root) + 1 + len(relative) > 4096
    fd = os.open(tool.root, os.O_RDONLY)
    for component in relative.split("/"):
        os.mkdir(component, 0o700, dir_fd=fd)
        fd, parent = os.open(component, os.O_RDONLY, dir_fd=fd), fd
        os.close(parent)
    for name in ("f", "keep", "t/", "t/a"):
        if name.endswith("/"):
            os.mkdir(name, 0o700, dir_fd=fd)
        else:
            os.close(os.open(name, os.O_WRONLY | os.O_CREAT, 0o600, dir_fd=fd))
    st = os.stat("f", dir_fd=fd)
    empty = hashlib.sha256(b"").hexdigest()
    at = relative + "/"
    argv, data, code, left = {
        "create-file": ([at + "n", "384", "5"], b"ab", "EINVAL", ["f", "keep", "t"]),
        "remove-private-file": ([at + "f", "0", empty], b"", None, ["keep", "t"]),
        "remove-private-tree": ([at + "t", "10", "4"], b"", None, ["f", "keep"]),
        "unlink-checked": ([at + "f", at + "stage", at + Q, st.st_dev, st.st_ino, 1, st.st_uid,
                            st.st_mode, 0, st.st_mtime_ns, empty], b"", None, ["keep", "t"]),
    }[operation]
    outcome = run_isolated(tool, [operation] + argv, data, without_proc=where == "no-proc")
    assert outcome.ok if code is None else outcome.failed(code, EINVAL), outcome
    assert sorted(os.listdir(fd)) == left
    os.close(fd)


def test_bookmarks_and_recovery_without_proc(tool):
    os.makedirs(tool.path("s"))
    with open(tool.path("s/" + Q), "wb") as handle:
        handle.write(b"victim")
    identity = tool.content_identity("s/" + Q)
    groups = []
    for leaf in ("f", "stage", Q):
        line = run_isolated(tool, ["bookmark-parent", "s/" + leaf], without_proc=True).line
        groups += [line["bookmark"], line["device"], line["inode"], line["uid"], "s", leaf]
    assert run_isolated(tool, ["recover-unlink"] + groups + identity, without_proc=True).ok
    assert os.listdir(tool.path("s")) == []
