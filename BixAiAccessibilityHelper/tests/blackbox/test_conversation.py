"""The whole conversation over the wire: write, submit, observe, stop, new conversation, and the
refusals of the six action and observation commands, against the demo chat application and its
scripted variants."""

import json
import os
import re
import time

import pytest

from conftest import NONCE, command, failure

SHIPPED = os.path.join(os.path.dirname(__file__), "..", "..", "profiles", "demo-chat.json")
CHAT = "com.example.aichat"
ANSWER = "Here is a short answer from the simulated assistant."
FINGERPRINT = re.compile(r"^[0-9a-f]{64}$")
OBSERVED_AT = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
CHANGED = "The selected AI layout could not be matched safely."


def load_profile():
    with open(SHIPPED, encoding="utf-8") as handle:
        return json.load(handle)


class Conversation:
    """A helper with the chat window bound and the shipped profile resolved."""

    def __init__(self, helper):
        self.helper = helper
        self.counter = 0
        helper.handshake()
        profile = load_profile()
        candidates = self.ok("listCandidateApps", {})["candidates"]
        chat = next(c for c in candidates if c["bundleId"] == CHAT)
        params = {"candidateId": chat["candidateId"], "expectedBundleId": CHAT,
                  "profileHash": profile["profileHash"]}
        params["windowCandidateId"] = self.ok("bindTarget", params)["windows"][0][
            "windowCandidateId"]
        self.binding = self.ok("bindTarget", params)["bindingId"]
        self.resolution = self.ok("resolveProfile", {"bindingId": self.binding,
                                                     "profile": profile})["resolutionId"]

    def call(self, name, params):
        self.counter += 1
        request_id = f"c{self.counter}"
        reply = json.loads(self.helper.request(command(name, params, request_id=request_id)))
        assert reply["requestId"] == request_id and reply["processNonce"] == NONCE
        return reply

    def ok(self, name, params):
        reply = self.call(name, params)
        assert reply["ok"], reply
        return reply["result"]

    def target(self, **extra):
        return {"bindingId": self.binding, "resolutionId": self.resolution, **extra}

    def ask(self, prompt, turn="turn-1", stable_ms=500, maximum_wait_ms=20000):
        written = self.ok("setComposerText", self.target(text=prompt))
        assert FINGERPRINT.match(written["contentFingerprint"]) and written["status"] == "verified"
        submitted = self.ok("pressSubmit", self.target())
        assert submitted == {"delivery": "confirmed", "observedComposerChange": True,
                             "retried": False}
        return self.ok("observeResponse", self.target(turnToken=turn, stableMs=stable_ms,
                                                      maximumWaitMs=maximum_wait_ms))

    def poll(self, observation, turn="turn-1", until=("complete", "interfered"), limit=200):
        """getLatestResponse every 100 ms; returns every reply up to the first final one."""
        replies = []
        for _ in range(limit):
            reply = self.call("getLatestResponse", self.target(
                observationId=observation["observationId"], turnToken=turn))
            replies.append(reply)
            if not reply["ok"] or reply["result"]["status"] in until:
                return replies
            time.sleep(0.1)
        raise AssertionError("no final status")


@pytest.fixture
def chat(helper):
    return Conversation(helper)


@pytest.fixture
def chat_in(start_helper, scenario):
    def start(name):
        return Conversation(start_helper("--simulated-desktop", scenario(name)))
    return start


def test_a_streamed_answer_is_followed_until_it_is_stable(chat):
    started = chat.ask("What is 2+2?")
    assert started["mode"] == "ax-observer" and started["baselinePresent"] is True
    replies = chat.poll(started)
    statuses = [r["result"]["status"] for r in replies]
    final = replies[-1]["result"]
    assert final["status"] == "complete" and final["text"] == ANSWER
    assert OBSERVED_AT.match(final["observedAt"])
    assert set(statuses) <= {"pending", "streaming", "complete"} and "streaming" in statuses
    # Growing prefixes, never text that was not shown.
    texts = [r["result"]["text"] for r in replies if "text" in r["result"]]
    assert all(ANSWER.startswith(text) for text in texts)
    for reply in replies:
        result = reply["result"]
        assert ("text" in result) == ("contentFingerprint" in result) == (
            result["status"] in ("streaming", "complete"))
    # A complete observation is gone.
    gone = chat.call("getLatestResponse", chat.target(observationId=started["observationId"],
                                                      turnToken="turn-1"))
    assert gone["error"] == {"code": "OBSERVATION_NOT_FOUND",
                             "message": "Response observation is unknown."}


def test_a_new_conversation_ends_the_observations_of_the_binding(chat):
    started = chat.ask("What is 2+2?")
    assert chat.ok("pressNewConversation", chat.target()) == {"retried": False,
                                                              "status": "attempted"}
    gone = chat.call("getLatestResponse", chat.target(observationId=started["observationId"],
                                                      turnToken="turn-1"))
    assert gone["error"]["code"] == "OBSERVATION_NOT_FOUND"
    # The empty conversation answers the next prompt in full.
    again = chat.ask("Hello again", turn="turn-2")
    assert again["baselinePresent"] is True  # the new, still empty answer
    assert chat.poll(again, turn="turn-2")[-1]["result"]["text"] == ANSWER


def test_typing_into_the_composer_during_the_answer_is_interference(chat):
    started = chat.ask("What is 2+2?")
    chat.ok("setComposerText", chat.target(text="Actually, never mind"))
    final = chat.poll(started)[-1]["result"]
    assert final["status"] == "interfered" and "text" not in final


VALID_TARGET = {"bindingId": "binding_X", "resolutionId": "profile_X"}


@pytest.mark.parametrize("name,params,code,message", [
    ("setComposerText", {**VALID_TARGET, "text": ""}, "INVALID_REQUEST", "Invalid text."),
    ("setComposerText", {**VALID_TARGET, "text": "x" * 245761}, "INVALID_REQUEST",
     "Invalid text."),
    ("setComposerText", {"bindingId": "b c", "resolutionId": "%", "text": ""}, "INVALID_REQUEST",
     "Invalid bindingId."),
    ("setComposerText", {**VALID_TARGET, "text": "hi", "extra": 1}, "INVALID_REQUEST",
     "Unexpected or missing fields."),
    ("pressSubmit", {"bindingId": "binding_X", "resolutionId": ""}, "INVALID_REQUEST",
     "Invalid resolutionId."),
    ("observeResponse", {**VALID_TARGET, "turnToken": "t", "stableMs": "500",
                         "maximumWaitMs": 5000}, "INVALID_REQUEST",
     "Observation timing is invalid."),
    ("observeResponse", {**VALID_TARGET, "turnToken": "t", "stableMs": 500,
                         "maximumWaitMs": 5000.0}, "INVALID_REQUEST",
     "Observation timing is invalid."),
    ("observeResponse", {"bindingId": "%", "resolutionId": "p", "turnToken": "t",
                         "stableMs": 500, "maximumWaitMs": 5000, "sixth": 1}, "INVALID_REQUEST",
     "Unexpected or missing fields."),
    ("getLatestResponse", {**VALID_TARGET, "observationId": "", "turnToken": "%"},
     "INVALID_REQUEST", "Invalid observationId."),
    ("getLatestResponse", {**VALID_TARGET, "observationId": "o", "turnToken": "%"},
     # "Invalid turnToken." names a token: the host sees the fixed text instead.
     "INVALID_REQUEST", "The helper could not complete the request safely."),
    ("pressStop", {"bindingId": "binding_X"}, "INVALID_REQUEST",
     "Unexpected or missing fields."),
    ("pressNewConversation", VALID_TARGET, "PROFILE_MISMATCH", CHANGED),
])
def test_parameter_refusals_keep_the_session(chat, name, params, code, message):
    reply = chat.call(name, params)
    assert reply["error"] == {"code": code, "message": message}
    assert chat.ok("checkTrust", {"prompt": False})["trusted"] is True


def test_refusals_of_a_bound_and_resolved_target(chat):
    cases = [
        ("setComposerText", chat.target(text="a\u0000b"), "INVALID_REQUEST",
         "Composer text is invalid or too large."),
        ("observeResponse", chat.target(turnToken="t", stableMs=100, maximumWaitMs=5000),
         "INVALID_REQUEST", "Response observation bounds are invalid."),
        ("getLatestResponse", chat.target(observationId="observation_X", turnToken="t"),
         "OBSERVATION_NOT_FOUND", "Response observation is unknown."),
        # Idle: the stop button is disabled.
        ("pressStop", chat.target(), "ACTION_UNSUPPORTED",
         "The resolved control does not support AXPress."),
        ("pressSubmit", {**chat.target(), "resolutionId": "profile_OTHER"}, "PROFILE_MISMATCH",
         CHANGED),
    ]
    for name, params, code, message in cases:
        assert chat.call(name, params)["error"] == {"code": code, "message": message}, name
    # A text of exactly the limit passes the wire and the executor.
    assert chat.ok("setComposerText", chat.target(text="y" * 245760))["status"] == "verified"


def test_a_wrong_turn_token_leaves_the_observation_to_its_owner(chat):
    started = chat.ask("What is 2+2?")
    wrong = chat.call("getLatestResponse", chat.target(observationId=started["observationId"],
                                                       turnToken="turn-9"))
    assert wrong["error"]["code"] == "OBSERVATION_NOT_FOUND"
    assert chat.poll(started)[-1]["result"]["status"] == "complete"


def test_an_answer_that_never_settles_times_out_unless_stopped(chat_in):
    chat = chat_in("chat-never-settles.json")
    # Stopped half way, the answer settles on what was shown.
    started = chat.ask("Count forever")
    assert chat.poll(started, until=("streaming",))[-1]["result"]["status"] == "streaming"
    assert chat.ok("pressStop", chat.target()) == {"retried": False, "status": "attempted"}
    assert chat.poll(started)[-1]["result"]["status"] == "complete"

    second = chat.ask("Count again", turn="turn-2", maximum_wait_ms=5000)
    last = chat.poll(second, turn="turn-2", limit=100)[-1]
    assert last["error"] == {"code": "RESPONSE_TIMEOUT",
                             "message": "Response observation timed out."}


@pytest.mark.parametrize("name", ["chat-quits-mid-answer.json",
                                  "chat-closes-window-mid-answer.json"])
def test_a_target_that_goes_away_mid_answer_ends_the_binding(chat_in, name):
    chat = chat_in(name)
    started = chat.ask("What is 2+2?")
    last = chat.poll(started)[-1]
    assert not last["ok"] and last["error"]["code"] == "TARGET_STALE", last
    # The dropped binding took its resolution and its observation with it.
    again = chat.call("getLatestResponse", chat.target(observationId=started["observationId"],
                                                       turnToken="turn-1"))
    assert again["error"]["code"] == "OBSERVATION_NOT_FOUND"
    assert chat.call("pressSubmit", chat.target())["error"]["code"] == "PROFILE_MISMATCH"


def test_a_composer_recreated_after_submit_needs_a_new_resolution(chat_in):
    chat = chat_in("chat-recreates-composer.json")
    chat.ok("setComposerText", chat.target(text="What is 2+2?"))
    # The composer the prompt went into is gone: the press was delivered.
    assert chat.ok("pressSubmit", chat.target())["delivery"] == "confirmed"
    refused = chat.call("setComposerText", chat.target(text="Next"))
    assert refused["error"] == {"code": "PROFILE_MISMATCH", "message": CHANGED}
    # Resolving again finds the new composer, and the answer is read to its end.
    chat.resolution = chat.ok("resolveProfile", {"bindingId": chat.binding,
                                                 "profile": load_profile()})["resolutionId"]
    started = chat.ok("observeResponse", chat.target(turnToken="turn-1", stableMs=500,
                                                     maximumWaitMs=20000))
    assert chat.poll(started)[-1]["result"]["status"] == "complete"
