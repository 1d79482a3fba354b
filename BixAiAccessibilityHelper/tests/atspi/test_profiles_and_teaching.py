"""Resolving the shipped gtk-chat.json, inspecting the real window, and teaching a profile with
inspectBoundTarget and promoteTeachProfile, then using it."""

import copy
import json
import re

import pytest

from conftest import (APP_ID, APP_NAME, LAYOUT, Conversation, bind_chat, content_hash,
                      fingerprint, load_profile)

ALL_CAPABILITIES = {
    "canCreateConversation": True, "canPressStop": True, "canPressSubmit": True,
    "canReadResponse": True, "canSetComposer": True, "newConversationControlProfiled": True,
    "stopControlProfiled": True, "usesCoordinates": False,
}
# The idle chat window breadth first, as "role:subrole:identifier": the backend's role mapping
# of every GTK widget in it (box, scrolled window, viewport, scroll bars, text view, buttons).
IDLE_STRUCTURE = [
    "AXWindow:AXStandardWindow:chat-window", "AXGroup::chat-content", "AXGroup::header-bar",
    "AXScrollArea::", "AXGroup::composer-bar", "AXButton::new-conversation-button", "AXGroup::",
    "AXScrollBar::", "AXScrollBar::", "AXTextArea::composer", "AXButton::send-button",
    "AXButton::stop-button", "AXGroup::transcript",
]
IDLE_FINGERPRINT = fingerprint(*IDLE_STRUCTURE)


def attributes(role, identifier):
    return {"kind": "ax-attributes", "confidence": "probable", "role": role,
            "identifier": identifier}


# Every teach candidate of the idle window in traversal order: depth, capabilities, locator.
IDLE_CANDIDATES = [
    (1, ["read-response"], attributes("AXGroup", "chat-content")),
    (2, ["read-response"], attributes("AXGroup", "header-bar")),
    (2, ["read-response"], attributes("AXGroup", "composer-bar")),
    (3, ["press"], attributes("AXButton", "new-conversation-button")),
    # The viewport GTK puts between the scrolled window and the transcript has no identifier.
    (3, ["read-response"], {"kind": "ax-path", "confidence": "fallback", "ancestors": [
        {"role": "AXGroup", "identifier": "chat-content"}, {"role": "AXScrollArea"}],
        "targetRole": "AXGroup"}),
    (3, ["read-response", "write"], attributes("AXTextArea", "composer")),
    (3, ["press"], attributes("AXButton", "send-button")),
    (3, ["press"], attributes("AXButton", "stop-button")),
    (4, ["read-response"], attributes("AXGroup", "transcript")),
]
# What the window shows its user; none of it may leave the helper in an inspection.
VISIBLE_TEXTS = ["Bix GTK Chat", "Send", "Stop", "New conversation", "Message", "Lisbon"]


def only_kind(profile, kind):
    """The profile with every locator set cut down to its candidates of one kind."""
    cut = copy.deepcopy(profile)
    for key in ("input", "submit", "assistantMessage", "stopGeneration", "newConversation"):
        cut[key]["candidates"] = [c for c in cut[key]["candidates"] if c["kind"] == kind]
        assert cut[key]["candidates"], (key, kind)
    cut["profileHash"] = content_hash(cut)
    return cut


@pytest.mark.parametrize("kind", [None, "ax-attributes", "ax-path"],
                         ids=["shipped", "attributes-only", "paths-only"])
def test_shipped_profile_resolves_against_the_real_window(start_app, helper, kind):
    start_app()
    shipped = load_profile()
    assert shipped["profileHash"] == content_hash(shipped)
    assert shipped["bundleIds"] == [APP_ID]
    profile = shipped if kind is None else only_kind(shipped, kind)
    binding = bind_chat(helper, profile["profileHash"])["bindingId"]
    for _ in range(2):
        resolved = helper.ok("resolveProfile", {"bindingId": binding, "profile": profile})
        assert re.fullmatch(r"profile_[0-9A-F]{32}", resolved["resolutionId"])
        assert resolved == {"capabilities": ALL_CAPABILITIES, "profileId": "org.bix.gtkchat",
                            "profileVersion": 1, "resolutionId": resolved["resolutionId"],
                            "structureFingerprint": IDLE_FINGERPRINT}


def test_health_inspection_describes_the_bound_window(start_app, helper):
    app = start_app()
    profile_hash = load_profile()["profileHash"]
    binding = bind_chat(helper, profile_hash)["bindingId"]
    # The only application on a desktop without window manager is the frontmost one.
    assert helper.ok("inspectBoundTarget", {"bindingId": binding, "purpose": "health"}) == {
        "automaticOperation": "requires-live-probe", "bindingId": binding, "bundleId": APP_ID,
        "displayName": APP_NAME, "nodeCount": len(IDLE_STRUCTURE), "profileHash": profile_hash,
        "status": "bound", "windowState": "foreground",
        "windowFingerprint": fingerprint(str(app.pid), "AXWindow", "AXStandardWindow",
                                         "chat-window"),
    }


def taught_profile(candidates):
    """A profile assembled only from what a teach inspection proposed."""
    def locator(identifier, capability):
        chosen = [c["locator"] for c in candidates
                  if capability in c["capabilities"] and c.get("identifier") == identifier]
        assert len(chosen) == 1, (identifier, chosen)
        return {"candidates": chosen}

    profile = {
        "schemaVersion": 1, "profileId": "org.bix.gtkchat.taught", "profileVersion": 2,
        "bundleIds": [APP_ID], "input": locator("composer", "write"),
        "submit": {"action": "press", **locator("send-button", "press")},
        # The answer does not exist yet: the taught locator names the label the app will add.
        "assistantMessage": {"candidates": [{
            "kind": "ax-attributes", "confidence": "verified", "role": "AXStaticText",
            "identifier": "assistant-message"}]},
        "stopGeneration": {"action": "press", **locator("stop-button", "press")},
        "newConversation": {"action": "press", **locator("new-conversation-button", "press")},
    }
    return {**profile, "profileHash": content_hash(profile)}


def test_a_taught_profile_is_promoted_and_then_used(start_app, helper):
    app = start_app()
    chat = Conversation(helper)
    chat.write("A draft about Lisbon")  # values must not leave the helper in an inspection
    health = helper.ok("inspectBoundTarget", {"bindingId": chat.binding, "purpose": "health"})
    taught = helper.ok("inspectBoundTarget", {"bindingId": chat.binding, "purpose": "teach"})
    assert {k: taught[k] for k in health} == health
    assert taught["structureFingerprint"] == IDLE_FINGERPRINT
    assert taught["teachPolicy"] == {"coordinatesIncluded": False,
                                     "executionUsesCoordinates": False,
                                     "fullTreeIncluded": False, "valuesIncluded": False}
    candidates = taught["teachCandidates"]
    assert [(c["depth"], c["capabilities"], c["locator"]) for c in candidates] == IDLE_CANDIDATES
    assert all(re.fullmatch(r"teach_[0-9A-F]{32}", c["candidateId"]) for c in candidates)
    wire = json.dumps(taught, ensure_ascii=False)
    for text in VISIBLE_TEXTS:
        assert text not in wire, text

    profile = taught_profile(candidates)
    old_hash = chat.profile["profileHash"]
    promoted = helper.ok("promoteTeachProfile", {"bindingId": chat.binding, "profile": profile,
                                                 "expectedProfileHash": old_hash})
    assert promoted == {"capabilities": ALL_CAPABILITIES, "profileHash": profile["profileHash"],
                        "profileId": "org.bix.gtkchat.taught", "profileVersion": 2,
                        "resolutionId": promoted["resolutionId"],
                        "structureFingerprint": IDLE_FINGERPRINT}
    # The earlier resolution is replaced, and the old profile no longer fits the binding.
    assert helper.error("pressSubmit", chat.target()) == {"code": "PROFILE_MISMATCH",
                                                          "message": LAYOUT}
    assert helper.error("resolveProfile", {"bindingId": chat.binding,
                                           "profile": chat.profile})["code"] == "PROFILE_MISMATCH"
    # The taught profile drives a whole turn.
    chat.profile, chat.resolution = profile, promoted
    started = chat.ask("Where is Lisbon?")
    final = chat.poll(started)[-1]
    assert final["ok"], final
    assert final["result"]["text"] == app.answer_to("Where is Lisbon?")
