"""The shipped executables carry every exploit mitigation, and the checker notices each one missing.

ctest passes BIX_HARDENED_EXECUTABLES (the deliverables' executables, ':'-separated),
BIX_HARDENED_LIBRARIES (the static libraries holding each deliverable's code), BIX_EXPECT_FORTIFY (0 in sanitizer builds, which leave _FORTIFY_SOURCE off) and BIX_CC (the C
compiler of the build, used to learn about the C runtime and to build the checker's probes).
"""

import os
import subprocess

import pytest

from elf_hardening import ElfFile, has_cet_notes, missing_protections, unfortified_members


def _required(name):
    value = os.environ.get(name)
    if not value:
        pytest.fail("%s is not set; run these tests through ctest" % name)
    return value


EXECUTABLES = [p for p in os.environ.get("BIX_HARDENED_EXECUTABLES", "").split(":") if p]
LIBRARIES = [p for p in os.environ.get("BIX_HARDENED_LIBRARIES", "").split(":") if p]
EXPECT_FORTIFY = os.environ.get("BIX_EXPECT_FORTIFY", "1") == "1"
CC = os.environ.get("BIX_CC", "cc")

HARDENING_FLAGS = ["-O2", "-U_FORTIFY_SOURCE", "-D_FORTIFY_SOURCE=2", "-fstack-protector-strong",
                   "-fstack-clash-protection", "-fcf-protection=full", "-fPIE", "-pie",
                   "-Wl,-z,relro", "-Wl,-z,now", "-Wl,-z,noexecstack"]

PROBE_SOURCE = r"""
#include <stdio.h>
#include <string.h>
int main(int argc, char** argv) {
    char buffer[64];
    strcpy(buffer, argc > 1 ? argv[1] : "");
    printf("%s %d\n", buffer, argc);
    return 0;
}
"""


@pytest.fixture(scope="module")
def startup_has_cet():
    """Whether the C runtime's startup object carries the CET notes. Where it does not (Debian 12
    builds glibc without CET), no executable linked against it can carry them either."""
    out = subprocess.run([CC, "-print-file-name=Scrt1.o"], check=True, capture_output=True,
                         text=True).stdout.strip()
    if not os.path.isabs(out):
        pytest.fail("%s does not know its Scrt1.o (%r)" % (CC, out))
    return has_cet_notes(out)


def test_every_deliverable_is_named():
    assert EXECUTABLES, "BIX_HARDENED_EXECUTABLES names no executable"
    assert LIBRARIES, "BIX_HARDENED_LIBRARIES names no library"
    for path in EXECUTABLES + LIBRARIES:
        assert os.path.isfile(path), path


@pytest.mark.parametrize("path", EXECUTABLES, ids=os.path.basename)
def test_deliverable_carries_every_mitigation(path, startup_has_cet):
    # An executable with the C++ runtime linked in statically also holds that runtime's own
    # unfortified printf calls; its own code is checked in the library test below.
    dynamic_cxx_runtime = any(n.startswith("libstdc++.so") for n in ElfFile(path).needed_libraries())
    assert missing_protections(path, EXPECT_FORTIFY and dynamic_cxx_runtime, startup_has_cet) == []


@pytest.mark.parametrize("path", LIBRARIES, ids=os.path.basename)
def test_deliverable_code_is_fortified(path):
    if not EXPECT_FORTIFY:
        pytest.skip("sanitizer builds leave _FORTIFY_SOURCE off")
    assert unfortified_members(path) == {}


# Each row drops one mitigation from a fully hardened build of a small probe; the checker must name
# exactly that one, so a check that cannot fail shows up here.
@pytest.mark.parametrize("weakening, expected", [
    ([], set()),
    (["-fno-PIE", "-no-pie"], {"pie"}),
    (["-Wl,-z,lazy"], {"full-relro"}),
    (["-Wl,-z,execstack"], {"noexec-stack"}),
    (["-fno-stack-protector"], {"stack-protector"}),
    (["-U_FORTIFY_SOURCE"], {"fortify"}),
    (["-fcf-protection=none"], {"cet"}),
])
def test_checker_names_the_one_missing_mitigation(tmp_path, startup_has_cet, weakening, expected):
    source = tmp_path / "probe.c"
    source.write_text(PROBE_SOURCE)
    binary = tmp_path / "probe"
    subprocess.run([CC, *HARDENING_FLAGS, *weakening, str(source), "-o", str(binary)], check=True)
    found = missing_protections(str(binary), True, startup_has_cet)
    assert {entry.split(":")[0] for entry in found} == expected, found


def test_library_check_names_the_unfortified_member(tmp_path):
    source = tmp_path / "probe.c"
    source.write_text(PROBE_SOURCE)
    for name, extra in (("fortified.o", []), ("plain.o", ["-U_FORTIFY_SOURCE"])):
        subprocess.run([CC, *HARDENING_FLAGS, *extra, "-c", str(source), "-o", str(tmp_path / name)],
                       check=True)
    archive = tmp_path / "libprobe.a"
    subprocess.run(["ar", "rcs", str(archive), str(tmp_path / "fortified.o"),
                    str(tmp_path / "plain.o")], check=True)
    assert unfortified_members(str(archive)) == {"plain.o": ["printf"]}
