"""A stand-in helper that misbehaves in one chosen way after a correct hello.

Usage: fake_helper.py MODE MARKER, where MARKER is a file created when shutdown arrives.
Modes: ignore-shutdown (answers listCandidateApps, never answers shutdown, ignores SIGTERM and
the end of its input), wrong-request-id, failure-without-code, oversized-frame,
not-json.
"""

import json
import signal
import struct
import sys
import time


def read_frame():
    header = sys.stdin.buffer.read(4)
    if len(header) < 4:
        return None
    (length,) = struct.unpack(">I", header)
    return json.loads(sys.stdin.buffer.read(length))


def write_payload(payload):
    sys.stdout.buffer.write(struct.pack(">I", len(payload)) + payload)
    sys.stdout.buffer.flush()


def write(value):
    write_payload(json.dumps(value, sort_keys=True, separators=(",", ":")).encode())


def main():
    mode = sys.argv[1]
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
    hello = read_frame()
    write({"buildHash": "0" * 64, "helperVersion": "1.1.0", "processNonce": hello["processNonce"],
           "protocol": "bix.ax.helper", "protocolMax": 1, "protocolMin": 1,
           "requestId": hello["requestId"]})
    while True:
        request = read_frame()
        if request is None:
            break
        if request["command"] == "shutdown":
            open(sys.argv[2], "w").close()
            break
        envelope = {"ok": True, "processNonce": request["processNonce"],
                    "protocol": "bix.ax.helper", "protocolVersion": 1,
                    "requestId": request["requestId"], "result": {"candidates": []}}
        if mode == "wrong-request-id":
            envelope["requestId"] = "someone-else"
        if mode == "failure-without-code":
            envelope.update(ok=False, error={"message": "\u001b[2J"})
            del envelope["result"]
        if mode == "oversized-frame":
            sys.stdout.buffer.write(struct.pack(">I", 262145))
            sys.stdout.buffer.flush()
        elif mode == "not-json":
            write_payload(b"{not json")
        else:
            write(envelope)
    if mode == "ignore-shutdown":
        while True:
            time.sleep(1)


if __name__ == "__main__":
    main()
