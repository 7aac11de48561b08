#!/usr/bin/env python3
"""Writes morcelix.ico: a page with a folded corner, cut into three pieces that
drift apart, in nine images (16, 32 and 48 pixels; 16 colours, 256 colours and
24-bit). Only the standard library: the ICO and its bitmaps are written by hand.

Usage: make_icon.py [OUTPUT]   (default: morcelix.ico beside this script)
"""
import os
import struct
import sys

# The colours of the drawing. Every one is in the standard 16-colour palette,
# so the 4-bit images need no dithering.
TRANSPARENT = None
OUTLINE = (0, 0, 0)
PAPER = (255, 255, 255)
FOLD = (192, 192, 192)
LINES = (0, 0, 128)
CUT = (255, 0, 0)

VGA_PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


def draw(size):
    """The picture as rows (top first) of colours or TRANSPARENT."""
    s = size / 16.0
    pixels = [[TRANSPARENT] * size for _ in range(size)]

    left, right = round(3 * s), round(12 * s) - 1
    fold = max(2, round(3 * s))
    # Three slices of the page, separated by one-pixel gaps (two at 48), each
    # pushed a little further right than the one above it.
    gap = 1 if size < 48 else 2
    bounds = [(round(1 * s), round(5.5 * s) - 1),
              (round(5.5 * s) + gap, round(10 * s) - 1),
              (round(10 * s) + gap, round(15 * s) - 1)]
    shifts = [0, round(1 * s), round(2 * s)]

    page_top = bounds[0][0]
    step = max(2, round(1.5 * s))
    inset = max(1, round(s))
    for piece, ((top, bottom), shift) in enumerate(zip(bounds, shifts)):
        for y in range(top, bottom + 1):
            for x in range(left, right + 1):
                dx, dy = right - x, y - page_top
                if dx + dy < fold:
                    continue  # cut away by the folded corner
                if x in (left, right) or y in (top, bottom) or dx + dy == fold:
                    colour = OUTLINE
                elif dx <= fold and dy <= fold:
                    # The dog-ear: grey, closed by the fold's two edges.
                    colour = OUTLINE if fold in (dx, dy) else FOLD
                elif (left + inset < x < right - inset and top + 1 < y < bottom - 1 and
                      (y - top) % step == 0 and not (dy <= fold + 1 and dx <= fold + 1)):
                    colour = LINES  # lines of text on the paper
                else:
                    colour = PAPER
                if 0 <= x + shift < size:
                    pixels[y][x + shift] = colour
    # The cuts: a short red mark in each gap, left of the page.
    for (top, _), gap_top in zip(bounds[1:], [b[1] for b in bounds[:-1]]):
        for y in range(gap_top + 1, top):
            for x in range(0, max(2, round(2.5 * s))):
                pixels[y][x] = CUT
    return pixels


def row_bytes(bits_per_pixel, width):
    return ((bits_per_pixel * width + 31) // 32) * 4


def bitmap(size, bits):
    """One icon image: BITMAPINFOHEADER, palette, colour bits and AND mask."""
    pixels = draw(size)
    if bits == 4:
        palette = VGA_PALETTE
    elif bits == 8:
        palette = VGA_PALETTE + [(0, 0, 0)] * (256 - 16)
    else:
        palette = []
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, bits, 0, 0, 0, 0,
                         len(palette), 0)
    table = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)

    colour_rows = []
    mask_rows = []
    for row in reversed(pixels):  # bottom-up
        values = []
        mask = 0
        for x, colour in enumerate(row):
            if colour is TRANSPARENT:
                mask |= 1 << (size - 1 - x)
                colour = (0, 0, 0)
            values.append(colour)
        if bits == 24:
            data = b''.join(struct.pack('<BBB', b, g, r) for r, g, b in values)
        else:
            indices = [palette.index(c) for c in values]
            if bits == 8:
                data = bytes(indices)
            else:
                data = bytes((indices[i] << 4) | indices[i + 1] for i in range(0, size, 2))
        colour_rows.append(data.ljust(row_bytes(bits, size), b'\0'))
        mask_bytes = mask.to_bytes((size + 7) // 8, 'big')
        mask_rows.append(mask_bytes.ljust(row_bytes(1, size), b'\0'))
    return header + table + b''.join(colour_rows) + b''.join(mask_rows)


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), 'morcelix.ico')
    images = [(size, bits) for bits in (4, 8, 24) for size in (16, 32, 48)]
    blobs = [bitmap(size, bits) for size, bits in images]
    directory = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (size, bits), blob in zip(images, blobs):
        colours = 16 if bits == 4 else 0
        directory += struct.pack('<BBBBHHII', size, size, colours, 0, 1, bits, len(blob), offset)
        offset += len(blob)
    with open(output, 'wb') as f:
        f.write(directory + b''.join(blobs))


if __name__ == '__main__':
    main()
