"""Small file-system moves the tests (and the tool's step hook commands) use as an attacker.

Run as a script: `fsops.py exchange A B`, `fsops.py loop-exchange A B` (until killed).
"""
import ctypes
import os
import sys

_libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD = -100
RENAME_NOREPLACE = 1
RENAME_EXCHANGE = 2


def renameat2(old, new, flags):
    if _libc.renameat2(AT_FDCWD, os.fsencode(old), AT_FDCWD, os.fsencode(new), flags) != 0:
        err = ctypes.get_errno()
        raise OSError(err, os.strerror(err), old)


def exchange(a, b):
    renameat2(a, b, RENAME_EXCHANGE)


def main(argv):
    command = argv[1]
    if command == "exchange":
        exchange(argv[2], argv[3])
    elif command == "loop-exchange":
        while True:
            try:
                exchange(argv[2], argv[3])
            except OSError:
                pass
    else:
        raise SystemExit("unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
