"""Atlas packing and composition, and the assemble stage.

Identical frames are stored once. Each stored frame is trimmed to its bounding box and placed
by shelf packing (tallest first) with one transparent pixel between regions; the atlas width is
the power of two, up to 8192, that gives the smallest area. Fully transparent frames take no
region (w and h 0).
"""

import extract_strip_frames as png
import inspect_frames
import make_contact_sheet
import render_animation_previews
import validate_atlas
from extract_strip_frames import FRAMES_FILE, REPORT_FILE, job_directory
from hatch_common import EXIT_NO_INPUT, EXIT_OK, HatchError, data_error, sha256_hex
from prepare_pet_run import (ASSEMBLY_DIR, MAX_TOTAL_PIXELS, StagedDirectory,
                             check_description_unchanged, check_strips_unchanged, encode_json,
                             load_plan, read_input, read_json_input)

MAX_ATLAS_SIDE = 8192
PADDING = 1
ATLAS_IMAGE = "atlas.png"
ATLAS_MAP = "atlas.json"
CONTACT_SHEET = "contact-sheet.png"
ASSEMBLY_RECORD = "assembly.json"
MAX_REPORT_BYTES = 16 << 20


# ---------------------------------------------------------------------------------------------
# Packing


def _shelf_pack(sizes, order, width, padding):
    positions = [None] * len(sizes)
    x = y = shelf = 0
    for i in order:
        w, h = sizes[i]
        if x and x + w > width:
            y += shelf + padding
            x = shelf = 0
        positions[i] = (x, y)
        x += w + padding
        shelf = max(shelf, h)
    return y + shelf, positions


def pack(sizes, max_side=MAX_ATLAS_SIDE, padding=PADDING):
    """(width, height, positions) placing every (w, h) in sizes without overlap."""
    if not sizes:
        return 1, 1, []
    order = sorted(range(len(sizes)), key=lambda i: (-sizes[i][1], -sizes[i][0], i))
    width = 1
    while width < max(w for w, _ in sizes):
        width *= 2
    best = None
    while width <= max_side:
        height, positions = _shelf_pack(sizes, order, width, padding)
        key = (width * height, max(width, height))
        if height <= max_side and (best is None or key < best[0]):
            best = (key, width, height, positions)
        width *= 2
    if best is None:
        raise data_error("the frames do not fit in a %dx%d atlas" % (max_side, max_side))
    return best[1], best[2], best[3]


# ---------------------------------------------------------------------------------------------
# Job outputs


def _damaged(index):
    return data_error("job %d output is damaged; run the job again" % index)


def _findings_match(findings, frames, pet):
    """True when each recorded finding is what inspecting its frame gives now.

    Packing trusts the recorded boxes, so a damaged report must not reach it.
    """
    if not isinstance(findings, list) or len(findings) != len(frames):
        return False
    width, height = pet["frameWidth"], pet["frameHeight"]
    for finding, frame in zip(findings, frames):
        expected = inspect_frames.inspect_frame(frame, width, height)
        if not isinstance(finding, dict) or any(finding.get(k) != v for k, v in expected.items()):
            return False
    return True


def _load_job(job, plan, plan_digest, animations):
    index = job["index"]
    directory = job_directory(index)
    try:
        report = read_json_input(directory + "/" + REPORT_FILE, MAX_REPORT_BYTES)
    except HatchError as error:
        if error.status == EXIT_NO_INPUT:
            raise HatchError(EXIT_NO_INPUT, "job %d has not run; run every job before assemble"
                             % index) from None
        raise
    if not isinstance(report, dict) or report.get("planSha256") != plan_digest:
        raise data_error("job %d output belongs to another plan; run the job again" % index)
    data = read_input(directory + "/" + FRAMES_FILE, MAX_TOTAL_PIXELS * 4)
    if sha256_hex(data) != report.get("framesSha256"):
        raise _damaged(index)
    frame_bytes = plan["pet"]["frameWidth"] * plan["pet"]["frameHeight"] * 4
    loaded = {}
    try:
        if [a["name"] for a in report["animations"]] != job["animations"]:
            raise _damaged(index)
        for entry in report["animations"]:
            # The job must have read the strip that prepare planned (and that is still there).
            strip = animations[entry["name"]]["strip"]
            if entry["stripSha256"] != plan["stripSha256"][strip]:
                raise _damaged(index)
            count = animations[entry["name"]]["frames"]
            start = entry["offset"]
            frames = [bytes(data[start + i * frame_bytes:start + (i + 1) * frame_bytes])
                      for i in range(count)]
            if not _findings_match(entry["frames"], frames, plan["pet"]):
                raise _damaged(index)
            loaded[entry["name"]] = (frames, entry["frames"])
    except (KeyError, TypeError, IndexError, ValueError):
        raise _damaged(index) from None
    return loaded


def load_job_outputs(plan, plan_digest, animations):
    """{animation name: (frames, findings)} for every planned animation."""
    outputs = {}
    for job in plan["jobs"]:
        outputs.update(_load_job(job, plan, plan_digest, animations))
    return outputs


# ---------------------------------------------------------------------------------------------
# Composition


def _blit(atlas, frame, frame_width, box, x, y):
    bx, by, bw, bh = box
    for row in range(bh):
        source = ((by + row) * frame_width + bx) * 4
        target = ((y + row) * atlas.width + x) * 4
        atlas.pixels[target:target + bw * 4] = frame[source:source + bw * 4]


def _unique_frames(pet, outputs):
    """Stored frames (frame, box, digest) in first-use order and each animation's frame ids."""
    ids = {}
    stored = []
    animations = []
    for animation in pet["animations"]:
        frames, findings = outputs[animation["name"]]
        sequence = []
        for frame, finding in zip(frames, findings):
            digest = finding["sha256"]
            if digest not in ids:
                ids[digest] = len(stored)
                stored.append((frame, finding["bbox"], digest))
            sequence.append(ids[digest])
        animations.append({"name": animation["name"], "fps": animation["fps"],
                           "loop": animation["loop"], "frames": sequence})
    return stored, animations


def build_atlas(pet, outputs):
    """The atlas image and its map of frame rectangles and animations."""
    frame_width = pet["frameWidth"]
    stored, animations = _unique_frames(pet, outputs)
    visible = [i for i, (_, box, _) in enumerate(stored) if box]
    width, height, positions = pack([(stored[i][1][2], stored[i][1][3]) for i in visible])
    placed = dict(zip(visible, positions))
    atlas = png.Image(width, height)
    entries = []
    for frame_id, (frame, box, digest) in enumerate(stored):
        entry = {"id": frame_id, "sha256": digest, "x": 0, "y": 0, "w": 0, "h": 0,
                 "offsetX": 0, "offsetY": 0}
        if box:
            x, y = placed[frame_id]
            _blit(atlas, frame, frame_width, box, x, y)
            entry.update(x=x, y=y, w=box[2], h=box[3], offsetX=box[0], offsetY=box[1])
        entries.append(entry)
    atlas_map = {"version": 1, "pet": pet["name"], "image": ATLAS_IMAGE, "width": width,
                 "height": height, "frameWidth": frame_width, "frameHeight": pet["frameHeight"],
                 "frames": entries, "animations": animations}
    return atlas, atlas_map


def assemble_outputs(pet, outputs):
    """Every assembled file by its path, the atlas validated against the source frames."""
    width, height = pet["frameWidth"], pet["frameHeight"]
    atlas, atlas_map = build_atlas(pet, outputs)
    atlas_png = png.encode_image(atlas)
    frames_by_name = {a["name"]: outputs[a["name"]][0] for a in pet["animations"]}
    validate_atlas.validate_atlas(atlas_png, atlas_map, frames_by_name)
    files = {ATLAS_IMAGE: atlas_png, ATLAS_MAP: encode_json(atlas_map)}
    for animation in pet["animations"]:
        frames = frames_by_name[animation["name"]]
        preview = render_animation_previews.encode_apng(frames, width, height, animation["fps"],
                                                        animation["loop"])
        validate_atlas.validate_preview(preview, frames, animation, width, height)
        files[render_animation_previews.preview_path(animation["name"])] = preview
    sheet = make_contact_sheet.build_contact_sheet(
        [(a["name"], frames_by_name[a["name"]]) for a in pet["animations"]], width, height)
    files[CONTACT_SHEET] = png.encode_image(sheet)
    return files, atlas_map


def run_assemble():
    """Builds run/assembly from every job's output: atlas, map, previews, contact sheet."""
    plan, plan_digest, animations = load_plan()
    check_description_unchanged(plan)
    check_strips_unchanged(plan)
    outputs = load_job_outputs(plan, plan_digest, animations)
    files, atlas_map = assemble_outputs(plan["pet"], outputs)
    record = {"version": 1, "planSha256": plan_digest,
              "files": {path: sha256_hex(data) for path, data in files.items()}}
    with StagedDirectory(ASSEMBLY_DIR) as staged:
        for path, data in sorted(files.items()):
            staged.write(path, data)
        staged.write(ASSEMBLY_RECORD, encode_json(record))
        staged.commit()
    print("assembled %d frames (%d stored) into a %dx%d atlas" % (
        sum(len(a["frames"]) for a in atlas_map["animations"]), len(atlas_map["frames"]),
        atlas_map["width"], atlas_map["height"]))
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# Self-test


def _regions_overlap(a, b, padding):
    return not (a[0] + a[2] + padding <= b[0] or b[0] + b[2] + padding <= a[0]
                or a[1] + a[3] + padding <= b[1] or b[1] + b[3] + padding <= a[1])


def self_test(check):
    sizes = [((i * 7) % 13 + 1, (i * 5) % 11 + 1) for i in range(40)]
    width, height, positions = pack(sizes)
    rects = [(x, y, w, h) for (x, y), (w, h) in zip(positions, sizes)]
    check(all(x + w <= width and y + h <= height for x, y, w, h in rects), "packing in bounds")
    check(not any(_regions_overlap(rects[i], rects[j], PADDING)
                  for i in range(len(rects)) for j in range(i)), "packing without overlap")
    try:
        pack([(9000, 1)])
        check(False, "oversized frame refused")
    except HatchError:
        check(True, "oversized frame refused")
    width, height = 3, 2
    frame_a = bytes((255, 0, 0, 255) * 2) + bytes(16)
    frame_b = bytes(16) + bytes((0, 0, 255, 128) * 2)
    empty = bytes(24)
    pet = {"name": "t", "frameWidth": width, "frameHeight": height, "animations": [
        {"name": "a", "fps": 4, "loop": True, "frames": 3},
        {"name": "b", "fps": 2, "loop": False, "frames": 2}]}
    outputs = {}
    for name, frames in (("a", [frame_a, frame_b, frame_a]), ("b", [empty, frame_b])):
        outputs[name] = (frames, inspect_frames.inspect_animation(name, frames, width,
                                                                  height)["frames"])
    files, atlas_map = assemble_outputs(pet, outputs)
    check(len(atlas_map["frames"]) == 3 and atlas_map["animations"][0]["frames"] == [0, 1, 0]
          and atlas_map["animations"][1]["frames"] == [2, 1], "duplicates stored once")
    check(sorted(files) == ["atlas.json", "atlas.png", "contact-sheet.png", "previews/a.png",
                            "previews/b.png"], "every assembled file present")
