"""listCandidateApps, the two-step bindTarget and unbindTarget over the wire, byte for byte."""

import hashlib
import json
import re

import pytest

from conftest import NONCE, canonical, command, failure, success

PROFILE_HASH = hashlib.sha256(b"chat layout profile").hexdigest()
CANDIDATE_ID = re.compile(r"^app_[0-9A-F]{32}$")
WINDOW_ID = re.compile(r"^window_[0-9A-F]{32}$")
STALE = "The selected app or window changed. Reconnect it."
LAYOUT = "The selected AI layout could not be matched safely."

# Listing order of runtime-binding.json: the active application first, then by name ignoring
# letter case ("Application" stands for a missing or sensitive name), ties in platform order.
LISTED = [
    ("com.example.zedchat", "Zed Chat", True),
    ("com.example.alpha", "Alpha", False),
    ("com.example.vault", "Application", False),
    ("com.example.nameless", "Application", False),
    ("com.example.beta", "beta", False),
    ("com.example.borrowed", "Borrowed", False),
    ("com.example.windowless", "Windowless", False),
]


def window_fingerprint(pid, role, subrole, identifier):
    return hashlib.sha256("\x1f".join([str(pid), role, subrole, identifier]).encode()).hexdigest()


def result_of(reply):
    value = json.loads(reply)
    assert value["ok"] is True, reply
    return value["result"]


@pytest.fixture
def desktop(start_helper, scenario):
    helper = start_helper("--simulated-desktop", scenario("runtime-binding.json"))
    helper.handshake()
    return helper


def list_candidates(helper, request_id="list"):
    reply = helper.request(command("listCandidateApps", request_id=request_id))
    candidates = result_of(reply)["candidates"]
    assert reply == success({"candidates": candidates}, request_id=request_id)
    return {c["bundleId"]: c["candidateId"] for c in candidates}, candidates


def bind_params(candidate_id, bundle="com.example.zedchat", **extra):
    params = {"candidateId": candidate_id, "expectedBundleId": bundle,
              "profileHash": PROFILE_HASH}
    params.update(extra)
    return params


def bind_chat_window(helper, ids, request_id="bind"):
    """Both steps for the chat application's standard window; returns the bound result."""
    windows = result_of(helper.request(command("bindTarget", bind_params(ids["com.example.zedchat"]))))
    chosen = next(w for w in windows["windows"] if w.get("subrole") == "AXStandardWindow")
    params = bind_params(ids["com.example.zedchat"], windowCandidateId=chosen["windowCandidateId"])
    return result_of(helper.request(command("bindTarget", params, request_id=request_id)))


def test_listing_orders_and_describes_every_qualifying_application(desktop):
    ids, candidates = list_candidates(desktop)
    assert [(c["bundleId"], c["displayName"], c["isActive"]) for c in candidates] == LISTED
    assert all(c["isRunning"] is True for c in candidates)
    assert all(CANDIDATE_ID.match(c["candidateId"]) for c in candidates)
    assert len(set(ids.values())) == len(candidates)


def test_listing_with_no_qualifying_application_is_empty(start_helper, scenario):
    helper = start_helper("--simulated-desktop", scenario("runtime-empty.json"))
    helper.handshake()
    assert helper.request(command("listCandidateApps")) == success({"candidates": []})


def test_listing_refuses_any_parameter(desktop):
    assert desktop.request(command("listCandidateApps", {"all": True})) == failure(
        "INVALID_REQUEST", "Unexpected or missing fields.", "req-1", NONCE)


def test_first_step_offers_only_real_windows_labelled_by_list_position(desktop):
    ids, _ = list_candidates(desktop)
    reply = desktop.request(command("bindTarget", bind_params(ids["com.example.zedchat"])))
    windows = result_of(reply)["windows"]
    assert [w["displayLabel"] for w in windows] == ["Window 2", "Window 3"]
    assert all(WINDOW_ID.match(w["windowCandidateId"]) for w in windows)
    expected = {
        "status": "window-selection-required",
        "windows": [
            {"displayLabel": "Window 2", "isFocused": True, "role": "AXWindow",
             "subrole": "AXStandardWindow", "windowCandidateId": windows[0]["windowCandidateId"]},
            # No subrole on this window, so no "subrole" key at all.
            {"displayLabel": "Window 3", "isFocused": False, "role": "AXWindow",
             "windowCandidateId": windows[1]["windowCandidateId"]},
        ],
    }
    assert reply == success(expected)


def test_second_step_binds_the_chosen_window(desktop):
    ids, _ = list_candidates(desktop)
    bound = bind_chat_window(desktop, ids)
    for key, prefix in [("bindingId", "binding_"), ("processRef", "process_"),
                        ("windowRef", "windowref_")]:
        assert re.match(rf"^{prefix}[0-9A-F]{{32}}$", bound[key]), bound[key]
    assert bound == {
        "bindingId": bound["bindingId"],
        "bundleId": "com.example.zedchat",
        "displayName": "Zed Chat",
        "processRef": bound["processRef"],
        "profileHash": PROFILE_HASH,
        "status": "bound",
        "windowFingerprint": window_fingerprint(6001, "AXWindow", "AXStandardWindow", "chat-main"),
        "windowRef": bound["windowRef"],
    }
    assert len({bound["bindingId"][8:], bound["processRef"][8:], bound["windowRef"][10:]}) == 3


def test_bound_reply_is_canonical_bytes(desktop):
    ids, _ = list_candidates(desktop)
    windows = result_of(desktop.request(command("bindTarget", bind_params(ids["com.example.zedchat"]))))
    params = bind_params(ids["com.example.zedchat"],
                         windowCandidateId=windows["windows"][1]["windowCandidateId"])
    reply = desktop.request(command("bindTarget", params, request_id="b2"))
    bound = result_of(reply)
    assert bound["windowFingerprint"] == window_fingerprint(6001, "AXWindow", "", "")
    assert reply == success(bound, request_id="b2")
    assert reply.index(b'"bindingId"') < reply.index(b'"bundleId"') < reply.index(b'"windowRef"')


@pytest.mark.parametrize(
    "params, message",
    [
        (lambda c: bind_params(c, profileHash=PROFILE_HASH.upper()), "Invalid profileHash."),
        (lambda c: bind_params(c, bundle="zedchat"), "Invalid expectedBundleId."),
        (lambda c: bind_params(c, windowCandidateId=None), "Invalid windowCandidateId."),
        (lambda c: bind_params(c, windowCandidateId=""), "Invalid windowCandidateId."),
        (lambda c: bind_params(c + ".x", profileHash="zz"), "Invalid candidateId."),
        (lambda c: bind_params("x" * 129), "Invalid candidateId."),
        (lambda c: {"candidateId": c, "expectedBundleId": "com.example.zedchat"},
         "Unexpected or missing fields."),
        (lambda c: bind_params(c, windowId="w"), "Unexpected or missing fields."),
        (lambda c: bind_params(c, profileHash=7), "Invalid profileHash."),
    ],
    ids=["upper-case-hash", "bundle-without-dot", "null-window", "empty-window",
         "first-failure-wins", "long-candidate", "missing-hash", "extra-key", "numeric-hash"],
)
def test_bind_parameter_failures(desktop, params, message):
    ids, _ = list_candidates(desktop)
    reply = desktop.request(command("bindTarget", params(ids["com.example.zedchat"])))
    assert reply == failure("INVALID_REQUEST", message, "req-1", NONCE)


@pytest.mark.parametrize(
    "bundle, expected_bundle, code, message",
    [
        ("com.example.zedchat", "com.example.notchat", "TARGET_STALE", STALE),
        ("com.example.windowless", "com.example.windowless", "LOCATOR_NOT_FOUND", LAYOUT),
        ("com.example.borrowed", "com.example.borrowed", "LOCATOR_NOT_FOUND", LAYOUT),
    ],
    ids=["bundle-mismatch", "no-windows", "only-foreign-windows"],
)
def test_bind_service_failures_reach_the_host_with_public_messages(
        desktop, bundle, expected_bundle, code, message):
    ids, _ = list_candidates(desktop)
    reply = desktop.request(command("bindTarget", bind_params(ids[bundle], bundle=expected_bundle)))
    assert reply == failure(code, message, "req-1", NONCE)


def test_candidates_of_an_earlier_listing_are_unknown(desktop):
    first, _ = list_candidates(desktop, "list-1")
    list_candidates(desktop, "list-2")
    reply = desktop.request(command("bindTarget", bind_params(first["com.example.zedchat"])))
    assert reply == failure("CANDIDATE_NOT_FOUND", "App candidate is unknown.", "req-1", NONCE)


def test_window_selection_of_another_candidate_is_unknown(desktop):
    ids, _ = list_candidates(desktop)
    chat = result_of(desktop.request(command("bindTarget", bind_params(ids["com.example.zedchat"]))))
    desktop.request(command("bindTarget", bind_params(ids["com.example.alpha"],
                                                      bundle="com.example.alpha")))
    params = bind_params(ids["com.example.zedchat"],
                         windowCandidateId=chat["windows"][0]["windowCandidateId"])
    assert desktop.request(command("bindTarget", params)) == failure(
        "CANDIDATE_NOT_FOUND", "Window selection is unknown.", "req-1", NONCE)


def test_unbind_twice_fails_the_second_time(desktop):
    ids, _ = list_candidates(desktop)
    binding = bind_chat_window(desktop, ids)["bindingId"]
    assert desktop.request(command("unbindTarget", {"bindingId": binding})) == success(
        {"status": "unbound"})
    assert desktop.request(command("unbindTarget", {"bindingId": binding})) == failure(
        "TARGET_NOT_BOUND", "Target binding is unknown.", "req-1", NONCE)


def test_a_new_binding_replaces_the_old_one(desktop):
    ids, _ = list_candidates(desktop)
    first = bind_chat_window(desktop, ids, "bind-1")["bindingId"]
    second = bind_chat_window(desktop, ids, "bind-2")["bindingId"]
    assert first != second
    assert desktop.request(command("unbindTarget", {"bindingId": first})) == failure(
        "TARGET_NOT_BOUND", "Target binding is unknown.", "req-1", NONCE)
    assert desktop.request(command("unbindTarget", {"bindingId": second})) == success(
        {"status": "unbound"})


@pytest.mark.parametrize(
    "params, message",
    [({}, "Unexpected or missing fields."),
     ({"bindingId": "binding_1", "force": True}, "Unexpected or missing fields."),
     ({"bindingId": "binding/1"}, "Invalid bindingId."),
     ({"bindingId": None}, "Invalid bindingId.")],
    ids=["missing", "extra", "bad-character", "null"],
)
def test_unbind_parameter_failures(desktop, params, message):
    assert desktop.request(command("unbindTarget", params)) == failure(
        "INVALID_REQUEST", message, "req-1", NONCE)


def test_untrusted_helper_lists_but_refuses_to_bind(start_helper, scenario):
    helper = start_helper("--simulated-desktop", scenario("runtime-untrusted.json"))
    helper.handshake()
    ids, _ = list_candidates(helper)
    reply = helper.request(command("bindTarget", bind_params(ids["com.example.aichat"],
                                                             bundle="com.example.aichat")))
    assert reply == failure("PERMISSION_DENIED", "Accessibility permission is unavailable.",
                            "req-1", NONCE)


def test_built_in_demo_desktop_binds_its_chat_window(helper):
    helper.handshake()
    ids, candidates = list_candidates(helper)
    assert candidates[0]["bundleId"] == "com.example.aichat"
    assert candidates[0]["isActive"] is True
    offered = result_of(helper.request(command(
        "bindTarget", bind_params(ids["com.example.aichat"], bundle="com.example.aichat"))))
    assert offered["status"] == "window-selection-required"
    params = bind_params(ids["com.example.aichat"], bundle="com.example.aichat",
                         windowCandidateId=offered["windows"][0]["windowCandidateId"])
    bound = result_of(helper.request(command("bindTarget", params, request_id="b2")))
    assert (bound["status"], bound["bundleId"]) == ("bound", "com.example.aichat")
