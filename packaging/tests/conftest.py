"""Fixtures for the packaging tests.

ctest passes the build directory (BIX_PACKAGING_BUILD_DIR), its cpack (BIX_PACKAGING_CPACK), the
packaged components (BIX_PACKAGING_COMPONENTS, comma-separated), the project version, the source
directory and the native-messaging host name. The packages are built once per session with cpack
into a temporary directory and unpacked with `dpkg-deb -x` into a scratch root; nothing is written
outside temporary directories.
"""

import glob
import os
import shutil
import stat
import subprocess
import tempfile

import pytest

TIMEOUT = 120

PACKAGE_OF_COMPONENT = {
    "helper": "bix-ai-accessibility-helper",
    "safe-path-helper": "bix-safe-path-helper",
    "browser-bridge-host": "bix-browser-bridge-host",
    "hatch-tool": "bix-hatch-tool",
}


def required(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail("%s is not set; run these tests through ctest" % name)
    return value


def components():
    return [c for c in required("BIX_PACKAGING_COMPONENTS").split(",") if c]


def needs_component(component):
    return pytest.mark.skipif(
        component not in os.environ.get("BIX_PACKAGING_COMPONENTS", "").split(","),
        reason="%s is not configured in this build" % component)


def make_tree_removable(path):
    """The sealed hatch runtime has no write bits; give the owner write access back so the
    temporary tree can be removed."""
    for directory, subdirectories, _ in os.walk(path):
        for name in subdirectories:
            full = os.path.join(directory, name)
            if not os.path.islink(full):
                os.chmod(full, 0o700)
    if os.path.isdir(path):
        os.chmod(path, 0o700)


def remove_tree(path):
    if os.path.lexists(path):
        make_tree_removable(path)
        shutil.rmtree(path)


def tool_environment(extra=None):
    """A small fixed environment; sanitizer settings pass through, and libpython's own
    allocations at exit are not reported as the hatch launcher's leaks."""
    env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8"}
    for name in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    suppressions = os.path.join(required("BIX_PACKAGING_SOURCE_DIR"),
                                "hatch-tool/tests/blackbox/lsan-libpython.supp")
    if os.path.exists(suppressions):
        env["LSAN_OPTIONS"] = "suppressions=%s:print_suppressions=0" % suppressions
    env.update(extra or {})
    return env


def run(arguments, **kwargs):
    kwargs.setdefault("timeout", TIMEOUT)
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.PIPE)
    return subprocess.run(arguments, check=False, **kwargs)


@pytest.fixture(scope="session")
def work_dir():
    path = tempfile.mkdtemp(prefix="bix-packaging-")
    yield path
    remove_tree(path)


@pytest.fixture(scope="session")
def packages(work_dir):
    """Package name -> .deb path, built by cpack from the current build directory."""
    build = required("BIX_PACKAGING_BUILD_DIR")
    out = os.path.join(work_dir, "cpack")
    result = run([required("BIX_PACKAGING_CPACK"), "-G", "DEB", "--config",
                  os.path.join(build, "CPackConfig.cmake"), "-B", out], timeout=900)
    assert result.returncode == 0, result.stdout.decode()[-3000:] + result.stderr.decode()[-3000:]
    found = {}
    for deb in glob.glob(os.path.join(out, "*.deb")):
        name = run(["dpkg-deb", "--field", deb, "Package"]).stdout.decode().strip()
        found[name] = deb
    remove_tree(os.path.join(out, "_CPack_Packages"))
    return found


@pytest.fixture(scope="session")
def scratch_root(work_dir, packages):
    """Every package unpacked with dpkg-deb -x into one scratch root."""
    root = os.path.join(work_dir, "root")
    os.mkdir(root)
    for deb in packages.values():
        result = run(["dpkg-deb", "-x", deb, root])
        assert result.returncode == 0, result.stderr.decode()
    return root


@pytest.fixture
def private_dir(tmp_path):
    """A temporary directory whose removal also works after sealed trees were unpacked in it."""
    yield str(tmp_path)
    make_tree_removable(str(tmp_path))


def mode_of(path):
    return stat.S_IMODE(os.lstat(path).st_mode)
