"""Code offered to the dynamic loader never runs in the process that does the work."""

import json
import os
import shutil
import subprocess

import pytest

from conftest import SONAME, run

# Notes each way it is entered (preload constructor, interposed interpreter entry, audit module)
# in the file BIX_TEST_MARKER names.
INTERPOSER = r"""
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
static void note(const char* what) {
    int fd = open(getenv("BIX_TEST_MARKER"), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0 && write(fd, what, strlen(what)) >= 0) close(fd);
}
__attribute__((constructor)) static void loaded(void) { note("constructor\n"); }
int Py_RunMain(void) { note("Py_RunMain\n"); return 0; }
unsigned int la_version(unsigned int version) { note("la_version\n"); return version; }
"""
# A system library the launcher itself needs, so looked up through its run path first.
LIBGCC = "libgcc_s.so.1"
SYSTEM_LIBGCC = os.path.realpath("/usr/lib/x86_64-linux-gnu/" + LIBGCC)


def _offered(variable, scratch, sealed_root):
    if variable == "LD_LIBRARY_PATH":
        # A dependency of the launcher, and the interpreter library itself.
        directory = os.path.join(scratch, "libs")
        os.mkdir(directory)
        shutil.copy(SYSTEM_LIBGCC, os.path.join(directory, LIBGCC))
        shutil.copy(os.path.join(sealed_root, "lib", SONAME), directory)
        return directory
    if shutil.which("cc") is None:
        pytest.skip("no C compiler to build the interposing library")
    with open(os.path.join(scratch, "interposer.c"), "w") as f:
        f.write(INTERPOSER)
    library = os.path.join(scratch, "libinterposer.so")
    subprocess.run(["cc", "-shared", "-fPIC", "-o", library, f.name], check=True, timeout=120)
    return library


@pytest.mark.parametrize("variable", ["LD_PRELOAD", "LD_AUDIT", "LD_LIBRARY_PATH"])
def test_working_run_loads_nothing_the_loader_was_offered(probe_root, scratch, sealed_root,
                                                          variable):
    marker = os.path.join(scratch, "marker")
    # verify_asan_link_order=0: a sanitizer build would otherwise stop before main.
    env = {variable: _offered(variable, scratch, sealed_root), "BIX_TEST_MARKER": marker,
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
    result = run(os.path.join(probe_root, "bin", "bix-hatch-tool"), ["self-test"], scratch, env)
    assert (result.status, result.stderr) == (0, ""), result
    mapped = json.loads(result.stdout)["mapped_files"]
    assert [path for path in mapped if path.startswith(scratch + os.sep)] == []
    assert os.path.join(probe_root, "lib", SONAME) in mapped
    notes = open(marker).read().split() if os.path.exists(marker) else []
    assert "Py_RunMain" not in notes and notes.count("constructor") <= 1


def test_unsealed_object_in_the_runtime_is_refused(root_copy, scratch):
    root = root_copy()
    lib = os.path.join(root, "lib")
    os.chmod(lib, 0o755)
    shutil.copy(SYSTEM_LIBGCC, os.path.join(lib, LIBGCC))  # found through the run path
    os.chmod(os.path.join(lib, LIBGCC), 0o444)
    os.chmod(lib, 0o555)
    result = run(os.path.join(root, "bin", "bix-hatch-tool"), ["self-test"], scratch)
    assert (result.status, result.stdout) == (70, "")
    assert result.stderr == ("bix-hatch-tool: a loaded object is neither the sealed runtime's "
                             "nor the system's\n")
