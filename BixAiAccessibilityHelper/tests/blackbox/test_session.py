"""The session rules over the wire: hello first, one nonce, which failures end the session."""

import pytest

from conftest import NONCE, command, failure, frame, hello, hello_ack, success

TRUSTED = {
    "permissionState": "authorized",
    "settingsHint": "System Settings > Privacy & Security > Accessibility",
    "trusted": True,
}


def test_hello_is_acknowledged_with_version_and_build_hash(helper):
    assert helper.request(hello(request_id="h-7")) == hello_ack(request_id="h-7")


def test_non_json_before_hello_is_refused_and_a_hello_still_works(helper):
    assert helper.request(b"[") == failure("INVALID_JSON", "Unexpected end of JSON.")
    assert helper.request(b"\xef\xbb\xbf{}") == failure("INVALID_JSON", "Malformed number.")
    helper.handshake()


@pytest.mark.parametrize(
    "payload, code, message",
    [
        (b"{}", "INVALID_REQUEST", "Unexpected or missing fields."),
        (b"[]", "INVALID_REQUEST", "Handshake must be an object."),
        (hello(protocolMax=2), "UNSUPPORTED_PROTOCOL", "No supported helper protocol version."),
        (hello(nonce="short-nonce"), "INVALID_REQUEST", "Invalid processNonce."),
        (command("checkTrust", {"prompt": False}), "INVALID_REQUEST",
         "Unexpected or missing fields."),
    ],
    ids=["empty-object", "array", "protocol-max-2", "short-nonce", "command-first"],
)
def test_invalid_hello_gets_a_failure_without_identifiers_and_ends_the_session(
        helper, payload, code, message):
    assert helper.request(payload) == failure(code, message)
    assert helper.finish() == (0, b"", b"")


def test_command_with_another_nonce_is_a_session_mismatch_that_ends_the_session(helper):
    helper.handshake()
    reply = helper.request(command("checkTrust", {"prompt": False}, request_id="r-9",
                                   nonce="another-nonce-0123456789"))
    assert reply == failure("SESSION_MISMATCH", "Helper process session does not match.",
                            request_id="r-9", nonce=NONCE)
    assert helper.finish() == (0, b"", b"")


def test_unsupported_protocol_version_in_a_command_ends_the_session(helper):
    helper.handshake()
    reply = helper.request(command("checkTrust", {"prompt": False}, protocolVersion=2))
    assert reply == failure("UNSUPPORTED_PROTOCOL", "Unsupported helper protocol version.")
    assert helper.finish() == (0, b"", b"")


@pytest.mark.parametrize(
    "request_value, expected",
    [
        (b"{\"a\":1,\"a\":1}", failure("INVALID_JSON", "Duplicate object key.")),
        (b"{\"a\":\"e\xcc\x81\"}", failure("INVALID_JSON", "JSON strings must be NFC.")),
        (hello(request_id="h-2"), failure("INVALID_REQUEST", "Unexpected or missing fields.")),
        (command("CheckTrust", {"prompt": False}),
         failure("COMMAND_NOT_ALLOWED", "Command is not allowlisted.")),
        # The allowlist is checked before the nonce, so a wrong nonce here does not end anything.
        (command("launchApp", nonce="another-nonce-0123456789"),
         failure("COMMAND_NOT_ALLOWED", "Command is not allowlisted.")),
        (command("", {}), failure("INVALID_REQUEST", "Invalid command.")),
        (command("checkTrust", []), failure("INVALID_REQUEST", "params must be an object.")),
        (command("checkTrust", {}, request_id="r" * 129),
         failure("INVALID_REQUEST", "Invalid requestId.")),
        (command("checkTrust", {}),
         failure("INVALID_REQUEST", "Unexpected or missing fields.", "req-1", NONCE)),
        (command("checkTrust", {"prompt": "yes"}),
         failure("INVALID_REQUEST", "prompt must be a boolean.", "req-1", NONCE)),
        (command("checkTrust", {"prompt": 1}),
         failure("INVALID_REQUEST", "prompt must be a boolean.", "req-1", NONCE)),
        (command("checkTrust", {"prompt": False, "extra": 1}),
         failure("INVALID_REQUEST", "Unexpected or missing fields.", "req-1", NONCE)),
    ],
    ids=["duplicate-key", "not-nfc", "second-hello", "capitalised-command",
         "unknown-command-wrong-nonce", "empty-command", "params-array", "long-request-id",
         "missing-prompt", "string-prompt", "integer-prompt", "extra-param"],
)
def test_request_failures_after_the_handshake_do_not_end_the_session(
        helper, request_value, expected):
    helper.handshake()
    assert helper.request(request_value) == expected
    assert helper.request(command("checkTrust", {"prompt": False}, request_id="after")) == \
        success(TRUSTED, request_id="after")


def test_check_trust_answers_for_the_demo_desktop(helper):
    helper.handshake()
    assert helper.request(command("checkTrust", {"prompt": True})) == success(TRUSTED)


def test_every_request_gets_one_reply_in_order(helper):
    helper.handshake()
    for index in range(5):
        helper.send(command("checkTrust", {"prompt": False}, request_id=f"r{index}"))
    for index in range(5):
        assert helper.read_reply() == success(TRUSTED, request_id=f"r{index}")
