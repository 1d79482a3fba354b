"""Workspace access, the pet description and the job plan.

Every stage runs with the workspace as its current directory and names files relative to it.
Inputs are read without following symbolic links; outputs are built under a temporary name and
renamed into place, so a failed stage leaves no partial output behind.

The stages after prepare use its file access, strict JSON and plan checks; the PNG strip
check that prepare needs is handed in by the caller, so this module imports no other stage.
"""

import errno
import json
import os
import re
import stat

from hatch_common import (EXIT_DATA, EXIT_IO, EXIT_NO_INPUT, EXIT_OK, HatchError, data_error,
                          sha256_hex)

DESCRIPTION_FILE = "pet.json"
RUN_DIR = "run"
PLAN_FILE = "run/plan.json"
JOBS_DIR = "run/jobs"
ASSEMBLY_DIR = "run/assembly"
HANDOFF_DIR = "handoff"

MAX_JOBS = 10
MAX_DESCRIPTION_BYTES = 1 << 20
MAX_STRIP_BYTES = 64 << 20
MAX_FRAME_SIDE = 1024
MAX_ANIMATIONS = 64
MAX_FRAMES_PER_ANIMATION = 256
MAX_FPS = 60
MAX_TOTAL_FRAMES = 4096
MAX_TOTAL_PIXELS = 1 << 24
MAX_PATH_COMPONENTS = 8
MAX_STRIP_PATH_BYTES = 255

PET_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9 _.-]{0,63}")
ANIMATION_NAME = re.compile(r"[a-z0-9][a-z0-9_-]{0,31}")
PATH_COMPONENT = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,127}")
DESCRIPTION_KEYS = {"name", "frameWidth", "frameHeight", "animations"}
ANIMATION_KEYS = {"name", "strip", "frames", "fps", "loop"}
SHA256_HEX = re.compile(r"[0-9a-f]{64}")
SURROGATE = re.compile("[\ud800-\udfff]")


# ---------------------------------------------------------------------------------------------
# Files in the workspace


def _os_error(path, error):
    reason = os.strerror(error.errno) if error.errno else "I/O error"
    return HatchError(EXIT_IO, "%s: %s" % (path, reason))


def _open_input(path):
    """Opens path (relative, '/'-separated) for reading without following any symbolic link."""
    parts = path.split("/")
    directory = os.open(".", os.O_RDONLY | os.O_DIRECTORY)
    try:
        for part in parts[:-1]:
            next_directory = os.open(part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW,
                                     dir_fd=directory)
            os.close(directory)
            directory = next_directory
        return os.open(parts[-1], os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK, dir_fd=directory)
    finally:
        os.close(directory)


def read_input(path, limit, missing_status=EXIT_NO_INPUT):
    """Returns the bytes of a regular file of at most limit bytes."""
    try:
        fd = _open_input(path)
    except FileNotFoundError:
        raise HatchError(missing_status, "%s: missing" % path) from None
    except OSError as error:
        if error.errno in (errno.ELOOP, errno.ENOTDIR):
            raise data_error("%s: must be a regular file, not a symbolic link" % path) from None
        raise _os_error(path, error) from None
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise data_error("%s: must be a regular file" % path)
        if info.st_size > limit:
            raise data_error("%s: larger than %d bytes" % (path, limit))
        chunks = []
        remaining = limit + 1
        while remaining > 0:
            chunk = os.read(fd, min(remaining, 1 << 20))
            if not chunk:
                break
            chunks.append(chunk)
            remaining -= len(chunk)
        data = b"".join(chunks)
        if len(data) > limit:
            raise data_error("%s: larger than %d bytes" % (path, limit))
        return data
    except OSError as error:
        raise _os_error(path, error) from None
    finally:
        os.close(fd)


def read_json_input(path, limit, missing_status=EXIT_NO_INPUT):
    return parse_strict_json(read_input(path, limit, missing_status), path)


def _unique_pairs(pairs):
    result = {}
    for key, value in pairs:
        if key in result:
            raise ValueError("duplicate key %r" % key)
        result[key] = value
    return result


def _no_constant(name):
    raise ValueError("%s is not JSON" % name)


def _has_surrogate(value):
    """True when a key or string anywhere in value holds a surrogate code point: what an
    unpaired surrogate escape decodes to, and what no UTF-8 text can carry."""
    pending = [value]
    while pending:
        item = pending.pop()
        if isinstance(item, str):
            if SURROGATE.search(item):
                return True
        elif isinstance(item, dict):
            pending.extend(item)
            pending.extend(item.values())
        elif isinstance(item, list):
            pending.extend(item)
    return False


def parse_strict_json(data, path):
    """UTF-8 JSON without duplicate keys, NaN/Infinity or unpaired surrogate escapes."""
    try:
        text = data.decode("utf-8")
        value = json.loads(text, object_pairs_hook=_unique_pairs, parse_constant=_no_constant)
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise data_error("%s: not valid JSON" % path) from None
    if _has_surrogate(value):
        raise data_error("%s: not valid JSON" % path)
    return value


def encode_json(value):
    return (json.dumps(value, indent=1, sort_keys=True, ensure_ascii=True) + "\n").encode("ascii")


def remove_tree(path):
    """Removes path and everything below it, never following a symbolic link."""
    try:
        info = os.lstat(path)
    except FileNotFoundError:
        return
    if not stat.S_ISDIR(info.st_mode):
        os.unlink(path)
        return
    for entry in os.scandir(path):
        if entry.is_dir(follow_symlinks=False):
            remove_tree(entry.path)
        else:
            os.unlink(entry.path)
    os.rmdir(path)


def _require_real_directories(path):
    """Refuses a symbolic link anywhere on a relative directory path, so that no output is
    ever written outside the workspace."""
    parts = path.split("/") if path else []
    for end in range(1, len(parts) + 1):
        prefix = "/".join(parts[:end])
        if os.path.islink(prefix):
            raise data_error("%s: must not be a symbolic link" % prefix)


class StagedDirectory:
    """Builds an output directory under a temporary sibling name and renames it into place.

    Owns the temporary directory until commit(); on any failure the temporary directory is
    removed and an existing output is left untouched.
    """

    def __init__(self, final_path):
        self.final_path = final_path
        parent, name = os.path.split(final_path)
        self.path = os.path.join(parent, ".%s.tmp-%d" % (name, os.getpid()))
        self.committed = False

    def __enter__(self):
        _require_real_directories(os.path.dirname(self.final_path))
        remove_tree(self.path)
        os.mkdir(self.path, 0o700)
        return self

    def write(self, relative, data):
        target = os.path.join(self.path, relative)
        directory = os.path.dirname(target)
        if not os.path.isdir(directory):
            os.makedirs(directory, 0o700)
        fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o600)
        try:
            view = memoryview(data)
            while view:
                written = os.write(fd, view)
                view = view[written:]
            os.fsync(fd)
        finally:
            os.close(fd)

    def commit(self):
        remove_tree(self.final_path)
        os.rename(self.path, self.final_path)
        self.committed = True

    def __exit__(self, kind, value, traceback):
        if not self.committed:
            remove_tree(self.path)
        return False


# ---------------------------------------------------------------------------------------------
# The pet description


def _require_int(value, low, high, what):
    if type(value) is not int or not low <= value <= high:
        raise data_error("%s: %s must be an integer from %d to %d"
                         % (DESCRIPTION_FILE, what, low, high))
    return value


def _require_keys(value, keys, what):
    if not isinstance(value, dict):
        raise data_error("%s: %s must be an object" % (DESCRIPTION_FILE, what))
    if set(value) != keys:
        raise data_error("%s: %s must have exactly the keys %s"
                         % (DESCRIPTION_FILE, what, ", ".join(sorted(keys))))


def _require_strip_path(value, what):
    if not isinstance(value, str) or not 0 < len(value.encode("utf-8")) <= MAX_STRIP_PATH_BYTES:
        raise data_error("%s: %s.strip must be a relative path" % (DESCRIPTION_FILE, what))
    parts = value.split("/")
    if (len(parts) > MAX_PATH_COMPONENTS or not value.endswith(".png")
            or not all(PATH_COMPONENT.fullmatch(part) for part in parts)):
        raise data_error("%s: %s.strip must be a relative path of plain names ending in .png"
                         % (DESCRIPTION_FILE, what))
    if parts[0] in (RUN_DIR, HANDOFF_DIR):
        raise data_error("%s: %s.strip must not lie in %s/" % (DESCRIPTION_FILE, what, parts[0]))
    return value


def _validate_animation(value, position, frame_width, frame_height):
    what = "animations[%d]" % position
    _require_keys(value, ANIMATION_KEYS, what)
    name = value["name"]
    if not isinstance(name, str) or not ANIMATION_NAME.fullmatch(name):
        raise data_error("%s: %s.name must match [a-z0-9][a-z0-9_-]{0,31}"
                         % (DESCRIPTION_FILE, what))
    frames = _require_int(value["frames"], 1, MAX_FRAMES_PER_ANIMATION, what + ".frames")
    fps = _require_int(value["fps"], 1, MAX_FPS, what + ".fps")
    if not isinstance(value["loop"], bool):
        raise data_error("%s: %s.loop must be true or false" % (DESCRIPTION_FILE, what))
    return {"name": name, "strip": _require_strip_path(value["strip"], what), "frames": frames,
            "fps": fps, "loop": value["loop"],
            "stripWidth": frames * frame_width, "stripHeight": frame_height}


def validate_description(value):
    """Checks a parsed pet description completely and returns its normalised form."""
    _require_keys(value, DESCRIPTION_KEYS, "the description")
    name = value["name"]
    if not isinstance(name, str) or not PET_NAME.fullmatch(name):
        raise data_error("%s: name must be 1 to 64 letters, digits, spaces or _.-"
                         % DESCRIPTION_FILE)
    width = _require_int(value["frameWidth"], 1, MAX_FRAME_SIDE, "frameWidth")
    height = _require_int(value["frameHeight"], 1, MAX_FRAME_SIDE, "frameHeight")
    animations = value["animations"]
    if not isinstance(animations, list) or not 1 <= len(animations) <= MAX_ANIMATIONS:
        raise data_error("%s: animations must be a list of 1 to %d animations"
                         % (DESCRIPTION_FILE, MAX_ANIMATIONS))
    normalised = [_validate_animation(a, i, width, height) for i, a in enumerate(animations)]
    names = [a["name"] for a in normalised]
    if len(set(names)) != len(names):
        raise data_error("%s: animation names must be unique" % DESCRIPTION_FILE)
    total_frames = sum(a["frames"] for a in normalised)
    if total_frames > MAX_TOTAL_FRAMES or total_frames * width * height > MAX_TOTAL_PIXELS:
        raise data_error("%s: at most %d frames and %d pixels in all"
                         % (DESCRIPTION_FILE, MAX_TOTAL_FRAMES, MAX_TOTAL_PIXELS))
    return {"name": name, "frameWidth": width, "frameHeight": height, "animations": normalised}


# ---------------------------------------------------------------------------------------------
# The plan


def plan_jobs(animations, job_limit=MAX_JOBS):
    """Spreads animations over up to job_limit jobs, largest first onto the least loaded job."""
    count = min(job_limit, len(animations))
    loads = [0] * count
    members = [[] for _ in range(count)]
    order = sorted(range(len(animations)), key=lambda i: (-animations[i]["frames"], i))
    for position in order:
        job = min(range(count), key=lambda j: (loads[j], j))
        loads[job] += animations[position]["frames"]
        members[job].append(position)
    return [{"index": j, "animations": [animations[i]["name"] for i in sorted(members[j])]}
            for j in range(count)]


def load_plan():
    """The current plan, its digest and its animations by name; refuses a missing plan."""
    try:
        data = read_input(PLAN_FILE, MAX_DESCRIPTION_BYTES)
    except HatchError as error:
        if error.status == EXIT_NO_INPUT:
            raise HatchError(EXIT_NO_INPUT, "no plan; run prepare first") from None
        raise
    plan = parse_strict_json(data, PLAN_FILE)
    if not isinstance(plan, dict) or plan.get("version") != 1:
        raise data_error("%s: not a plan written by prepare" % PLAN_FILE)
    if not _is_consistent_plan(plan):
        raise data_error("%s is damaged; run prepare again" % PLAN_FILE)
    animations = {a["name"]: a for a in plan["pet"]["animations"]}
    return plan, sha256_hex(data), animations


def _is_consistent_plan(plan):
    """True when the plan is exactly what prepare would write for its own description.

    Later stages open the strips the plan names, so a damaged plan must never lead them to a
    path that prepare would have refused (outside the workspace, under run/).
    """
    try:
        if set(plan) != {"version", "descriptionSha256", "pet", "stripSha256", "jobs"}:
            return False
        pet = plan["pet"]
        source = dict(pet, animations=[{key: a[key] for key in ANIMATION_KEYS if key in a}
                                       for a in pet["animations"]])
        if validate_description(source) != pet or plan["jobs"] != plan_jobs(pet["animations"]):
            return False
        digests = plan["stripSha256"]
        return (set(digests) == {a["strip"] for a in pet["animations"]}
                and all(isinstance(d, str) and SHA256_HEX.fullmatch(d) for d in digests.values())
                and isinstance(plan["descriptionSha256"], str)
                and SHA256_HEX.fullmatch(plan["descriptionSha256"]) is not None)
    except (HatchError, KeyError, TypeError, AttributeError):
        return False


def check_description_unchanged(plan):
    data = read_input(DESCRIPTION_FILE, MAX_DESCRIPTION_BYTES)
    if sha256_hex(data) != plan["descriptionSha256"]:
        raise data_error("%s changed since prepare; run prepare again" % DESCRIPTION_FILE)


def check_strip_unchanged(plan, path, data):
    """Refuses strip bytes that differ from the strip prepare checked and planned."""
    if sha256_hex(data) != plan["stripSha256"][path]:
        raise data_error("%s changed since prepare; run prepare again" % path)


def check_strips_unchanged(plan):
    """Refuses when any strip changed after prepare: outputs built from the frames the jobs
    extracted must still describe the strips in the workspace."""
    for path in sorted(plan["stripSha256"]):
        check_strip_unchanged(plan, path, read_input(path, MAX_STRIP_BYTES))


def run_prepare(check_strip_png):
    """Validates the description and every strip, then writes a fresh plan.

    check_strip_png(data, path, width, height) refuses a strip that is not a readable PNG of
    that size. A new plan discards the outputs of any earlier run, including an earlier
    hand-off.
    """
    data = read_input(DESCRIPTION_FILE, MAX_DESCRIPTION_BYTES)
    pet = validate_description(parse_strict_json(data, DESCRIPTION_FILE))
    strips = {}
    for animation in pet["animations"]:
        path = animation["strip"]
        strip = read_input(path, MAX_STRIP_BYTES, missing_status=EXIT_DATA)
        check_strip_png(strip, path, animation["stripWidth"], animation["stripHeight"])
        strips[path] = sha256_hex(strip)
    jobs = plan_jobs(pet["animations"])
    plan = {"version": 1, "descriptionSha256": sha256_hex(data), "pet": pet,
            "stripSha256": strips, "jobs": jobs}
    for path in (RUN_DIR, HANDOFF_DIR):
        if os.path.islink(path):
            raise data_error("%s: must not be a symbolic link" % path)
    with StagedDirectory(RUN_DIR) as staged:
        staged.write("plan.json", encode_json(plan))
        os.mkdir(os.path.join(staged.path, "jobs"), 0o700)
        remove_tree(HANDOFF_DIR)
        staged.commit()
    print("prepared %d animations in %d jobs" % (len(pet["animations"]), len(jobs)))
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# Self-test


def self_test(check):
    good = {"name": "Pip", "frameWidth": 4, "frameHeight": 3, "animations": [
        {"name": "idle", "strip": "strips/idle.png", "frames": 2, "fps": 8, "loop": True}]}
    check(validate_description(good)["animations"][0]["stripWidth"] == 8, "description accepted")
    refused = [
        dict(good, extra=1),
        dict(good, frameWidth=0),
        dict(good, frameWidth=True),
        dict(good, animations=[]),
        dict(good, animations=[dict(good["animations"][0], strip="../x.png")]),
        dict(good, animations=[dict(good["animations"][0], strip="/abs.png")]),
        dict(good, animations=[dict(good["animations"][0], strip="run/x.png")]),
        dict(good, animations=[dict(good["animations"][0], name="Idle")]),
        dict(good, animations=[good["animations"][0], good["animations"][0]]),
    ]
    for description in refused:
        try:
            validate_description(description)
            check(False, "description refused: %r" % description)
        except HatchError as error:
            check(error.status == EXIT_DATA, "description refused with status 65")
    for text in (b'{"a":1,"a":2}', b'{"a":NaN}', b"\xff", b'["\\udc00"]'):
        try:
            parse_strict_json(text, "x")
            check(False, "strict JSON refused %r" % text)
        except HatchError:
            check(True, "strict JSON refused")
    animations = [{"name": str(i), "frames": i + 1} for i in range(12)]
    jobs = plan_jobs(animations)
    check(len(jobs) == 10 and sorted(n for j in jobs for n in j["animations"])
          == sorted(a["name"] for a in animations), "plan covers every animation once")
