"""bix-axctl against the real helper on the demo desktop, and against stand-ins that misbehave."""

import json
import os
import select
import signal
import subprocess
import time

from conftest import (AXCTL, DEADLINE_SECONDS, HELPER, PROFILE, SCENARIOS, pid_is_gone,
                      reply_lines, run_axctl)

with open(PROFILE) as profile_file:
    PROFILE_HASH = json.load(profile_file)["profileHash"]


def results(replies):
    assert all(reply["ok"] for reply in replies), replies
    return [reply["result"] for reply in replies]


def test_one_shot_verbs_print_for_people_and_end_their_helper(helpers):
    helper, pid_file = helpers.real()
    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "list-apps")
    assert (status, err) == (0, "")
    assert "com.example.aichat  AI Chat  (running, active)" in out.splitlines()
    assert pid_is_gone(helpers.pid(pid_file))

    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "resolve", PROFILE)
    assert (status, err) == (0, "")
    resolved, capabilities = out.splitlines()
    assert resolved.startswith("resolved com.example.aichat.demo v1 on AI Chat (profile_")
    assert capabilities.split()[0] == "capabilities:"
    assert {"canSetComposer", "canPressSubmit", "canReadResponse"} <= set(capabilities.split())
    assert pid_is_gone(helpers.pid(pid_file))


def test_json_prints_every_reply_of_the_chained_steps(helpers):
    helper, _ = helpers.real()
    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--json", "--window", "1", "resolve", PROFILE)
    assert (status, err) == (0, "")
    replies = reply_lines(out)
    assert [reply["requestId"] for reply in replies] == ["axctl-1", "axctl-2", "axctl-3", "axctl-4"]
    assert len({reply["processNonce"] for reply in replies}) == 1
    listing, selection, bound, resolution = results(replies)
    assert "com.example.aichat" in [c["bundleId"] for c in listing["candidates"]]
    assert selection["status"] == "window-selection-required"
    assert (bound["status"], bound["profileHash"]) == ("bound", PROFILE_HASH)
    assert resolution["profileId"] == "com.example.aichat.demo"
    assert resolution["resolutionId"].startswith("profile_")


def test_send_writes_submits_and_prints_the_complete_answer(helpers):
    helper, pid_file = helpers.real()
    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--json", "--profile", PROFILE, "send",
                                 "What can you do?")
    assert (status, err) == (0, "")
    steps = results(reply_lines(out))
    written, submitted, observing, *polls = steps[4:]
    assert written["status"] == "verified" and len(written["contentFingerprint"]) == 64
    assert submitted["retried"] is False
    assert observing["observationId"].startswith("observation_")
    assert [poll["status"] for poll in polls[:-1]] == [
        poll["status"] for poll in polls[:-1] if poll["status"] in ("pending", "streaming")]
    assert polls[-1]["status"] == "complete" and polls[-1]["text"]

    status, plain, err = run_axctl("--helper", helper, "--demo-desktop", "--profile", PROFILE, "send",
                                   "What can you do?")
    assert (status, err) == (0, "")
    assert plain == polls[-1]["text"] + "\n"
    assert pid_is_gone(helpers.pid(pid_file))


def test_several_verbs_share_one_binding_and_stop_at_the_first_failure(helpers):
    helper, _ = helpers.real()
    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--json", "--profile", PROFILE, "send", "hi",
                                 "new-conversation", "send", "again")
    assert (status, err) == (0, "")
    steps = results(reply_lines(out))
    assert sum(1 for step in steps if step.get("status") == "bound") == 1
    assert {"retried": False, "status": "attempted"} in steps
    assert sum(1 for step in steps if step.get("status") == "complete") == 2

    # The helper refuses the timing; the verbs after it never run.
    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--profile", PROFILE, "--stable-ms", "100",
                                 "send", "hi", "new-conversation")
    assert status == 1 and out == ""
    assert err == ("bix-axctl: observeResponse failed: INVALID_REQUEST: "
                   "Response observation bounds are invalid.\n")


def test_ask_returns_while_the_answer_streams_so_stop_can_end_it(helpers):
    helper, _ = helpers.real()
    status, out, err = run_axctl("--helper", helper, "--simulated-desktop",
                                 os.path.join(SCENARIOS, "chat-never-settles.json"), "--profile",
                                 PROFILE, "ask", "Count forever", "stop", "follow")
    assert (status, err) == (0, "")
    pressed, answer = out.splitlines()[-2:]
    assert pressed == "pressed stop (attempted)" and answer.startswith("Here is")

    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--profile", PROFILE, "follow")
    assert (status, out) == (2, "")
    assert err == "bix-axctl: follow needs an answer to follow: ask first\n"


def test_failures_map_to_their_exit_statuses(helpers):
    helper, pid_file = helpers.real()
    cases = [
        (["raw", '{"command":"unbindTarget","params":{"bindingId":"binding_X"}}'], 1,
         "unbindTarget failed: TARGET_NOT_BOUND: Target binding is unknown."),
        (["raw", '{"command":"checkTrust","params":{"prompt":false},"extra":1}'], 2,
         "raw needs"),
        (["raw", "[1]"], 2, "raw needs"),
        (["raw", '{"command":"x",}'], 2, "the raw request is not strict JSON"),
        (["bind", "com.example.aichat"], 2, "bind needs a bundle identifier"),
        (["--profile-hash", PROFILE_HASH, "bind", "com.example.missing"], 1,
         "no candidate application is com.example.missing"),
        (["--profile", PROFILE, "--window", "2", "bind"], 2, "--window 2"),
        (["--profile", "/nonexistent/profile.json", "send", "hi"], 2, "cannot read the profile"),
    ]
    for args, expected_status, message in cases:
        status, out, err = run_axctl("--helper", helper, "--demo-desktop", *args)
        assert status == expected_status, (args, err)
        assert err.startswith("bix-axctl: ") and message in err, (args, err)
        assert pid_is_gone(helpers.pid(pid_file)), args

    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--json", "raw", '{"command":"Frob"}')
    assert status == 1
    assert json.loads(out) == {"error": {"code": "COMMAND_NOT_ALLOWED",
                                         "message": "Command is not allowlisted."},
                               "ok": False, "protocol": "bix.ax.helper", "protocolVersion": 1}

    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--frob")
    assert (status, out) == (2, "") and "unknown option --frob" in err


def test_a_helper_that_dies_or_breaks_the_protocol_exits_3(helpers):
    status, _, err = run_axctl("--helper", "/nonexistent/helper", "list-apps")
    assert status == 3 and "cannot start the helper" in err
    for mode, message in [("wrong-request-id", "does not belong to request axctl-1"),
                          ("failure-without-code", "the helper sent a malformed failure"),
                          ("oversized-frame", "Frame exceeds the protocol limit."),
                          ("not-json", "broke the protocol")]:
        fake, pid_file = helpers.fake(mode)
        status, _, err = run_axctl("--helper", fake, "list-apps")
        assert status == 3 and message in err, (mode, err)
        assert pid_is_gone(helpers.pid(pid_file)), mode
    # Exits at once: the hello meets either a closed pipe or the end of the helper's output.
    status, _, err = run_axctl("--helper", "/bin/true", "list-apps")
    assert status == 3 and ("closed its output" in err or "the helper is gone" in err), err


def test_a_helper_that_ignores_shutdown_is_killed(helpers):
    fake, pid_file = helpers.fake("ignore-shutdown")
    status, out, err = run_axctl("--helper", fake, "list-apps")
    assert (status, out, err) == (0, "no candidate applications\n", "")
    assert os.path.exists(pid_file + ".shutdown")
    assert pid_is_gone(helpers.pid(pid_file), 0)


def test_interactive_keeps_the_session_and_a_history(helpers):
    helper, pid_file = helpers.real()
    lines = [
        "list-apps",
        f"resolve '{PROFILE}'",
        "send   hello there",
        "bogus",
        "history",
        "!3",
        "!99",
        'raw {"command":"checkTrust","params":{"prompt":false}}',
        "quit",
        "list-apps",
    ]
    status, out, err = run_axctl("--helper", helper, "--demo-desktop", stdin_text="\n".join(lines) + "\n")
    assert status == 0
    assert err.splitlines() == ["bix-axctl: unknown verb bogus (type help)",
                                "bix-axctl: no history line 99"]
    out_lines = out.splitlines()
    answer = out_lines[4]
    assert out_lines[:5] == ["com.example.aichat  AI Chat  (running, active)",
                             "com.example.notes  Notes  (running)",
                             out_lines[2], out_lines[3], answer]
    assert out_lines[2].startswith("resolved com.example.aichat.demo v1 on AI Chat")
    assert out_lines[5:11] == ["    1  list-apps", f"    2  resolve '{PROFILE}'",
                               "    3  send   hello there", "    4  history", answer,
                               '{"permissionState":"authorized","settingsHint":"System Settings > '
                               'Privacy & Security > Accessibility","trusted":true}']
    assert len(out_lines) == 11  # nothing after quit
    assert pid_is_gone(helpers.pid(pid_file))

    # Two sends on one line each bind once; the end of input ends the session.
    status, out, err = run_axctl("--helper", helper, "--demo-desktop", "--json", "--profile", PROFILE,
                                 stdin_text="send one\nsend two\n")
    assert (status, err) == (0, "")
    steps = results(reply_lines(out))
    assert [step.get("status") for step in steps].count("bound") == 1
    assert [step.get("status") for step in steps].count("complete") == 2


def test_attaches_to_a_helper_through_descriptors_and_leaves_it_running():
    helper = subprocess.Popen([HELPER, "--demo-desktop"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    try:
        fds = (helper.stdout.fileno(), helper.stdin.fileno())
        status, out, err = run_axctl("--fds", f"{fds[0]},{fds[1]}", "list-apps", pass_fds=fds)
        assert (status, err) == (0, "")
        assert "com.example.aichat  AI Chat  (running, active)" in out
        assert helper.poll() is None
        helper.stdin.close()
        assert helper.wait(timeout=DEADLINE_SECONDS) == 0
    finally:
        if helper.poll() is None:
            helper.kill()
        helper.wait()

    status, _, err = run_axctl("--fds", "250,251", "list-apps")
    assert status == 2 and "descriptor 250 is not open" in err


def test_an_interrupt_ends_the_session_and_the_helper(helpers):
    helper, pid_file = helpers.real()
    axctl = subprocess.Popen([AXCTL, "--helper", helper, "--demo-desktop", "interactive"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
    try:
        axctl.stdin.write(b"list-apps\n")
        ready, _, _ = select.select([axctl.stdout], [], [], DEADLINE_SECONDS)
        assert ready and os.read(axctl.stdout.fileno(), 4096).startswith(b"com.example.aichat")
        helper_pid = helpers.pid(pid_file)
        axctl.send_signal(signal.SIGINT)
        assert axctl.wait(timeout=DEADLINE_SECONDS) == 130
        assert axctl.stderr.read() == b"bix-axctl: interrupted\n"
        assert pid_is_gone(helper_pid)
    finally:
        if axctl.poll() is None:
            axctl.kill()
        axctl.wait()
        for stream in (axctl.stdin, axctl.stdout, axctl.stderr):
            stream.close()
