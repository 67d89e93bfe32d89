#!/usr/bin/env python3
"""Draws the Windows program's icons and its logo bitmap and writes them as .ico and .bmp.

Usage: make_pictures.py OUTDIR
Every picture is computed from a few shapes (rounded square, ring, arrow) with 4x4
supersampling, so the files are reproducible and nobody has to draw them by hand.
"""
import math
import os
import struct
import sys

ICON_SIZES = (48, 32, 24, 16)
SS = 4  # supersampling per axis


# ---------------------------------------------------------------- shapes (unit square 0..1)

def in_rounded_square(x, y, margin, radius):
    lo, hi = margin, 1.0 - margin
    if x < lo or x > hi or y < lo or y > hi:
        return False
    cx = min(max(x, lo + radius), hi - radius)
    cy = min(max(y, lo + radius), hi - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def in_letter_c(x, y, cx=0.44, cy=0.5, r_out=0.30, r_in=0.18, gap_deg=50):
    """A ring around (cx, cy) open towards the right (the letter C)."""
    d = math.hypot(x - cx, y - cy)
    if d < r_in or d > r_out:
        return False
    ang = math.degrees(math.atan2(-(y - cy), x - cx))  # 0 = right, counter-clockwise
    return abs(ang) > gap_deg


def in_arrow(x, y, x_tail, x_head, cy=0.5, shaft=0.055, head_len=0.14, head_half=0.12):
    """A horizontal arrow from x_tail to x_head (either direction)."""
    direction = 1.0 if x_head > x_tail else -1.0
    # distance along the arrow from the tail
    t = (x - x_tail) * direction
    length = abs(x_head - x_tail)
    if t < 0 or t > length:
        return False
    dy = abs(y - cy)
    head_start = length - head_len
    if t <= head_start:
        return dy <= shaft
    # inside the triangular head: half-width shrinks linearly to 0 at the tip
    return dy <= head_half * (length - t) / head_len


def in_lines(x, y):
    """Text lines of a console window."""
    rows = [(0.30, 0.70), (0.42, 0.55), (0.54, 0.78), (0.66, 0.48)]
    for ry, right in rows:
        if abs(y - ry) <= 0.03 and 0.22 <= x <= right:
            return True
    return False


# ---------------------------------------------------------------- pictures

BLUE = (0x1E, 0x5A, 0xD2)
RED = (0xD2, 0x28, 0x28)
TEAL = (0x0E, 0x7C, 0x7B)
NAVY = (0x24, 0x34, 0x6C)
CHARCOAL = (0x2E, 0x33, 0x38)
WHITE = (0xFF, 0xFF, 0xFF)
GREEN_TEXT = (0x7C, 0xE0, 0x7C)


def picture_tray(background, arrow_in):
    """Square with a white C; the arrow points into the C (in) or out of it (out)."""
    def shade(x, y):
        if not in_rounded_square(x, y, 0.03, 0.12):
            return None
        if in_letter_c(x, y):
            return WHITE
        if arrow_in and in_arrow(x, y, x_tail=0.97, x_head=0.46):
            return WHITE
        if not arrow_in and in_arrow(x, y, x_tail=0.44, x_head=0.97):
            return WHITE
        return background
    return shade


def picture_app(background):
    """The program's own icon: a C with arrows both ways (the gateway)."""
    def shade(x, y):
        if not in_rounded_square(x, y, 0.03, 0.16):
            return None
        if in_letter_c(x, y, cx=0.40, r_out=0.28, r_in=0.17, gap_deg=55):
            return WHITE
        if in_arrow(x, y, 0.50, 0.95, cy=0.36, shaft=0.045, head_len=0.13, head_half=0.10):
            return WHITE
        if in_arrow(x, y, 0.95, 0.50, cy=0.64, shaft=0.045, head_len=0.13, head_half=0.10):
            return WHITE
        return background
    return shade


def picture_console():
    def shade(x, y):
        if not in_rounded_square(x, y, 0.05, 0.08):
            return None
        if y < 0.18:
            return (0x5A, 0x64, 0x6E)  # title bar
        if in_lines(x, y):
            return GREEN_TEXT
        return CHARCOAL
    return shade


def render(shade, size):
    """Returns rows (top first) of (r, g, b, a) with supersampled coverage."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0]
            hits = 0
            for sy in range(SS):
                for sx in range(SS):
                    x = (px + (sx + 0.5) / SS) / size
                    y = (py + (sy + 0.5) / SS) / size
                    c = shade(x, y)
                    if c is not None:
                        hits += 1
                        for i in range(3):
                            acc[i] += c[i]
            if hits == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(acc[0] / hits), round(acc[1] / hits), round(acc[2] / hits),
                            round(255 * hits / (SS * SS))))
        rows.append(row)
    return rows


# ---------------------------------------------------------------- file formats

def ico_image(rows, size):
    """One icon image: BITMAPINFOHEADER, 32-bit BGRA bottom-up, then the AND mask."""
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((size + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + bytes(pixels) + bytes(mask)


def write_ico(path, shade):
    images = [ico_image(render(shade, s), s) for s in ICON_SIZES]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip(ICON_SIZES, images):
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    write_if_changed(path, bytes(out))


def logo_shade(x, y):
    """The picture in the main window: a card terminal with a card, on a light panel."""
    # terminal body
    if 0.18 <= x <= 0.62 and 0.12 <= y <= 0.92 and in_rounded_square(
            (x - 0.18) / 0.44, (y - 0.12) / 0.80, 0.0, 0.10):
        if 0.24 <= x <= 0.56 and 0.18 <= y <= 0.42:
            return (0x9F, 0xD8, 0xA8)  # screen
        for row in range(4):
            for col in range(3):
                kx, ky = 0.27 + col * 0.11, 0.52 + row * 0.095
                if abs(x - kx) <= 0.035 and abs(y - ky) <= 0.03:
                    return (0xE8, 0xE8, 0xE8)
        return (0x33, 0x3A, 0x44)
    # card entering from the right
    if 0.50 <= x <= 0.92 and 0.06 <= y <= 0.34:
        if 0.50 <= x <= 0.92 and 0.12 <= y <= 0.17:
            return (0x22, 0x22, 0x22)  # magnetic stripe
        if 0.56 <= x <= 0.66 and 0.22 <= y <= 0.29:
            return (0xE0, 0xC0, 0x40)  # chip
        return BLUE
    return (0xF0, 0xF0, 0xF0)


def write_bmp(path, shade, width, height):
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0, 0, 0]
            for sy in range(SS):
                for sx in range(SS):
                    c = shade((px + (sx + 0.5) / SS) / width, (py + (sy + 0.5) / SS) / height)
                    for i in range(3):
                        acc[i] += c[i]
            row.append(tuple(round(v / (SS * SS)) for v in acc))
        rows.append(row)
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        pixels += line
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(pixels), 0, 0, 14 + len(info))
    write_if_changed(path, head + info + bytes(pixels))


def write_if_changed(path, data):
    try:
        with open(path, 'rb') as f:
            if f.read() == data:
                return
    except OSError:
        pass
    with open(path, 'wb') as f:
        f.write(data)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write('usage: make_pictures.py OUTDIR\n')
        return 2
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    write_ico(os.path.join(out, 'brisca.ico'), picture_app(TEAL))          # 131
    write_ico(os.path.join(out, 'brisca_start.ico'), picture_app(NAVY))    # 137
    write_ico(os.path.join(out, 'console.ico'), picture_console())         # 141
    write_ico(os.path.join(out, 'tray_idle.ico'), picture_tray(BLUE, True))     # 142
    write_ico(os.path.join(out, 'tray_answer.ico'), picture_tray(RED, False))   # 143
    write_bmp(os.path.join(out, 'logo.bmp'), logo_shade, 64, 64)            # 140
    return 0


if __name__ == '__main__':
    sys.exit(main())
