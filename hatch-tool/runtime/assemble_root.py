"""Assembles and seals a bix-hatch-tool runtime (ROOT).

Run with the interpreter whose shared library the launcher embeds (its sysconfig names the
library, the standard library and lib-dynload; its compiler writes the bytecode):

    python3.X -I assemble_root.py --launcher BIN --app APPDIR --out ROOT [--entry-module FILE]

ROOT receives bin/bix-hatch-tool, lib/<SONAME>, lib/python3.X with only the standard-library
modules the reviewed modules can import (found by static import analysis, compiled to
unchecked-hash bytecode), lib/python3.X/lib-dynload with the extension modules among them, an
empty lib/python3.X/site-packages and app/ with the ten reviewed modules as sources only. Every
write bit is then removed. The runtime is built beside ROOT and renamed into place.
"""

import argparse
import importlib.util
import modulefinder
import os
import py_compile
import shutil
import subprocess
import sys
import sysconfig

REVIEWED_MODULES = (
    "bix_hatch_tool.py", "compose_atlas.py", "extract_strip_frames.py",
    "finalize_bix_handoff.py", "hatch_common.py", "inspect_frames.py", "make_contact_sheet.py",
    "prepare_pet_run.py", "render_animation_previews.py", "validate_atlas.py",
)

# Imported by the interpreter itself at start-up or by runpy, never by name in the modules.
START_UP_MODULES = (
    "encodings", "encodings.aliases", "encodings.ascii", "encodings.utf_8", "encodings.latin_1",
    "runpy", "warnings", "importlib", "importlib.util", "importlib.machinery",
)

# Optional accelerators and fallbacks that would pull in libraries from outside the runtime;
# every importer of these handles their absence.
EXCLUDED_MODULES = (
    "_hashlib", "_ssl", "ssl", "_bz2", "bz2", "_lzma", "lzma", "_ctypes", "ctypes",
    "_tkinter", "tkinter", "readline", "_sqlite3", "sqlite3", "_curses", "curses",
    "test", "unittest", "doctest", "pydoc", "idlelib", "lib2to3", "ensurepip", "venv",
    "_dbm", "_gdbm", "dbm",
)


def fail(message):
    sys.stderr.write("assemble_root: " + message + "\n")
    sys.exit(1)


def make_tree_writable(path):
    for directory, _, _ in os.walk(path):
        os.chmod(directory, 0o755)


def remove_tree(path):
    if os.path.islink(path) or not os.path.isdir(path):
        os.unlink(path)
        return
    make_tree_writable(path)
    shutil.rmtree(path)


def seal_tree(path):
    for directory, subdirectories, files in os.walk(path):
        for name in files:
            target = os.path.join(directory, name)
            os.chmod(target, os.stat(target).st_mode & ~0o7222)
        os.chmod(directory, 0o555)


def required_stdlib_files(app_dir, stdlib, dynload):
    """Files under stdlib and lib-dynload that the reviewed modules may import, transitively."""
    finder = modulefinder.ModuleFinder(path=[app_dir, stdlib, dynload],
                                       excludes=list(EXCLUDED_MODULES))
    for name in REVIEWED_MODULES:
        finder.import_hook(name[:-3])
    for name in START_UP_MODULES:
        finder.import_hook(name)
    files = set()
    for module in finder.modules.values():
        origin = module.__file__
        if not origin:
            continue
        origin = os.path.realpath(origin)
        for base in (dynload, stdlib):
            if origin.startswith(base + os.sep):
                files.add((base, os.path.relpath(origin, base)))
                break
    return sorted(files)


def copy_file(source, destination, mode):
    os.makedirs(os.path.dirname(destination), exist_ok=True)
    shutil.copyfile(os.path.realpath(source), destination)
    os.chmod(destination, mode)


def install_library(lib_dir):
    soname = sysconfig.get_config_var("INSTSONAME")
    source = os.path.join(sysconfig.get_config_var("LIBDIR"), soname)
    if not os.path.isfile(source):
        fail("interpreter library not found: " + source)
    destination = os.path.join(lib_dir, soname)
    copy_file(source, destination, 0o644)
    # Some builds ship their library with debug information; the runtime needs none of it.
    strip = shutil.which("strip")
    if strip:
        subprocess.run([strip, "--strip-unneeded", destination], check=True)
    os.chmod(destination, 0o444)


def install_stdlib(app_dir, stdlib_dir):
    stdlib = os.path.realpath(sysconfig.get_paths()["stdlib"])
    dynload = os.path.realpath(sysconfig.get_config_var("DESTSHARED"))
    for base, relative in required_stdlib_files(app_dir, stdlib, dynload):
        if base == dynload:
            copy_file(os.path.join(base, relative),
                      os.path.join(stdlib_dir, "lib-dynload", relative), 0o555)
            continue
        destination = os.path.join(stdlib_dir, relative)
        copy_file(os.path.join(base, relative), destination, 0o444)
        if destination.endswith(".py"):
            # Hash-based, unchecked: valid whatever the file times, and never rewritten.
            py_compile.compile(destination, cfile=importlib.util.cache_from_source(destination),
                               doraise=True,
                               invalidation_mode=py_compile.PycInvalidationMode.UNCHECKED_HASH)
    os.makedirs(os.path.join(stdlib_dir, "lib-dynload"), exist_ok=True)
    os.makedirs(os.path.join(stdlib_dir, "site-packages"), exist_ok=True)


def install_app(app_source, app_dir, entry_module):
    # Sources only: the launcher checks these files, so no bytecode may stand in for them.
    for name in REVIEWED_MODULES:
        source = os.path.join(app_source, name)
        if name == "bix_hatch_tool.py" and entry_module:
            source = entry_module
        copy_file(source, os.path.join(app_dir, name), 0o444)


def assemble(arguments, staging):
    version = "python%d.%d" % sys.version_info[:2]
    os.makedirs(os.path.join(staging, "bin"))
    copy_file(arguments.launcher, os.path.join(staging, "bin", "bix-hatch-tool"), 0o555)
    install_library(os.path.join(staging, "lib"))
    install_stdlib(arguments.app, os.path.join(staging, "lib", version))
    install_app(arguments.app, os.path.join(staging, "app"), arguments.entry_module)
    seal_tree(staging)


def replace_runtime(staging, out):
    if os.path.lexists(out):
        is_runtime = os.path.isfile(os.path.join(out, "bin", "bix-hatch-tool"))
        if os.path.isdir(out) and not os.path.islink(out) and not is_runtime and os.listdir(out):
            fail("refusing to replace a non-empty directory that is not a runtime: " + out)
        remove_tree(out)
    os.rename(staging, out)


def main():
    parser = argparse.ArgumentParser(description="Assemble and seal a bix-hatch-tool runtime.")
    parser.add_argument("--launcher", required=True)
    parser.add_argument("--app", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--entry-module", help="replaces bix_hatch_tool.py (benchmark runtimes)")
    arguments = parser.parse_args()
    out = os.path.abspath(arguments.out)
    staging = "%s.assembling-%d" % (out, os.getpid())
    try:
        assemble(arguments, staging)
        replace_runtime(staging, out)
    finally:
        if os.path.lexists(staging):
            remove_tree(staging)
    print(out)


if __name__ == "__main__":
    main()
