#!/usr/bin/env python3
"""Draws the program's icon, MAINICON: 32 x 32 pixels in 16 colours.

A serial connector seen from the front (a trapezoid shell with two rows of
pins) on a teal tile, with a send arrow above and a receive arrow below.
Writes app/comtester.ico, and for desktop menus the same drawing as a 32 x 32
PNG and a scalable SVG in packaging/icons/; run it again after changing the
drawing.
"""
import struct
import sys
import zlib
from pathlib import Path

# The 16-colour palette of the classic VGA set, as (r, g, b).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, TEAL, SILVER, GREY, YELLOW, WHITE, LIME = 0, 6, 7, 8, 11, 15, 10
SIZE = 32


def draw():
    """Returns rows of palette indices, None where the icon is transparent."""
    img = [[None] * SIZE for _ in range(SIZE)]

    def put(x, y, c):
        if 0 <= x < SIZE and 0 <= y < SIZE:
            img[y][x] = c

    # Tile with cut corners.
    for y in range(1, 31):
        for x in range(1, 31):
            corner = min(x - 1, 30 - x) + min(y - 1, 30 - y)
            if corner >= 2:
                put(x, y, TEAL)
    # Connector shell: wider at the top, as a D-sub is.
    for y in range(10, 22):
        inset = (y - 10) // 3
        for x in range(5 + inset, 27 - inset):
            edge = y in (10, 21) or x in (5 + inset, 26 - inset)
            put(x, y, BLACK if edge else SILVER)
    # Five pins above, four below.
    for i in range(5):
        x = 8 + i * 4
        for dx in (0, 1):
            for dy in (0, 1):
                put(x + dx, 13 + dy, YELLOW)
    for i in range(4):
        x = 10 + i * 4
        for dx in (0, 1):
            for dy in (0, 1):
                put(x + dx, 17 + dy, YELLOW)
    # Send arrow (right) above, receive arrow (left) below.
    for x in range(7, 24):
        put(x, 5, WHITE)
        put(x + 2, 26, LIME)
    for d in range(1, 4):
        put(24 - d, 5 - d, WHITE)
        put(24 - d, 5 + d, WHITE)
        put(8 + d, 26 - d, LIME)
        put(8 + d, 26 + d, LIME)
    return img


def ico(img):
    # BMP rows are stored bottom-up; 4 bits per pixel, then a 1-bit AND mask.
    xor = bytearray()
    mask = bytearray()
    for row in reversed(img):
        for x in range(0, SIZE, 2):
            hi, lo = (row[x] or 0), (row[x + 1] or 0)
            xor.append(hi << 4 | lo)
        bits = 0
        for x, c in enumerate(row):
            if c is None:
                bits |= 1 << (SIZE - 1 - x)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def png(img):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    rows = b"".join(b"\0" + b"".join(bytes(PALETTE[c]) + b"\xff" if c is not None else b"\0\0\0\0"
                                     for c in row) for row in img)
    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9))
            + chunk(b"IEND", b""))


def svg(img):
    # One square per run of like pixels in a row: the same crisp drawing at any size.
    rects = []
    for y, row in enumerate(img):
        x = 0
        while x < SIZE:
            c = row[x]
            run = 1
            while x + run < SIZE and row[x + run] == c:
                run += 1
            if c is not None:
                rects.append(f'<rect x="{x}" y="{y}" width="{run}" height="1" fill="#%02x%02x%02x"/>' % PALETTE[c])
            x += run
    return ('<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32" width="256" height="256" '
            'shape-rendering="crispEdges">\n' + "\n".join(rects) + "\n</svg>\n")


if __name__ == "__main__":
    root = Path(__file__).resolve().parent.parent
    img = draw()
    icons = root / "packaging" / "icons"
    icons.mkdir(parents=True, exist_ok=True)
    for path, data in ((root / "app" / "comtester.ico", ico(img)), (icons / "comtester-32.png", png(img)),
                       (icons / "comtester.svg", svg(img).encode())):
        path.write_bytes(data)
        print(f"wrote {path}")
