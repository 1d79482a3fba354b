"""PNG reading and writing with zlib and struct, and the job stage: frames out of sprite strips.

The reader takes non-interlaced 8-bit grey, RGB, RGBA and palette images (with tRNS
transparency) under any of the five row filters and returns RGBA; everything else is refused
with a one-line reason. The writer produces 8-bit images of the same colour types.
"""

import re
import struct
import zlib

import inspect_frames
from hatch_common import EXIT_OK, EXIT_USAGE, HatchError, data_error, sha256_hex
from prepare_pet_run import (JOBS_DIR, MAX_STRIP_BYTES, StagedDirectory,
                             check_description_unchanged, check_strip_unchanged, encode_json,
                             load_plan, read_input)

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
MAX_IMAGE_PIXELS = 1 << 25
CHANNELS = {0: 1, 2: 3, 3: 1, 6: 4}
COLOUR_NAMES = {0: "grey", 2: "RGB", 3: "palette", 6: "RGBA"}
FRAMES_FILE = "frames.rgba"
REPORT_FILE = "report.json"


class Image:
    """Width × height RGBA pixels, 8 bits per sample, rows top to bottom."""

    __slots__ = ("width", "height", "pixels")

    def __init__(self, width, height, pixels=None):
        self.width = width
        self.height = height
        self.pixels = bytearray(width * height * 4) if pixels is None else pixels


def _corrupt(name, reason):
    return data_error("%s: corrupt PNG (%s)" % (name, reason))


def _unsupported(name, reason):
    return data_error("%s: unsupported PNG (%s)" % (name, reason))


# ---------------------------------------------------------------------------------------------
# Chunks


def png_chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body
            + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))


def iterate_chunks(data, name):
    """Yields (type, body) for every chunk, checking lengths, names and CRCs up to IEND."""
    if not data.startswith(PNG_SIGNATURE):
        raise data_error("%s: not a PNG file" % name)
    position = len(PNG_SIGNATURE)
    while True:
        if position + 12 > len(data):
            raise _corrupt(name, "truncated")
        length, kind = struct.unpack_from(">I4s", data, position)
        end = position + 12 + length
        if length > 0x7FFFFFFF or end > len(data):
            raise _corrupt(name, "truncated")
        if not kind.isalpha():
            raise _corrupt(name, "bad chunk name")
        body = data[position + 8:position + 8 + length]
        (crc,) = struct.unpack_from(">I", data, position + 8 + length)
        if zlib.crc32(kind + body) & 0xFFFFFFFF != crc:
            raise _corrupt(name, "bad CRC in %s chunk" % kind.decode("ascii"))
        yield kind, body
        position = end
        if kind == b"IEND":
            if position != len(data):
                raise _corrupt(name, "data after IEND")
            return


class PngLayout:
    """The parsed chunks of one PNG: header fields, palette, transparency and image data."""

    def __init__(self):
        self.width = self.height = self.colour_type = None
        self.palette = None
        self.transparency = None
        self.data = []


def _parse_header(body, name, layout):
    if len(body) != 13:
        raise _corrupt(name, "bad IHDR length")
    fields = struct.unpack(">IIBBBBB", body)
    width, height, depth, colour, compression, filtering, interlace = fields
    if not (0 < width < 1 << 31 and 0 < height < 1 << 31):
        raise _corrupt(name, "zero or oversized dimensions")
    if compression != 0 or filtering != 0 or interlace > 1:
        raise _corrupt(name, "unknown compression, filter or interlace method")
    if interlace:
        raise _unsupported(name, "interlaced")
    if colour not in CHANNELS:
        raise _unsupported(name, "colour type %d" % colour)
    if depth != 8:
        raise _unsupported(name, "%d-bit samples" % depth)
    if width * height > MAX_IMAGE_PIXELS:
        raise data_error("%s: image larger than %d pixels" % (name, MAX_IMAGE_PIXELS))
    layout.width, layout.height, layout.colour_type = width, height, colour


def _parse_transparency(body, name, layout):
    colour = layout.colour_type
    if colour == 3:
        if layout.palette is None or len(body) > len(layout.palette) // 3:
            raise _corrupt(name, "tRNS does not fit the palette")
    elif colour == 6 or len(body) != {0: 2, 2: 6}[colour]:
        raise _corrupt(name, "bad tRNS chunk")
    layout.transparency = body


def read_layout(data, name):
    """Parses and checks every chunk; returns the layout with the image data still compressed."""
    layout = PngLayout()
    seen_data_end = False
    for kind, body in iterate_chunks(data, name):
        if layout.width is None and kind != b"IHDR":
            raise _corrupt(name, "IHDR must come first")
        if kind == b"IHDR":
            if layout.width is not None:
                raise _corrupt(name, "second IHDR")
            _parse_header(body, name, layout)
        elif kind == b"IDAT":
            if seen_data_end:
                raise _corrupt(name, "IDAT chunks must be consecutive")
            layout.data.append(body)
        elif kind in (b"PLTE", b"tRNS") and layout.data:
            raise _corrupt(name, "%s after IDAT" % kind.decode("ascii"))
        elif kind == b"PLTE":
            if layout.palette is not None or not 3 <= len(body) <= 768 or len(body) % 3:
                raise _corrupt(name, "bad PLTE chunk")
            layout.palette = body
        elif kind == b"tRNS":
            _parse_transparency(body, name, layout)
        elif kind != b"IEND" and not kind[0:1].islower():
            raise _unsupported(name, "critical chunk %s" % kind.decode("ascii"))
        if layout.data and kind != b"IDAT":
            seen_data_end = True
    if not layout.data:
        raise _corrupt(name, "no IDAT chunk")
    if layout.colour_type == 3 and layout.palette is None:
        raise _corrupt(name, "palette image without PLTE")
    return layout


def _filtered_rows(layout, name):
    """The decompressed scanlines, each a filter byte then the row's samples."""
    stride = layout.width * CHANNELS[layout.colour_type]
    expected = layout.height * (stride + 1)
    decompressor = zlib.decompressobj()
    try:
        raw = decompressor.decompress(b"".join(layout.data), expected + 1)
    except zlib.error:
        raise _corrupt(name, "image data is not a valid zlib stream") from None
    if len(raw) != expected or not decompressor.eof:
        raise _corrupt(name, "image data has the wrong length")
    if max(raw[0::stride + 1]) > 4:
        raise _corrupt(name, "unknown row filter")
    return raw


def check_strip_png(data, name, width, height):
    """Checks a strip completely short of un-filtering it: structure, CRCs, data and size."""
    layout = read_layout(data, name)
    _filtered_rows(layout, name)
    if (layout.width, layout.height) != (width, height):
        raise data_error("%s: strip is %dx%d, expected %dx%d"
                         % (name, layout.width, layout.height, width, height))
    return layout


# ---------------------------------------------------------------------------------------------
# Row filters

_MASKS = {}


def _masks(length):
    if length not in _MASKS:
        _MASKS[length] = (int.from_bytes(b"\x7f" * length, "big"),
                          int.from_bytes(b"\x80" * length, "big"))
    return _MASKS[length]


def _add_bytes(a, b):
    """Byte-wise (a + b) mod 256, all bytes at once in one big integer."""
    if not a:
        return bytearray()
    low, high = _masks(len(a))
    x, y = int.from_bytes(a, "big"), int.from_bytes(b, "big")
    return bytearray((((x & low) + (y & low)) ^ ((x ^ y) & high)).to_bytes(len(a), "big"))


def _subtract_bytes(a, b):
    """Byte-wise (a - b) mod 256."""
    if not a:
        return bytearray()
    low, high = _masks(len(a))
    x, y = int.from_bytes(a, "big"), int.from_bytes(b, "big")
    return bytearray((((x | high) - (y & low)) ^ ((x ^ ~y) & high)).to_bytes(len(a), "big"))


def _paeth(a, b, c):
    pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - c - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _predictor(kind, row, prior, i, bpp):
    left = row[i - bpp] if i >= bpp else 0
    if kind == 1:
        return left
    if kind == 3:
        return (left + prior[i]) >> 1
    return _paeth(left, prior[i], prior[i - bpp] if i >= bpp else 0)


def _unfilter_row(kind, line, prior, bpp):
    if kind == 0:
        return line
    if kind == 2:
        return _add_bytes(line, prior)
    row = bytearray(line)
    if kind == 1:
        for i in range(bpp, len(row)):
            row[i] = (row[i] + row[i - bpp]) & 0xFF
    elif kind == 3:
        for i in range(min(bpp, len(row))):
            row[i] = (row[i] + (prior[i] >> 1)) & 0xFF
        for i in range(bpp, len(row)):
            row[i] = (row[i] + ((row[i - bpp] + prior[i]) >> 1)) & 0xFF
    else:
        for i in range(min(bpp, len(row))):
            row[i] = (row[i] + prior[i]) & 0xFF
        for i in range(bpp, len(row)):
            a, b, c = row[i - bpp], prior[i], prior[i - bpp]
            pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - c - c)
            if pa <= pb and pa <= pc:
                row[i] = (row[i] + a) & 0xFF
            elif pb <= pc:
                row[i] = (row[i] + b) & 0xFF
            else:
                row[i] = (row[i] + c) & 0xFF
    return row


def _filter_row(kind, row, prior, bpp):
    if kind == 0:
        return row
    if kind == 2:
        return _subtract_bytes(row, prior)
    return bytearray((row[i] - _predictor(kind, row, prior, i, bpp)) & 0xFF
                     for i in range(len(row)))


def unfilter(raw, width, height, bpp):
    stride = width * bpp
    samples = bytearray(stride * height)
    prior = bytes(stride)
    for y in range(height):
        start = y * (stride + 1)
        row = _unfilter_row(raw[start], raw[start + 1:start + 1 + stride], prior, bpp)
        samples[y * stride:(y + 1) * stride] = row
        prior = row
    return samples


# ---------------------------------------------------------------------------------------------
# Decoding and encoding


def _keyed_alpha(samples, key, step, alpha):
    """Clears alpha wherever a whole pixel of samples equals key."""
    position = samples.find(key)
    while position >= 0:
        if position % step == 0:
            alpha[position // step] = 0
        position = samples.find(key, position + 1)


def _to_rgba(layout, samples, name):
    count = layout.width * layout.height
    pixels = bytearray(count * 4)
    colour, transparency = layout.colour_type, layout.transparency
    if colour == 6:
        return samples
    alpha = bytearray(b"\xff" * count)
    if colour == 3:
        palette = layout.palette
        if max(samples) >= len(palette) // 3:
            raise _corrupt(name, "palette index out of range")
        table_alpha = (transparency or b"") + b"\xff" * 256
        for channel in range(3):
            table = bytes(palette[channel::3]).ljust(256, b"\x00")
            pixels[channel::4] = samples.translate(table)
        alpha = samples.translate(table_alpha[:256])
    elif colour == 0:
        for channel in range(3):
            pixels[channel::4] = samples
        if transparency is not None and transparency[0] == 0:
            _keyed_alpha(samples, transparency[1:2], 1, alpha)
    else:
        for channel in range(3):
            pixels[channel::4] = samples[channel::3]
        if transparency is not None and not (transparency[0] or transparency[2] or
                                             transparency[4]):
            _keyed_alpha(samples, transparency[1::2], 3, alpha)
    pixels[3::4] = alpha
    return pixels


def decode_png(data, name):
    """Decodes a PNG into an RGBA Image, or refuses it with a one-line reason."""
    layout = read_layout(data, name)
    raw = _filtered_rows(layout, name)
    samples = unfilter(raw, layout.width, layout.height, CHANNELS[layout.colour_type])
    return Image(layout.width, layout.height, _to_rgba(layout, samples, name))


def encode_png(width, height, samples, colour_type=6, palette=None, transparency=None,
               row_filter=0, level=6):
    """An 8-bit PNG of samples (rows of colour_type samples), every row using row_filter."""
    bpp = CHANNELS[colour_type]
    stride = width * bpp
    rows = []
    prior = bytes(stride)
    for y in range(height):
        row = samples[y * stride:(y + 1) * stride]
        rows.append(bytes([row_filter]))
        rows.append(bytes(_filter_row(row_filter, row, prior, bpp)))
        prior = row
    parts = [PNG_SIGNATURE,
             png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, colour_type, 0, 0, 0))]
    if palette is not None:
        parts.append(png_chunk(b"PLTE", bytes(palette)))
    if transparency is not None:
        parts.append(png_chunk(b"tRNS", bytes(transparency)))
    parts.append(png_chunk(b"IDAT", zlib.compress(b"".join(rows), level)))
    parts.append(png_chunk(b"IEND", b""))
    return b"".join(parts)


def encode_image(image, level=6):
    return encode_png(image.width, image.height, image.pixels, level=level)


# ---------------------------------------------------------------------------------------------
# The job stage


_TRANSPARENT_RUN = re.compile(b"\\x00+")


def clear_transparent(frame):
    """The frame with every fully transparent pixel stored as 0, 0, 0, 0.

    Colour under zero alpha is invisible; clearing it makes identical-looking frames identical
    bytes, so duplicates and atlas regions compare exactly.
    """
    pixels = bytearray(frame)
    alpha = bytes(frame[3::4])
    for run in _TRANSPARENT_RUN.finditer(alpha):
        start, end = run.span()
        pixels[start * 4:end * 4] = bytes((end - start) * 4)
    return bytes(pixels)


def split_strip(image, frame_width, frame_count):
    """The frames of a horizontal strip, each frame_width × image.height RGBA bytes, with
    fully transparent pixels cleared."""
    stride = image.width * 4
    row_bytes = frame_width * 4
    frames = []
    for k in range(frame_count):
        rows = [image.pixels[y * stride + k * row_bytes:y * stride + (k + 1) * row_bytes]
                for y in range(image.height)]
        frames.append(clear_transparent(b"".join(rows)))
    return frames


def job_directory(index):
    return "%s/%d" % (JOBS_DIR, index)


def _extract_animation(plan, animation):
    """The animation's frames and the digest of the strip bytes they came from."""
    path = animation["strip"]
    data = read_input(path, MAX_STRIP_BYTES)
    check_strip_unchanged(plan, path, data)
    image = decode_png(data, path)
    if (image.width, image.height) != (animation["stripWidth"], animation["stripHeight"]):
        raise data_error("%s: strip is %dx%d, expected %dx%d" % (
            path, image.width, image.height, animation["stripWidth"], animation["stripHeight"]))
    return split_strip(image, plan["pet"]["frameWidth"], animation["frames"]), sha256_hex(data)


def run_job(index):
    """Extracts and inspects the frames of one planned job into run/jobs/<index>."""
    plan, plan_digest, animations = load_plan()
    if index >= len(plan["jobs"]):
        raise HatchError(EXIT_USAGE, "job %d is not in the plan, which has %d jobs"
                         % (index, len(plan["jobs"])))
    check_description_unchanged(plan)
    width, height = plan["pet"]["frameWidth"], plan["pet"]["frameHeight"]
    frames_data = bytearray()
    reports = []
    for name in plan["jobs"][index]["animations"]:
        frames, strip_digest = _extract_animation(plan, animations[name])
        report = inspect_frames.inspect_animation(name, frames, width, height)
        report["offset"] = len(frames_data)
        report["stripSha256"] = strip_digest
        frames_data += b"".join(frames)
        reports.append(report)
    job_report = {"version": 1, "index": index, "planSha256": plan_digest,
                  "framesSha256": sha256_hex(frames_data), "animations": reports}
    with StagedDirectory(job_directory(index)) as staged:
        staged.write(FRAMES_FILE, frames_data)
        staged.write(REPORT_FILE, encode_json(job_report))
        staged.commit()
    print("job %d: %d frames from %s" % (
        index, sum(len(r["frames"]) for r in reports), ", ".join(r["name"] for r in reports)))
    return EXIT_OK


# ---------------------------------------------------------------------------------------------
# Self-test


def _sample_pixels(width, height):
    """RGBA test pixels with gradients, noise-like values and partial transparency."""
    pixels = bytearray()
    for y in range(height):
        for x in range(width):
            pixels += bytes(((x * 37 + y * 11) & 0xFF, (x * y * 7 + 3) & 0xFF,
                             (255 - x * 13) & 0xFF, (x * 50 + y * 90) & 0xFF))
    return pixels


def _refused(data, fragment):
    try:
        decode_png(data, "t.png")
    except HatchError as error:
        return fragment in error.message
    return False


def self_test(check):
    width, height = 7, 5
    rgba = _sample_pixels(width, height)
    rgb = bytearray(b for i, b in enumerate(rgba) if i % 4 != 3)
    grey = bytes(rgba[0::4])
    palette = bytes(range(0, 48))
    indices = bytes((x + y) % 16 for y in range(height) for x in range(width))
    alpha_table = bytes(range(0, 256, 16))
    cases = [
        ("RGBA", 6, rgba, None, None, rgba),
        ("RGB", 2, rgb, None, None,
         bytearray(b"".join(bytes(rgb[i:i + 3]) + b"\xff" for i in range(0, len(rgb), 3)))),
        ("grey", 0, grey, None, None, bytearray(b"".join(bytes((g, g, g, 255)) for g in grey))),
        ("palette", 3, indices, palette, alpha_table,
         bytearray(b"".join(palette[3 * i:3 * i + 3] + bytes((alpha_table[i],))
                            for i in indices))),
    ]
    for label, colour, samples, plte, trns, expected in cases:
        for row_filter in range(5):
            data = encode_png(width, height, samples, colour, plte, trns, row_filter)
            image = decode_png(data, "t.png")
            check(image.pixels == expected, "%s filter %d round trip" % (label, row_filter))
    keyed = encode_png(2, 1, b"\x10\x20\x30\x01\x02\x03", 2, transparency=b"\0\x10\0\x20\0\x30")
    check(decode_png(keyed, "t.png").pixels == bytearray(b"\x10\x20\x30\x00\x01\x02\x03\xff"),
          "RGB colour key")
    good = encode_png(width, height, rgba)
    header = bytearray(good[:33])
    check(_refused(good[:-1], "truncated"), "truncated PNG refused")
    check(_refused(b"GIF89a" + good[6:], "not a PNG"), "non-PNG refused")
    corrupt = bytearray(good)
    corrupt[45] ^= 0x55
    check(_refused(bytes(corrupt), "bad CRC"), "bad CRC refused")
    for offset, value, fragment in ((24, 16, "16-bit"), (28, 1, "interlaced"),
                                    (25, 4, "colour type 4")):
        altered = bytearray(header)
        altered[offset] = value
        altered[29:33] = struct.pack(">I", zlib.crc32(bytes(altered[12:29])) & 0xFFFFFFFF)
        check(_refused(bytes(altered) + good[33:], fragment), fragment + " refused")
    strip = Image(4, 2, bytearray(range(1, 33)))
    frames = split_strip(strip, 2, 2)
    check(frames == [bytes(range(1, 9)) + bytes(range(17, 25)),
                     bytes(range(9, 17)) + bytes(range(25, 33))], "strip split")
    hidden = bytes((9, 9, 9, 0, 1, 2, 3, 4, 7, 7, 7, 0))
    check(clear_transparent(hidden) == bytes((0, 0, 0, 0, 1, 2, 3, 4, 0, 0, 0, 0)),
          "colour under zero alpha cleared")
