"""Private files and trees: staged create, reads, removals, tree removal and quarantine."""
import errno
import hashlib
import os
import stat
import subprocess

import pytest

from conftest import EEXIST, EINVAL, ESTALE, build_layout, snapshot

E2BIG = errno.E2BIG


def digest(data):
    return hashlib.sha256(data).hexdigest()


def mode_of(tool, relative):
    return stat.S_IMODE(os.lstat(tool.path(relative)).st_mode)


# ---- create-private-file-staged ----------------------------------------------------------------

def test_staged_create_publishes_the_final_name_only(tool):
    build_layout(tool.root, ["p/"])
    os.chmod(tool.path("p"), 0o755)
    assert tool.run("create-private-file-staged", "p/final", "p/stage", "5", data=b"hello").ok
    assert os.listdir(tool.path("p")) == ["final"]
    assert open(tool.path("p/final"), "rb").read() == b"hello"
    assert mode_of(tool, "p/final") == 0o600 and mode_of(tool, "p") == 0o700


@pytest.mark.parametrize("layout,args,data,code,err,left", [
    (["p/", "p/final=old"], ["p/final", "p/stage", "1"], b"x", "EEXIST", EEXIST, ["final"]),
    (["p/", "p/stage=old"], ["p/final", "p/stage", "1"], b"x", "EEXIST", EEXIST, ["stage"]),
    (["p/"], ["p/same", "p/same", "1"], b"x", "IDENTITY_CHANGED", ESTALE, []),
    (["p/"], ["p/final", "p/stage", "209715201"], b"", "IDENTITY_CHANGED", ESTALE, []),
    (["p/", "q/"], ["p/final", "q/stage", "1"], b"x", "IDENTITY_CHANGED", ESTALE, []),
    # Short input leaves the unverified staging file for remove-private-staging-file.
    (["p/"], ["p/final", "p/stage", "3"], b"ab", "EINVAL", EINVAL, ["stage"]),
    (["p/"], ["p/final", "p/stage", "3"], b"abcd", "EINVAL", EINVAL, ["stage"]),
])
def test_staged_create_failures(tool, layout, args, data, code, err, left):
    build_layout(tool.root, layout)
    assert tool.run("create-private-file-staged", *args, data=data).failed(code, err)
    assert sorted(os.listdir(tool.path("p"))) == left


# ---- read-private-file / read-external-file ----------------------------------------------------

def test_read_private_file_repairs_permissions_and_prints_the_bytes(tool):
    build_layout(tool.root, ["p/", "p/f=some bytes"])
    os.chmod(tool.path("p/f"), 0o644)
    os.chmod(tool.path("p"), 0o750)
    outcome = tool.run("read-private-file", "p/f", "100")
    assert outcome.status == 0
    assert outcome.stdout == b'{"ok":true,"size":"10"}\nsome bytes'
    assert mode_of(tool, "p/f") == 0o600 and mode_of(tool, "p") == 0o700


def test_read_private_file_of_large_binary_content(tool):
    data = os.urandom(1 << 20) + b"\n\0tail"
    with open(tool.path("big"), "wb") as handle:
        handle.write(data)
    outcome = tool.run("read-private-file", "big", str(len(data)))
    assert outcome.status == 0 and outcome.rest == data


@pytest.mark.parametrize("layout,args,code,err", [
    (["f=x", "g => f"], ["f", "10"], "IDENTITY_CHANGED", ESTALE),
    (["f=too long"], ["f", "3"], "IDENTITY_CHANGED", ESTALE),
    (["f=x"], ["f", "209715201"], "EINVAL", EINVAL),
    (["l -> ../outside/secret"], ["l", "100"], "ELOOP", errno.ELOOP),
    (["d/"], ["d", "100"], "IDENTITY_CHANGED", ESTALE),
    ([], ["missing", "100"], "ENOENT", errno.ENOENT),
])
def test_read_private_file_refusals(tool, world, layout, args, code, err):
    for entry in layout:
        if " => " in entry:
            name, target = entry.split(" => ")
            build_layout(tool.root, [target + "=x"]) if not os.path.exists(tool.path(target)) else None
            os.link(tool.path(target), tool.path(name))
        else:
            build_layout(tool.root, [entry])
    outside = snapshot(world / "outside")
    outcome = tool.run("read-private-file", *args)
    assert outcome.failed(code, err), outcome
    assert snapshot(world / "outside") == outside


def test_read_external_file_reads_without_changing_anything(tool):
    build_layout(tool.root, ["p/", "p/f=external"])
    os.chmod(tool.path("p/f"), 0o644)
    os.chmod(tool.path("p"), 0o755)
    before = snapshot(tool.root)
    outcome = tool.run("read-external-file", "p/f", "100", *tool.directory_identity("p"))
    assert outcome.stdout == b'{"ok":true,"size":"8"}\nexternal'
    assert snapshot(tool.root) == before


def test_read_external_file_refusals(tool):
    build_layout(tool.root, ["p/", "p/empty=", "p/f=x"])
    ident = tool.directory_identity("p")
    assert tool.run("read-external-file", "p/empty", "100", *ident).failed("IDENTITY_CHANGED",
                                                                         ESTALE)
    wrong = list(ident)
    wrong[1] = str(int(wrong[1]) + 1)
    assert tool.run("read-external-file", "p/f", "100", *wrong).failed("EINVAL", EINVAL)
    assert tool.run("read-external-file", "p/f", "100", "x", *ident[1:]).failed("EINVAL", EINVAL)


def test_read_output_closed_early_fails_after_the_size_line(tool):
    data = os.urandom(4 << 20)
    with open(tool.path("f"), "wb") as handle:
        handle.write(data)
    proc = subprocess.Popen([tool.executable, "read-private-file"] + tool.prologue() +
                            ["f", str(len(data))], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        first = proc.stdout.readline()
        proc.stdout.close()
        assert proc.wait(timeout=60) == 10
        assert proc.stderr.read() == b""
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert first == b'{"ok":true,"size":"%d"}\n' % len(data)


# ---- remove-private-file / remove-private-staging-file ----------------------------------------

def test_remove_private_file_checks_the_digest(tool):
    build_layout(tool.root, ["p/", "p/f=secret", "p/other=keep"])
    assert tool.run("remove-private-file", "p/f", "6", digest(b"SECRET")).failed(
        "IDENTITY_CHANGED", ESTALE)
    assert open(tool.path("p/f"), "rb").read() == b"secret"
    assert tool.run("remove-private-file", "p/f", "5", digest(b"secret")).failed(
        "IDENTITY_CHANGED", ESTALE)
    assert tool.run("remove-private-file", "p/f", "6", digest(b"secret")).ok
    assert os.listdir(tool.path("p")) == ["other"]
    assert tool.run("remove-private-file", "p/f", "6", digest(b"secret")).ok


@pytest.mark.parametrize("args,code,err", [
    (["f", "1", "A" * 64], "EINVAL", EINVAL),
    (["f", "1", "a" * 63], "EINVAL", EINVAL),
    (["f", "209715201", "a" * 64], "EINVAL", EINVAL),
])
def test_remove_private_file_argument_errors(tool, args, code, err):
    build_layout(tool.root, ["f=x"])
    assert tool.run("remove-private-file", *args).failed(code, err)
    assert os.path.exists(tool.path("f"))


def test_remove_private_file_refuses_two_links_and_symlinks(tool, world):
    build_layout(tool.root, ["f=data", "l -> ../outside/secret"])
    os.link(tool.path("f"), tool.path("g"))
    assert tool.run("remove-private-file", "f", "4", digest(b"data")).failed("IDENTITY_CHANGED",
                                                                           ESTALE)
    assert tool.run("remove-private-file", "l", "12", digest(b"outside data")).failed(
        "ELOOP", errno.ELOOP)
    assert os.lstat(tool.path("f")).st_nlink == 2
    assert open(world / "outside" / "secret", "rb").read() == b"outside data"


def test_remove_private_staging_file(tool):
    build_layout(tool.root, ["s=staged data", "big=0123456789", "d/"])
    os.chmod(tool.path("s"), 0o644)
    assert tool.run("remove-private-staging-file", "big", "5").failed("EINVAL", EINVAL)
    assert tool.run("remove-private-staging-file", "d", "5").failed("EINVAL", EINVAL)
    assert tool.run("remove-private-staging-file", "s", "100").ok
    assert not os.path.exists(tool.path("s"))
    assert tool.run("remove-private-staging-file", "s", "100").ok
    assert sorted(os.listdir(tool.root)) == ["big", "d"]


# ---- remove-private-tree -----------------------------------------------------------------------

TREE = ["t/", "t/a/", "t/a/b/", "t/a/b/f=1", "t/a/g=2", "t/h=3", "t/empty/"]


def test_remove_private_tree_in_one_run(tool):
    build_layout(tool.root, TREE + ["keep=x"])
    assert tool.run("remove-private-tree", "t", "4096", "16").ok
    assert os.listdir(tool.root) == ["keep"]
    assert tool.run("remove-private-tree", "t", "1", "0").ok


def test_remove_private_tree_budget_one_removes_one_entry_per_run(tool):
    build_layout(tool.root, ["t/", "t/a=1", "t/b=2"])
    os.chmod(tool.path("t/a"), 0o644)
    assert tool.run("remove-private-tree", "t", "1", "16").failed("E2BIG", E2BIG)
    assert len(os.listdir(tool.path("t"))) == 1
    assert tool.run("remove-private-tree", "t", "1", "16").ok
    assert not os.path.exists(tool.path("t"))


def test_remove_private_tree_runs_until_done_and_hardens_what_it_touched(tool):
    build_layout(tool.root, TREE)
    for relative in ("t/a", "t/a/b"):
        os.chmod(tool.path(relative), 0o755)
    assert tool.run("remove-private-tree", "t", "2", "16").failed("E2BIG", E2BIG)
    # The first run validated and entered a and a/b: both are private now.
    for relative in ("t/a", "t/a/b"):
        if os.path.exists(tool.path(relative)):
            assert mode_of(tool, relative) == 0o700
    runs = 1
    while True:
        runs += 1
        outcome = tool.run("remove-private-tree", "t", "2", "16")
        if outcome.ok:
            break
        assert outcome.failed("E2BIG", E2BIG) and runs < 10
    assert runs == 3 and not os.path.exists(tool.path("t"))


def test_remove_private_tree_deeper_than_the_budget_still_progresses(tool):
    build_layout(tool.root, ["t/", "t/a/", "t/a/b/", "t/a/b/c/", "t/a/b/c/f=x"])
    outcomes = [tool.run("remove-private-tree", "t", "1", "16") for _ in range(5)]
    assert [o.line.get("code", "ok") for o in outcomes] == ["E2BIG"] * 3 + ["ok", "ok"]
    assert not os.path.exists(tool.path("t"))


def test_remove_private_tree_depth_zero_with_a_subdirectory_is_e2big(tool):
    build_layout(tool.root, ["t/", "t/sub/", "t/sub/f=x"])
    assert tool.run("remove-private-tree", "t", "100", "0").failed("E2BIG", E2BIG)
    assert os.path.exists(tool.path("t/sub/f"))


@pytest.mark.parametrize("bad", ["t/a/l -> ../../../outside", "t/l -> /", "t/fifo|"])
def test_remove_private_tree_with_a_non_private_entry_removes_nothing(tool, world, bad):
    build_layout(tool.root, TREE)
    if bad.endswith("|"):
        os.mkfifo(tool.path(bad[:-1]))
    else:
        build_layout(tool.root, [bad])
    before, outside = snapshot(tool.root), snapshot(world / "outside")
    assert tool.run("remove-private-tree", "t", "4096", "16").failed("IDENTITY_CHANGED", ESTALE)
    after = snapshot(tool.root)
    assert sorted(after) == sorted(before)
    assert snapshot(world / "outside") == outside


def test_remove_private_tree_refuses_a_file_or_hard_linked_entry(tool):
    build_layout(tool.root, ["f=x", "t/", "t/a=1"])
    os.link(tool.path("t/a"), tool.path("outer-link"))
    assert tool.run("remove-private-tree", "f", "10", "1").failed("EINVAL", EINVAL)
    assert tool.run("remove-private-tree", "t", "10", "1").failed("IDENTITY_CHANGED", ESTALE)
    assert os.path.exists(tool.path("t/a"))
    for args in (["t", "0", "1"], ["t", "4097", "1"], ["t", "1", "17"]):
        assert tool.run("remove-private-tree", *args).failed("EINVAL", EINVAL)


# ---- quarantine-private-tree -------------------------------------------------------------------

def test_quarantine_private_tree_twice(tool):
    build_layout(tool.root, ["p/", "p/t/", "p/t/f=x"])
    inode = os.lstat(tool.path("p/t")).st_ino
    assert tool.run("quarantine-private-tree", "p/t", "p/q").ok
    assert os.lstat(tool.path("p/q")).st_ino == inode and not os.path.exists(tool.path("p/t"))
    before = snapshot(tool.root)
    assert tool.run("quarantine-private-tree", "p/t", "p/q").ok
    assert snapshot(tool.root) == before
    assert tool.run("quarantine-private-tree", "p/none", "p/nothing").ok


@pytest.mark.parametrize("layout,args,code,err", [
    (["p/", "p/t/", "p/q/"], ["p/t", "p/q"], "EINVAL", EINVAL),
    (["p/", "p/t=file"], ["p/t", "p/q"], "IDENTITY_CHANGED", ESTALE),
    (["p/", "p/q=file"], ["p/t", "p/q"], "IDENTITY_CHANGED", ESTALE),
    (["p/", "r/", "p/t/"], ["p/t", "r/q"], "IDENTITY_CHANGED", ESTALE),
    (["p/", "p/t -> ../../outside"], ["p/t", "p/q"], "IDENTITY_CHANGED", ESTALE),
])
def test_quarantine_private_tree_refusals(tool, layout, args, code, err):
    build_layout(tool.root, layout)
    before = snapshot(tool.root)
    assert tool.run("quarantine-private-tree", *args).failed(code, err)
    assert snapshot(tool.root) == before



def deletion_name(leaf, detail):
    return ".bix-del-" + hashlib.sha256(detail.encode() + b"\0" + leaf.encode()).hexdigest()[:32]


def test_leftover_at_a_deletion_name_goes_first_and_only_when_proven(tool):
    build_layout(tool.root, ["p/", "p/f=x", "p/" + deletion_name("f", "file") + "=x"])
    # Removing "f" needs its deletion name, so a tree removal takes the leftover first.
    assert tool.run("remove-private-tree", "p", "10", "4").ok and not os.path.exists(tool.path("p"))
    # A file this create's rollback cannot have left (other permissions) is never removed.
    build_layout(tool.root, ["p/", "p/" + deletion_name("n", "file") + "=x"])
    before = snapshot(tool.root)
    assert tool.run("create-file", "p/n", "420", "0").failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before
