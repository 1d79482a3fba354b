"""The launcher's command line, workspace and installation checks, run against real files."""

import json
import os
import shutil

import pytest

from conftest import SONAME, STDLIB, USAGE, run

MESSAGE = "bix-hatch-tool: %s\n"


@pytest.mark.parametrize("arguments", [
    [],
    ["self-test", "extra"],
    ["help"],
    ["prepare"],
    ["prepare", "--workspace"],
    ["prepare", "--index", "1"],
    ["job", "--workspace", "/tmp"],
    ["job", "--workspace", "/tmp", "--index", "10"],
    ["job", "--workspace", "/tmp", "--index", "a"],
    ["job", "--workspace", "/tmp", "--index", "-1"],
    ["assemble", "--workspace", "/tmp", "--index", "1"],
    ["finalize", "--workspace=/tmp"],
])
def test_malformed_command_line_prints_usage_and_exits_64(launcher, scratch, arguments):
    result = run(launcher, arguments, scratch)
    assert (result.status, result.stdout, result.stderr) == (64, "", USAGE)


@pytest.mark.parametrize("directory", ["/", "scratch", "unwritable"])
def test_self_test_runs_from_any_directory(launcher, scratch, directory):
    cwd = {"/": "/", "scratch": scratch}.get(directory)
    if cwd is None:
        cwd = os.path.join(scratch, "unwritable")
        os.mkdir(cwd, 0o555)
    result = run(launcher, ["self-test"], cwd)
    assert result.status == 0, result
    assert result.stdout.startswith("self-test passed: ") and result.stderr == ""


def _workspace_case(case, scratch, workspace):
    """(workspace argument, current directory, expected message) for one refusal."""
    if case == "trailing slash":
        return workspace + "/", workspace, "workspace path must already be canonical"
    if case == "symlink":
        link = os.path.join(scratch, "link")
        os.symlink(workspace, link)
        return link, workspace, "workspace must be a real directory"
    if case == "symlinked parent":
        os.symlink(scratch, os.path.join(scratch, "alias"))
        return (os.path.join(scratch, "alias", "ws"), workspace,
                "workspace path must already be canonical")
    if case == "dot segment":
        return (os.path.join(scratch, ".", "ws"), workspace,
                "workspace path must already be canonical")
    if case == "mode 0750":
        os.chmod(workspace, 0o750)
        return workspace, workspace, "workspace must be owned by this user with mode 0700"
    if case == "mode 0701":
        os.chmod(workspace, 0o701)
        return workspace, workspace, "workspace must be owned by this user with mode 0700"
    if case == "other owner":
        if os.geteuid() != 0:
            pytest.skip("giving a directory away needs root")
        os.chown(workspace, 65534, 65534)
        return workspace, workspace, "workspace must be owned by this user with mode 0700"
    if case == "regular file":
        path = os.path.join(scratch, "file")
        open(path, "w").close()
        os.chmod(path, 0o700)
        return path, workspace, "workspace must be a real directory"
    if case == "missing":
        return os.path.join(scratch, "missing"), workspace, "workspace must be a real directory"
    if case == "relative":
        return "ws", scratch, "workspace must be an absolute canonical path"
    if case == "control byte":
        return workspace + "\x01", workspace, "workspace must be an absolute canonical path"
    if case == "too long":
        return "/" + "a" * 1023, workspace, "workspace must be an absolute canonical path"
    if case == "other current directory":
        return workspace, scratch, "current directory must exactly equal the workspace"
    raise AssertionError(case)


@pytest.mark.parametrize("mode", [["prepare"], ["job", "--index", "3"]])
@pytest.mark.parametrize("case", [
    "trailing slash", "symlink", "symlinked parent", "dot segment", "mode 0750", "mode 0701",
    "other owner", "regular file", "missing", "relative", "control byte", "too long",
    "other current directory"])
def test_workspace_refusals_print_message_then_usage(launcher, scratch, workspace, case, mode):
    path, cwd, message = _workspace_case(case, scratch, workspace)
    arguments = [mode[0], "--workspace", path] + mode[1:]
    result = run(launcher, arguments, cwd)
    assert (result.status, result.stdout, result.stderr) == (64, "", MESSAGE % message + USAGE)
    assert os.listdir(workspace) == []


def test_launcher_through_a_symlink_from_elsewhere_runs(launcher, scratch):
    link = os.path.join(scratch, "tools", "hatch")
    os.makedirs(os.path.dirname(link))
    os.symlink(launcher, link)
    result = run(link, ["self-test"], scratch)
    assert result.status == 0, result


def test_symlinked_runtime_resolves_to_the_real_one(sealed_root, probe_root, scratch):
    alias = os.path.join(scratch, "alias")
    os.symlink(probe_root, alias)
    result = run(os.path.join(alias, "bin", "bix-hatch-tool"), ["self-test"], scratch)
    assert result.status == 0, result
    report = json.loads(result.stdout)
    assert report["executable"] == os.path.join(probe_root, "bin", "bix-hatch-tool")
    assert report["path"][0] == os.path.join(probe_root, "app")


@pytest.mark.parametrize("relative, message", [
    ("bin/hatch-tool", "unexpected installed launcher path"),
    ("sbin/bix-hatch-tool", "unexpected installed launcher path"),
    ("bin/bix-hatch-tool", "runtime module root is not sealed read-only"),
])
def test_launcher_copied_out_of_its_runtime_is_refused(sealed_root, scratch, relative, message):
    copy_root = os.path.join(scratch, "copy")
    destination = os.path.join(copy_root, relative)
    os.makedirs(os.path.dirname(destination))
    shutil.copy2(os.path.join(sealed_root, "bin", "bix-hatch-tool"), destination)
    # The library travels along so that the loader can start the copy at all.
    os.makedirs(os.path.join(copy_root, os.path.dirname(relative), "..", "lib"), exist_ok=True)
    shutil.copy2(os.path.join(sealed_root, "lib", SONAME),
                 os.path.join(copy_root, os.path.dirname(relative), "..", "lib", SONAME))
    result = run(destination, ["self-test"], scratch)
    assert (result.status, result.stdout, result.stderr) == (70, "", MESSAGE % message)


def _make_writable_module(root):
    os.chmod(os.path.join(root, "app", "compose_atlas.py"), 0o644)


def _hard_link_module(root):
    os.link(os.path.join(root, "app", "validate_atlas.py"), os.path.join(root, "elsewhere.py"))


def _symlink_module(root):
    app = os.path.join(root, "app")
    os.chmod(app, 0o755)
    target = os.path.join(root, "inspect_frames.py")
    shutil.copy(os.path.join(app, "inspect_frames.py"), target)
    os.chmod(target, 0o444)
    os.unlink(os.path.join(app, "inspect_frames.py"))
    os.symlink(target, os.path.join(app, "inspect_frames.py"))
    os.chmod(app, 0o555)


def _remove_module(root):
    app = os.path.join(root, "app")
    os.chmod(app, 0o755)
    os.unlink(os.path.join(app, "make_contact_sheet.py"))
    os.chmod(app, 0o555)


def _remove_site_packages(root):
    stdlib = os.path.join(root, "lib", STDLIB)
    os.chmod(stdlib, 0o755)
    os.rmdir(os.path.join(stdlib, "site-packages"))
    os.chmod(stdlib, 0o555)


def _writable_app(root):
    os.chmod(os.path.join(root, "app"), 0o755)


def _group_writable_dynload(root):
    os.chmod(os.path.join(root, "lib", STDLIB, "lib-dynload"), 0o575)


def _symlinked_dynload(root):
    stdlib = os.path.join(root, "lib", STDLIB)
    os.chmod(stdlib, 0o755)
    os.rename(os.path.join(stdlib, "lib-dynload"), os.path.join(root, "dynload"))
    os.symlink(os.path.join(root, "dynload"), os.path.join(stdlib, "lib-dynload"))
    os.chmod(stdlib, 0o555)


UNSEALED = "runtime module root is not sealed read-only"


def _stdlib_bytecode(root):
    cache = os.path.join(root, "lib", STDLIB, "__pycache__")
    return cache, os.path.join(cache, sorted(os.listdir(cache))[0])


def _foreign_bytecode(root):
    if os.geteuid() != 0:
        pytest.skip("giving a file away needs root")
    os.chown(_stdlib_bytecode(root)[1], 65534, 65534)


def _symlink_in_stdlib(root):
    os.chmod(os.path.join(root, "lib", STDLIB), 0o755)
    os.symlink("/etc/hostname", os.path.join(root, "lib", STDLIB, "hostname.py"))
    os.chmod(os.path.join(root, "lib", STDLIB), 0o555)


@pytest.mark.parametrize("tamper, message", [
    (_make_writable_module, "reviewed runtime module is missing or writable"),
    (_hard_link_module, "reviewed runtime module is missing or writable"),
    (_symlink_module, "reviewed runtime module is missing or writable"),
    (_remove_module, "reviewed runtime module is missing or writable"),
    (_remove_site_packages, "runtime module root is not sealed read-only"),
    (_writable_app, "runtime module root is not sealed read-only"),
    (_group_writable_dynload, "runtime module root is not sealed read-only"),
    (_symlinked_dynload, "runtime module root is not sealed read-only"),
    (lambda root: os.chmod(_stdlib_bytecode(root)[0], 0o777), UNSEALED),
    (lambda root: os.chmod(_stdlib_bytecode(root)[1], 0o666), UNSEALED),
    (_foreign_bytecode, UNSEALED),
    (_symlink_in_stdlib, UNSEALED),
])
@pytest.mark.parametrize("mode", ["self-test", "prepare"])
def test_unsealed_runtime_is_refused_before_any_module_runs(root_copy, workspace, tamper,
                                                           message, mode):
    root = root_copy()
    tamper(root)
    arguments = ["self-test"] if mode == "self-test" else ["prepare", "--workspace", workspace]
    result = run(os.path.join(root, "bin", "bix-hatch-tool"), arguments, workspace)
    assert (result.status, result.stdout, result.stderr) == (70, "", MESSAGE % message)
    assert os.listdir(workspace) == []


def test_untampered_copy_runs(root_copy, scratch):
    root = root_copy()
    result = run(os.path.join(root, "bin", "bix-hatch-tool"), ["self-test"], scratch)
    assert result.status == 0, result


LIBRARY_REFUSED = MESSAGE % "interpreter library is not the sealed runtime's copy"


def _foreign_library(scratch, sealed_root):
    """A byte-identical copy of the interpreter library that is not ROOT/lib's file."""
    directory = os.path.join(scratch, "foreign-lib")
    os.mkdir(directory)
    shutil.copy(os.path.join(sealed_root, "lib", SONAME), os.path.join(directory, SONAME))
    return directory


def test_missing_sealed_library_never_runs_another(root_copy, scratch, sealed_root):
    root = root_copy()
    lib = os.path.join(root, "lib")
    os.chmod(lib, 0o755)
    os.unlink(os.path.join(lib, SONAME))
    os.chmod(lib, 0o555)
    # The loader may fall back to a system copy (Debian's build has one); the launcher must
    # notice and refuse. Where there is none, the loader itself stops.
    result = run(os.path.join(root, "bin", "bix-hatch-tool"), ["self-test"], scratch)
    if result.status == 127:
        assert "error while loading shared libraries" in result.stderr
    else:
        assert (result.status, result.stdout, result.stderr) == (70, "", LIBRARY_REFUSED)
    # A substitute offered through the environment changes nothing: the launcher restarts
    # without it.
    foreign = _foreign_library(scratch, sealed_root)
    offered = run(os.path.join(root, "bin", "bix-hatch-tool"), ["self-test"], scratch,
                  {"LD_LIBRARY_PATH": foreign})
    assert (offered.status, offered.stdout, offered.stderr) == (
        result.status, result.stdout, result.stderr)


def test_library_path_cannot_override_the_run_path(launcher, scratch, sealed_root):
    foreign = _foreign_library(scratch, sealed_root)
    result = run(launcher, ["self-test"], scratch, {"LD_LIBRARY_PATH": foreign})
    assert result.status == 0, result


def test_preloaded_interpreter_library_never_runs(probe_root, scratch, sealed_root):
    foreign = _foreign_library(scratch, sealed_root)
    env = {"LD_PRELOAD": os.path.join(foreign, SONAME)}
    # A sanitizer build would otherwise stop first because its runtime is not loaded first.
    env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    # The launcher restarts without the preload, so only the sealed copy is ever mapped.
    result = run(os.path.join(probe_root, "bin", "bix-hatch-tool"), ["self-test"], scratch, env)
    assert (result.status, result.stderr) == (0, ""), result
    mapped = json.loads(result.stdout)["mapped_files"]
    assert os.path.join(foreign, SONAME) not in mapped
    assert os.path.join(probe_root, "lib", SONAME) in mapped
