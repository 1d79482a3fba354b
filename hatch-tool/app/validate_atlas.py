"""Checks that the written atlas and previews reproduce their source frames exactly.

The atlas is decoded from its encoded bytes, so a fault anywhere between packing and writing
(a wrong rectangle, an overlap, a codec fault) is caught before anything is handed off.
"""

import extract_strip_frames as png
import render_animation_previews
from hatch_common import EXIT_SOFTWARE, HatchError


def _failed(reason):
    return HatchError(EXIT_SOFTWARE, "atlas validation failed: " + reason)


def _check_regions(atlas_map):
    """Every region lies inside the atlas and no two regions share a pixel."""
    width, height = atlas_map["width"], atlas_map["height"]
    taken = bytearray(width * height)
    for entry in atlas_map["frames"]:
        x, y, w, h = entry["x"], entry["y"], entry["w"], entry["h"]
        if min(x, y, w, h) < 0 or x + w > width or y + h > height:
            raise _failed("frame %d lies outside the atlas" % entry["id"])
        if (w + entry["offsetX"] > atlas_map["frameWidth"]
                or h + entry["offsetY"] > atlas_map["frameHeight"]
                or min(entry["offsetX"], entry["offsetY"]) < 0):
            raise _failed("frame %d does not fit its frame size" % entry["id"])
        for row in range(y, y + h):
            start = row * width + x
            if taken.find(1, start, start + w) != -1:
                raise _failed("frame %d overlaps another frame" % entry["id"])
            taken[start:start + w] = b"\x01" * w


def frame_from_atlas(atlas, entry, frame_width, frame_height):
    """The whole frame that entry describes, rebuilt from the atlas pixels."""
    frame = bytearray(frame_width * frame_height * 4)
    for row in range(entry["h"]):
        source = ((entry["y"] + row) * atlas.width + entry["x"]) * 4
        target = ((entry["offsetY"] + row) * frame_width + entry["offsetX"]) * 4
        frame[target:target + entry["w"] * 4] = atlas.pixels[source:source + entry["w"] * 4]
    return bytes(frame)


def validate_atlas(atlas_png, atlas_map, frames_by_name):
    """Refuses unless every animation frame, rebuilt from the decoded atlas, equals its source."""
    atlas = png.decode_png(atlas_png, "atlas.png")
    if (atlas.width, atlas.height) != (atlas_map["width"], atlas_map["height"]):
        raise _failed("atlas size differs from its map")
    _check_regions(atlas_map)
    width, height = atlas_map["frameWidth"], atlas_map["frameHeight"]
    rebuilt = [frame_from_atlas(atlas, entry, width, height) for entry in atlas_map["frames"]]
    if [a["name"] for a in atlas_map["animations"]] != list(frames_by_name):
        raise _failed("the map's animations differ from the plan")
    for animation in atlas_map["animations"]:
        sources = frames_by_name[animation["name"]]
        if len(animation["frames"]) != len(sources):
            raise _failed("animation %s has the wrong frame count" % animation["name"])
        for index, (frame_id, source) in enumerate(zip(animation["frames"], sources)):
            if rebuilt[frame_id] != source:
                raise _failed("animation %s frame %d differs from its source"
                              % (animation["name"], index))


def validate_preview(preview, frames, animation, width, height):
    """Refuses unless the preview decodes to exactly the animation's frames and timing."""
    decoded = render_animation_previews.decode_apng(preview, animation["name"])
    expected_plays = 0 if animation["loop"] else 1
    if (decoded["width"], decoded["height"], decoded["plays"]) != (width, height, expected_plays):
        raise _failed("preview of %s has the wrong size or play count" % animation["name"])
    if [f for _, f in decoded["frames"]] != list(frames):
        raise _failed("preview of %s differs from its frames" % animation["name"])
    if any(delay != (1, animation["fps"]) for delay, _ in decoded["frames"]):
        raise _failed("preview of %s has the wrong frame delay" % animation["name"])


def self_test(check):
    atlas = png.Image(2, 1, bytearray((1, 2, 3, 4, 5, 6, 7, 8)))
    atlas_map = {"width": 2, "height": 1, "frameWidth": 1, "frameHeight": 1,
                 "frames": [{"id": 0, "x": 0, "y": 0, "w": 1, "h": 1, "offsetX": 0,
                             "offsetY": 0},
                            {"id": 1, "x": 1, "y": 0, "w": 1, "h": 1, "offsetX": 0,
                             "offsetY": 0}],
                 "animations": [{"name": "a", "frames": [0, 1]}]}
    encoded = png.encode_image(atlas)
    validate_atlas(encoded, atlas_map, {"a": [bytes((1, 2, 3, 4)), bytes((5, 6, 7, 8))]})
    check(True, "matching atlas accepted")
    for frames, fragment in (([bytes((1, 2, 3, 4)), bytes((5, 6, 7, 9))], "differs"),
                             ([bytes((1, 2, 3, 4))], "frame count")):
        try:
            validate_atlas(encoded, atlas_map, {"a": frames})
            check(False, "atlas mismatch refused: " + fragment)
        except HatchError as error:
            check(fragment in error.message, "atlas mismatch refused: " + fragment)
    atlas_map["frames"][1]["x"] = 0
    try:
        validate_atlas(encoded, atlas_map, {"a": [bytes((1, 2, 3, 4))] * 2})
        check(False, "overlapping regions refused")
    except HatchError as error:
        check("overlaps" in error.message, "overlapping regions refused")
