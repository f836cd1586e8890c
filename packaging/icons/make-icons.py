#!/usr/bin/env python3
"""Draws the application icon: the scalable SVG and the fixed-size PNGs beside it.

Run once after changing the drawing; the outputs are checked in, so the build needs neither
Python nor an SVG renderer. The PNGs are rasterised here from the same shapes that make up the
SVG (16 samples per pixel), with nothing but the standard library.

    packaging/icons/make-icons.py [OUTPUT_FOLDER]
"""

import os
import struct
import sys
import zlib

NAME = "org.vumo.dfu_utility"
SIZES = (16, 24, 32, 48, 64, 128, 256)
CANVAS = 128.0  # drawing units; the SVG's view box

# Paint order. A firmware chip with pins, an arrow carrying the new image into it.
BACKGROUND = "#1d5a78"
CHIP = "#eef3f6"
PIN = "#b8c7d1"
ARROW = "#f08a24"

SHAPES = [
    ("rrect", BACKGROUND, (8, 8, 112, 112, 22)),
] + [
    ("rrect", PIN, (x, y, 12, 7, 1.5))
    for y in (46, 59, 72, 85)
    for x in (26, 90)
] + [
    ("rrect", CHIP, (34, 36, 60, 62, 7)),
    ("rrect", ARROW, (57, 46, 14, 24, 2)),
    ("poly", ARROW, ((44, 66), (84, 66), (64, 89))),
]


def svg():
    parts = [
        '<?xml version="1.0" encoding="UTF-8"?>\n',
        '<svg xmlns="http://www.w3.org/2000/svg" width="128" height="128" '
        'viewBox="0 0 128 128">\n',
        "  <title>Vumo DFU Utility</title>\n",
    ]
    for kind, colour, geometry in SHAPES:
        if kind == "rrect":
            x, y, w, h, r = geometry
            parts.append(f'  <rect x="{x:g}" y="{y:g}" width="{w:g}" height="{h:g}" '
                         f'rx="{r:g}" ry="{r:g}" fill="{colour}"/>\n')
        else:
            points = " ".join(f"{px:g},{py:g}" for px, py in geometry)
            parts.append(f'  <polygon points="{points}" fill="{colour}"/>\n')
    parts.append("</svg>\n")
    return "".join(parts)


def inside_rrect(px, py, geometry):
    x, y, w, h, r = geometry
    if px < x or py < y or px > x + w or py > y + h:
        return False
    # Distance from the nearest corner centre when the point lies in a corner square.
    cx = min(max(px, x + r), x + w - r)
    cy = min(max(py, y + r), y + h - r)
    return (px - cx) ** 2 + (py - cy) ** 2 <= r * r


def inside_poly(px, py, points):
    inside = False
    n = len(points)
    for i in range(n):
        (x1, y1), (x2, y2) = points[i], points[(i + 1) % n]
        if (y1 > py) != (y2 > py) and px < x1 + (py - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
    return inside


def bounds(kind, geometry):
    if kind == "rrect":
        x, y, w, h, _ = geometry
        return x, y, x + w, y + h
    xs = [p[0] for p in geometry]
    ys = [p[1] for p in geometry]
    return min(xs), min(ys), max(xs), max(ys)


def rgb(colour):
    return tuple(int(colour[i:i + 2], 16) / 255.0 for i in (1, 3, 5))


def render(size, samples=4):
    scale = CANVAS / size
    # Premultiplied RGBA in floats, transparent to start.
    pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]
    offsets = [(i + 0.5) / samples for i in range(samples)]
    for kind, colour, geometry in SHAPES:
        test = inside_rrect if kind == "rrect" else inside_poly
        r, g, b = rgb(colour)
        x0, y0, x1, y1 = bounds(kind, geometry)
        for py in range(max(0, int(y0 / scale)), min(size, int(y1 / scale) + 1)):
            for px in range(max(0, int(x0 / scale)), min(size, int(x1 / scale) + 1)):
                hits = sum(test((px + ox) * scale, (py + oy) * scale, geometry)
                           for ox in offsets for oy in offsets)
                if not hits:
                    continue
                a = hits / (samples * samples)
                p = pixels[py * size + px]
                keep = 1.0 - a
                p[0] = r * a + p[0] * keep
                p[1] = g * a + p[1] * keep
                p[2] = b * a + p[2] * keep
                p[3] = a + p[3] * keep
    rows = []
    for py in range(size):
        row = bytearray([0])  # filter: none
        for px in range(size):
            pr, pg, pb, pa = pixels[py * size + px]
            if pa > 0:
                pr, pg, pb = pr / pa, pg / pa, pb / pa
            row += bytes(round(min(1.0, v) * 255) for v in (pr, pg, pb, pa))
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def png(size, raw):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    with open(os.path.join(out, NAME + ".svg"), "w", encoding="utf-8") as f:
        f.write(svg())
    for size in SIZES:
        with open(os.path.join(out, f"{NAME}-{size}.png"), "wb") as f:
            f.write(render(size))


if __name__ == "__main__":
    main()
