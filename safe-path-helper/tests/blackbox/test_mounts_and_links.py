"""Symbolic links anywhere on a path, trailing slashes, and mount points inside the root."""
import errno
import os
import subprocess

import pytest

from conftest import EINVAL, ESTALE, build_layout, root_only, snapshot


@pytest.mark.parametrize("path", ["l/x", "d/l/x", "l/", "d/l/"])
@pytest.mark.parametrize("operation,extra,data", [
    ("ensure-dir", [], b""), ("ensure-private-dir", [], b""),
    ("create-file", ["384", "1"], b"z"), ("create-private-file", ["1"], b"z"),
    ("bookmark-parent", [], b""),
])
def test_symlinked_components_never_lead_outside(tool, world, path, operation, extra, data):
    build_layout(tool.root, ["d/", "l -> ../outside", "d/l -> ../../outside"])
    before, outside = snapshot(tool.root), snapshot(world / "outside")
    outcome = tool.run(operation, path, *extra, data=data)
    expected = ("EINVAL", EINVAL) if path.endswith("/") else ("ENOTDIR", errno.ENOTDIR)
    assert outcome.failed(*expected), outcome
    assert snapshot(tool.root) == before and snapshot(world / "outside") == outside


def test_symlink_leaf_is_never_followed(tool, world):
    build_layout(tool.root, ["l -> ../outside/secret", "f=data"])
    before, outside = snapshot(tool.root), snapshot(world / "outside")
    assert tool.run("create-file", "l", "384", "1", data=b"x").failed("EEXIST", errno.EEXIST)
    assert tool.run("ensure-dir", "l").failed("ENOTDIR", errno.ENOTDIR)
    ids = tool.entry_identity("l")
    assert tool.run("rename-excl", "l", "m", *ids).failed("IDENTITY_CHANGED", ESTALE)
    assert snapshot(tool.root) == before and snapshot(world / "outside") == outside


@pytest.fixture
def mounts(tool):
    """A tmpfs at root/tmpfs and a same-device bind mount of root/src at root/bind."""
    build_layout(tool.root, ["tmpfs/", "src/", "src/f=data", "bind/"])
    mounted = []
    try:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0700", "bix-test",
                        tool.path("tmpfs")], check=True)
        mounted.append(tool.path("tmpfs"))
        subprocess.run(["mount", "--bind", tool.path("src"), tool.path("bind")], check=True)
        mounted.append(tool.path("bind"))
        yield tool
    finally:
        for point in reversed(mounted):
            if subprocess.run(["umount", point]).returncode != 0:
                subprocess.run(["umount", "-l", point])


@root_only
@pytest.mark.parametrize("mount_point", ["tmpfs", "bind"])
def test_mount_points_are_other_file_systems(mounts, mount_point):
    tool = mounts
    before = snapshot(tool.path("src"))
    for operation, extra, data, code, err in [
        ("ensure-dir", [], b"", "EXDEV", errno.EXDEV),
        ("ensure-private-dir", [], b"", "EXDEV", errno.EXDEV),
        ("create-file", ["384", "1"], b"x", "EXDEV", errno.EXDEV),
        ("create-private-file", ["1"], b"x", "IDENTITY_CHANGED", ESTALE),
        ("bookmark-parent", [], b"", "EXDEV", errno.EXDEV),
    ]:
        outcome = tool.run(operation, mount_point + "/new", *extra, data=data)
        assert outcome.failed(code, err), (operation, outcome)
    # The mount point itself as a leaf is not a directory of the root's file system.
    assert tool.run("ensure-dir", mount_point).failed("IDENTITY_CHANGED", ESTALE)
    assert not os.path.exists(tool.path(mount_point + "/new"))
    assert snapshot(tool.path("src")) == before


@root_only
def test_rename_into_a_bind_mount_is_refused(mounts):
    tool = mounts
    build_layout(tool.root, ["f=data"])
    ids = tool.entry_identity("f")
    assert tool.run("rename-excl", "f", "bind/g", *ids).failed("EXDEV", errno.EXDEV)
    assert os.path.exists(tool.path("f")) and not os.path.exists(tool.path("src/g"))
