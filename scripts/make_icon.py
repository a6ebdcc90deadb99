#!/usr/bin/env python3
"""Draws the launcher's icon: a compass needle pointing north on a blue disc.

Writes an .ico with three 256-colour images, 32x32, 16x16 and 48x48, in that order.
Usage: make_icon.py OUTPUT.ico
"""
import math
import struct
import sys

SIZES = (32, 16, 48)
SAMPLES = 4  # per axis, for smooth edges

# Palette: 0 is transparent black; 1-200 a blue ramp for the disc; 201-240 a ramp from white to
# warm red for the needle; the rest unused.
def palette():
    colours = [(0, 0, 0)]
    for i in range(200):
        t = i / 199
        colours.append((int(20 + 40 * t), int(60 + 110 * t), int(120 + 120 * t)))
    for i in range(40):
        t = i / 39
        colours.append((int(255 - 35 * t), int(250 - 190 * t), int(245 - 200 * t)))
    while len(colours) < 256:
        colours.append((0, 0, 0))
    return colours


def inside_triangle(px, py, a, b, c):
    def side(p, q, r):
        return (p[0] - r[0]) * (q[1] - r[1]) - (q[0] - r[0]) * (p[1] - r[1])
    d1, d2, d3 = side((px, py), a, b), side((px, py), b, c), side((px, py), c, a)
    has_neg = d1 < 0 or d2 < 0 or d3 < 0
    has_pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (has_neg and has_pos)


def shade(x, y):
    """Colour index and coverage weight of one sample at (x, y) in the unit square."""
    cx, cy = x - 0.5, y - 0.5
    r = math.hypot(cx, cy)
    if r > 0.47:
        return None
    north = ((0.5, 0.12), (0.38, 0.52), (0.62, 0.52))
    south = ((0.5, 0.88), (0.38, 0.52), (0.62, 0.52))
    if inside_triangle(x, y, *north):
        return 240 - int(10 * (y - 0.12) / 0.4)
    if inside_triangle(x, y, *south):
        return 201 + int(6 * (0.88 - y) / 0.36)
    light = 1 - min(1.0, math.hypot(cx + 0.18, cy + 0.18) / 0.8)
    return 1 + int(199 * light)


def render(size):
    indices, mask = [], []
    for row in range(size):
        for col in range(size):
            hits = []
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    value = shade((col + (sx + 0.5) / SAMPLES) / size,
                                  (row + (sy + 0.5) / SAMPLES) / size)
                    if value is not None:
                        hits.append(value)
            opaque = len(hits) * 2 >= SAMPLES * SAMPLES
            indices.append(max(set(hits), key=hits.count) if opaque else 0)
            mask.append(0 if opaque else 1)
    return indices, mask


def bitmap(size):
    indices, mask = render(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 8, 0, 0, 0, 0, 256, 0)
    colours = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette())
    pixel_rows, mask_rows = [], []
    row_pad = (4 - size % 4) % 4
    mask_bytes = (size + 7) // 8
    mask_pad = (4 - mask_bytes % 4) % 4
    for row in reversed(range(size)):  # bottom-up
        pixel_rows.append(bytes(indices[row * size:(row + 1) * size]) + b'\0' * row_pad)
        bits = bytearray(mask_bytes)
        for col in range(size):
            if mask[row * size + col]:
                bits[col // 8] |= 0x80 >> (col % 8)
        mask_rows.append(bytes(bits) + b'\0' * mask_pad)
    return header + colours + b''.join(pixel_rows) + b''.join(mask_rows)


def main():
    images = [bitmap(size) for size in SIZES]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, image in zip(SIZES, images):
        out += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 8, len(image), offset)
        offset += len(image)
    out += b''.join(images)
    with open(sys.argv[1], 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main()
