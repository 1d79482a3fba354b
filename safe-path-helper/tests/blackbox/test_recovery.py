"""Recovery of interrupted checked operations, from every state they accept."""
import os

import pytest

from conftest import EINVAL, ESTALE, build_layout, group, quarantine_name, snapshot

Q = quarantine_name("c")


def unlink_groups(tool):
    return group(tool, "d", "f") + group(tool, "s", "stage") + group(tool, "s", Q)


@pytest.mark.parametrize("where", ["d/f", "s/stage", "s/" + Q])
def test_recover_unlink_finishes_from_each_name(tool, where):
    build_layout(tool.root, ["d/", "s/", "d/f=victim", "d/keep=keep"])
    groups = unlink_groups(tool)
    identity = tool.content_identity("d/f")
    if where != "d/f":
        os.rename(tool.path("d/f"), tool.path(where))
    assert tool.run("recover-unlink", *groups, *identity).ok
    assert os.listdir(tool.path("d")) == ["keep"] and os.listdir(tool.path("s")) == []
    before = snapshot(tool.root)
    assert tool.run("recover-unlink", *groups, *identity).ok
    assert snapshot(tool.root) == before


@pytest.mark.parametrize("layout", [
    ["d/", "s/", "d/f=victim", "s/stage=other"],
    ["d/", "s/", "d/f=victim", "s/" + Q + "=victim"],
])
def test_recover_unlink_refuses_unexpected_states(tool, layout):
    build_layout(tool.root, layout)
    groups = unlink_groups(tool)
    identity = tool.content_identity("d/f")
    before = snapshot(tool.root)
    assert tool.run("recover-unlink", *groups, *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


def test_recover_unlink_needs_quarantine_beside_staging(tool):
    build_layout(tool.root, ["d/", "s/", "d/f=victim"])
    groups = group(tool, "d", "f") + group(tool, "s", "stage") + group(tool, "d", Q)
    identity = tool.content_identity("d/f")
    assert tool.run("recover-unlink", *groups, *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert os.path.exists(tool.path("d/f"))


def test_recover_rename_undoes_a_finished_rename(tool):
    build_layout(tool.root, ["a/", "b/", "a/f=data"])
    groups = group(tool, "a", "f") + group(tool, "b", "g")
    identity = tool.content_identity("a/f")
    assert tool.run("rename-excl", "a/f", "b/g", *identity[:5]).ok
    assert tool.run("recover-rename", *groups, *identity).ok
    assert open(tool.path("a/f"), "rb").read() == b"data" and os.listdir(tool.path("b")) == []
    before = snapshot(tool.root)
    assert tool.run("recover-rename", *groups, *identity).ok
    assert snapshot(tool.root) == before


def test_recover_rename_with_both_names_linked_changes_nothing(tool):
    build_layout(tool.root, ["a/", "b/", "a/f=data"])
    groups = group(tool, "a", "f") + group(tool, "b", "g")
    identity = tool.content_identity("a/f")
    os.link(tool.path("a/f"), tool.path("b/g"))
    before = snapshot(tool.root)
    assert tool.run("recover-rename", *groups, *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


def test_recover_swap_from_both_states(tool):
    build_layout(tool.root, ["x=one", "y=two"])
    groups = group(tool, ".", "x") + group(tool, ".", "y")
    ids = tool.content_identity("x") + tool.content_identity("y")
    before = snapshot(tool.root)
    assert tool.run("recover-swap", *groups, *ids).ok
    assert snapshot(tool.root) == before
    assert tool.run("rename-swap", "x", "y", *ids[0:5], *ids[8:13]).ok
    assert tool.run("recover-swap", *groups, *ids).ok
    assert snapshot(tool.root) == before
    os.rename(tool.path("x"), tool.path("elsewhere"))
    os.rename(tool.path("y"), tool.path("x"))
    assert tool.run("recover-swap", *groups, *ids).failed("IDENTITY_CHANGED", ESTALE)


def link_groups(tool):
    return (group(tool, ".", "f") + group(tool, "n", "g") + group(tool, "r", "back") +
            group(tool, "r", Q))


@pytest.mark.parametrize("extra", [None, "n/g", "r/back", "r/" + Q])
def test_recover_link_removes_the_extra_link_from_each_name(tool, extra):
    build_layout(tool.root, ["f=data", "n/", "r/"])
    groups = link_groups(tool)
    identity = tool.content_identity("f")
    if extra:
        os.link(tool.path("f"), tool.path(extra))
    assert tool.run("recover-link", *groups, *identity).ok
    assert os.lstat(tool.path("f")).st_nlink == 1
    assert os.listdir(tool.path("n")) == [] and os.listdir(tool.path("r")) == []
    before = snapshot(tool.root)
    assert tool.run("recover-link", *groups, *identity).ok
    assert snapshot(tool.root) == before


def test_recover_link_refuses_a_wrong_link_count(tool):
    build_layout(tool.root, ["f=data", "n/", "r/"])
    groups = link_groups(tool)
    identity = tool.content_identity("f")
    os.link(tool.path("f"), tool.path("n/g"))
    os.link(tool.path("f"), tool.path("third"))
    before = snapshot(tool.root)
    assert tool.run("recover-link", *groups, *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


@pytest.mark.parametrize("state", ["gone-last-link", "gone-other-link", "is-new", "is-quarantine"])
def test_recover_link_refuses_states_link_excl_never_leaves(tool, state):
    """link-excl never removes the existing name nor links over it: nothing is deleted."""
    build_layout(tool.root, ["f=data", "n/", "r/"])
    identity, groups = tool.content_identity("f"), link_groups(tool)
    if state == "gone-last-link":
        os.rename(tool.path("f"), tool.path("n/g"))
    elif state == "gone-other-link":
        os.rename(tool.path("f"), tool.path("n/g"))
        os.link(tool.path("n/g"), tool.path("elsewhere"))
        identity[2] = "2"
    elif state == "is-new":
        os.link(tool.path("f"), tool.path("elsewhere"))  # the count of an interrupted link
        groups[6:12] = group(tool, ".", "f")
    else:
        os.link(tool.path("f"), tool.path("elsewhere"))
        os.rename(tool.path("f"), tool.path("r/" + Q))
        groups[0:6] = groups[18:24]
    before = snapshot(tool.root)
    assert tool.run("recover-link", *groups, *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before


@pytest.mark.parametrize("replace", ["rename-and-mkdir", "rmdir-and-mkdir"])
def test_recovery_refuses_a_replaced_directory(tool, replace):
    build_layout(tool.root, ["a/", "b/", "a/f=data"])
    groups = group(tool, "a", "f") + group(tool, "b", "g")
    identity = tool.content_identity("a/f")
    old_inode = os.lstat(tool.path("b")).st_ino
    if replace == "rename-and-mkdir":
        os.rename(tool.path("b"), tool.path("b.old"))
    else:
        os.rmdir(tool.path("b"))  # ext4 hands the same inode number to the next directory
    os.mkdir(tool.path("b"), 0o700)
    os.rename(tool.path("a/f"), tool.path("b/g"))
    before = snapshot(tool.root)
    assert tool.run("recover-rename", *groups, *identity).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before
    if replace == "rmdir-and-mkdir" and os.lstat(tool.path("b")).st_ino != old_inode:
        pytest.skip("this file system did not reuse the inode number")


@pytest.mark.parametrize("position,value", [(0, "abc"), (0, "zz"), (1, "-1"), (4, "../a"),
                                            (5, "a/b"), (4, "a/")])
def test_recovery_rejects_malformed_groups(tool, position, value):
    build_layout(tool.root, ["a/", "b/", "a/f=data"])
    groups = group(tool, "a", "f") + group(tool, "b", "g")
    groups[position] = value
    identity = tool.content_identity("a/f")
    assert tool.run("recover-rename", *groups, *identity).failed("EINVAL", EINVAL)


def test_recovery_rejects_a_corrupted_bookmark(tool):
    build_layout(tool.root, ["a/", "b/", "a/f=data"])
    groups = group(tool, "a", "f") + group(tool, "b", "g")
    data = bytearray(bytes.fromhex(groups[0]))
    data[20] ^= 1
    groups[0] = data.hex().upper()
    identity = tool.content_identity("a/f")
    assert tool.run("recover-rename", *groups, *identity).failed("IDENTITY_CHANGED", ESTALE)
