"""A poisoned environment and a hostile current directory change nothing inside the runtime."""

import json
import os
import shutil

from conftest import SONAME, STDLIB, run

HASH_OF_ABC_WITH_FIXED_SEED = 4703963827869350565


def _poison(scratch, sealed_root):
    """Environment variables that would redirect an ordinary interpreter, and their bait."""
    bait = os.path.join(scratch, "bait")
    os.makedirs(os.path.join(bait, "lib"))
    for name in ("json.py", "os.py", "encodings.py", "sitecustomize.py", "usercustomize.py",
                 "bix_hatch_tool.py", "startup.py"):
        with open(os.path.join(bait, name), "w") as f:
            f.write("raise SystemExit('bait %s was imported')\n" % name)
    shutil.copy(os.path.join(sealed_root, "lib", SONAME), os.path.join(bait, "lib", SONAME))
    return {
        "PYTHONPATH": bait,
        "PYTHONHOME": bait,
        "PYTHONSTARTUP": os.path.join(bait, "startup.py"),
        "PYTHONUSERBASE": bait,
        "PYTHONEXECUTABLE": "/bin/false",
        "__PYVENV_LAUNCHER__": "/bin/false",
        "PYTHONHASHSEED": "1",
        "PYTHONINSPECT": "1",
        "PYTHONVERBOSE": "1",
        "PYTHONWARNINGS": "error",
        "PYTHONDONTWRITEBYTECODE": "",
        "PYTHONPYCACHEPREFIX": bait,
        "PYTHONSAFEPATH": "0",
        "PYTHONNOUSERSITE": "0",
        "PYTHONPLATLIBDIR": "bait",
        "PYTHONUTF8": "0",
        "PYTHONMALLOC": "debug",
        "LD_LIBRARY_PATH": os.path.join(bait, "lib"),
    }, bait


def _snapshot(root):
    entries = {}
    for directory, subdirectories, files in os.walk(root):
        for name in subdirectories + files:
            path = os.path.join(directory, name)
            info = os.lstat(path)
            entries[os.path.relpath(path, root)] = (info.st_mode, info.st_size, info.st_mtime_ns)
    return entries


def test_probe_sees_only_the_sealed_runtime(probe_root, workspace, scratch, sealed_root):
    poison, bait = _poison(scratch, sealed_root)
    for name in ("json.py", "os.py", "bix_hatch_tool.py"):
        shutil.copy(os.path.join(bait, name), os.path.join(workspace, name))
    launcher = os.path.join(probe_root, "bin", "bix-hatch-tool")
    before = _snapshot(probe_root)
    arguments = ["prepare", "--workspace", workspace]
    clean = run(launcher, arguments, workspace)
    poisoned = run(launcher, arguments, workspace, poison)
    assert clean.status == 0 and clean.stderr == "", clean
    assert (poisoned.status, poisoned.stdout, poisoned.stderr) == (
        clean.status, clean.stdout, clean.stderr)
    report = json.loads(clean.stdout)
    assert report["executable"] == launcher
    assert report["base_executable"] == launcher
    assert report["prefix"] == probe_root
    assert report["path"] == [os.path.join(probe_root, "app"),
                              os.path.join(probe_root, "lib", STDLIB),
                              os.path.join(probe_root, "lib", STDLIB, "lib-dynload"),
                              os.path.join(probe_root, "lib", STDLIB, "site-packages")]
    assert report["argv"] == arguments
    assert report["orig_argv"] == [launcher] + arguments
    assert report["flags"] == [1, 1, 1, 1, True, 0, 0]
    assert report["hash"] == HASH_OF_ABC_WITH_FIXED_SEED
    assert report["python_variables"] == []
    assert report["modules_from_outside"] == []
    assert report["warnings_filters"] == 0
    assert _snapshot(probe_root) == before


def test_poisoned_environment_changes_no_stage_output(launcher, scratch, sealed_root):
    poison, _ = _poison(scratch, sealed_root)
    outputs = []
    for label, extra in (("clean", {}), ("poisoned", poison)):
        workspace = os.path.join(scratch, label)
        os.mkdir(workspace, 0o700)
        with open(os.path.join(workspace, "pet.json"), "w") as f:
            f.write('{"name": "Bad", "frameWidth": 0, "frameHeight": 1, "animations": []}')
        self_test = run(launcher, ["self-test"], scratch, extra)
        prepare = run(launcher, ["prepare", "--workspace", workspace], workspace, extra)
        outputs.append((self_test.status, self_test.stdout, self_test.stderr,
                        prepare.status, prepare.stdout, prepare.stderr))
    assert outputs[0] == outputs[1]
    assert outputs[0][0] == 0 and outputs[0][3] == 65


def test_no_bytecode_is_ever_written_into_the_runtime(root_copy, scratch):
    root = root_copy()
    before = _snapshot(root)
    for _ in range(2):
        assert run(os.path.join(root, "bin", "bix-hatch-tool"), ["self-test"], scratch).status == 0
    assert _snapshot(root) == before
    assert not os.path.exists(os.path.join(root, "app", "__pycache__"))


def test_sealed_runtime_layout(sealed_root):
    for directory, subdirectories, files in os.walk(sealed_root):
        for name in subdirectories + files:
            info = os.lstat(os.path.join(directory, name))
            assert info.st_mode & 0o222 == 0, os.path.join(directory, name)
            assert not os.path.islink(os.path.join(directory, name))
    assert sorted(os.listdir(os.path.join(sealed_root, "app"))) == sorted([
        "bix_hatch_tool.py", "compose_atlas.py", "extract_strip_frames.py",
        "finalize_bix_handoff.py", "hatch_common.py", "inspect_frames.py",
        "make_contact_sheet.py", "prepare_pet_run.py", "render_animation_previews.py",
        "validate_atlas.py"])
    assert os.listdir(os.path.join(sealed_root, "lib", STDLIB, "site-packages")) == []
    assert os.path.isfile(os.path.join(sealed_root, "lib", SONAME))
