#!/usr/bin/env python3
"""Draws Kestrel's icons (a bird of prey over a star, on a night-blue disc) into desktop/resources/icons.

Pure standard library, so it runs anywhere: the pictures are computed pixel by pixel and written
as RGBA PNG files. Run it again after changing the drawing; the PNGs are committed.
"""
import math
import os
import struct
import zlib

OUT = os.path.join(os.path.dirname(__file__), "..", "desktop", "resources", "icons")


def png(path, size, pixels):
    rows = b"".join(b"\0" + bytes(pixels[y * size * 4:(y + 1) * size * 4]) for y in range(size))
    def chunk(kind, data):
        c = struct.pack(">I", len(data)) + kind + data
        return c + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(rows, 9)))
        f.write(chunk(b"IEND", b""))


def inside_wing(u, v):
    # A stylised kestrel seen from below: small head, pointed wings bent at the wrist, a long
    # fanned tail; in a unit square centred on (0, 0), y growing downwards.
    a = abs(u)
    head = u * u + (v + 0.34) ** 2 <= 0.085 ** 2
    body = (u / 0.11) ** 2 + ((v + 0.02) / 0.28) ** 2 <= 1
    wing = a <= 0.92 and -0.10 - 0.30 * a + 0.45 * a * a <= v <= 0.12 - 0.12 * a ** 0.8
    tail = 0.18 <= v <= 0.58 and a <= 0.06 + 0.22 * (v - 0.18)
    return head or body or wing or tail


def draw(size, samples=4):
    px = []
    for y in range(size):
        for x in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    u = ((x + (sx + 0.5) / samples) / size) * 2 - 1
                    v = ((y + (sy + 0.5) / samples) / size) * 2 - 1
                    r = math.hypot(u, v)
                    if r > 0.98:
                        continue
                    colour = (20, 30, 70)                      # night sky
                    sd = abs(u - 0.55) + abs(v - 0.55)         # small four-pointed star
                    if sd < 0.16 and (abs(u - 0.55) < 0.04 or abs(v - 0.55) < 0.04):
                        colour = (255, 240, 170)
                    if inside_wing(u * 1.1, v * 1.1 + 0.05):
                        colour = (205, 120, 50)                # kestrel rufous
                    acc[0] += colour[0]; acc[1] += colour[1]; acc[2] += colour[2]; acc[3] += 255
            n = samples * samples
            px += [int(acc[0] / max(1, acc[3] / 255)), int(acc[1] / max(1, acc[3] / 255)),
                   int(acc[2] / max(1, acc[3] / 255)), int(acc[3] / n)]
    return px


os.makedirs(OUT, exist_ok=True)
for name, size in (("kestrel-32.png", 32), ("kestrel-small-16.png", 16)):
    png(os.path.join(OUT, name), size, draw(size, 4 if "small" not in name else 3))
