#!/usr/bin/env python3
"""Writes res/vantrel.ico, the icon IDR_MAINFRAME, from the picture below.

The picture is the one the Linux window draws for itself: a terminal (a dark
body with a light screen) and a green arrow going down onto it, the upgrade.
It is drawn here at 48, 32 and 16 pixels, each at 4, 8 and 24 bits per pixel,
into one icon of nine images. Nothing is random and nothing depends on the
machine, so the same script always writes the same bytes; the committed icon
is checked against it by a test.

    python3 res/make_icon.py [OUTPUT]    (default: res/vantrel.ico beside this script)
"""
import os
import struct
import sys

# The picture, in fractions of the icon's side, drawn in this order.
BODY = ((0x2F, 0x3B, 0x4C), ("roundrect", 0.18, 0.08, 0.64, 0.84, 0.08))
SCREEN = ((0x7F, 0xC8, 0xF8), ("rect", 0.26, 0.16, 0.48, 0.34))
ARROW = ((0x2E, 0xA0, 0x43), ("polygon", [(0.44, 0.56), (0.56, 0.56), (0.56, 0.68), (0.66, 0.68),
                                          (0.50, 0.88), (0.34, 0.68), (0.44, 0.68)]))
PICTURE = [BODY, SCREEN, ARROW]

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 24)
SUBSAMPLES = 4  # per axis, for the coverage of a pixel by a shape

# The 16 colours of the standard 4-bit palette, in its order.
VGA16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
         (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255),
         (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette256():
    """The 16 standard colours, a 6x6x6 colour cube, then a ramp of greys: 256 in all."""
    colours = list(VGA16)
    levels = (0, 51, 102, 153, 204, 255)
    colours += [(r, g, b) for r in levels for g in levels for b in levels]
    greys = 256 - len(colours)
    colours += [(round(8 + i * 240 / (greys - 1)),) * 3 for i in range(greys)]
    return colours


def inside(shape, x, y):
    kind = shape[0]
    if kind == "rect":
        _, l, t, w, h = shape
        return l <= x < l + w and t <= y < t + h
    if kind == "roundrect":
        _, l, t, w, h, r = shape
        if not (l <= x < l + w and t <= y < t + h):
            return False
        cx = min(max(x, l + r), l + w - r)
        cy = min(max(y, t + r), t + h - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    if kind == "polygon":  # even-odd rule
        pts = shape[1]
        hit = False
        for i, (x1, y1) in enumerate(pts):
            x2, y2 = pts[(i + 1) % len(pts)]
            if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
                hit = not hit
        return hit
    raise ValueError(kind)


def render(size):
    """Rows of (r, g, b, opaque), top row first."""
    rows = []
    n = SUBSAMPLES
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            covered = 0
            for sy in range(n):
                for sx in range(n):
                    x = (px + (sx + 0.5) / n) / size
                    y = (py + (sy + 0.5) / n) / size
                    colour = None
                    for c, shape in PICTURE:
                        if inside(shape, x, y):
                            colour = c
                    if colour is not None:
                        covered += 1
                        for k in range(3):
                            acc[k] += colour[k]
            if covered * 2 >= n * n:
                row.append(tuple(round(a / covered) for a in acc) + (True,))
            else:
                row.append((0, 0, 0, False))
        rows.append(row)
    return rows


def nearest(colours, rgb):
    best = min(range(len(colours)),
               key=lambda i: sum((colours[i][k] - rgb[k]) ** 2 for k in range(3)) * 256 + i)
    return best


def pad4(data):
    return data + b"\0" * (-len(data) % 4)


def image(size, depth):
    """One icon image: BITMAPINFOHEADER, palette, colour bits, AND mask."""
    rows = render(size)
    palette = VGA16 if depth == 4 else palette256() if depth == 8 else []
    xor = b""
    mask = b""
    for row in reversed(rows):  # bottom-up
        if depth == 24:
            line = b"".join(bytes((b, g, r)) if opaque else b"\0\0\0" for r, g, b, opaque in row)
        else:
            idx = [nearest(palette, p[:3]) if p[3] else 0 for p in row]
            if depth == 8:
                line = bytes(idx)
            else:
                line = bytes((idx[i] << 4) | idx[i + 1] for i in range(0, size, 2))
        xor += pad4(line)
        bits = 0
        mline = b""
        for i, p in enumerate(row):
            bits = (bits << 1) | (0 if p[3] else 1)  # 1: transparent
            if i % 8 == 7:
                mline += bytes((bits,))
                bits = 0
        mask += pad4(mline)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, depth, 0, len(xor) + len(mask), 0, 0,
                         len(palette), 0)
    quads = b"".join(bytes((b, g, r, 0)) for r, g, b in palette)
    return header + quads + xor + mask


def icon():
    images = [(s, d, image(s, d)) for s in SIZES for d in DEPTHS]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries = b""
    for size, depth, data in images:
        colours = 16 if depth == 4 else 0
        entries += struct.pack("<BBBBHHII", size, size, colours, 0, 1, depth, len(data), offset)
        offset += len(data)
    return out + entries + b"".join(d for _, _, d in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "vantrel.ico")
    data = icon()
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
