"""resolveProfile, inspectBoundTarget and promoteTeachProfile over the wire, byte for byte."""

import hashlib
import json
import os
import re

import pytest

from conftest import NONCE, canonical, command, failure, success

SHIPPED = os.path.join(os.path.dirname(__file__), "..", "..", "profiles", "demo-chat.json")
CHAT = "com.example.aichat"
LAYOUT = "The selected AI layout could not be matched safely."
UNKNOWN_BINDING = "binding_" + "0" * 32
RESOLUTION_ID = re.compile(r"^profile_[0-9A-F]{32}$")
TEACH_ID = re.compile(r"^teach_[0-9A-F]{32}$")
ALL_CAPABILITIES = {
    "canCreateConversation": True, "canPressStop": True, "canPressSubmit": True,
    "canReadResponse": True, "canSetComposer": True, "newConversationControlProfiled": True,
    "stopControlProfiled": True, "usesCoordinates": False,
}
HEALTH_KEYS = {"automaticOperation", "bindingId", "bundleId", "displayName", "nodeCount",
               "profileHash", "status", "windowFingerprint", "windowState"}
# Texts the demo chat window shows its user; none of them may leave the helper in an inspection.
VISIBLE_TEXTS = [b"Send", b"Stop", b"New Chat", b"Hello!", b"Attach a file", b"Trip to Lisbon",
                 b"Sourdough", b"Say hello", b"I can answer", b"Conversations", b"Message"]


def fingerprint(*fields):
    return hashlib.sha256("\x1f".join(fields).encode()).hexdigest()


# The demo chat window breadth first, as "role:subrole:identifier".
DEMO_STRUCTURE = [
    "AXWindow:AXStandardWindow:chat-main-window", "AXGroup::", "AXSplitGroup::",
    "AXGroup::sidebar", "AXSplitter::", "AXGroup::",
    "AXButton::new-chat-button", "AXScrollArea::", "AXScrollArea::", "AXGroup::composer-bar",
    "AXGroup::", "AXGroup::transcript", "AXButton::", "AXTextArea::composer", "AXGroup::",
    "AXButton::", "AXButton::", "AXStaticText::user-message", "AXStaticText::",
    "AXStaticText::user-message", "AXStaticText::assistant-message", "AXButton::send-button",
    "AXButton::stop-button",
]
DEMO_FINGERPRINT = fingerprint(*DEMO_STRUCTURE)


def attributes(role, identifier):
    return {"kind": "ax-attributes", "confidence": "probable", "role": role,
            "identifier": identifier}


def path(role, *ancestors):
    nodes = [{"role": r, "identifier": i} if i else {"role": r} for r, i in ancestors]
    return {"kind": "ax-path", "confidence": "fallback", "ancestors": nodes, "targetRole": role}


WINDOW = ("AXWindow", "chat-main-window")
WINDOW_FIELDS = ("AXWindow", "AXStandardWindow", "chat-main-window")
# Every teach candidate of the demo chat window in traversal order: depth, capabilities, locator.
DEMO_CANDIDATES = [
    (1, ["read-response"], path("AXGroup", WINDOW)),
    (3, ["read-response"], attributes("AXGroup", "sidebar")),
    (3, ["read-response"], path("AXGroup", WINDOW, ("AXGroup", None), ("AXSplitGroup", None))),
    (4, ["press"], attributes("AXButton", "new-chat-button")),
    (4, ["read-response"], attributes("AXGroup", "composer-bar")),
    (5, ["read-response"], path("AXGroup", ("AXGroup", "sidebar"), ("AXScrollArea", None))),
    (5, ["read-response"], attributes("AXGroup", "transcript")),
    (5, ["press"], path("AXButton", ("AXGroup", "composer-bar"))),
    (5, ["read-response", "write"], attributes("AXTextArea", "composer")),
    (5, ["read-response"], path("AXGroup", ("AXGroup", "composer-bar"))),
] + [
    (6, ["press"], path("AXButton", ("AXGroup", "sidebar"), ("AXScrollArea", None),
                        ("AXGroup", None)))
] * 2 + [
    (6, ["read-response"], attributes("AXStaticText", "user-message")),
    (6, ["read-response"], path("AXStaticText", ("AXGroup", "transcript"))),
    (6, ["read-response"], attributes("AXStaticText", "user-message")),
    (6, ["read-response"], attributes("AXStaticText", "assistant-message")),
    (6, ["press"], attributes("AXButton", "send-button")),
    (6, ["press"], attributes("AXButton", "stop-button")),
]


def shipped_profile():
    with open(SHIPPED, encoding="utf-8") as source:
        return json.load(source)


def content_hash(profile):
    content = {k: v for k, v in profile.items() if k != "profileHash"}
    return hashlib.sha256(canonical(content)).hexdigest()


def edited(**members):
    """The shipped profile with members replaced (None removes one)."""
    profile = shipped_profile()
    for key, value in members.items():
        if value is None:
            profile.pop(key)
        else:
            profile[key] = value
    return profile


def one(role, identifier, action=False):
    value = {"candidates": [{"kind": "ax-attributes", "confidence": "verified", "role": role,
                             "identifier": identifier}]}
    return {"action": "press", **value} if action else value


def result_of(reply):
    value = json.loads(reply)
    assert value["ok"] is True, reply
    return value["result"]


def bind(helper, bundle, profile_hash):
    apps = result_of(helper.request(command("listCandidateApps", request_id="list")))
    app = next(c["candidateId"] for c in apps["candidates"] if c["bundleId"] == bundle)
    params = {"candidateId": app, "expectedBundleId": bundle, "profileHash": profile_hash}
    windows = result_of(helper.request(command("bindTarget", params, request_id="windows")))
    params["windowCandidateId"] = windows["windows"][0]["windowCandidateId"]
    return result_of(helper.request(command("bindTarget", params, request_id="bind")))["bindingId"]


def send(helper, name, request_id="req-1", **params):
    return helper.request(command(name, params, request_id=request_id))


def resolve(helper, binding, profile, request_id="req-1"):
    return send(helper, "resolveProfile", request_id, bindingId=binding, profile=profile)


def inspect(helper, binding, purpose="health"):
    return send(helper, "inspectBoundTarget", bindingId=binding, purpose=purpose)


def refused(code, message):
    return failure(code, message, "req-1", NONCE)


def resolution_reply(reply, capabilities, profile_id="com.example.aichat.demo", version=1,
                     request_id="req-1", **extra):
    """Checks the resolution identifier's form and returns the whole expected envelope."""
    result = result_of(reply)
    assert RESOLUTION_ID.match(result["resolutionId"]), result
    return success({"capabilities": capabilities, "profileId": profile_id,
                    "profileVersion": version, "resolutionId": result["resolutionId"],
                    "structureFingerprint": DEMO_FINGERPRINT, **extra}, request_id=request_id)


def assert_still_serves(helper, binding, profile_hash):
    """The binding keeps its hash and the shipped profile resolves exactly when it still fits."""
    assert result_of(inspect(helper, binding))["profileHash"] == profile_hash
    reply = resolve(helper, binding, shipped_profile())
    if profile_hash == shipped_profile()["profileHash"]:
        assert reply == resolution_reply(reply, ALL_CAPABILITIES)
    else:
        assert reply == refused("PROFILE_MISMATCH", LAYOUT)


@pytest.fixture
def demo(start_helper):
    """The built-in demo desktop with its chat window bound under the shipped profile's hash."""
    helper = start_helper("--demo-desktop")
    helper.handshake()
    return helper, bind(helper, CHAT, shipped_profile()["profileHash"])


def test_shipped_profile_resolves_on_the_demo_desktop(demo):
    helper, binding = demo
    assert shipped_profile()["profileHash"] == content_hash(shipped_profile())
    first = resolve(helper, binding, shipped_profile(), "resolve-1")
    assert first == resolution_reply(first, ALL_CAPABILITIES, request_id="resolve-1")
    # Resolving again replaces the resolution: a new identifier for the same structure.
    second = resolve(helper, binding, shipped_profile(), "resolve-2")
    assert second == resolution_reply(second, ALL_CAPABILITIES, request_id="resolve-2")
    assert result_of(first)["resolutionId"] != result_of(second)["resolutionId"]


def merged(params, change):
    """params with the members of change put in (None removes a member)."""
    return {k: v for k, v in {**params, **change}.items() if v is not None}


@pytest.mark.parametrize(
    "change, code, message",
    [
        ({"profile": None}, "INVALID_REQUEST", "Unexpected or missing fields."),
        ({"force": True}, "INVALID_REQUEST", "Unexpected or missing fields."),
        ({"bindingId": "binding/1", "profile": []}, "INVALID_REQUEST", "Invalid bindingId."),
        ({"bindingId": "b" * 129}, "INVALID_REQUEST", "Invalid bindingId."),
        ({"profile": []}, "INVALID_REQUEST", "Desktop profile must be an object."),
        ({"profile": edited(schemaVersion=1.0)}, "INVALID_REQUEST",
         "Desktop profile version is invalid."),
        ({"profile": edited(submit={**one("AXButton", "send-button", True), "action": "AXPress"})},
         "ACTION_UNSUPPORTED", "Only AXPress action locators are supported."),
        ({"profile": edited(input={"candidates": [
            {"kind": "ax-attributes", "confidence": "verified", "role": "AXTextArea"}]})},
         "INVALID_REQUEST", "Accessibility locator is underconstrained."),
        ({"profile": edited(profileHash=fingerprint("other"))}, "PROFILE_MISMATCH", LAYOUT),
        ({"profile": edited(bundleIds=["com.example.notes"])}, "PROFILE_MISMATCH", LAYOUT),
        ({"profile": edited(input=one("AXTextArea", "no-composer"))}, "LOCATOR_NOT_FOUND", LAYOUT),
        ({"profile": edited(submit=one("AXButton", "no-send", True))}, "LOCATOR_NOT_FOUND",
         LAYOUT),
        ({"profile": edited(assistantMessage=one("AXStaticText", "user-message"))},
         "LOCATOR_AMBIGUOUS", LAYOUT),
        # Optional controls may be missing, but never ambiguous.
        ({"profile": edited(stopGeneration=one("AXStaticText", "user-message", True))},
         "LOCATOR_AMBIGUOUS", LAYOUT),
        ({"profile": edited(newConversation=one("AXStaticText", "user-message", True))},
         "LOCATOR_AMBIGUOUS", LAYOUT),
        ({"bindingId": UNKNOWN_BINDING}, "TARGET_NOT_BOUND", "Target binding is unknown."),
    ],
    ids=["no-profile", "extra-member", "binding-before-profile", "long-binding", "profile-array",
         "schema-1.0", "action-axpress", "underconstrained", "other-hash", "other-bundle",
         "no-composer", "no-submit", "ambiguous-assistant", "ambiguous-stop",
         "ambiguous-new-chat", "unknown-binding"],
)
def test_resolve_refusals_leave_the_session_and_binding_usable(demo, change, code, message):
    helper, binding = demo
    params = merged({"bindingId": binding, "profile": shipped_profile()}, change)
    assert helper.request(command("resolveProfile", params)) == refused(code, message)
    assert_still_serves(helper, binding, shipped_profile()["profileHash"])


@pytest.mark.parametrize(
    "members, changed",
    [
        ({"stopGeneration": one("AXButton", "no-stop", True)}, {"canPressStop": False}),
        ({"newConversation": one("AXButton", "no-new-chat", True)},
         {"canCreateConversation": False}),
        ({"stopGeneration": None, "newConversation": None},
         {"canPressStop": False, "stopControlProfiled": False, "canCreateConversation": False,
          "newConversationControlProfiled": False}),
        # An empty conversation has no assistant message yet; that is no reason to refuse.
        ({"assistantMessage": one("AXStaticText", "no-answer-yet")}, {}),
    ],
    ids=["stop-off-screen", "new-chat-off-screen", "no-optional-sets", "no-assistant-message"],
)
def test_optional_controls_shape_the_capabilities(demo, members, changed):
    helper, binding = demo
    reply = resolve(helper, binding, edited(**members))
    assert reply == resolution_reply(reply, {**ALL_CAPABILITIES, **changed})


def test_health_inspection_reports_exactly_the_binding_and_window_state(demo):
    helper, binding = demo
    assert inspect(helper, binding) == success({
        "automaticOperation": "requires-live-probe", "bindingId": binding, "bundleId": CHAT,
        "displayName": "AI Chat", "nodeCount": len(DEMO_STRUCTURE),
        "profileHash": shipped_profile()["profileHash"], "status": "bound",
        "windowFingerprint": fingerprint("4242", *WINDOW_FIELDS),
        "windowState": "foreground",
    })


def test_teach_inspection_proposes_locators_without_user_visible_text(demo):
    helper, binding = demo
    health = result_of(inspect(helper, binding))
    replies = [inspect(helper, binding, "teach") for _ in range(2)]
    for reply in replies:
        result = result_of(reply)
        assert reply == success(result)
        assert {k: result[k] for k in HEALTH_KEYS} == health
        assert set(result) == HEALTH_KEYS | {"structureFingerprint", "teachCandidates",
                                             "teachPolicy"}
        assert result["structureFingerprint"] == DEMO_FINGERPRINT
        assert result["teachPolicy"] == {"coordinatesIncluded": False,
                                         "executionUsesCoordinates": False,
                                         "fullTreeIncluded": False, "valuesIncluded": False}
        candidates = result["teachCandidates"]
        proposed = [(c["depth"], c["capabilities"], c["locator"]) for c in candidates]
        assert proposed == DEMO_CANDIDATES
        for candidate in candidates:
            assert TEACH_ID.match(candidate["candidateId"])
            assert set(candidate) <= {"candidateId", "role", "identifier", "semanticFingerprint",
                                      "depth", "capabilities", "locator"}
            locator = candidate["locator"]
            assert candidate["role"] == locator.get("role", locator.get("targetRole"))
            assert candidate.get("identifier") == locator.get("identifier")
        for text in VISIBLE_TEXTS:
            assert text not in reply, text
    # Fresh candidate identifiers on every inspection, everything else the same.
    results = [result_of(reply) for reply in replies]
    ids = [[c.pop("candidateId") for c in result["teachCandidates"]] for result in results]
    assert not set(ids[0]) & set(ids[1])
    assert results[0] == results[1]


@pytest.mark.parametrize(
    "params, message",
    [
        ({"purpose": "Health", "bindingId": "binding/1"}, "Inspection purpose is invalid."),
        ({"purpose": "healthhealthheal", "bindingId": "x"}, "Inspection purpose is invalid."),
        ({"purpose": "healthhealthhealt", "bindingId": "binding/1"}, "Invalid purpose."),
        ({"purpose": "", "bindingId": "x"}, "Invalid purpose."),
        ({"purpose": 1, "bindingId": "x"}, "Invalid purpose."),
        ({"purpose": "teach", "bindingId": "binding/1"}, "Invalid bindingId."),
        ({"purpose": "teach"}, "Unexpected or missing fields."),
        ({"purpose": "teach", "bindingId": "x", "values": True}, "Unexpected or missing fields."),
    ],
)
def test_inspection_parameter_refusals(demo, params, message):
    helper, binding = demo
    assert send(helper, "inspectBoundTarget", **params) == refused("INVALID_REQUEST", message)
    assert result_of(inspect(helper, binding))["bindingId"] == binding


@pytest.mark.parametrize(
    "bundle, pid, name, identifier, state, operation",
    [
        (CHAT, "7100", "AI Chat", "chat-docked", "minimized", "unavailable-while-minimized"),
        ("com.example.sidechat", "7200", "Side Chat", "side-main", "background",
         "requires-live-probe"),
    ],
)
def test_window_state_of_a_minimized_or_background_window(
        start_helper, scenario, bundle, pid, name, identifier, state, operation):
    helper = start_helper("--simulated-desktop", scenario("profiles-window-states.json"))
    helper.handshake()
    binding = bind(helper, bundle, fingerprint("window states"))
    assert inspect(helper, binding) == success({
        "automaticOperation": operation, "bindingId": binding, "bundleId": bundle,
        "displayName": name, "nodeCount": 2, "profileHash": fingerprint("window states"),
        "status": "bound", "windowState": state,
        "windowFingerprint": fingerprint(pid, "AXWindow", "AXStandardWindow", identifier),
    })


def test_every_profile_command_refuses_an_unbound_target(demo):
    helper, binding = demo
    profile = shipped_profile()
    assert send(helper, "unbindTarget", bindingId=binding) == success({"status": "unbound"})
    for name, params in [
        ("resolveProfile", {"profile": profile}),
        ("inspectBoundTarget", {"purpose": "teach"}),
        ("promoteTeachProfile",
         {"profile": profile, "expectedProfileHash": profile["profileHash"]}),
    ]:
        assert send(helper, name, bindingId=binding, **params) == refused(
            "TARGET_NOT_BOUND", "Target binding is unknown."), name


def taught_profile(candidates, submit=lambda c: c.get("identifier") == "send-button"):
    """A profile assembled only from what a teach inspection proposed."""
    def locator(pick, capability):
        chosen = [c["locator"] for c in candidates if capability in c["capabilities"] and pick(c)]
        assert chosen and all(proposal == chosen[0] for proposal in chosen), chosen
        return {"candidates": chosen[:1]}

    def press(pick):
        return {"action": "press", **locator(pick, "press")}

    def named(identifier):
        return lambda c: c.get("identifier") == identifier

    profile = {
        "schemaVersion": 1, "profileId": "com.example.aichat.taught", "profileVersion": 2,
        "bundleIds": [CHAT], "input": locator(lambda c: True, "write"), "submit": press(submit),
        "assistantMessage": locator(named("assistant-message"), "read-response"),
        "stopGeneration": press(named("stop-button")),
        "newConversation": press(named("new-chat-button")),
    }
    return {**profile, "profileHash": content_hash(profile)}


def teach(helper, binding):
    return result_of(inspect(helper, binding, "teach"))


def promote(helper, binding, profile, expected, request_id="req-1"):
    return send(helper, "promoteTeachProfile", request_id, bindingId=binding, profile=profile,
                expectedProfileHash=expected)


def test_taught_profile_is_promoted_and_replaces_the_old_one(demo):
    helper, binding = demo
    old_hash = shipped_profile()["profileHash"]
    taught = taught_profile(teach(helper, binding)["teachCandidates"])
    reply = promote(helper, binding, taught, old_hash)
    expected = dict(profile_id="com.example.aichat.taught", version=2)
    assert reply == resolution_reply(reply, ALL_CAPABILITIES, profileHash=taught["profileHash"],
                                     **expected)
    again = resolve(helper, binding, taught)
    assert again == resolution_reply(again, ALL_CAPABILITIES, **expected)
    # The binding now carries the taught profile's hash: the old profile and hash no longer fit.
    assert_still_serves(helper, binding, taught["profileHash"])
    assert promote(helper, binding, taught, old_hash) == refused("PROFILE_MISMATCH", LAYOUT)
    # Teaching can go on from the new hash.
    retaught = dict(taught, profileVersion=3)
    retaught["profileHash"] = content_hash(retaught)
    reply = promote(helper, binding, retaught, taught["profileHash"])
    assert reply == resolution_reply(reply, ALL_CAPABILITIES, profileHash=retaught["profileHash"],
                                     profile_id="com.example.aichat.taught", version=3)


def unlabeled_button_under(parent):
    def pick(candidate):
        ancestors = candidate["locator"].get("ancestors", [])
        return "identifier" not in candidate and ancestors[-1:] == [parent]
    return pick


@pytest.mark.parametrize(
    "parent, outcome",
    [
        ({"role": "AXGroup", "identifier": "composer-bar"}, None),
        # Both saved conversations in the sidebar share the proposed path.
        ({"role": "AXGroup"}, "LOCATOR_AMBIGUOUS"),
    ],
    ids=["attach-button", "sidebar-conversation"],
)
def test_path_locator_proposal_as_submit(demo, parent, outcome):
    helper, binding = demo
    candidates = teach(helper, binding)["teachCandidates"]
    taught = taught_profile(candidates, submit=unlabeled_button_under(parent))
    assert taught["submit"]["candidates"][0]["kind"] == "ax-path"
    reply = promote(helper, binding, taught, shipped_profile()["profileHash"])
    if outcome:
        assert reply == refused(outcome, LAYOUT)
        assert_still_serves(helper, binding, shipped_profile()["profileHash"])
    else:
        assert reply == resolution_reply(reply, ALL_CAPABILITIES, profile_id=taught["profileId"],
                                         version=2, profileHash=taught["profileHash"])
        again = resolve(helper, binding, taught)
        assert again == resolution_reply(again, ALL_CAPABILITIES, profile_id=taught["profileId"],
                                         version=2)


@pytest.mark.parametrize(
    "change, code, message",
    [
        (lambda p, h: {"expectedProfileHash": h.upper()}, "INVALID_REQUEST",
         "Invalid expectedProfileHash."),
        (lambda p, h: {"expectedProfileHash": h + "0"}, "INVALID_REQUEST",
         "Invalid expectedProfileHash."),
        # The profile is parsed before the expected hash is looked at.
        (lambda p, h: {"expectedProfileHash": "?", "profile": dict(p, schemaVersion=2)},
         "INVALID_REQUEST", "Desktop profile version is invalid."),
        (lambda p, h: {"bindingId": "binding/1", "profile": []}, "INVALID_REQUEST",
         "Invalid bindingId."),
        (lambda p, h: {"expectedProfileHash": None}, "INVALID_REQUEST",
         "Unexpected or missing fields."),
        (lambda p, h: {"expectedProfileHash": fingerprint("some other layout")},
         "PROFILE_MISMATCH", LAYOUT),
        (lambda p, h: {"expectedProfileHash": p["profileHash"]}, "PROFILE_MISMATCH", LAYOUT),
        (lambda p, h: {"profile": dict(p, bundleIds=["com.example.notes"])}, "PROFILE_MISMATCH",
         LAYOUT),
        (lambda p, h: {"profile": dict(p, input=one("AXTextArea", "no-composer"))},
         "LOCATOR_NOT_FOUND", LAYOUT),
        (lambda p, h: {"bindingId": UNKNOWN_BINDING}, "TARGET_NOT_BOUND",
         "Target binding is unknown."),
    ],
    ids=["upper-case-hash", "long-hash", "profile-first", "binding-first", "no-hash",
         "wrong-hash", "own-hash", "other-bundle", "no-composer", "unknown-binding"],
)
def test_promote_refusals_keep_the_old_profile_hash(demo, change, code, message):
    helper, binding = demo
    old_hash = shipped_profile()["profileHash"]
    taught = taught_profile(teach(helper, binding)["teachCandidates"])
    params = merged({"bindingId": binding, "profile": taught, "expectedProfileHash": old_hash},
                    change(taught, old_hash))
    assert helper.request(command("promoteTeachProfile", params)) == refused(code, message)
    assert_still_serves(helper, binding, old_hash)
