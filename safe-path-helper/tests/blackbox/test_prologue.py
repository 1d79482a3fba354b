"""The prologue, argument dispatch, number syntax and the path grammar."""
import errno
import os

import pytest

from conftest import EINVAL, ESTALE, build_layout, snapshot

INVALID = b'{"ok":false,"code":"INVALID_PROTOCOL","errno":22}\n'


@pytest.mark.parametrize("argv", [
    [],
    ["ensure-dir"],
    ["ensure-dir", "/tmp"],
    ["ensure-dir", "/tmp", "1"],
    ["ensure-dir", "/tmp", "1", "2"],
])
def test_too_few_arguments_is_invalid_protocol(tool, argv):
    outcome = tool.raw(argv)
    assert (outcome.status, outcome.stdout) == (2, INVALID)


@pytest.mark.parametrize("position", [1, 2, 3])
@pytest.mark.parametrize("bad", ["", "-1", "+1", "12a", " 1", "18446744073709551616"])
def test_root_numbers_must_be_unsigned_decimal(tool, position, bad):
    prologue = tool.prologue()
    prologue[position] = bad
    outcome = tool.raw(["ensure-dir"] + prologue + ["x"])
    assert (outcome.status, outcome.stdout) == (2, INVALID)
    assert not os.path.exists(tool.path("x"))


def test_root_identity_mismatch_of_each_field(tool):
    for position in (1, 2, 3):
        prologue = tool.prologue()
        prologue[position] = str(int(prologue[position]) + 1)
        outcome = tool.raw(["ensure-dir"] + prologue + ["x"])
        assert outcome.failed("ROOT_IDENTITY_CHANGED", ESTALE), outcome
    assert not os.path.exists(tool.path("x"))


def test_root_that_is_a_symlink_or_a_file_is_refused(tool, world):
    os.symlink(tool.root, world / "root-link")
    prologue = tool.prologue()
    prologue[0] = str(world / "root-link")
    outcome = tool.raw(["ensure-dir"] + prologue + ["x"])
    assert outcome.line["code"] in ("ELOOP", "ENOTDIR") and outcome.status == 10
    (world / "file").write_bytes(b"")
    prologue[0] = str(world / "file")
    assert tool.raw(["ensure-dir"] + prologue + ["x"]).failed("ENOTDIR", errno.ENOTDIR)
    prologue[0] = str(world / "missing")
    assert tool.raw(["ensure-dir"] + prologue + ["x"]).failed("ENOENT", errno.ENOENT)
    assert not os.path.exists(tool.path("x"))


@pytest.mark.parametrize("argv", [
    ["no-such-operation", "x"],
    ["ensure-dir"],
    ["ensure-dir", "x", "y"],
    ["create-file", "f", "384"],
    ["rename-excl", "a", "b", "1", "2", "3", "4"],
    ["unlink-checked", "a"],
    ["", "x"],
])
def test_unknown_operation_or_wrong_count_is_einval_after_the_root_check(tool, argv):
    before = snapshot(tool.root)
    outcome = tool.raw([argv[0]] + tool.prologue() + argv[1:])
    assert outcome.failed("EINVAL", EINVAL), outcome
    assert snapshot(tool.root) == before
    # With a wrong root the root check comes first.
    prologue = tool.prologue()
    prologue[2] = "1"
    assert tool.raw([argv[0]] + prologue + argv[1:]).failed("ROOT_IDENTITY_CHANGED", ESTALE)


BAD_PATHS = [
    "", "/abs", "a/", "a//b", "./a", "a/.", "a/..", "..", "a\\b", "x" * 256,
    "/".join(["y" * 100] * 41), "a\u202eb", "a\ufeff", "a\u200bb", "a\x01", "a\x7f", "a\u0085",
]


@pytest.mark.parametrize("path", BAD_PATHS)
def test_bad_paths_are_einval_and_change_nothing(tool, path):
    build_layout(tool.root, ["d/"])
    before = snapshot(tool.root)
    for operation, extra, data in [("ensure-dir", [], b""), ("ensure-private-dir", [], b""),
                                   ("create-private-file", ["1"], b"z"),
                                   ("bookmark-parent", [], b"")]:
        outcome = tool.run(operation, path, *extra, data=data)
        assert outcome.failed("EINVAL", EINVAL), (operation, outcome)
    assert snapshot(tool.root) == before


def test_invalid_utf8_path_is_einval(tool):
    for raw in (b"a\xc0\x80", b"\xff", b"a\xed\xa0\x80", b"a\xe2\x80"):
        outcome = tool.raw([b"ensure-dir".decode()] + tool.prologue() + [os.fsdecode(raw)])
        assert outcome.failed("EINVAL", EINVAL)
    assert os.listdir(tool.root) == []
