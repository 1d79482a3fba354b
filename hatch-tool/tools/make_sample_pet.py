"""Writes a sample pet into a workspace: pet.json and one sprite strip per animation.

    make_sample_pet.py WORKSPACE [--animations N] [--frames F] [--size S] [--filter 0-4]

The pet is a round creature that bounces, blinks and leans differently in each animation. The
strips are 8-bit RGBA PNGs written with zlib and struct; --filter picks the row filter (4,
Paeth, is what image editors mostly produce and the slowest to decode).
"""

import argparse
import json
import math
import os
import struct
import zlib

NAMES = ["idle", "walk", "run", "jump", "sleep", "wave", "happy", "sad", "eat", "dance",
         "spin", "peek", "think", "cheer", "yawn", "wiggle"]


def chunk(kind, body):
    return (struct.pack(">I", len(body)) + kind + body
            + struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    return a if pa <= pb and pa <= pc else (b if pb <= pc else c)


def filtered(row, prior, kind):
    if kind == 0:
        return bytes(row)
    out = bytearray(len(row))
    for i in range(len(row)):
        a = row[i - 4] if i >= 4 else 0
        c = prior[i - 4] if i >= 4 else 0
        predictor = [0, a, prior[i], (a + prior[i]) // 2, paeth(a, prior[i], c)][kind]
        out[i] = (row[i] - predictor) & 0xFF
    return bytes(out)


def write_png(path, width, height, pixels, kind):
    stride = width * 4
    raw = bytearray()
    prior = bytes(stride)
    for y in range(height):
        row = pixels[y * stride:(y + 1) * stride]
        raw.append(kind)
        raw += filtered(row, prior, kind)
        prior = row
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n"
                + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(bytes(raw), 6)) + chunk(b"IEND", b""))


def draw_frame(pixels, stride_pixels, left, size, animation, frame, frames):
    phase = 2 * math.pi * frame / frames
    bounce = abs(math.sin(phase)) * size * 0.12 * (1 + animation % 3)
    lean = math.sin(phase) * size * 0.05 * (animation % 4)
    cx, cy = size / 2 + lean, size * 0.58 - bounce
    radius = size * 0.3
    hue = (animation * 47) % 256
    body = (200, (90 + hue) % 256, (160 + 2 * hue) % 256)
    blink = frame % 5 == 4
    for y in range(size):
        for x in range(size):
            dx, dy = x - cx, y - cy
            if dx * dx + dy * dy > radius * radius:
                continue
            colour = body
            for eye in (-0.35, 0.35):
                ex, ey = cx + eye * radius, cy - 0.2 * radius
                if (x - ex) ** 2 + (y - ey) ** 2 < (radius * 0.12) ** 2:
                    colour = body if blink else (20, 20, 30)
            edge = radius - math.sqrt(dx * dx + dy * dy)
            alpha = 255 if edge > 1 else max(1, int(edge * 255))
            offset = (y * stride_pixels + left + x) * 4
            pixels[offset:offset + 4] = bytes(colour + (alpha,))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("workspace")
    parser.add_argument("--animations", type=int, default=4)
    parser.add_argument("--frames", type=int, default=6)
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--filter", type=int, default=0, choices=range(5))
    arguments = parser.parse_args()
    size, frames = arguments.size, arguments.frames
    os.makedirs(os.path.join(arguments.workspace, "strips"), 0o700, exist_ok=True)
    animations = []
    for a in range(arguments.animations):
        name = NAMES[a % len(NAMES)] + ("" if a < len(NAMES) else "-%d" % a)
        width = size * frames
        pixels = bytearray(width * size * 4)
        for k in range(frames):
            draw_frame(pixels, width, k * size, size, a, k, frames)
        strip = "strips/%s.png" % name
        write_png(os.path.join(arguments.workspace, strip), width, size, pixels, arguments.filter)
        animations.append({"name": name, "strip": strip, "frames": frames, "fps": 8 + a % 5,
                           "loop": name not in ("jump", "sleep")})
    with open(os.path.join(arguments.workspace, "pet.json"), "w") as f:
        json.dump({"name": "Pip", "frameWidth": size, "frameHeight": size,
                   "animations": animations}, f, indent=1)


if __name__ == "__main__":
    main()
