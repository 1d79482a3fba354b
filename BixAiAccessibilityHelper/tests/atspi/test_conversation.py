"""The whole conversation with the real GTK application over the wire: write, submit, follow
the streamed answer to its end, stop half way, and start a new conversation. The application's
own log of what it showed is the reference for every text the helper reports."""

import os
import re
import subprocess

from conftest import AXCTL, PROFILE_DIR, Conversation, sha256_hex

OBSERVED_AT = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
IDLE_NODES = 13  # the idle window; each turn adds a user row and an assistant row


def results(replies):
    assert all(r["ok"] for r in replies), replies[-1]
    return [r["result"] for r in replies]


def node_count(chat):
    return chat.helper.ok("inspectBoundTarget", {"bindingId": chat.binding,
                                                 "purpose": "health"})["nodeCount"]


def assert_followed_to_the_end(replies, shown):
    """Only growing prefixes of the text the application showed, ending with all of it."""
    seen = results(replies)
    assert seen[-1]["status"] == "complete" and seen[-1]["text"] == shown
    assert seen[-1]["contentFingerprint"] == sha256_hex(shown)
    for result in seen:
        assert OBSERVED_AT.match(result["observedAt"])
        assert ("text" in result) == (result["status"] in ("streaming", "complete")), result
        assert shown.startswith(result.get("text", "")), result
    assert {r["status"] for r in seen} <= {"pending", "streaming", "complete"}


def test_two_turns_are_each_followed_to_their_end(start_app, helper):
    app = start_app()
    chat = Conversation(helper)
    assert node_count(chat) == IDLE_NODES

    started = chat.ask("What is 2+2?")
    assert started["mode"] == "ax-observer" and started["baselinePresent"] is True
    assert app.wait_for_event("submitted")["prompt"] == "What is 2+2?"
    replies = chat.poll(started)
    answer = app.answer_to("What is 2+2?")
    assert_followed_to_the_end(replies, answer)
    assert "streaming" in [r["result"]["status"] for r in replies]
    assert node_count(chat) == IDLE_NODES + 2
    gone = chat.helper.call("getLatestResponse", chat.target(
        observationId=started["observationId"], turnToken="turn-1"))
    assert gone["error"] == {"code": "OBSERVATION_NOT_FOUND",
                             "message": "Response observation is unknown."}

    # The second answer goes into a new label; the first one is no longer the assistant message.
    # Lines, letters beyond ASCII and characters beyond the basic plane survive both ways.
    prompt = "Und 3+3? Grüße 🙂\nzweite Zeile"
    second = chat.ask(prompt, turn="turn-2")
    replies = chat.poll(second, turn="turn-2")
    answer = app.answer_to(prompt)
    assert_followed_to_the_end(replies, answer)
    assert node_count(chat) == IDLE_NODES + 4


def test_stop_half_way_settles_on_what_was_shown(start_app, helper):
    app = start_app("--chunks", "200", "--chunk-ms", "100")
    chat = Conversation(helper)
    started = chat.ask("Tell me a long story")
    streaming = chat.poll(started, until=("streaming",))[-1]
    assert streaming["result"]["status"] == "streaming", streaming
    assert chat.helper.ok("pressStop", chat.target()) == {"retried": False, "status": "attempted"}
    shown = app.answer_to("Tell me a long story", event="stopped")
    replies = chat.poll(started)
    assert_followed_to_the_end(replies, shown)
    assert app.events("complete") == []  # the answer was really cut short
    # Idle again: the stop button is disabled.
    assert chat.helper.error("pressStop", chat.target()) == {
        "code": "ACTION_UNSUPPORTED", "message": "The resolved control does not support AXPress."}


def test_a_new_conversation_empties_the_transcript_and_answers_afresh(start_app, helper):
    app = start_app()
    chat = Conversation(helper)
    started = chat.ask("What is 2+2?")
    assert chat.poll(started, until=("streaming",))[-1]["result"]["status"] == "streaming"
    assert chat.helper.ok("pressNewConversation", chat.target()) == {"retried": False,
                                                                     "status": "attempted"}
    app.wait_for_event("new-conversation")
    gone = chat.helper.call("getLatestResponse", chat.target(
        observationId=started["observationId"], turnToken="turn-1"))
    assert gone["error"]["code"] == "OBSERVATION_NOT_FOUND"
    assert node_count(chat) == IDLE_NODES

    # The same resolution serves the empty conversation.
    again = chat.ask("Hello again", turn="turn-2")
    replies = chat.poll(again, turn="turn-2")
    answer = app.answer_to("Hello again")
    assert_followed_to_the_end(replies, answer)


def test_bix_axctl_holds_the_conversation_with_the_real_application(session, start_app, tmp_path):
    app = start_app()
    # bix-axctl starts the helper beside it with no arguments: the session's real desktop.
    finished = subprocess.run(
        [AXCTL, "--profile", os.path.join(PROFILE_DIR, "gtk-chat.json"), "--poll-ms", "50",
         "send", "What is 2+2?", "new-conversation"],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=session.env(),
        cwd=tmp_path, timeout=60)
    assert finished.returncode == 0, finished.stderr
    assert finished.stdout.splitlines()[0] == app.answer_to("What is 2+2?"), finished.stdout
    app.wait_for_event("new-conversation")
