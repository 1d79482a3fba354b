"""Every operation of the first set: success lines, failure codes and the tree afterwards."""
import errno
import os
import stat

import pytest

from conftest import EEXIST, EINVAL, ESTALE, build_layout, quarantine_name, snapshot

Q = quarantine_name("a")


def changed(before, after):
    """Relative paths whose entry differs between two snapshots."""
    return sorted(k for k in set(before) | set(after) if before.get(k) != after.get(k))


# ---- ensure-dir / ensure-private-dir ---------------------------------------------------------

@pytest.mark.parametrize("operation", ["ensure-dir", "ensure-private-dir"])
def test_ensure_creates_a_0700_directory_whatever_the_umask(tool, operation):
    build_layout(tool.root, ["d/"])
    outcome = tool.run(operation, "d/new", umask=0o777)
    assert outcome.status == 0
    st = os.lstat(tool.path("d/new"))
    assert stat.S_ISDIR(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o700
    assert outcome.line == {"ok": True, "device": str(st.st_dev), "inode": str(st.st_ino),
                            "uid": str(st.st_uid), "mode": str(st.st_mode)}


def test_ensure_dir_reports_an_existing_directory_unchanged(tool):
    build_layout(tool.root, ["d/"])
    os.chmod(tool.path("d"), 0o755)
    outcome = tool.run("ensure-dir", "d")
    st = os.lstat(tool.path("d"))
    assert outcome.status == 0 and outcome.line["mode"] == str(st.st_mode)
    assert stat.S_IMODE(st.st_mode) == 0o755


ENSURE_FAILURES = [
    # layout, path, code, errno
    (["f=x"], "f", "ENOTDIR", errno.ENOTDIR),
    (["l -> ../outside"], "l", "ENOTDIR", errno.ENOTDIR),
    (["d/", "d/l -> ../../outside"], "d/l", "ENOTDIR", errno.ENOTDIR),
    ([], "missing/x", "ENOENT", errno.ENOENT),
    (["f=x"], "f/x", "ENOTDIR", errno.ENOTDIR),
    (["l -> ../outside"], "l/x", "ENOTDIR", errno.ENOTDIR),
]


@pytest.mark.parametrize("operation", ["ensure-dir", "ensure-private-dir"])
@pytest.mark.parametrize("layout,path,code,err", ENSURE_FAILURES)
def test_ensure_failures_change_nothing(tool, world, operation, layout, path, code, err):
    build_layout(tool.root, layout)
    before, outside = snapshot(tool.root), snapshot(world / "outside")
    assert tool.run(operation, path).failed(code, err)
    assert snapshot(tool.root) == before and snapshot(world / "outside") == outside


def test_ensure_private_dir_does_not_repair_an_open_directory(tool):
    build_layout(tool.root, ["d/"])
    os.chmod(tool.path("d"), 0o755)
    assert tool.run("ensure-private-dir", "d").failed("IDENTITY_CHANGED", ESTALE)
    assert stat.S_IMODE(os.lstat(tool.path("d")).st_mode) == 0o755


@pytest.mark.skipif(os.geteuid() != 0, reason="changing an owner needs root")
def test_ensure_private_dir_refuses_another_owner(tool):
    build_layout(tool.root, ["d/"])
    os.chown(tool.path("d"), 4321, 4321)
    assert tool.run("ensure-private-dir", "d").failed("IDENTITY_CHANGED", ESTALE)
    assert tool.run("ensure-dir", "d").status == 0


# ---- create-file / create-private-file ---------------------------------------------------------

def test_create_file_writes_content_and_exact_mode(tool):
    build_layout(tool.root, ["d/"])
    assert tool.run("create-file", "d/f", "416", "5", data=b"hello", umask=0o077).ok
    st = os.lstat(tool.path("d/f"))
    assert stat.S_IMODE(st.st_mode) == 0o640 and st.st_nlink == 1
    assert open(tool.path("d/f"), "rb").read() == b"hello"


def test_create_private_file_hardens_the_parent_and_accepts_empty_input(tool):
    build_layout(tool.root, ["d/"])
    os.chmod(tool.path("d"), 0o755)
    assert tool.run("create-private-file", "d/empty", "0").ok
    assert stat.S_IMODE(os.lstat(tool.path("d")).st_mode) == 0o700
    st = os.lstat(tool.path("d/empty"))
    assert stat.S_IMODE(st.st_mode) == 0o600 and st.st_size == 0


def test_create_private_file_copies_large_input_in_chunks(tool):
    data = os.urandom(3 * 65536 + 123)
    assert tool.run("create-private-file", "big", str(len(data)), data=data).ok
    assert open(tool.path("big"), "rb").read() == data


CREATE_FAILURES = [
    # operation, layout, args, input, code, errno
    ("create-file", [], ["f", "512", "1"], b"x", "EINVAL", EINVAL),
    ("create-file", [], ["f", "-1", "1"], b"x", "EINVAL", EINVAL),
    ("create-file", [], ["f", "384", "209715201"], b"", "EINVAL", EINVAL),
    ("create-file", ["f=old"], ["f", "384", "1"], b"x", "EEXIST", EEXIST),
    ("create-file", ["l -> ../outside/new"], ["l", "384", "1"], b"x", "EEXIST", EEXIST),
    ("create-file", [], ["f", "384", "10"], b"x" * 11, "EINVAL", EINVAL),
    ("create-file", [], ["f", "384", "10"], b"x" * 9, "EINVAL", EINVAL),
    ("create-private-file", [], ["f", "3"], b"ab", "EINVAL", EINVAL),
    ("create-private-file", [], ["f", "3"], b"abcd", "EINVAL", EINVAL),
    ("create-private-file", [], ["f", "x"], b"", "EINVAL", EINVAL),
    ("create-private-file", ["f=old"], ["f", "1"], b"x", "EEXIST", EEXIST),
    ("create-private-file", ["d/"], ["d", "1"], b"x", "EEXIST", EEXIST),
    ("create-private-file", ["l -> ../outside"], ["l/f", "1"], b"x", "ENOTDIR", errno.ENOTDIR),
]


@pytest.mark.parametrize("operation,layout,args,data,code,err", CREATE_FAILURES)
def test_create_failures_leave_the_tree_as_it_was(tool, world, operation, layout, args, data,
                                                  code, err):
    build_layout(tool.root, layout)
    before, outside = snapshot(tool.root), snapshot(world / "outside")
    assert tool.run(operation, *args, data=data).failed(code, err)
    assert snapshot(tool.root) == before and snapshot(world / "outside") == outside


@pytest.mark.skipif(os.geteuid() != 0, reason="changing an owner needs root")
def test_create_private_file_refuses_a_parent_of_another_owner(tool):
    build_layout(tool.root, ["d/"])
    os.chown(tool.path("d"), 4321, 4321)
    assert tool.run("create-private-file", "d/f", "1", data=b"x").failed("IDENTITY_CHANGED",
                                                                         ESTALE)
    assert os.listdir(tool.path("d")) == []
    assert tool.run("create-file", "d/f", "384", "1", data=b"x").ok


# ---- rename-excl / rename-swap -----------------------------------------------------------------

def test_rename_excl_moves_the_file_across_directories(tool):
    build_layout(tool.root, ["a/", "b/", "a/f=data"])
    identity = tool.entry_identity("a/f")
    assert tool.run("rename-excl", "a/f", "b/g", *identity).ok
    assert not os.path.exists(tool.path("a/f"))
    assert open(tool.path("b/g"), "rb").read() == b"data"


@pytest.mark.parametrize("field", range(5))
def test_rename_excl_refuses_each_wrong_identity_field(tool, field):
    build_layout(tool.root, ["f=data"])
    identity = tool.entry_identity("f")
    identity[field] = str(int(identity[field]) + 1)
    before = snapshot(tool.root)
    assert tool.run("rename-excl", "f", "g", *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


@pytest.mark.parametrize("layout,source,target,code,err", [
    (["f=data", "g=other"], "f", "g", "EEXIST", EEXIST),
    (["f=data", "g -> f"], "f", "g", "EEXIST", EEXIST),
    (["f=data", "d/"], "f", "d", "EEXIST", EEXIST),
    (["f=data"], "f", "missing/g", "ENOENT", errno.ENOENT),
    (["f=data"], "f", "f", "EEXIST", EEXIST),
])
def test_rename_excl_never_replaces(tool, layout, source, target, code, err):
    build_layout(tool.root, layout)
    identity = tool.entry_identity("f")
    before = snapshot(tool.root)
    assert tool.run("rename-excl", source, target, *identity).failed(code, err)
    assert snapshot(tool.root) == before


def test_rename_excl_of_a_symlink_or_directory_is_identity_changed(tool):
    build_layout(tool.root, ["d/", "l -> d"])
    before = snapshot(tool.root)
    for name in ("d", "l"):
        identity = tool.entry_identity(name)
        assert tool.run("rename-excl", name, "x", *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


def test_rename_swap_exchanges_two_files(tool):
    build_layout(tool.root, ["a/", "a/x=one", "y=two"])
    ids = tool.entry_identity("a/x") + tool.entry_identity("y")
    assert tool.run("rename-swap", "a/x", "y", *ids).ok
    assert open(tool.path("a/x"), "rb").read() == b"two"
    assert open(tool.path("y"), "rb").read() == b"one"


@pytest.mark.parametrize("field", range(10))
def test_rename_swap_refuses_each_wrong_identity_field(tool, field):
    build_layout(tool.root, ["x=one", "y=two"])
    ids = tool.entry_identity("x") + tool.entry_identity("y")
    ids[field] = str(int(ids[field]) + 1)
    before = snapshot(tool.root)
    assert tool.run("rename-swap", "x", "y", *ids).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


def test_rename_swap_with_a_directory_or_missing_name_changes_nothing(tool):
    build_layout(tool.root, ["x=one", "d/"])
    before = snapshot(tool.root)
    ids = tool.entry_identity("x") + tool.entry_identity("d")
    assert tool.run("rename-swap", "x", "d", *ids).failed("IDENTITY_CHANGED", ESTALE)
    ids = tool.entry_identity("x") + tool.entry_identity("x")
    assert tool.run("rename-swap", "x", "missing", *ids).failed("ENOENT", errno.ENOENT)
    assert snapshot(tool.root) == before


# ---- link-excl ---------------------------------------------------------------------------------

def link_args(tool, existing="f", new="g", rollback="r/back", quarantine="r/" + Q):
    return [existing, new, rollback, quarantine] + tool.content_identity(existing)


def test_link_excl_adds_one_link(tool):
    build_layout(tool.root, ["f=data", "r/"])
    assert tool.run("link-excl", *link_args(tool)).ok
    assert os.lstat(tool.path("f")).st_ino == os.lstat(tool.path("g")).st_ino
    assert os.lstat(tool.path("f")).st_nlink == 2
    assert os.listdir(tool.path("r")) == []


@pytest.mark.parametrize("layout,overrides,code,err", [
    (["f=data", "r/", "s/"], {"quarantine": "s/" + Q}, "IDENTITY_CHANGED", ESTALE),
    (["f=data", "r/", "g=x"], {}, "EEXIST", EEXIST),
    (["f=data", "r/", "r/back=x"], {}, "EEXIST", EEXIST),
    (["f=data", "r/", "r/" + Q + "=x"], {}, "EEXIST", EEXIST),
    (["f=data", "r/"], {"quarantine": "r/.bix-native-quarantine-xyz"}, "EINVAL", EINVAL),
    (["f=data", "r/"], {"quarantine": "r/" + Q.upper()}, "EINVAL", EINVAL),
    (["f=data", "r/", "g -> f"], {}, "EEXIST", EEXIST),
    (["f=data", "r/"], {"rollback": "r/" + Q}, "EINVAL", EINVAL),
    (["f=data", "r/"], {"new": "r/back"}, "EINVAL", EINVAL),
    (["f=data", "r/"], {"new": "r/" + Q}, "EINVAL", EINVAL),
])
def test_link_excl_failures_change_nothing(tool, layout, overrides, code, err):
    build_layout(tool.root, layout)
    before = snapshot(tool.root)
    assert tool.run("link-excl", *link_args(tool, **overrides)).failed(code, err)
    assert snapshot(tool.root) == before


@pytest.mark.parametrize("field", range(8))
def test_link_excl_refuses_each_wrong_content_field(tool, field):
    build_layout(tool.root, ["f=data", "r/"])
    args = link_args(tool)
    value = args[4 + field]
    args[4 + field] = ("0" if value[0] != "0" else "1") + value[1:] if field == 7 else str(
        int(value) + 1)
    before = snapshot(tool.root)
    assert tool.run("link-excl", *args).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


def test_link_excl_refuses_the_largest_link_count(tool):
    build_layout(tool.root, ["f=data", "r/"])
    args = link_args(tool)
    args[6] = str(2**64 - 1)
    assert tool.run("link-excl", *args).failed("EINVAL", EINVAL)


# ---- unlink-checked ----------------------------------------------------------------------------

def unlink_args(tool, path="d/f", staging="s/stage", quarantine="s/" + Q):
    return [path, staging, quarantine] + tool.content_identity(path)


def test_unlink_checked_removes_the_file_and_leaves_no_names(tool):
    build_layout(tool.root, ["d/", "s/", "d/f=data", "d/keep=other"])
    assert tool.run("unlink-checked", *unlink_args(tool)).ok
    assert os.listdir(tool.path("d")) == ["keep"]
    assert os.listdir(tool.path("s")) == []


@pytest.mark.parametrize("field", range(8))
def test_unlink_checked_refuses_each_wrong_content_field(tool, field):
    build_layout(tool.root, ["d/", "s/", "d/f=data"])
    args = unlink_args(tool)
    value = args[3 + field]
    args[3 + field] = ("0" if value[0] != "0" else "1") + value[1:] if field == 7 else str(
        int(value) + 1)
    before = snapshot(tool.root)
    assert tool.run("unlink-checked", *args).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


def test_unlink_checked_of_rewritten_content_keeps_the_file(tool):
    build_layout(tool.root, ["d/", "s/", "d/f=data"])
    args = unlink_args(tool)
    st = os.lstat(tool.path("d/f"))
    with open(tool.path("d/f"), "r+b") as handle:
        handle.write(b"DATA")
    os.utime(tool.path("d/f"), ns=(st.st_atime_ns, st.st_mtime_ns))
    assert tool.run("unlink-checked", *args).failed("IDENTITY_CHANGED", ESTALE)
    assert open(tool.path("d/f"), "rb").read() == b"DATA"
    assert os.listdir(tool.path("s")) == []


@pytest.mark.parametrize("layout,overrides,code,err", [
    (["d/", "s/", "d/f=data", "s/stage=x"], {}, "EEXIST", EEXIST),
    (["d/", "s/", "d/f=data", "s/" + Q + "=x"], {}, "EEXIST", EEXIST),
    (["d/", "s/", "d/f=data"], {"quarantine": "d/" + Q}, "IDENTITY_CHANGED", ESTALE),
    (["d/", "s/", "d/f=data"], {"quarantine": "s/not-durable"}, "EINVAL", EINVAL),
    (["d/", "s/", "d/f=data"], {"staging": "s/"}, "EINVAL", EINVAL),
    (["d/", "s/", "d/f=data"], {"staging": "missing/stage"}, "ENOENT", errno.ENOENT),
    (["d/", "s/", "d/f=data"], {"staging": "s/" + Q}, "EINVAL", EINVAL),
])
def test_unlink_checked_failures_change_nothing(tool, layout, overrides, code, err):
    build_layout(tool.root, layout)
    before = snapshot(tool.root)
    assert tool.run("unlink-checked", *unlink_args(tool, **overrides)).failed(code, err)
    assert snapshot(tool.root) == before


# ---- bookmark-parent ---------------------------------------------------------------------------

def test_bookmark_parent_describes_the_parent_directory(tool):
    build_layout(tool.root, ["a/", "a/b/"])
    outcome = tool.run("bookmark-parent", "a/b/not-yet-there")
    assert outcome.status == 0
    st = os.lstat(tool.path("a/b"))
    bookmark = outcome.line.pop("bookmark")
    assert outcome.line == {"ok": True, "device": str(st.st_dev), "inode": str(st.st_ino),
                            "uid": str(st.st_uid)}
    assert bookmark == bookmark.lower() and len(bookmark) % 2 == 0
    assert bytes.fromhex(bookmark)[:5] == b"BXBM\x01"
    top = tool.run("bookmark-parent", "leaf")
    assert top.line["inode"] == str(os.lstat(tool.root).st_ino)


def test_bookmark_parent_of_a_missing_or_linked_parent_fails(tool):
    build_layout(tool.root, ["l -> ../outside"])
    assert tool.run("bookmark-parent", "missing/x").failed("ENOENT", errno.ENOENT)
    assert tool.run("bookmark-parent", "l/x").failed("ENOTDIR", errno.ENOTDIR)
