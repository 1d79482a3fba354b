"""Process life and framing: what the host sees on the pipes and on standard error."""

import signal
import struct

import pytest

from conftest import command, failure, frame, hello, hello_ack, success


def test_input_closed_at_once_ends_quietly(helper):
    helper.close_input()
    assert helper.finish() == (0, b"", b"")


@pytest.mark.parametrize(
    "raw, diagnostic",
    [
        (b"\x00\x00\x00\x00", b"BIX_AX_HELPER INVALID_FRAME\n"),  # empty frame
        (b"\x00\x00", b"BIX_AX_HELPER INVALID_FRAME\n"),  # header truncated
        (b"\x00\x00\x00\x0a{\"a\":", b"BIX_AX_HELPER INVALID_FRAME\n"),  # payload truncated
    ],
    ids=["zero-length", "half-header", "short-payload"],
)
def test_malformed_first_frame_ends_with_one_diagnostic_and_no_output(helper, raw, diagnostic):
    helper.write_raw(raw)
    helper.close_input()
    assert helper.finish() == (0, b"", diagnostic)


def test_oversized_length_is_refused_before_any_payload_byte_is_read(helper):
    # The input stays open and no payload follows: the helper must not wait for it.
    helper.write_raw(struct.pack(">I", 262145))
    status, rest, err = helper.finish()
    assert (status, rest, err) == (0, b"", b"BIX_AX_HELPER FRAME_TOO_LARGE\n")


def test_malformed_frame_after_replies_keeps_the_replies_already_written(helper):
    helper.handshake()
    helper.write_raw(b"\x00\x00\x00\x00")
    assert helper.finish() == (0, b"", b"BIX_AX_HELPER INVALID_FRAME\n")


def test_frame_delivered_one_byte_at_a_time_is_read_whole(helper):
    for byte in frame(b'{"protocol":"bix.ax.helper","protocolMin":1,"protocolMax":1,'
                      b'"requestId":"hello-1","processNonce":"session-nonce-0123456789",'
                      b'"appVersion":"2.4.0"}'):
        helper.write_raw(bytes([byte]))
    assert helper.read_reply() == hello_ack()


def test_largest_frame_is_accepted(helper):
    payload = b'{"protocol":"bix.ax.helper","protocolMin":1,"protocolMax":1,' \
              b'"requestId":"hello-1","processNonce":"session-nonce-0123456789",' \
              b'"appVersion":"2.4.0"}'
    payload += b" " * (262144 - len(payload))  # trailing white space is legal JSON
    helper.send(payload)
    assert helper.read_reply() == hello_ack()


def test_shutdown_reply_is_written_completely_before_exit(helper):
    helper.handshake()
    helper.send(command("shutdown", request_id="bye"))
    assert helper.read_reply() == success({"status": "shutting-down"}, request_id="bye")
    assert helper.finish() == (0, b"", b"")


def test_shutdown_with_parameters_is_refused_and_the_helper_keeps_running(helper):
    helper.handshake()
    reply = helper.request(command("shutdown", {"now": True}))
    assert reply == failure("INVALID_REQUEST", "Unexpected or missing fields.", "req-1",
                            "session-nonce-0123456789")
    assert helper.request(command("checkTrust", {"prompt": False}, request_id="req-2")) == \
        success({"permissionState": "authorized",
                 "settingsHint": "System Settings > Privacy & Security > Accessibility",
                 "trusted": True}, request_id="req-2")


@pytest.mark.parametrize("signo", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_signal_while_idle_exits_zero_without_output(helper, signo):
    helper.handshake()  # the helper is up and idle in its read
    helper.proc.send_signal(signo)
    assert helper.finish() == (0, b"", b"")


def test_signal_before_the_handshake_exits_zero_without_output(helper):
    # A refused payload proves the helper is up (a signal during exec would find no handler yet).
    assert helper.request(b"[") == failure("INVALID_JSON", "Unexpected end of JSON.")
    helper.proc.send_signal(signal.SIGTERM)
    assert helper.finish() == (0, b"", b"")


def test_host_closing_its_read_end_ends_with_internal_failure(helper):
    helper.handshake()
    helper.proc.stdout.close()  # nobody reads the replies any more
    helper.send(command("checkTrust", {"prompt": False}))
    helper.close_input()
    status = helper.proc.wait(timeout=20)
    assert status == 0
    assert helper.proc.stderr.read() == b"BIX_AX_HELPER INTERNAL_FAILURE\n"


def test_end_of_input_after_the_session_ends_quietly(helper):
    helper.handshake()
    helper.close_input()
    assert helper.finish() == (0, b"", b"")
