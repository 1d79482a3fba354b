"""The whole pipeline on generated sprite strips: prepare, ten parallel jobs, assemble,
finalize; then refusals of bad input, which must leave no partial output."""

import hashlib
import json
import os
import struct
import zlib

import pytest

import pngtools
from conftest import finish, run, start

FRAME_W, FRAME_H = 16, 12
KEY_RGB = (1, 2, 3)


def make_frame(animation, index, opaque_only=False, grey=False):
    """Expected RGBA frame: a coloured box that moves with the index on a clear background."""
    pixels = bytearray(FRAME_W * FRAME_H * 4)
    x0, y0 = (index * 3) % (FRAME_W - 4), (animation + index) % (FRAME_H - 4)
    for y in range(y0, y0 + 4):
        for x in range(x0, x0 + 5):
            value = (40 + animation * 17 + x * 5) & 0xFF
            colour = (value, value, value) if grey else (value, (animation * 50) & 0xFF, 200)
            alpha = 255 if opaque_only or x != x0 else 128
            pixels[(y * FRAME_W + x) * 4:(y * FRAME_W + x) * 4 + 4] = bytes(colour + (alpha,))
    return bytes(pixels)


def strip_samples(frames, channels, transparent, convert):
    """Strip samples in a colour type: transparent pixels become `transparent`."""
    out = bytearray()
    for y in range(FRAME_H):
        for frame in frames:
            for x in range(FRAME_W):
                pixel = frame[(y * FRAME_W + x) * 4:(y * FRAME_W + x) * 4 + 4]
                out += transparent if pixel[3] == 0 else convert(pixel)
    return out


def encode_strip(frames, kind, filters):
    width, height = FRAME_W * len(frames), FRAME_H
    if kind == "rgba":
        # Colour hidden under zero alpha must not matter.
        samples = strip_samples(frames, 4, b"\x09\x08\x07\x00", bytes)
        return pngtools.encode(width, height, samples, 6, filters=filters)
    if kind == "rgb":
        samples = strip_samples(frames, 3, bytes(KEY_RGB), lambda p: bytes(p[:3]))
        return pngtools.encode(width, height, samples, 2, filters=filters,
                               trns=b"".join(struct.pack(">H", v) for v in KEY_RGB))
    if kind == "grey":
        samples = strip_samples(frames, 1, b"\x00", lambda p: bytes(p[:1]))
        return pngtools.encode(width, height, samples, 0, filters=filters, trns=b"\x00\x00")
    colours = [b"\x00\x00\x00\x00"]
    index = {colours[0]: 0}
    for frame in frames:
        for i in range(0, len(frame), 4):
            pixel = frame[i:i + 4] if frame[i + 3] else colours[0]
            index.setdefault(bytes(pixel), len(index))
    colours = sorted(index, key=index.get)
    samples = strip_samples(frames, 1, b"\x00", lambda p: bytes((index[bytes(p)],)))
    palette = b"".join(c[:3] for c in colours)
    return pngtools.encode(width, height, samples, 3, palette=palette, filters=filters,
                           trns=bytes(c[3] for c in colours))


KINDS = ["rgba", "rgb", "palette", "grey"]


def make_pet(workspace, animation_count=12):
    """Writes pet.json and its strips; returns {name: (expected frames, fps, loop)}."""
    os.mkdir(os.path.join(workspace, "strips"), 0o700)
    animations, expected = [], {}
    for a in range(animation_count):
        kind = KINDS[a % len(KINDS)]
        count = 1 + a % 5
        frames = [make_frame(a, k, opaque_only=kind in ("rgb", "grey"), grey=kind == "grey")
                  for k in range(count)]
        if a == 3 and count > 2:
            frames[2] = frames[0]  # a duplicate
        if a == 4:
            frames[1] = bytes(FRAME_W * FRAME_H * 4)  # a fully transparent frame
        name = "anim-%02d" % a
        path = "strips/%s.png" % name
        with open(os.path.join(workspace, path), "wb") as f:
            f.write(encode_strip(frames, kind, filters=(a % 5, (a + 1) % 5, (a + 3) % 5)))
        fps, loop = 4 + a, a % 2 == 0
        animations.append({"name": name, "strip": path, "frames": count, "fps": fps,
                           "loop": loop})
        expected[name] = (frames, fps, loop)
    with open(os.path.join(workspace, "pet.json"), "w") as f:
        json.dump({"name": "Pip", "frameWidth": FRAME_W, "frameHeight": FRAME_H,
                   "animations": animations}, f)
    return expected


def stage(launcher, workspace, mode, *extra):
    return run(launcher, [mode, "--workspace", workspace] + list(extra), workspace)


def run_jobs(launcher, workspace, count):
    processes = [start(launcher, ["job", "--workspace", workspace, "--index", str(i)], workspace)
                 for i in range(count)]
    results = []
    try:
        for process in processes:
            results.append(finish(process))
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
    return results


def hatch(launcher, workspace):
    prepared = stage(launcher, workspace, "prepare")
    assert prepared.status == 0, prepared
    with open(os.path.join(workspace, "run", "plan.json")) as f:
        job_count = len(json.load(f)["jobs"])
    for result in run_jobs(launcher, workspace, job_count):
        assert (result.status, result.stderr) == (0, ""), result
    assembled = stage(launcher, workspace, "assemble")
    assert assembled.status == 0, assembled
    finalized = stage(launcher, workspace, "finalize")
    assert finalized.status == 0, finalized
    return prepared, finalized, job_count


def leftovers(workspace):
    return [os.path.join(d, n) for d, subdirectories, files in os.walk(workspace)
            for n in subdirectories + files if ".tmp-" in n]


def rebuild(atlas, width, entry):
    frame = bytearray(FRAME_W * FRAME_H * 4)
    for row in range(entry["h"]):
        source = ((entry["y"] + row) * width + entry["x"]) * 4
        target = ((entry["offsetY"] + row) * FRAME_W + entry["offsetX"]) * 4
        frame[target:target + entry["w"] * 4] = atlas[source:source + entry["w"] * 4]
    return bytes(frame)


def test_full_pipeline_with_ten_parallel_jobs(launcher, workspace):
    expected = make_pet(workspace)
    prepared, finalized, job_count = hatch(launcher, workspace)
    assert job_count == 10
    assert prepared.stdout == "prepared 12 animations in 10 jobs\n"
    handoff = os.path.join(workspace, "handoff")
    assert finalized.stdout == "hand-off ready: %s\n" % handoff
    assert leftovers(workspace) == []

    with open(os.path.join(handoff, "manifest.json")) as f:
        manifest = json.load(f)
    listed = {entry["path"] for entry in manifest["files"]}
    assert listed == {"atlas.png", "atlas.json", "contact-sheet.png"} | {
        "previews/%s.png" % name for name in expected}
    present = {os.path.relpath(os.path.join(d, n), handoff)
               for d, _, files in os.walk(handoff) for n in files}
    assert present == listed | {"manifest.json"}
    for entry in manifest["files"]:
        with open(os.path.join(handoff, entry["path"]), "rb") as f:
            data = f.read()
        assert (len(data), hashlib.sha256(data).hexdigest()) == (entry["bytes"], entry["sha256"])

    with open(os.path.join(handoff, "atlas.json")) as f:
        atlas_map = json.load(f)
    with open(os.path.join(handoff, "atlas.png"), "rb") as f:
        width, height, atlas = pngtools.decode_rgba(f.read())
    assert (width, height) == (atlas_map["width"], atlas_map["height"])
    unique = {frame for frames, _, _ in expected.values() for frame in frames}
    assert len(atlas_map["frames"]) == len(unique)
    assert [a["name"] for a in atlas_map["animations"]] == list(expected)
    for animation in atlas_map["animations"]:
        frames, fps, loop = expected[animation["name"]]
        assert (animation["fps"], animation["loop"]) == (fps, loop)
        rebuilt = [rebuild(atlas, width, atlas_map["frames"][i]) for i in animation["frames"]]
        assert rebuilt == frames, animation["name"]

        with open(os.path.join(handoff, "previews", animation["name"] + ".png"), "rb") as f:
            plays, preview = pngtools.decode_apng(f.read())
        assert plays == (0 if loop else 1)
        assert [(n, d) for n, d, _ in preview] == [(1, fps)] * len(frames)
        assert [p for _, _, p in preview] == frames

    with open(os.path.join(handoff, "contact-sheet.png"), "rb") as f:
        sheet_width, sheet_height, _ = pngtools.decode_rgba(f.read())
    assert sheet_width >= 5 * FRAME_W and sheet_height >= len(expected) * FRAME_H


def test_job_report_flags_empty_and_duplicate_frames(launcher, workspace):
    make_pet(workspace, animation_count=5)
    assert stage(launcher, workspace, "prepare").status == 0
    assert all(r.status == 0 for r in run_jobs(launcher, workspace, 5))
    reports = {}
    for index in range(5):
        with open(os.path.join(workspace, "run", "jobs", str(index), "report.json")) as f:
            for animation in json.load(f)["animations"]:
                reports[animation["name"]] = animation
    assert reports["anim-03"]["duplicateFrames"] == [2]
    assert reports["anim-04"]["emptyFrames"] == [1]
    assert reports["anim-04"]["uniformFrames"] == [1]
    assert reports["anim-00"]["uniformFrames"] == []
    assert reports["anim-04"]["frames"][1]["bbox"] is None
    assert reports["anim-00"]["frames"][0]["bbox"] == [0, 0, 5, 4]


def _corrupt_crc(data):
    last_data_byte = len(data) - 12 - 4 - 1  # before IDAT's CRC and the IEND chunk
    return data[:last_data_byte] + bytes([data[last_data_byte] ^ 0xFF]) + data[last_data_byte + 1:]


def _with_header(data, offset, value):
    header = bytearray(data[:33])
    header[offset] = value
    header[29:33] = struct.pack(">I", zlib.crc32(bytes(header[12:29])) & 0xFFFFFFFF)
    return bytes(header) + data[33:]


def _bad_zlib(data):
    return (data[:33] + pngtools.chunk(b"IDAT", b"\x78\x9c not zlib at all")
            + pngtools.chunk(b"IEND", b""))


CORRUPTIONS = [
    ("bad CRC", _corrupt_crc, "corrupt PNG (bad CRC in IDAT chunk)"),
    ("truncated", lambda d: d[:-20], "corrupt PNG (truncated)"),
    ("not a PNG", lambda d: b"GIF89a" + d[6:], "not a PNG file"),
    ("bad zlib", _bad_zlib, "corrupt PNG (image data is not a valid zlib stream)"),
    ("16-bit", lambda d: _with_header(d, 24, 16), "unsupported PNG (16-bit samples)"),
    ("interlaced", lambda d: _with_header(d, 28, 1), "unsupported PNG (interlaced)"),
    ("grey-alpha", lambda d: _with_header(d, 25, 4), "unsupported PNG (colour type 4)"),
]


@pytest.mark.parametrize("label, corrupt, reason", CORRUPTIONS, ids=[c[0] for c in CORRUPTIONS])
def test_bad_png_is_refused_with_one_line_and_no_output(launcher, workspace, label, corrupt,
                                                        reason):
    make_pet(workspace, animation_count=2)
    path = os.path.join(workspace, "strips", "anim-01.png")
    with open(path, "rb") as f:
        data = f.read()
    with open(path, "wb") as f:
        f.write(corrupt(data))
    result = stage(launcher, workspace, "prepare")
    assert (result.status, result.stdout) == (65, "")
    assert result.stderr == "bix-hatch-tool: strips/anim-01.png: %s\n" % reason
    assert sorted(os.listdir(workspace)) == ["pet.json", "strips"]


DESCRIPTION_FAULTS = [
    ("duplicate key", '{"name": "a", "name": "b"}', "not valid JSON"),
    ("not JSON", "{", "not valid JSON"),
    ("NaN", '{"frameWidth": NaN}', "not valid JSON"),
    ("lone surrogate in a strip", '{"name": "Pip", "frameWidth": 16, "frameHeight": 12, '
     '"animations": [{"name": "idle", "strip": "\\ud800.png", "frames": 1, "fps": 1, '
     '"loop": true}]}', "not valid JSON"),
    ("lone surrogate in a key", '{"name": "Pip", "\\udc00": 1}', "not valid JSON"),
    ("extra key", {"extra": 1}, "the description must have exactly the keys"),
    ("zero width", {"frameWidth": 0}, "frameWidth must be an integer from 1 to 1024"),
    ("boolean height", {"frameHeight": True}, "frameHeight must be an integer from 1 to 1024"),
    ("escaping strip", {"strip": "../outside.png"}, "strip must be a relative path of plain"),
    ("absolute strip", {"strip": "/etc/passwd.png"}, "strip must be a relative path of plain"),
    ("strip in run", {"strip": "run/plan.png"}, "strip must not lie in run/"),
    ("missing strip", {"strip": "strips/none.png"}, "strips/none.png: missing"),
    ("wrong frame count", {"frames": 3}, "strips/anim-00.png: strip is 16x12, expected 48x12"),
    ("fps zero", {"fps": 0}, "fps must be an integer from 1 to 60"),
    ("loop string", {"loop": "yes"}, "loop must be true or false"),
]


@pytest.mark.parametrize("label, fault, fragment", DESCRIPTION_FAULTS,
                         ids=[f[0] for f in DESCRIPTION_FAULTS])
def test_bad_description_is_refused(launcher, workspace, label, fault, fragment):
    make_pet(workspace, animation_count=1)
    description_path = os.path.join(workspace, "pet.json")
    if isinstance(fault, str):
        text = fault
    else:
        with open(description_path) as f:
            description = json.load(f)
        target = description if set(fault) & {"extra", "frameWidth", "frameHeight"} else \
            description["animations"][0]
        target.update(fault)
        text = json.dumps(description)
    with open(description_path, "w") as f:
        f.write(text)
    result = stage(launcher, workspace, "prepare")
    assert result.status == 65, result
    assert result.stderr.startswith("bix-hatch-tool: ") and result.stderr.count("\n") == 1
    assert fragment in result.stderr
    assert "run" not in os.listdir(workspace)


def test_symlinked_strip_is_refused(launcher, workspace, scratch):
    make_pet(workspace, animation_count=1)
    outside = os.path.join(scratch, "outside.png")
    os.rename(os.path.join(workspace, "strips", "anim-00.png"), outside)
    os.symlink(outside, os.path.join(workspace, "strips", "anim-00.png"))
    result = stage(launcher, workspace, "prepare")
    assert (result.status, result.stderr) == (
        65, "bix-hatch-tool: strips/anim-00.png: must be a regular file, not a symbolic link\n")


def test_stages_refuse_to_run_out_of_order(launcher, workspace):
    make_pet(workspace, animation_count=2)
    cases = [
        (["job", "--index", "0"], 66, "no plan; run prepare first"),
        (["assemble"], 66, "no plan; run prepare first"),
        (["finalize"], 66, "no plan; run prepare first"),
    ]
    for arguments, status, message in cases:
        result = stage(launcher, workspace, arguments[0], *arguments[1:])
        assert (result.status, result.stderr) == (status, "bix-hatch-tool: %s\n" % message)
    assert stage(launcher, workspace, "prepare").status == 0
    result = stage(launcher, workspace, "job", "--index", "5")
    assert (result.status, result.stderr) == (
        64, "bix-hatch-tool: job 5 is not in the plan, which has 2 jobs\n")
    assert stage(launcher, workspace, "job", "--index", "0").status == 0
    result = stage(launcher, workspace, "assemble")
    assert (result.status, result.stderr) == (
        66, "bix-hatch-tool: job 1 has not run; run every job before assemble\n")
    result = stage(launcher, workspace, "finalize")
    assert (result.status, result.stderr) == (
        66, "bix-hatch-tool: nothing assembled; run assemble first\n")


def test_inputs_changed_after_prepare_are_refused(launcher, workspace):
    make_pet(workspace, animation_count=1)
    assert stage(launcher, workspace, "prepare").status == 0
    strip = os.path.join(workspace, "strips", "anim-00.png")
    with open(strip, "ab") as f:
        f.write(b"\0")
    result = stage(launcher, workspace, "job", "--index", "0")
    assert (result.status, result.stderr) == (
        65, "bix-hatch-tool: strips/anim-00.png changed since prepare; run prepare again\n")


def test_tampered_assembly_gives_no_handoff(launcher, workspace):
    make_pet(workspace, animation_count=3)
    hatch(launcher, workspace)
    assert stage(launcher, workspace, "prepare").status == 0
    assert "handoff" not in os.listdir(workspace)  # a new run discards the old hand-off
    assert all(r.status == 0 for r in run_jobs(launcher, workspace, 3))
    assert stage(launcher, workspace, "assemble").status == 0
    with open(os.path.join(workspace, "run", "assembly", "atlas.png"), "r+b") as f:
        f.seek(50)
        f.write(b"\xff")
    result = stage(launcher, workspace, "finalize")
    assert (result.status, result.stderr) == (
        65, "bix-hatch-tool: run/assembly/atlas.png changed since assemble; run assemble again\n")
    assert "handoff" not in os.listdir(workspace)
    assert leftovers(workspace) == []


def test_stage_outputs_are_reproducible(launcher, scratch):
    digests = []
    for label in ("first", "second"):
        workspace = os.path.join(scratch, label)
        os.mkdir(workspace, 0o700)
        make_pet(workspace, animation_count=4)
        hatch(launcher, workspace)
        with open(os.path.join(workspace, "handoff", "manifest.json"), "rb") as f:
            digests.append(hashlib.sha256(f.read()).hexdigest())
    assert digests[0] == digests[1]


def test_workspace_path_with_non_ascii_bytes(launcher, scratch):
    workspace = os.path.join(scratch, "caf\u00e9-\u732b")
    os.mkdir(workspace, 0o700)
    expected = make_pet(workspace, animation_count=2)
    _, finalized, _ = hatch(launcher, workspace)
    assert finalized.stdout == "hand-off ready: %s\n" % os.path.join(workspace, "handoff")
    with open(os.path.join(workspace, "handoff", "atlas.json")) as f:
        assert [a["name"] for a in json.load(f)["animations"]] == list(expected)


def test_invisible_animation_is_refused_by_its_job(launcher, workspace):
    make_pet(workspace, animation_count=1)
    blank = pngtools.encode(FRAME_W, FRAME_H, bytes(FRAME_W * FRAME_H * 4), 6)
    with open(os.path.join(workspace, "strips", "anim-00.png"), "wb") as f:
        f.write(blank)
    assert stage(launcher, workspace, "prepare").status == 0
    result = stage(launcher, workspace, "job", "--index", "0")
    assert (result.status, result.stderr) == (
        65, "bix-hatch-tool: animation anim-00: every frame is fully transparent\n")
    assert os.listdir(os.path.join(workspace, "run", "jobs")) == []


def _rewrite_json(path, change):
    with open(path) as f:
        value = json.load(f)
    change(value)
    with open(path, "w") as f:
        json.dump(value, f)


def _plan_reads_outside(workspace):
    """A plan, consistent with itself, whose strip lies outside the workspace."""
    outside = os.path.join(os.path.dirname(workspace), "outside.png")
    os.rename(os.path.join(workspace, "strips", "anim-00.png"), outside)
    with open(outside, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()

    def change(plan):
        plan["pet"]["animations"][0]["strip"] = "../outside.png"
        plan["stripSha256"] = {"../outside.png": digest}
    _rewrite_json(os.path.join(workspace, "run", "plan.json"), change)


def _plan_without_pet(workspace):
    _rewrite_json(os.path.join(workspace, "run", "plan.json"), lambda plan: plan.pop("pet"))


def _plan_with_foreign_job(workspace):
    def change(plan):
        plan["jobs"][0]["animations"] = ["no-such-animation"]
    _rewrite_json(os.path.join(workspace, "run", "plan.json"), change)


@pytest.mark.parametrize("damage", [_plan_reads_outside, _plan_without_pet,
                                    _plan_with_foreign_job])
@pytest.mark.parametrize("mode", [["job", "--index", "0"], ["assemble"], ["finalize"]])
def test_damaged_plan_is_refused_by_every_later_stage(launcher, workspace, damage, mode):
    make_pet(workspace, animation_count=1)
    assert stage(launcher, workspace, "prepare").status == 0
    damage(workspace)
    result = stage(launcher, workspace, mode[0], *mode[1:])
    assert (result.status, result.stdout, result.stderr) == (
        65, "", "bix-hatch-tool: run/plan.json is damaged; run prepare again\n")
    assert os.listdir(os.path.join(workspace, "run", "jobs")) == []
    assert leftovers(workspace) == []


def _shrink_first_box(report):
    finding = report["animations"][0]["frames"][0]
    finding["bbox"] = [finding["bbox"][0], finding["bbox"][1], 1, 1]


def _box_not_a_list(report):
    report["animations"][0]["frames"][0]["bbox"] = "everything"


def _frame_marked_empty(report):
    report["animations"][0]["frames"][0].update(empty=True, bbox=None)


def _other_strip_recorded(report):
    report["animations"][0]["stripSha256"] = "0" * 64


@pytest.mark.parametrize("damage", [_shrink_first_box, _box_not_a_list, _frame_marked_empty,
                                    _other_strip_recorded])
def test_damaged_job_report_is_refused_by_assemble(launcher, workspace, damage):
    make_pet(workspace, animation_count=2)
    assert stage(launcher, workspace, "prepare").status == 0
    assert all(r.status == 0 for r in run_jobs(launcher, workspace, 2))
    _rewrite_json(os.path.join(workspace, "run", "jobs", "0", "report.json"), damage)
    result = stage(launcher, workspace, "assemble")
    assert (result.status, result.stdout, result.stderr) == (
        65, "", "bix-hatch-tool: job 0 output is damaged; run the job again\n")
    assert "assembly" not in os.listdir(os.path.join(workspace, "run"))
    assert leftovers(workspace) == []


def _drop_from_record(name):
    def change(record):
        del record["files"][name]
    return change


@pytest.mark.parametrize("missing", ["contact-sheet.png", "previews/anim-01.png", "atlas.json"])
def test_incomplete_assembly_record_gives_no_handoff(launcher, workspace, missing):
    make_pet(workspace, animation_count=2)
    assert stage(launcher, workspace, "prepare").status == 0
    assert all(r.status == 0 for r in run_jobs(launcher, workspace, 2))
    assert stage(launcher, workspace, "assemble").status == 0
    _rewrite_json(os.path.join(workspace, "run", "assembly", "assembly.json"),
                  _drop_from_record(missing))
    result = stage(launcher, workspace, "finalize")
    assert (result.status, result.stdout, result.stderr) == (
        65, "", "bix-hatch-tool: run/assembly/assembly.json is damaged; run assemble again\n")
    assert "handoff" not in os.listdir(workspace)
    assert leftovers(workspace) == []


def test_job_never_writes_through_a_symlinked_jobs_directory(launcher, workspace, scratch):
    make_pet(workspace, animation_count=1)
    assert stage(launcher, workspace, "prepare").status == 0
    outside = os.path.join(scratch, "outside")
    os.mkdir(outside)
    jobs = os.path.join(workspace, "run", "jobs")
    os.rmdir(jobs)
    os.symlink(outside, jobs)
    result = stage(launcher, workspace, "job", "--index", "0")
    assert (result.status, result.stdout, result.stderr) == (
        65, "", "bix-hatch-tool: run/jobs: must not be a symbolic link\n")
    assert os.listdir(outside) == []


def _assembled(launcher, workspace, count):
    make_pet(workspace, animation_count=count)
    assert stage(launcher, workspace, "prepare").status == 0
    assert all(r.status == 0 for r in run_jobs(launcher, workspace, count))
    return os.path.join(workspace, "run", "assembly")


def test_strip_changed_after_its_job_is_refused_by_later_stages(launcher, workspace):
    assembly = _assembled(launcher, workspace, 2)
    strip = os.path.join(workspace, "strips", "anim-00.png")
    with open(strip, "rb") as f:
        original = f.read()
    for stage_name in ("assemble", "finalize"):
        with open(strip, "wb") as f:
            f.write(encode_strip([make_frame(7, 0)], "rgba", filters=(0,)))
        result = stage(launcher, workspace, stage_name)
        assert (result.status, result.stdout, result.stderr) == (65, "", "bix-hatch-tool: "
                "strips/anim-00.png changed since prepare; run prepare again\n")
        assert not os.path.exists(assembly if stage_name == "assemble" else
                                  os.path.join(workspace, "handoff"))
        with open(strip, "wb") as f:
            f.write(original)
        assert stage(launcher, workspace, "assemble").status == 0


@pytest.mark.parametrize("change, reason", [
    (lambda raw: b"\x78\x9c not zlib at all", "not a valid zlib stream"),
    (lambda raw: zlib.compress(raw[:-1]), "image data has the wrong length"),
    (lambda raw: zlib.compress(raw + b"\0"), "image data has the wrong length"),
    (lambda raw: zlib.compress(b"\x07" + raw[1:]), "unknown row filter"),
])
def test_undecodable_atlas_gives_no_handoff(launcher, workspace, change, reason):
    """Valid chunk CRCs and a recorded digest that matches: only decoding finds the fault."""
    assembly = _assembled(launcher, workspace, 2)
    assert stage(launcher, workspace, "assemble").status == 0
    with open(os.path.join(assembly, "atlas.png"), "r+b") as f:
        data = f.read()
        atlas = data[:33] + pngtools.chunk(b"IDAT", change(zlib.decompress(
            dict(pngtools.chunks(data))[b"IDAT"]))) + pngtools.chunk(b"IEND", b"")
        f.seek(0)
        f.truncate()
        f.write(atlas)
    _rewrite_json(os.path.join(assembly, "assembly.json"), lambda record: record["files"].update(
        {"atlas.png": hashlib.sha256(atlas).hexdigest()}))
    result = stage(launcher, workspace, "finalize")
    assert result.status == 70 and result.stderr.startswith(
        "bix-hatch-tool: hand-off verification failed: atlas.png: corrupt PNG ("), result
    assert reason in result.stderr and "handoff" not in os.listdir(workspace)
    assert leftovers(workspace) == []
