"""Deterministic races: the test-only step hook runs an attacker command between two named steps
of an operation. Each case asserts the exact outcome and that nothing outside the operation's own
entries changed."""
import os
import shlex
import signal
import subprocess
import sys

import pytest

from conftest import ESTALE, HERE, build_layout, hooks_only, quarantine_name, snapshot

pytestmark = hooks_only

Q = quarantine_name("b")
FSOPS = f"{shlex.quote(sys.executable)} {shlex.quote(os.path.join(HERE, 'fsops.py'))}"


def run_with_hook(tool, step, command, operation, *args, data=b"", occurrence=1):
    env = {"BIX_SAFE_PATH_HOOK_STEP": step, "BIX_SAFE_PATH_HOOK_COMMAND": command,
           "BIX_SAFE_PATH_HOOK_OCCURRENCE": str(occurrence)}
    return tool.run(operation, *args, data=data, env=env)


def q(tool, relative):
    return shlex.quote(tool.path(relative))


def parent_to_symlink(tool, name):
    """Moves directory `name` aside to `name.real` and puts a link to ../outside in its place."""
    return f"mv {q(tool, name)} {q(tool, name + '.real')} && ln -s ../outside {q(tool, name)}"


def parent_to_other_directory(tool, name):
    return f"mv {q(tool, name)} {q(tool, name + '.real')} && mkdir -m 700 {q(tool, name)}"


def rewrite_same_size_and_time(tool, relative, content):
    path = tool.path(relative)
    script = (f"import os; st=os.stat({path!r}); f=open({path!r},'r+b'); f.write({content!r}); "
              f"f.close(); os.utime({path!r}, ns=(st.st_atime_ns, st.st_mtime_ns))")
    return f"{shlex.quote(sys.executable)} -c {shlex.quote(script)}"


def test_trace_lists_the_steps_of_an_operation(tool, tmp_path):
    build_layout(tool.root, ["a/", "a/f=data"])
    trace = tmp_path / "trace"
    ids = tool.entry_identity("a/f")
    assert tool.run("rename-excl", "a/f", "a/g", *ids,
                    env={"BIX_SAFE_PATH_HOOK_TRACE": str(trace)}).ok
    steps = trace.read_text().split()
    assert steps.index("rename-excl:before-mutation") < steps.index("rename-excl:after-mutation")
    assert "rename-excl:before-final-anchor" in steps


@pytest.mark.parametrize("step", ["rename-excl:after-mutation",
                                  "rename-excl:before-final-anchor"])
@pytest.mark.parametrize("attack", [parent_to_symlink, parent_to_other_directory])
def test_rename_excl_parent_replaced_after_the_rename_is_rolled_back(tool, world, step, attack):
    build_layout(tool.root, ["a/", "a/f=data", "b/"])
    ids = tool.entry_identity("a/f")
    outside = snapshot(world / "outside")
    outcome = run_with_hook(tool, step, attack(tool, "b"), "rename-excl", "a/f", "b/g", *ids)
    assert outcome.failed("RACE_ROLLED_BACK", ESTALE), outcome
    assert open(tool.path("a/f"), "rb").read() == b"data"
    assert os.listdir(tool.path("b.real")) == []
    assert snapshot(world / "outside") == outside


def test_rename_excl_parent_replaced_before_the_rename_is_refused(tool, world):
    build_layout(tool.root, ["a/", "a/f=data", "b/"])
    ids = tool.entry_identity("a/f")
    outcome = run_with_hook(tool, "walk:component", parent_to_symlink(tool, "a"), "rename-excl",
                            "a/f", "b/g", *ids, occurrence=3)
    # The third walk step is the first anchoring's walk to a; the link is never followed.
    assert outcome.failed("ENOTDIR", 20), outcome
    assert os.path.exists(tool.path("a.real/f")) and os.listdir(tool.path("b")) == []


def test_rename_excl_destination_created_first_is_never_replaced(tool):
    build_layout(tool.root, ["a/", "a/f=data"])
    ids = tool.entry_identity("a/f")
    outcome = run_with_hook(tool, "rename-excl:before-mutation",
                            f"echo intruder > {q(tool, 'a/g')}", "rename-excl", "a/f", "a/g", *ids)
    assert outcome.failed("EEXIST", 17)
    assert open(tool.path("a/g"), "rb").read() == b"intruder\n"
    assert open(tool.path("a/f"), "rb").read() == b"data"


def test_rename_swap_with_a_directory_swapped_in_is_preserved(tool):
    build_layout(tool.root, ["x=one", "y=two", "d/", "d/inner=keep"])
    ids = tool.entry_identity("x") + tool.entry_identity("y")
    outcome = run_with_hook(tool, "rename-swap:after-mutation",
                            f"{FSOPS} exchange {q(tool, 'y')} {q(tool, 'd')}", "rename-swap", "x",
                            "y", *ids)
    assert outcome.failed("RACE_PRESERVED", ESTALE), outcome
    assert open(tool.path("y/inner"), "rb").read() == b"keep"
    assert open(tool.path("x"), "rb").read() == b"two"
    assert open(tool.path("d"), "rb").read() == b"one"


def test_rename_swap_parent_replaced_after_the_swap_is_rolled_back(tool):
    build_layout(tool.root, ["p/", "p/x=one", "y=two"])
    ids = tool.entry_identity("p/x") + tool.entry_identity("y")
    outcome = run_with_hook(tool, "rename-swap:after-mutation", parent_to_other_directory(tool, "p"),
                            "rename-swap", "p/x", "y", *ids)
    assert outcome.failed("RACE_ROLLED_BACK", ESTALE), outcome
    assert open(tool.path("p.real/x"), "rb").read() == b"one"
    assert open(tool.path("y"), "rb").read() == b"two"


def unlink_args(tool):
    return ["d/f", "s/stage", "s/" + Q] + tool.content_identity("d/f")


def test_unlink_checked_victim_swapped_with_a_decoy_keeps_the_decoy(tool):
    build_layout(tool.root, ["d/", "s/", "d/f=victim", "d/decoy=decoy"])
    args = unlink_args(tool)
    outcome = run_with_hook(tool, "unlink-checked:before-mutation",
                            f"{FSOPS} exchange {q(tool, 'd/f')} {q(tool, 'd/decoy')}",
                            "unlink-checked", *args)
    assert outcome.failed("RACE_ROLLED_BACK", ESTALE), outcome
    assert open(tool.path("d/f"), "rb").read() == b"decoy"
    assert open(tool.path("d/decoy"), "rb").read() == b"victim"
    assert os.listdir(tool.path("s")) == []


@pytest.mark.parametrize("step,code,left", [
    ("unlink-checked:after-mutation", "RACE_ROLLED_BACK", "d/f"),
    ("delete-content:quarantined", "IDENTITY_CHANGED", "s/" + Q),
])
def test_unlink_checked_content_rewritten_keeps_the_file(tool, step, code, left):
    build_layout(tool.root, ["d/", "s/", "d/f=victim"])
    args = unlink_args(tool)
    at = "s/stage" if step == "unlink-checked:after-mutation" else "s/" + Q
    outcome = run_with_hook(tool, step, rewrite_same_size_and_time(tool, at, b"VICTIM"),
                            "unlink-checked", *args)
    assert outcome.failed(code, ESTALE), outcome
    assert open(tool.path(left), "rb").read() == b"VICTIM"
    assert sorted(os.listdir(tool.path("d")) + os.listdir(tool.path("s"))) == [os.path.basename(left)]


def test_unlink_checked_quarantine_swapped_before_the_unlink_is_preserved(tool):
    build_layout(tool.root, ["d/", "s/", "d/f=victim", "s/decoy=decoy"])
    args = unlink_args(tool)
    outcome = run_with_hook(tool, "delete:before-unlink",
                            f"{FSOPS} exchange {q(tool, 's/' + Q)} {q(tool, 's/decoy')}",
                            "unlink-checked", *args)
    # The attacker's own file went instead; the verified file survives and the tool says so.
    assert outcome.failed("RACE_PRESERVED", ESTALE), outcome
    assert open(tool.path("s/decoy"), "rb").read() == b"victim"


@pytest.mark.parametrize("attack", [parent_to_symlink, parent_to_other_directory])
@pytest.mark.parametrize("step", ["create:after-verify", "create:before-final-anchor"])
def test_create_private_file_parent_replaced_is_rolled_back(tool, world, attack, step):
    build_layout(tool.root, ["p/"])
    outside = snapshot(world / "outside")
    outcome = run_with_hook(tool, step, attack(tool, "p"), "create-private-file", "p/f", "4",
                            data=b"data")
    assert outcome.failed("RACE_ROLLED_BACK", ESTALE), outcome
    assert os.listdir(tool.path("p.real")) == []
    assert snapshot(world / "outside") == outside


def test_create_file_leaf_swapped_for_a_symlink_is_not_followed_by_the_rollback(tool, world):
    build_layout(tool.root, ["p/"])
    outside = snapshot(world / "outside")
    attack = (f"mv {q(tool, 'p/f')} {q(tool, 'p/g')} && "
              f"ln -s ../../outside/secret {q(tool, 'p/f')} && " + parent_to_other_directory(tool, "p"))
    outcome = run_with_hook(tool, "create:after-verify", attack, "create-file", "p/f", "420", "4",
                            data=b"data")
    assert outcome.failed("RACE_PRESERVED", ESTALE), outcome
    assert snapshot(world / "outside") == outside
    assert os.path.islink(tool.path("p.real/f"))


def test_link_excl_parent_replaced_after_the_link_is_rolled_back(tool):
    build_layout(tool.root, ["f=data", "n/", "r/"])
    args = ["f", "n/g", "r/back", "r/" + Q] + tool.content_identity("f")
    outcome = run_with_hook(tool, "link-excl:after-mutation", parent_to_other_directory(tool, "n"),
                            "link-excl", *args)
    assert outcome.failed("RACE_ROLLED_BACK", ESTALE), outcome
    assert os.lstat(tool.path("f")).st_nlink == 1
    assert os.listdir(tool.path("n.real")) == [] and os.listdir(tool.path("r")) == []


def test_ensure_dir_parent_replaced_leaves_the_new_directory(tool):
    build_layout(tool.root, ["p/"])
    outcome = run_with_hook(tool, "ensure-dir:after-mutation", parent_to_other_directory(tool, "p"),
                            "ensure-dir", "p/new")
    assert outcome.failed("RACE_PRESERVED", ESTALE), outcome
    assert os.path.isdir(tool.path("p.real/new"))


# ---- one bounded stress run with a real attacker process --------------------------------------

def start_attacker(a, b):
    return subprocess.Popen([sys.executable, os.path.join(HERE, "fsops.py"), "loop-exchange", a, b])


def stop(process):
    process.send_signal(signal.SIGKILL)
    process.wait()


@pytest.mark.parametrize("rounds", [150])
def test_stress_victim_decoy_exchange_never_deletes_the_decoy(tool, world, rounds):
    build_layout(tool.root, ["d/", "s/", "d/f=victim", "d/decoy=decoy"])
    for round_number in range(rounds):
        # The identity is taken while no attacker runs: it is always the victim's.
        name = "f" if open(tool.path("d/f"), "rb").read() == b"victim" else "decoy"
        ids = tool.content_identity("d/" + name)
        attacker = start_attacker(tool.path("d/f"), tool.path("d/decoy"))
        try:
            outcome = tool.run("unlink-checked", "d/f", "s/stage",
                               "s/" + quarantine_name("%x" % (round_number % 16)), *ids)
        finally:
            stop(attacker)
        # A rollback whose own re-check sees the attacker's next swap is reported as preserved.
        assert outcome.ok or outcome.line["code"] in (
            "IDENTITY_CHANGED", "RACE_ROLLED_BACK", "RACE_PRESERVED", "ENOENT"), outcome
        staged = os.listdir(tool.path("s"))
        if outcome.line.get("code") != "RACE_PRESERVED":
            assert staged == [], (round_number, outcome)
        for leftover in staged:
            missing = "f" if not os.path.exists(tool.path("d/f")) else "decoy"
            os.rename(os.path.join(tool.path("s"), leftover), tool.path("d/" + missing))
        contents = sorted(open(os.path.join(tool.path("d"), n), "rb").read()
                          for n in os.listdir(tool.path("d")))
        assert b"decoy" in contents, (round_number, outcome)
        if outcome.ok:
            assert contents == [b"decoy"]
            missing = "f" if not os.path.exists(tool.path("d/f")) else "decoy"
            with open(tool.path("d/" + missing), "wb") as handle:
                handle.write(b"victim")
    assert sorted(os.listdir(world / "outside")) == ["secret"]


def test_stress_parent_symlink_exchange_never_writes_outside(tool, world):
    build_layout(tool.root, ["a/", "a.lnk -> ../outside"])
    outside = snapshot(world / "outside")
    attacker = start_attacker(tool.path("a"), tool.path("a.lnk"))
    try:
        for round_number in range(150):
            tool.run("create-private-file", f"a/f{round_number}", "1", data=b"x")
            tool.run("ensure-dir", f"a/d{round_number}")
    finally:
        stop(attacker)
    assert snapshot(world / "outside") == outside
