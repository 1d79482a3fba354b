"""What every module shares: the exit statuses, the error type and content digests.

It imports no other reviewed module, so every module can depend on it without forming a cycle.
"""

import hashlib

EXIT_OK = 0
EXIT_USAGE = 64
EXIT_DATA = 65
EXIT_NO_INPUT = 66
EXIT_SOFTWARE = 70
EXIT_IO = 74


class HatchError(Exception):
    """A refusal with its exit status and a one-line message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status
        self.message = message


def data_error(message):
    return HatchError(EXIT_DATA, message)


def sha256_hex(data):
    return hashlib.sha256(data).hexdigest()
