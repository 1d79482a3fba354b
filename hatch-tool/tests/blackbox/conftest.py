"""Fixtures for the bix-hatch-tool black-box tests.

The tests run the real launcher from sealed runtimes assembled in temporary directories.
Paths come from ctest: BIX_HATCH_ASSEMBLE (the generated assembly script), BIX_HATCH_LAUNCHER,
BIX_HATCH_PYTHON, BIX_HATCH_STDLIB_NAME ("python3.X") and BIX_HATCH_SONAME.
"""

import os
import shutil
import stat
import subprocess

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
USAGE = ("usage: bix-hatch-tool self-test\n"
         "       bix-hatch-tool <prepare|assemble|finalize> --workspace <canonical-owner-only-directory>\n"
         "       bix-hatch-tool job --workspace <canonical-owner-only-directory> --index <0..9>\n")
TIMEOUT = 120


def _required(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail("%s is not set; run these tests through ctest" % name)
    return value


STDLIB = os.environ.get("BIX_HATCH_STDLIB_NAME", "python3.11")
SONAME = os.environ.get("BIX_HATCH_SONAME", "libpython3.11.so.1.0")


def base_environment():
    """A small fixed environment; sanitizer settings pass through, and libpython's own
    at-exit allocations are not reported as the launcher's leaks."""
    env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    env["LSAN_OPTIONS"] = "suppressions=%s:print_suppressions=0" % os.path.join(
        HERE, "lsan-libpython.supp")
    return env


class Result:
    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr

    def __repr__(self):
        return "Result(%d, %r, %r)" % (self.status, self.stdout[-300:], self.stderr[-600:])


def start(launcher, arguments, cwd, extra_env=None, argv0=None):
    env = base_environment()
    env.update(extra_env or {})
    return subprocess.Popen([argv0 or launcher] + list(arguments), executable=launcher, cwd=cwd,
                            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def finish(process):
    """Waits for a started launcher; it is killed by its pid if it outlives the timeout."""
    try:
        stdout, stderr = process.communicate(timeout=TIMEOUT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return Result(process.returncode, stdout.decode("utf-8", "replace"),
                  stderr.decode("utf-8", "replace"))


def run(launcher, arguments, cwd, extra_env=None, argv0=None):
    return finish(start(launcher, arguments, cwd, extra_env, argv0))


def make_writable(path):
    if not os.path.lexists(path):
        return
    for directory, _, files in os.walk(path):
        os.chmod(directory, 0o755)
        for name in files:
            target = os.path.join(directory, name)
            if not os.path.islink(target):
                os.chmod(target, stat.S_IMODE(os.lstat(target).st_mode) | 0o200)


def assemble(out, entry_module=None):
    command = [_required("BIX_HATCH_ASSEMBLE"), out]
    if entry_module:
        command += ["--entry-module", entry_module]
    completed = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               timeout=TIMEOUT)
    assert completed.returncode == 0, completed.stderr.decode()
    return out


@pytest.fixture(scope="session")
def runtime_dir(tmp_path_factory):
    base = tmp_path_factory.mktemp("runtimes")
    yield os.path.realpath(str(base))
    make_writable(str(base))


@pytest.fixture(scope="session")
def sealed_root(runtime_dir):
    """The reviewed runtime, assembled once per session."""
    return assemble(os.path.join(runtime_dir, "root"))


@pytest.fixture(scope="session")
def probe_root(runtime_dir):
    """A runtime whose entry module reports the interpreter's view of itself as JSON."""
    return assemble(os.path.join(runtime_dir, "probe"), os.path.join(HERE, "probe_entry.py"))


@pytest.fixture
def launcher(sealed_root):
    return os.path.join(sealed_root, "bin", "bix-hatch-tool")


@pytest.fixture
def scratch(tmp_path):
    """A private scratch directory, made writable again before pytest removes it."""
    path = os.path.realpath(str(tmp_path))
    yield path
    make_writable(path)


@pytest.fixture
def workspace(scratch):
    path = os.path.join(scratch, "ws")
    os.mkdir(path, 0o700)
    os.chmod(path, 0o700)
    return path


@pytest.fixture
def root_copy(sealed_root, scratch):
    """A private copy of the sealed runtime that a test may tamper with."""
    def copy(name="root"):
        destination = os.path.join(scratch, name)
        shutil.copytree(sealed_root, destination, symlinks=True)
        return destination
    return copy
