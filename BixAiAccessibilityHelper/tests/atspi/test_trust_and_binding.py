"""Trust, listing and binding against a real GTK 3 application on the session's desktop."""

import re
import socket

from conftest import (APP_ID, APP_NAME, STALE, bind_chat, chat_candidate, fingerprint,
                      load_profile)

SETTINGS_HINT = "System Settings > Privacy & Security > Accessibility"
TRUSTED = {"permissionState": "authorized", "settingsHint": SETTINGS_HINT, "trusted": True}
UNTRUSTED = {"permissionState": "not-authorized", "settingsHint": SETTINGS_HINT, "trusted": False}


def dead_bus_address(directory):
    """A socket path nobody listens on any more: connecting is refused at once."""
    path = str(directory / "dead-bus")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.close()
    return "unix:path=" + path


def test_trust_follows_the_reachability_of_the_accessibility_bus(session, start_helper,
                                                                  tmp_path):
    inside = start_helper()
    for prompt in (False, True):
        assert inside.ok("checkTrust", {"prompt": prompt}) == TRUSTED

    runtime = tmp_path / "runtime"
    runtime.mkdir(mode=0o700)
    outside = start_helper(env=session.env(DBUS_SESSION_BUS_ADDRESS=dead_bus_address(tmp_path),
                                           DISPLAY=None, XDG_RUNTIME_DIR=str(runtime)))
    for prompt in (False, True):  # there is no prompt to show: asking changes nothing
        assert outside.ok("checkTrust", {"prompt": prompt}) == UNTRUSTED
    # Nothing to list without the bus, and the session goes on.
    assert outside.ok("listCandidateApps", {}) == {"candidates": []}
    assert outside.ok("checkTrust", {"prompt": False}) == UNTRUSTED


def listed_once(helper, bundle_id):
    """A fresh listing's candidates; the given application must be in it exactly once."""
    candidates = helper.ok("listCandidateApps", {})["candidates"]
    assert [c["bundleId"] for c in candidates].count(bundle_id) == 1, candidates
    return next(c for c in candidates if c["bundleId"] == bundle_id)


def test_each_application_is_listed_and_bound_with_its_own_process(start_app, helper):
    other_id = "org.bix.GtkChatTwo"
    first = start_app()
    second = start_app("--app-id", other_id)
    for bundle_id in (APP_ID, other_id):
        chat_candidate(helper, bundle_id)
    profile_hash = load_profile()["profileHash"]

    for app, bundle_id in ((first, APP_ID), (second, other_id)):
        candidate = listed_once(helper, bundle_id)
        assert candidate["displayName"] == APP_NAME and candidate["isRunning"] is True
        assert re.fullmatch(r"app_[0-9A-F]{32}", candidate["candidateId"])
        params = {"candidateId": candidate["candidateId"], "expectedBundleId": bundle_id,
                  "profileHash": profile_hash}
        offered = helper.ok("bindTarget", params)
        windows = offered["windows"]
        assert offered == {"status": "window-selection-required", "windows": [{
            "displayLabel": "Window 1", "isFocused": windows[0]["isFocused"],
            "role": "AXWindow", "subrole": "AXStandardWindow",
            "windowCandidateId": windows[0]["windowCandidateId"]}]}
        assert isinstance(windows[0]["isFocused"], bool)
        bound = helper.ok("bindTarget", {**params,
                                         "windowCandidateId": windows[0]["windowCandidateId"]})
        # The window fingerprint is made from the bound process's pid: the right process is bound.
        assert bound == {
            "bindingId": bound["bindingId"], "bundleId": bundle_id, "displayName": APP_NAME,
            "processRef": bound["processRef"], "profileHash": profile_hash, "status": "bound",
            "windowFingerprint": fingerprint(str(app.pid), "AXWindow", "AXStandardWindow",
                                             "chat-window"),
            "windowRef": bound["windowRef"]}


def test_binding_refuses_another_bundle_and_an_ended_listing(start_app, helper):
    start_app()
    profile_hash = load_profile()["profileHash"]
    candidate = chat_candidate(helper)
    params = {"candidateId": candidate["candidateId"], "expectedBundleId": "org.bix.Other",
              "profileHash": profile_hash}
    assert helper.error("bindTarget", params) == {"code": "TARGET_STALE", "message": STALE}
    # A newer listing retires the earlier candidates.
    fresh = listed_once(helper, APP_ID)
    assert fresh["candidateId"] != candidate["candidateId"]
    assert helper.error("bindTarget", {**params, "expectedBundleId": APP_ID}) == {
        "code": "CANDIDATE_NOT_FOUND", "message": "App candidate is unknown."}
    assert bind_chat(helper, profile_hash)["status"] == "bound"
