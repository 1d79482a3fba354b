"""Frame inspection: empty (fully transparent) and uniform frames, bounding boxes, duplicates."""

from hatch_common import data_error, sha256_hex


def bounding_box(frame, width, height):
    """[x, y, w, h] of the pixels that are not fully transparent, or None for an empty frame."""
    alpha = frame[3::4]
    if not alpha.strip(b"\x00"):
        return None
    top = bottom = None
    left, right = width, -1
    for y in range(height):
        row = alpha[y * width:(y + 1) * width]
        trimmed = row.lstrip(b"\x00")
        if not trimmed:
            continue
        if top is None:
            top = y
        bottom = y
        left = min(left, width - len(trimmed))
        right = max(right, len(row.rstrip(b"\x00")) - 1)
    return [left, top, right - left + 1, bottom - top + 1]


def is_uniform(frame):
    """True when every pixel has the same colour and alpha (nothing is drawn on it)."""
    return frame == frame[:4] * (len(frame) // 4)


def inspect_frame(frame, width, height):
    box = bounding_box(frame, width, height)
    return {"sha256": sha256_hex(frame), "empty": box is None, "uniform": is_uniform(frame),
            "bbox": box}


def inspect_animation(name, frames, width, height):
    """Per-frame findings for one animation; refuses an animation with nothing visible.

    A frame identical to an earlier frame of the same animation records that frame's index
    in duplicateOf; the atlas stores such frames once.
    """
    first_index = {}
    findings = []
    for index, frame in enumerate(frames):
        finding = inspect_frame(frame, width, height)
        finding["index"] = index
        finding["duplicateOf"] = first_index.setdefault(finding["sha256"], index)
        if finding["duplicateOf"] == index:
            finding["duplicateOf"] = None
        findings.append(finding)
    if all(f["empty"] for f in findings):
        raise data_error("animation %s: every frame is fully transparent" % name)
    return {"name": name, "frames": findings,
            "emptyFrames": [f["index"] for f in findings if f["empty"]],
            "uniformFrames": [f["index"] for f in findings if f["uniform"]],
            "duplicateFrames": [f["index"] for f in findings if f["duplicateOf"] is not None]}


def self_test(check):
    width, height = 4, 3
    empty = bytes(width * height * 4)
    dot = bytearray(empty)
    dot[(1 * width + 2) * 4:(1 * width + 2) * 4 + 4] = b"\x01\x02\x03\x80"
    corners = bytearray(empty)
    corners[3] = 1
    corners[-1] = 1
    check(bounding_box(empty, width, height) is None, "empty frame has no box")
    check(bounding_box(bytes(dot), width, height) == [2, 1, 1, 1], "single pixel box")
    check(bounding_box(bytes(corners), width, height) == [0, 0, 4, 3], "corner pixels box")
    report = inspect_animation("a", [bytes(dot), empty, bytes(dot)], width, height)
    check(is_uniform(empty) and is_uniform(b"\x01\x02\x03\xff" * 12) and not is_uniform(dot),
          "uniform frames found")
    check(report["emptyFrames"] == [1] and report["duplicateFrames"] == [2]
          and report["frames"][2]["duplicateOf"] == 0, "empty and duplicate frames found")
    try:
        inspect_animation("a", [empty, empty], width, height)
        check(False, "all-empty animation refused")
    except Exception as error:
        check("fully transparent" in str(error), "all-empty animation refused")
