"""A bound target that changes under the helper: the application quits, its window closes, its
composer is re-created, or it hangs. The helper must refuse to act on what it resolved before,
say so with the right code, and stay responsive."""

import signal

import pytest

from conftest import APP_ID, LAYOUT, STALE, Conversation, wait_until

# A hung application must cost a bounded wait, well under the helper's ordinary reply deadline.
HANG_REPLY_SECONDS = 10.0


def wait_gone_or_closed(app, number):
    if number == signal.SIGTERM:
        assert app.wait_exit() == 0
    else:
        app.wait_for_event("window-closed")
        assert app.proc.poll() is None, "closing the window must not end the application"


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGUSR2], ids=["quits", "closes"])
def test_an_idle_target_that_goes_away_refuses_the_next_action(start_app, helper, number):
    app = start_app()
    chat = Conversation(helper)
    app.signal(number)
    wait_gone_or_closed(app, number)
    assert helper.error("setComposerText", chat.target(text="Anyone there?")) == {
        "code": "TARGET_STALE", "message": STALE}
    # The stale binding was dropped, and its resolution with it.
    assert helper.error("pressSubmit", chat.target()) == {"code": "PROFILE_MISMATCH",
                                                          "message": LAYOUT}
    assert helper.error("unbindTarget", {"bindingId": chat.binding})["code"] == "TARGET_NOT_BOUND"
    if number == signal.SIGTERM:
        wait_until(lambda: APP_ID not in [c["bundleId"] for c in helper.ok(
            "listCandidateApps", {})["candidates"]], "the application to leave the listing")


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGUSR2], ids=["quits", "closes"])
def test_a_target_that_goes_away_mid_answer_ends_the_observation(start_app, helper, number):
    app = start_app("--chunks", "200", "--chunk-ms", "100")
    chat = Conversation(helper)
    started = chat.ask("Tell me a long story")
    assert chat.poll(started, until=("streaming",))[-1]["result"]["status"] == "streaming"
    app.signal(number)
    wait_gone_or_closed(app, number)
    last = chat.poll(started)[-1]
    assert last["ok"] is False and last["error"] == {"code": "TARGET_STALE", "message": STALE}
    again = helper.call("getLatestResponse", chat.target(
        observationId=started["observationId"], turnToken="turn-1"))
    assert again["error"]["code"] == "OBSERVATION_NOT_FOUND"


def test_a_recreated_composer_needs_a_new_resolution(start_app, helper):
    app = start_app()
    chat = Conversation(helper)
    chat.write("Before the change")
    app.signal(signal.SIGUSR1)
    app.wait_for_event("composer-recreated")
    for name, params in [("setComposerText", chat.target(text="After the change")),
                         ("pressSubmit", chat.target())]:
        assert helper.error(name, params) == {"code": "PROFILE_MISMATCH", "message": LAYOUT}, name
    assert app.events("submitted") == []  # nothing was pressed
    # The binding itself is intact: resolving again finds the new composer, and a turn works.
    chat.resolve()
    started = chat.ask("After the change")
    assert app.wait_for_event("submitted")["prompt"] == "After the change"
    final = chat.poll(started)[-1]
    assert final["ok"], final
    assert final["result"]["text"] == app.answer_to("After the change")


def test_a_composer_moved_to_another_window_is_not_written(start_app, helper):
    app = start_app()
    chat = Conversation(helper)
    chat.write("Before the move")
    app.signal(signal.SIGHUP)
    app.wait_for_event("composer-moved")
    # The same widget, now outside the bound window: the window read before acting must see the
    # move at once, and the layout no longer matches.
    assert helper.error("setComposerText", chat.target(text="After the move")) == {
        "code": "LOCATOR_NOT_FOUND", "message": LAYOUT}
    texts = [e["text"] for e in app.events("composer-changed")]
    assert texts[-1] == "Before the move" and "After the move" not in texts
    assert app.events("submitted") == []


def test_a_hung_target_fails_in_bounded_time_and_the_host_reconnects(start_app, helper):
    app = start_app()
    chat = Conversation(helper)
    app.signal(signal.SIGSTOP)
    try:
        failed = helper.error("setComposerText", chat.target(text="Are you there?"),
                              within=HANG_REPLY_SECONDS)
        # A process that does not answer is busy, not gone: the operation could not complete.
        assert failed == {"code": "ACTION_FAILED",
                          "message": "The target app could not complete the AX operation."}
        assert helper.ok("checkTrust", {"prompt": False})["trusted"] is True
        assert helper.call("listCandidateApps", {}, within=HANG_REPLY_SECONDS)["ok"] is True
    finally:
        app.signal(signal.SIGCONT)
    assert app.events("submitted") == []
    # A window that could not be read cannot be proven: the binding went with the failure. Awake
    # again, the host binds and resolves anew and a whole turn works.
    chat = Conversation(helper)
    started = chat.ask("Awake again?")
    final = chat.poll(started)[-1]
    assert final["ok"], final
    assert final["result"]["text"] == app.answer_to("Awake again?")
