"""bix-install-native-messaging-manifest as installed by the bridge's package, run from the
scratch root against a temporary HOME."""

import json
import os

import pytest

from conftest import mode_of, needs_component, required, run

pytestmark = needs_component("browser-bridge-host")

VALID_ID = "gfbdbpgdhecpgeahigacgpokpidanfnm"
OTHER_ID = "fhbjpglpfnlhbdokkfoghofiolccfdmd"
HOST_PATH = "/usr/libexec/bix/bix-browser-bridge-host"


def host_name():
    return required("BIX_NATIVE_MESSAGING_HOST_NAME")


def install(scratch_root, home, *arguments, xdg=None):
    env = {"PATH": "/usr/bin:/bin", "HOME": home}
    if xdg is not None:
        env["XDG_CONFIG_HOME"] = xdg
    return run([scratch_root + "/usr/bin/bix-install-native-messaging-manifest"] + list(arguments),
               env=env)


def every_file(top):
    return sorted(os.path.relpath(os.path.join(d, f), top)
                  for d, _, files in os.walk(top) for f in files)


def check_manifest(path, extension_id):
    with open(path, encoding="utf-8") as handle:
        manifest = json.load(handle)
    assert manifest["name"] == host_name()
    assert manifest["path"] == HOST_PATH
    assert manifest["type"] == "stdio"
    assert manifest["allowed_origins"] == ["chrome-extension://%s/" % extension_id]
    assert mode_of(path) == 0o644
    assert sorted(os.listdir(os.path.dirname(path))) == [host_name() + ".json"]


@pytest.mark.parametrize("arguments, xdg, relative", [
    (["chromium", VALID_ID], None, ".config/chromium/NativeMessagingHosts"),
    (["chromium", VALID_ID, "--user"], None, ".config/chromium/NativeMessagingHosts"),
    (["chrome", VALID_ID], None, ".config/google-chrome/NativeMessagingHosts"),
    (["chromium", VALID_ID], "xdg", "xdg/chromium/NativeMessagingHosts"),
    (["chrome", VALID_ID], "relative-is-ignored", ".config/google-chrome/NativeMessagingHosts"),
    (["chromium", VALID_ID, "--user-data-dir", "{home}/profile"], None,
     "profile/NativeMessagingHosts"),
])
def test_writes_the_manifest_for_the_browser(scratch_root, tmp_path, arguments, xdg, relative):
    home = str(tmp_path / "home")
    os.mkdir(home)
    arguments = [a.replace("{home}", home) for a in arguments]
    if xdg is not None and not xdg.startswith("relative"):
        xdg = os.path.join(home, xdg)
    result = install(scratch_root, home, *arguments, xdg=xdg)
    assert result.returncode == 0, result.stderr.decode()
    target = os.path.join(home, relative, host_name() + ".json")
    assert result.stdout.decode() == target + "\n"
    check_manifest(target, VALID_ID)
    assert every_file(home) == [os.path.join(relative, host_name() + ".json")]


def test_replaces_an_earlier_manifest(scratch_root, tmp_path):
    home = str(tmp_path)
    assert install(scratch_root, home, "chromium", VALID_ID).returncode == 0
    assert install(scratch_root, home, "chromium", OTHER_ID).returncode == 0
    check_manifest(os.path.join(home, ".config/chromium/NativeMessagingHosts",
                                host_name() + ".json"), OTHER_ID)


@pytest.mark.parametrize("arguments", [
    ["chromium", VALID_ID[:31]],
    ["chromium", VALID_ID + "a"],
    ["chromium", VALID_ID.upper()],
    ["chromium", "q" + VALID_ID[1:]],
    ["chromium", "0" + VALID_ID[1:]],
    ["chromium", "a/" + VALID_ID[2:]],
    ["chromium", "&" + VALID_ID[1:]],
    ["chromium", "a\n" + VALID_ID[2:]],
    ["chromium", VALID_ID[:16] + "\u00e9" + VALID_ID[18:]],
    ["chromium", "../../../../../../etc/passwd"],
    ["chromium", ""],
    ["chromium", "chrome-extension://%s/" % VALID_ID],
    ["firefox", VALID_ID],
    ["chromium"],
    ["chromium", VALID_ID, "--everywhere"],
    ["chromium", VALID_ID, "--user-data-dir", "relative/profile"],
    ["chromium", VALID_ID, "--user", "--system"],
])
def test_refuses_bad_arguments_and_writes_nothing(scratch_root, tmp_path, arguments):
    home = str(tmp_path)
    result = install(scratch_root, home, *arguments)
    assert result.returncode == 64, (result.returncode, result.stderr)
    assert result.stdout == b""
    assert os.listdir(home) == []


def test_refuses_without_an_absolute_home(scratch_root, tmp_path):
    result = install(scratch_root, "relative-home", "chromium", VALID_ID)
    assert result.returncode == 64
    assert os.listdir(str(tmp_path)) == []


def test_a_directory_in_the_way_is_kept_and_no_temporary_file_remains(scratch_root, tmp_path):
    home = str(tmp_path)
    hosts = os.path.join(home, ".config/chromium/NativeMessagingHosts")
    blocker = os.path.join(hosts, host_name() + ".json")
    os.makedirs(blocker)
    result = install(scratch_root, home, "chromium", VALID_ID)
    assert result.returncode == 73
    assert os.path.isdir(blocker) and os.listdir(blocker) == []
    assert os.listdir(hosts) == [host_name() + ".json"]
