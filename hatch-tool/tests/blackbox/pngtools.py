"""Independent PNG/APNG encoding and decoding for the black-box tests (not the tool's codec)."""

import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(
        ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def _predict(kind, row, prior, i, bpp):
    a = row[i - bpp] if i >= bpp else 0
    b = prior[i]
    c = prior[i - bpp] if i >= bpp else 0
    return [0, a, b, (a + b) // 2, _paeth(a, b, c)][kind]


def encode(width, height, samples, colour=6, depth=8, palette=None, trns=None, filters=(0,),
           interlace=0):
    bpp = CHANNELS[colour] * depth // 8
    stride = width * bpp
    raw = bytearray()
    prior = bytes(stride)
    for y in range(height):
        row = samples[y * stride:(y + 1) * stride]
        kind = filters[y % len(filters)]
        raw.append(kind)
        raw += bytes((row[i] - _predict(kind, row, prior, i, bpp)) & 0xFF for i in range(stride))
        prior = row
    out = SIGNATURE + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0,
                                                 interlace))
    if palette is not None:
        out += chunk(b"PLTE", bytes(palette))
    if trns is not None:
        out += chunk(b"tRNS", bytes(trns))
    out += chunk(b"IDAT", zlib.compress(bytes(raw))) + chunk(b"IEND", b"")
    return out


def chunks(data):
    assert data[:8] == SIGNATURE
    position = 8
    while position < len(data):
        (length,) = struct.unpack_from(">I", data, position)
        kind = data[position + 4:position + 8]
        yield kind, data[position + 8:position + 8 + length]
        position += 12 + length


def unfilter(raw, width, height, bpp):
    stride = width * bpp
    out = bytearray()
    prior = bytes(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind = raw[start]
        row = bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            row[i] = (row[i] + _predict(kind, row, prior, i, bpp)) & 0xFF
        out += row
        prior = row
    return bytes(out)


def decode_rgba(data):
    """(width, height, RGBA bytes) of an 8-bit RGBA PNG (what the tool writes)."""
    header = None
    idat = b""
    for kind, body in chunks(data):
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    width, height, depth, colour = header[:4]
    assert (depth, colour) == (8, 6)
    return width, height, unfilter(zlib.decompress(idat), width, height, 4)


def decode_apng(data):
    """(plays, [(delay_num, delay_den, RGBA bytes)]) of an APNG made of full-size frames."""
    plays = None
    frames = []
    width = height = None
    control = None
    for kind, body in chunks(data):
        if kind == b"IHDR":
            width, height = struct.unpack(">II", body[:8])
        elif kind == b"acTL":
            count, plays = struct.unpack(">II", body)
        elif kind == b"fcTL":
            control = struct.unpack(">IIIIIHHBB", body)
        elif kind in (b"IDAT", b"fdAT"):
            payload = body if kind == b"IDAT" else body[4:]
            frames.append((control[5], control[6],
                           unfilter(zlib.decompress(payload), width, height, 4)))
    assert count == len(frames)
    return plays, frames
