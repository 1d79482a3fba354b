"""Deterministic races against the private-file and tree operations (test-only step hook)."""
import hashlib
import os
import shlex
import stat
import sys

import pytest

from conftest import ESTALE, HERE, build_layout, hooks_only, snapshot
from test_races import q, rewrite_same_size_and_time, run_with_hook

pytestmark = hooks_only
FSOPS = f"{shlex.quote(sys.executable)} {shlex.quote(os.path.join(HERE, 'fsops.py'))}"


def digest(data):
    return hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize("occurrence", [1, 2])
def test_remove_private_file_content_rewritten_between_passes_keeps_it(tool, occurrence):
    build_layout(tool.root, ["p/", "p/f=secret", "p/other=keep"])
    outcome = run_with_hook(tool, "remove-private-file:before-pass",
                            rewrite_same_size_and_time(tool, "p/f", b"SECRET"),
                            "remove-private-file", "p/f", "6", digest(b"secret"),
                            occurrence=occurrence)
    assert outcome.failed("IDENTITY_CHANGED", ESTALE), outcome
    assert sorted(os.listdir(tool.path("p"))) == ["f", "other"]
    assert open(tool.path("p/f"), "rb").read() == b"SECRET"


@pytest.mark.parametrize("operation,args,step", [
    ("remove-private-file", ["p/f", "6", digest(b"secret")], "remove-private-file:before-pass"),
    ("remove-private-file", ["p/f", "6", digest(b"secret")],
     "remove-private-file:before-mutation"),
    ("read-private-file", ["p/f", "100"], "read:before-content"),
])
def test_hard_link_added_concurrently_is_refused(tool, operation, args, step):
    build_layout(tool.root, ["p/", "p/f=secret"])
    outcome = run_with_hook(tool, step, f"ln {q(tool, 'p/f')} {q(tool, 'p/extra')}", operation,
                            *args)
    assert outcome.status == 10 and outcome.line["code"] in ("IDENTITY_CHANGED",
                                                             "RACE_ROLLED_BACK"), outcome
    assert outcome.rest == b""
    assert os.lstat(tool.path("p/f")).st_nlink == 2
    assert open(tool.path("p/extra"), "rb").read() == b"secret"


def test_chmod_through_a_symlink_swapped_in_never_touches_the_target(tool, world):
    build_layout(tool.root, ["t/", "t/f=x"])
    os.chmod(world / "outside" / "secret", 0o644)
    outside = snapshot(world / "outside")
    attack = f"rm {q(tool, 't/f')} && ln -s ../../outside/secret {q(tool, 't/f')}"
    outcome = run_with_hook(tool, "harden:before-open", attack, "remove-private-tree", "t",
                            "100", "16")
    assert outcome.line["code"] in ("ELOOP", "IDENTITY_CHANGED"), outcome
    assert snapshot(world / "outside") == outside
    assert stat.S_IMODE(os.stat(world / "outside" / "secret").st_mode) == 0o644
    assert os.path.islink(tool.path("t/f"))


def test_tree_directory_swapped_for_a_symlink_deletes_nothing_outside(tool, world):
    build_layout(tool.root, ["t/", "t/sub/", "t/sub/f=x", "link -> ../outside"])
    (world / "outside" / "f").write_bytes(b"outside twin")
    outside = snapshot(world / "outside")
    outcome = run_with_hook(tool, "remove-tree:entry",
                            f"{FSOPS} exchange {q(tool, 't/sub')} {q(tool, 'link')}",
                            "remove-private-tree", "t", "100", "16")
    assert outcome.failed("IDENTITY_CHANGED", ESTALE), outcome
    assert snapshot(world / "outside") == outside
    # Once the directory is back the next run carries on and finishes.
    os.rename(tool.path("t/sub"), tool.path("link.tmp"))
    os.rename(tool.path("link"), tool.path("t/sub"))
    os.rename(tool.path("link.tmp"), tool.path("link"))
    assert tool.run("remove-private-tree", "t", "100", "16").ok
    assert not os.path.exists(tool.path("t"))
    assert snapshot(world / "outside") == outside


def test_staged_create_final_name_taken_before_the_move_is_undone(tool):
    build_layout(tool.root, ["p/"])
    outcome = run_with_hook(tool, "create-staged:before-mutation",
                            f"echo intruder > {q(tool, 'p/final')}", "create-private-file-staged",
                            "p/final", "p/stage", "4", data=b"data")
    assert outcome.failed("EEXIST", 17), outcome
    assert os.listdir(tool.path("p")) == ["final"]
    assert open(tool.path("p/final"), "rb").read() == b"intruder\n"


def test_quarantine_tree_parent_replaced_after_the_move_is_put_back(tool):
    build_layout(tool.root, ["p/", "p/t/", "p/t/f=x"])
    outcome = run_with_hook(tool, "move-directory:after-rename",
                            f"mkdir {q(tool, 'p/t')} && rmdir {q(tool, 'p/t')} && "
                            f"mv {q(tool, 'p/q')} {q(tool, 'p/moved')}",
                            "quarantine-private-tree", "p/t", "p/q")
    assert outcome.failed("ENOENT", 2), outcome
    assert sorted(os.listdir(tool.path("p"))) == ["moved"]
