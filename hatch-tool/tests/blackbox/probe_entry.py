"""Stands in for bix_hatch_tool in a probe runtime: prints what the interpreter sees."""

import json
import os
import sys

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
outside = sorted(name for name, module in sys.modules.items()
                 if getattr(module, "__file__", None)
                 and not os.path.realpath(module.__file__).startswith(root + os.sep))


def mapped_files():
    """Every file mapped into this process: what the loader (or anything else) brought in."""
    with open("/proc/self/maps") as maps:
        return sorted({line.split(None, 5)[5].strip() for line in maps
                       if len(line.split(None, 5)) == 6 and line.split(None, 5)[5].startswith("/")})


report = {
    "executable": sys.executable,
    "base_executable": getattr(sys, "_base_executable", None),
    "prefix": sys.prefix,
    "path": sys.path,
    "argv": sys.argv[1:],
    "orig_argv": sys.orig_argv,
    "flags": [sys.flags.isolated, sys.flags.no_site, sys.flags.ignore_environment,
              sys.flags.dont_write_bytecode, sys.flags.safe_path, sys.flags.inspect,
              sys.flags.verbose],
    "hash": hash("abc"),
    "python_variables": sorted(k for k in os.environ if k.startswith("PYTHON")
                               or k == "__PYVENV_LAUNCHER__"),
    "modules_from_outside": outside,
    "warnings_filters": len(sys.warnoptions),
    "cwd": os.getcwd(),
    "mapped_files": mapped_files(),
}
print(json.dumps(report, sort_keys=True))
