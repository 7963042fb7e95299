#!/usr/bin/env python3
"""Draws the application icon: a blue rounded square with a white arrow bent
into a circle (an update), at 16, 24, 32, 48, 64, 128 and 256 pixels, each
stored as a PNG image inside one .ico file. Standard library only, so the
output is the same on every machine.

    python3 resources/make_icon.py resources/patcher-updater.ico
"""
import math
import struct
import sys
import zlib

SIZES = (16, 24, 32, 48, 64, 128, 256)
SUPERSAMPLE = 4


def coverage(x, y):
    """Colour (r, g, b, a) of the point (x, y) in the unit square."""
    # Rounded square background.
    margin, radius = 0.04, 0.2
    dx = max(margin + radius - x, x - (1 - margin - radius), 0)
    dy = max(margin + radius - y, y - (1 - margin - radius), 0)
    if dx * dx + dy * dy > radius * radius:
        return (0, 0, 0, 0)
    top = (40, 110, 220)
    bottom = (20, 70, 160)
    background = tuple(int(t + (b - t) * y) for t, b in zip(top, bottom)) + (255,)

    # A ring, open at the upper right, ending in an arrow head.
    cx, cy = 0.5, 0.52
    r = math.hypot(x - cx, y - cy)
    angle = math.degrees(math.atan2(cy - y, x - cx)) % 360
    if 0.22 <= r <= 0.32 and not (20 <= angle <= 75):
        return (255, 255, 255, 255)
    # Arrow head at the ring's end (angle 75 degrees), pointing clockwise.
    tip_angle = math.radians(75)
    hx, hy = cx + 0.27 * math.cos(tip_angle), cy - 0.27 * math.sin(tip_angle)
    # Triangle pointing to the right (clockwise along the top of the ring).
    ax, ay = hx + 0.16, hy
    bx, by = hx - 0.02, hy - 0.13
    qx, qy = hx - 0.02, hy + 0.13

    def side(px, py, ux, uy, vx, vy):
        return (px - vx) * (uy - vy) - (ux - vx) * (py - vy)

    d1, d2, d3 = side(x, y, ax, ay, bx, by), side(x, y, bx, by, qx, qy), side(x, y, qx, qy, ax, ay)
    has_neg = d1 < 0 or d2 < 0 or d3 < 0
    has_pos = d1 > 0 or d2 > 0 or d3 > 0
    if not (has_neg and has_pos):
        return (255, 255, 255, 255)
    return background


def render(size):
    rows = []
    n = SUPERSAMPLE
    for py in range(size):
        row = bytearray([0])  # PNG filter type: none
        for px in range(size):
            acc = [0, 0, 0, 0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = coverage((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3]:
                row += bytes(int(round(c / acc[3])) for c in acc[:3])
            else:
                row += b"\0\0\0"
            row.append(int(round(alpha)))
        rows.append(bytes(row))
    return png(size, b"".join(rows))


def png(size, raw):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def ico(images):
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    entries, data = b"", b""
    for size, image in images:
        dim = 0 if size >= 256 else size
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(image), offset + len(data))
        data += image
    return out + entries + data


def main():
    target = sys.argv[1] if len(sys.argv) > 1 else "patcher-updater.ico"
    with open(target, "wb") as f:
        f.write(ico([(size, render(size)) for size in SIZES]))


if __name__ == "__main__":
    main()
