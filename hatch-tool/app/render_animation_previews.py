"""Animated previews: one APNG per animation, every frame whole, at the animation's rate.

Each frame is a full-size fcTL region (dispose none, blend source) with a delay of 1/fps
seconds; a looping animation plays forever, any other once. The first frame is also the
default image, so viewers without APNG support show it.
"""

import struct
import zlib

import extract_strip_frames as png
from hatch_common import data_error

PREVIEW_DIR = "previews"


def preview_path(name):
    return "%s/%s.png" % (PREVIEW_DIR, name)


def _frame_data(frame, width, height):
    stride = width * 4
    rows = [b"\x00" + frame[y * stride:(y + 1) * stride] for y in range(height)]
    return zlib.compress(b"".join(rows), 6)


def encode_apng(frames, width, height, fps, loop):
    parts = [png.PNG_SIGNATURE,
             png.png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)),
             png.png_chunk(b"acTL", struct.pack(">II", len(frames), 0 if loop else 1))]
    sequence = 0
    for index, frame in enumerate(frames):
        parts.append(png.png_chunk(b"fcTL", struct.pack(
            ">IIIIIHHBB", sequence, width, height, 0, 0, 1, fps, 0, 0)))
        sequence += 1
        data = _frame_data(frame, width, height)
        if index == 0:
            parts.append(png.png_chunk(b"IDAT", data))
        else:
            parts.append(png.png_chunk(b"fdAT", struct.pack(">I", sequence) + data))
            sequence += 1
    parts.append(png.png_chunk(b"IEND", b""))
    return b"".join(parts)


def _decode_frame(data, width, height, name):
    try:
        raw = zlib.decompress(data)
    except zlib.error:
        raise data_error("%s: corrupt APNG frame data" % name) from None
    if len(raw) != height * (width * 4 + 1):
        raise data_error("%s: APNG frame has the wrong length" % name)
    return bytes(png.unfilter(raw, width, height, 4))


def decode_apng(data, name):
    """Reads back an APNG written by encode_apng: size, play count and (delay, frame) pairs."""
    result = {"width": None, "height": None, "plays": None, "frames": []}
    control = None
    expected_sequence = 0
    for kind, body in png.iterate_chunks(data, name):
        if kind == b"IHDR":
            result["width"], result["height"] = struct.unpack(">II", body[:8])
        elif kind == b"acTL":
            result["plays"] = struct.unpack(">II", body)[1]
        elif kind == b"fcTL":
            fields = struct.unpack(">IIIIIHHBB", body)
            if fields[0] != expected_sequence:
                raise data_error("%s: APNG sequence out of order" % name)
            expected_sequence += 1
            control = ((fields[5], fields[6]), fields[1], fields[2])
        elif kind in (b"IDAT", b"fdAT"):
            if control is None:
                raise data_error("%s: APNG frame data without fcTL" % name)
            if kind == b"fdAT":
                if struct.unpack(">I", body[:4])[0] != expected_sequence:
                    raise data_error("%s: APNG sequence out of order" % name)
                expected_sequence += 1
                body = body[4:]
            delay, width, height = control
            result["frames"].append((delay, _decode_frame(body, width, height, name)))
            control = None
    return result


def self_test(check):
    width, height = 2, 2
    frames = [bytes(range(i, i + 16)) for i in range(3)]
    for loop, plays in ((True, 0), (False, 1)):
        decoded = decode_apng(encode_apng(frames, width, height, 12, loop), "t.png")
        check(decoded["plays"] == plays and [f for _, f in decoded["frames"]] == frames
              and all(d == (1, 12) for d, _ in decoded["frames"]), "APNG round trip")
    still = png.decode_png(encode_apng(frames, width, height, 12, True), "t.png")
    check(bytes(still.pixels) == frames[0], "APNG default image is the first frame")
