"""A real browser end to end: headless Chromium loads the test extension, whose connectNative
port reaches the real host through the real broker to this test, playing the host application."""

import json
import os
import shutil
import signal
import subprocess
import time

import pytest

import bridge_harness as h

HERE = os.path.dirname(os.path.abspath(__file__))
EXTENSION_ID = "fhbjpglpfnlhbdokkfoghofiolccfdmd"  # derived from the manifest's "key"
HOST_NAME = "com.bix.companion.bridge_test"
CHROMIUM_CANDIDATES = ("/usr/lib/chromium/chromium", "/usr/bin/chromium")
# Keep the browser off the network and free of background services.
OFFLINE_FLAGS = [
    "--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
    "--no-first-run", "--no-default-browser-check", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--disable-default-apps",
    "--disable-domain-reliability", "--disable-breakpad", "--disable-crash-reporter",
    "--disable-client-side-phishing-detection", "--metrics-recording-only", "--no-pings",
    "--disable-features=MediaRouter,OptimizationHints,Translate,AutofillServerCommunication",
    "--host-resolver-rules=MAP * ~NOTFOUND", "--proxy-server=127.0.0.1:9",
    "--password-store=basic", "--use-mock-keychain",
]
TIMEOUT = 60


def chromium_binary():
    for candidate in CHROMIUM_CANDIDATES:
        if os.access(candidate, os.X_OK):
            return candidate
    return None


def processes_of(uid):
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/status" % entry) as status:
                for line in status:
                    if line.startswith("Uid:") and int(line.split()[2]) == uid:
                        found.append(int(entry))
        except OSError:
            continue
    return found


def end_process_group(proc):
    """Ends the browser's process group (its own session, created at start) by its id."""
    try:
        os.killpg(proc.pid, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        try:
            os.killpg(proc.pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.1)
    os.killpg(proc.pid, signal.SIGKILL)


def install_extension_and_manifest(bridge, workspace):
    extension = os.path.join(workspace, "extension")
    shutil.copytree(os.path.join(HERE, "extension"), extension)
    profile = h.make_dirs_owned(workspace, "profile", bridge.user.uid, bridge.user.gid)
    hosts = h.make_dirs_owned(profile, "NativeMessagingHosts", bridge.user.uid, bridge.user.gid)
    manifest = {
        "name": HOST_NAME,
        "description": "Bix browser bridge (test)",
        "path": bridge.exe,
        "type": "stdio",
        "allowed_origins": [h.origin_of(EXTENSION_ID)],
    }
    with open(os.path.join(hosts, HOST_NAME + ".json"), "w") as out:
        json.dump(manifest, out)
    for root, dirs, files in os.walk(extension):
        os.chmod(root, 0o755)
        for name in files:
            os.chmod(os.path.join(root, name), 0o644)
    return extension, profile


def answer_three_pings(broker):
    _, client, _ = broker.expect_record(h.CLIENT_HANDSHAKE, timeout=TIMEOUT)
    broker.accept(client)
    for seq in (1, 2, 3):
        _, sender, payload = broker.expect_record(h.CLIENT_FRAME, timeout=TIMEOUT)
        message = json.loads(payload[4:].decode())
        assert sender == client
        assert message == {"kind": "ping", "seq": seq, "text": "h\u00e9llo \u2713"}
        broker.send_frame(client, json.dumps({"kind": "pong", "seq": seq}).encode())
    _, sender, payload = broker.expect_record(h.CLIENT_FRAME, timeout=TIMEOUT)
    report = json.loads(payload[4:].decode())
    assert report == {"kind": "report",
                      "replies": [{"kind": "pong", "seq": s} for s in (1, 2, 3)]}
    return client


def test_extension_round_trip_through_host_and_broker(bridge, session_base):
    chromium = chromium_binary()
    if chromium is None:
        pytest.skip("chromium is not installed (scripts/deps installs it); "
                    "the real-browser test cannot run")
    workspace = h.make_dirs_owned(session_base, "chromium-" + os.urandom(4).hex(),
                                  bridge.user.uid, bridge.user.gid, mode=0o755)
    extension, profile = install_extension_and_manifest(bridge, workspace)
    bridge.write_bootstrap(allowed=(EXTENSION_ID,))
    broker = bridge.start_broker()

    log_path = os.path.join(workspace, "chromium.log")
    options = bridge.user.popen_options()
    options["env"].update({"XDG_CONFIG_HOME": os.path.join(workspace, "xdg-config"),
                           "XDG_CACHE_HOME": os.path.join(workspace, "xdg-cache")})
    with open(log_path, "wb") as log:
        browser = subprocess.Popen(
            [chromium, "--user-data-dir=" + profile, "--load-extension=" + extension,
             *OFFLINE_FLAGS, "about:blank"],
            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT, cwd=workspace,
            start_new_session=True, **options)
    try:
        client = answer_three_pings(broker)
        broker.send(h.CLOSE, client)  # the host sees the socket close and exits normally
    except BaseException:
        with open(log_path, "rb") as log:
            print(log.read().decode(errors="replace")[-4000:])
        raise
    finally:
        end_process_group(browser)
    broker.send(h.HALT)
    assert broker.wait() == (0, "")
    leftovers = processes_of(bridge.user.uid)
    for pid in leftovers:  # everything the user runs here descends from this test
        os.kill(pid, signal.SIGKILL)
    assert leftovers == [], "processes left behind by the browser or the host"
