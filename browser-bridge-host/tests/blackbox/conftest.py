import os
import shutil

import pytest

import bridge_harness as h


@pytest.fixture(scope="session")
def exe():
    path = os.environ.get("BIX_BRIDGE_HOST")
    if not path or not os.access(path, os.X_OK):
        pytest.fail("BIX_BRIDGE_HOST must name the built bix-browser-bridge-host")
    return path


@pytest.fixture(scope="session")
def session_base():
    base = h.make_base_dir()
    yield base
    shutil.rmtree(base, ignore_errors=True)


@pytest.fixture(scope="session")
def user(session_base):
    """One throwaway user for the session; host mode reads its bootstrap from this user's home."""
    if os.geteuid() != 0:
        pytest.skip("host-mode tests create a throwaway user and need root")
    account = h.ThrowawayUser(session_base)
    try:
        account.create()
        yield account
    finally:
        account.remove()


@pytest.fixture(scope="session")
def user_exe(exe, session_base):
    return h.install_executable(exe, session_base)


class Bridge:
    """One test's bridge set-up as `user`: bootstrap in the user's home, broker and hosts running
    as the user. Every process it starts is stopped at teardown."""

    def __init__(self, user, exe):
        self.user = user
        self.exe = exe
        self.keys = h.Secrets()
        self.directory = h.make_dirs_owned(user.home, h.bootstrap_relative_dir(), user.uid,
                                           user.gid)
        self.bootstrap_path = os.path.join(self.directory, "native-host-bootstrap-v1")
        self.socket_path = os.path.join(self.directory, "broker.sock")
        self.processes = []

    def write_bootstrap(self, allowed=(h.EXTENSION_ID,), **overrides):
        content = h.bootstrap_bytes(self.directory, self.user.uid, self.keys, list(allowed),
                                    **overrides)
        h.write_private_file(self.bootstrap_path, content, self.user.uid, self.user.gid)

    def start_broker(self):
        broker = h.Broker(self.exe, self.bootstrap_path, self.user.popen_options())
        self.processes.append(broker)
        broker.expect_ready(self.keys)
        return broker

    def start_host(self, origin=h.origin_of(h.EXTENSION_ID)):
        host = h.Host(self.exe, origin, self.user.popen_options(), cwd=self.user.home)
        self.processes.append(host)
        return host

    def connect_host(self, broker, origin=h.origin_of(h.EXTENSION_ID)):
        """Starts a host and admits it; returns the host and its client id."""
        host = self.start_host(origin)
        _, client, _ = broker.expect_record(h.CLIENT_HANDSHAKE)
        broker.accept(client)
        return host, client

    def close(self):
        for process in self.processes:
            process.stop()
        shutil.rmtree(os.path.join(self.user.home, "Library"), ignore_errors=True)


@pytest.fixture
def bridge(user, user_exe):
    setup = Bridge(user, user_exe)
    try:
        yield setup
    finally:
        setup.close()


class LocalBroker:
    """A broker run as the test's own user with the bootstrap in a private scratch directory, so
    the test itself can connect as a client."""

    def __init__(self, exe):
        self.exe = exe
        self.base = h.make_base_dir()
        # Long enough that the file reaches its 156-byte minimum with one allowed id.
        self.directory = os.path.join(self.base, "bridge-bootstrap")
        os.mkdir(self.directory, 0o700)
        os.chmod(self.directory, 0o700)
        self.keys = h.Secrets()
        self.bootstrap_path = os.path.join(self.directory, "bootstrap")
        self.socket_path = os.path.join(self.directory, "broker.sock")
        self.processes = []
        self.clients = []

    def write_bootstrap(self, allowed=(h.EXTENSION_ID,), **overrides):
        content = h.bootstrap_bytes(self.directory, os.geteuid(), self.keys, list(allowed),
                                    **overrides)
        h.write_private_file(self.bootstrap_path, content, os.geteuid(), os.getegid())

    def start(self, expect_ready=True):
        broker = h.Broker(self.exe, self.bootstrap_path)
        self.processes.append(broker)
        if expect_ready:
            broker.expect_ready(self.keys)
        return broker

    def handshake(self, nonce=None, **overrides):
        fields = dict(pid=os.getpid(), uid=os.geteuid(), keys=self.keys,
                      nonce=nonce or os.urandom(32), origin=h.origin_of(h.EXTENSION_ID),
                      extension_id=h.EXTENSION_ID)
        fields.update(overrides)
        return h.handshake_bytes(**fields)

    def connect(self, payload=None, **overrides):
        client = h.connect_client(self.socket_path)
        self.clients.append(client)
        try:
            client.sendall(self.handshake(**overrides) if payload is None else payload)
        except (BrokenPipeError, ConnectionResetError):
            pass  # a refused client may be closed before it gets to speak
        return client

    def close(self):
        for client in self.clients:
            client.close()
        for process in self.processes:
            process.stop()
        shutil.rmtree(self.base, ignore_errors=True)


@pytest.fixture
def local(exe):
    setup = LocalBroker(exe)
    setup.write_bootstrap()
    try:
        yield setup
    finally:
        setup.close()
