"""The command line, and the commands this build answers."""

import os

import pytest

from conftest import NONCE, command, failure, success


def test_untrusted_scenario_reports_not_authorized(start_helper, scenario):
    helper = start_helper("--simulated-desktop", scenario("runtime-untrusted.json"))
    helper.handshake()
    assert helper.request(command("checkTrust", {"prompt": False})) == success({
        "permissionState": "not-authorized",
        "settingsHint": "System Settings > Privacy & Security > Accessibility",
        "trusted": False,
    })


@pytest.mark.parametrize(
    "args",
    [
        ["--simulated-desktop"],
        ["--simulated-desktop", ""],
        ["--verbose"],
        ["--demo-desktop", "extra"],
        ["--demo-desktop", "--simulated-desktop", "x.json"],
        ["--simulated-desktop", "/nonexistent/scenario.json"],
    ],
    ids=["missing-file-argument", "empty-file-argument", "unknown-option", "demo-with-argument",
         "two-desktops", "unreadable-file"],
)
def test_bad_command_line_serves_nothing_and_exits_zero(start_helper, args):
    helper = start_helper(*args)
    assert helper.finish() == (0, b"", b"BIX_AX_HELPER INTERNAL_FAILURE\n")


def test_scenario_that_is_not_valid_is_refused(start_helper, tmp_path):
    broken = tmp_path / "broken.json"
    broken.write_text('{"applications": [')
    helper = start_helper("--simulated-desktop", str(broken))
    assert helper.finish() == (0, b"", b"BIX_AX_HELPER INTERNAL_FAILURE\n")


@pytest.mark.parametrize("name", ["resolveProfile", "setComposerText", "pressSubmit",
                                  "observeResponse", "getLatestResponse", "pressStop",
                                  "pressNewConversation", "inspectBoundTarget",
                                  "promoteTeachProfile", "bindTarget", "unbindTarget",
                                  "checkTrust"])
def test_every_command_checks_its_parameters_first_and_the_session_goes_on(helper, name):
    helper.handshake()
    assert helper.request(command(name, {})) == failure(
        "INVALID_REQUEST", "Unexpected or missing fields.", "req-1", NONCE)
    assert helper.request(command("checkTrust", {"prompt": False}, request_id="r2")).startswith(
        b'{"ok":true')
