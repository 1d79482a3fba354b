"""scripts/a11y-session on its own: sessions side by side, nothing left running after a stop,
stops that survive crashed pieces and reused pids, and one clear line when a piece is missing."""

import os
import shutil
import subprocess
import tempfile

import pytest

from conftest import A11Y_SESSION, MISSING_PIECE_STATUS, read_environment, wait_until


def run(*args, env=None):
    return subprocess.run([A11Y_SESSION, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=60, env=env)


def is_running(pid):
    """Alive and not a zombie waiting for its parent to reap it."""
    try:
        with open(f"/proc/{pid}/stat", encoding="utf-8") as handle:
            state = handle.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError):
        return False
    return state not in ("Z", "X")


def process_tree(pid):
    """pid and all its descendants."""
    found = [pid]
    for task in os.listdir(f"/proc/{pid}/task") if os.path.isdir(f"/proc/{pid}/task") else []:
        try:
            with open(f"/proc/{pid}/task/{task}/children", encoding="utf-8") as handle:
                for child in handle.read().split():
                    found += process_tree(int(child))
        except FileNotFoundError:
            pass
    return found


def recorded(directory):
    with open(os.path.join(directory, "pids"), encoding="utf-8") as handle:
        return {line.split()[0]: int(line.split()[1]) for line in handle if line.strip()}


def bus_has_owner(exports, name):
    env = {**os.environ, **exports}
    reply = subprocess.run(
        ["dbus-send", "--session", "--print-reply=literal", "--dest=org.freedesktop.DBus",
         "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner", f"string:{name}"],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env, timeout=10)
    return "true" in reply.stdout


@pytest.fixture
def directories():
    made = []

    def make(prefix="bix-a11y-"):
        made.append(tempfile.mkdtemp(prefix=prefix, dir="/tmp"))
        return made[-1]

    yield make
    for directory in made:
        if os.path.exists(os.path.join(directory, "pids")):
            run("stop", directory)
        shutil.rmtree(directory, ignore_errors=True)


def start(*directories):
    """Starts one session per directory, all at once; their exported variables, in order."""
    starting = [subprocess.Popen([A11Y_SESSION, "start", d], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True) for d in directories]
    exports = []
    for directory, process in zip(directories, starting):
        stdout, stderr = process.communicate(timeout=60)
        if process.returncode == MISSING_PIECE_STATUS:
            pytest.skip("no headless accessibility session: " + stderr.strip())
        assert process.returncode == 0, stderr
        exports.append(read_environment(os.path.join(directory, "env")))
        with open(os.path.join(directory, "env"), encoding="utf-8") as handle:
            assert stdout == handle.read()
    return exports


def test_two_sessions_at_once_and_nothing_left_after_the_stops(directories):
    # A blank in the path must be escaped in the bus address.
    first, second = directories(), directories("bix a11y-")
    sessions = dict(zip((first, second), start(first, second)))
    assert sessions[first]["DISPLAY"] != sessions[second]["DISPLAY"]
    trees = []
    for directory, exports in sessions.items():
        assert bus_has_owner(exports, "org.a11y.Bus")
        for name in ("XDG_RUNTIME_DIR", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"):
            assert exports[name].startswith(directory + "/"), name
        assert set(recorded(directory)) == {"Xvfb", "session-bus", "at-spi-bus-launcher",
                                            "accessibility-bus"}
        trees.append([p for pid in recorded(directory).values() for p in process_tree(pid)])
    for directory in sessions:
        stopped = run("stop", directory)
        assert stopped.returncode == 0 and stopped.stderr == "", stopped.stderr
    left = [pid for tree in trees for pid in tree if is_running(pid)]
    assert left == [], left
    # A second stop finds nothing to do.
    assert run("stop", first).returncode == 0


def test_stop_ends_survivors_of_a_crashed_launcher_and_spares_a_reused_pid(directories):
    directory = directories()
    start(directory)
    pids = recorded(directory)
    below_launcher = process_tree(pids["at-spi-bus-launcher"])[1:]
    assert below_launcher, "the launcher runs the accessibility bus"
    os.kill(pids["at-spi-bus-launcher"], 9)
    wait_until(lambda: not is_running(pids["at-spi-bus-launcher"]), "the launcher to die")
    # A pid recorded with another start time names a process the session never started.
    bystander = subprocess.Popen(["sleep", "60"])
    try:
        with open(os.path.join(directory, "pids"), "a", encoding="utf-8") as handle:
            handle.write(f"bystander {bystander.pid} 1\n")
        assert run("stop", directory).returncode == 0
        assert bystander.poll() is None, "stop ended a process it did not start"
    finally:
        bystander.kill()
        bystander.wait()
    # The orphaned accessibility bus was no longer the launcher's child when stop ran.
    left = [pid for pid in list(pids.values()) + below_launcher if is_running(pid)]
    assert left == [], left
    assert not os.path.exists(os.path.join(directory, "pids"))


def test_run_passes_the_status_and_stops_everything(tmp_path):
    marker = tmp_path / "seen"
    script = f'echo "$DISPLAY $XDG_RUNTIME_DIR" > {marker}; ls "$XDG_RUNTIME_DIR/bus"; exit 7'
    finished = run("run", "bash", "-c", script)
    if finished.returncode == MISSING_PIECE_STATUS:
        pytest.skip("no headless accessibility session: " + finished.stderr.strip())
    assert finished.returncode == 7, finished.stderr
    display, runtime = marker.read_text().split()
    assert display.startswith(":") and runtime.startswith("/tmp/a11y-session.")
    assert not os.path.exists(os.path.dirname(runtime)), "run leaves its directory behind"


@pytest.mark.parametrize("env, message", [
    ({"A11Y_SESSION_LAUNCHER": "/nonexistent/at-spi-bus-launcher"},
     "a11y-session: /nonexistent/at-spi-bus-launcher is not installed (package at-spi2-core)\n"),
    ({"PATH": None}, "a11y-session: Xvfb is not installed\n"),
], ids=["no-launcher", "no-xvfb"])
def test_a_missing_piece_is_one_line_and_a_distinct_status(directories, tmp_path, env, message):
    if env.get("PATH", "") is None:
        # Every program of /usr/bin but Xvfb.
        for name in os.listdir("/usr/bin"):
            if name != "Xvfb":
                os.symlink(os.path.join("/usr/bin", name), tmp_path / name)
        env = {"PATH": str(tmp_path)}
    directory = directories()
    failed = run("start", directory, env={**os.environ, **env})
    assert (failed.returncode, failed.stderr, failed.stdout) == (MISSING_PIECE_STATUS, message, "")
    assert not os.path.exists(os.path.join(directory, "pids"))
