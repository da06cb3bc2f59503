#!/usr/bin/env python3
"""Writes the window's icon as PNG files for the desktop's icon theme.

The picture is the one res/make_icon.py draws into the Windows icon, taken
from there, so the menu entry and the window show the same icon. One RGBA
PNG per size in the hicolor layout:

    OUTDIR/16x16/apps/vantrel.png, OUTDIR/32x32/apps/vantrel.png, OUTDIR/48x48/apps/vantrel.png

Nothing depends on the machine or the time: the same sources give the same
bytes (the package's contents do not change from build to build).

    python3 packaging/linux/icons.py OUTDIR
"""
import os
import struct
import sys
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res"))
import make_icon  # noqa: E402  (the picture and its renderer)


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def png(size):
    rows = make_icon.render(size)
    raw = b"".join(b"\0" + b"".join(bytes((r, g, b, 255 if opaque else 0)) for r, g, b, opaque in row)
                   for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8 bits, RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: icons.py OUTDIR")
    for size in make_icon.SIZES:
        folder = os.path.join(sys.argv[1], "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "vantrel.png"), "wb") as f:
            f.write(png(size))


if __name__ == "__main__":
    main()
