#!/usr/bin/env python3
"""Draws the host's icons as PNG files, with nothing but the standard library.

    resources/draw_icons.py [OUTPUT_FOLDER]    (default: the folder of this script)

Writes the tray glyph Velmora-MenuBar-Icon.png (18x18) and its @2x (36x36), black on transparent
so that desktops can tint it like a template image, and the application icon velmora-host.png
(256x256). The PNG files are committed; run this again only after changing a drawing.
"""

import math
import struct
import sys
import zlib
from pathlib import Path

# Every drawing is laid out on an 18 x 18 grid and scaled to the output size.
GRID = 18.0
SUBSAMPLES = 4  # per pixel and axis, for smooth edges


def rounded_rectangle_distance(x, y, left, top, right, bottom, radius):
    """Signed distance from (x, y) to the edge of a rounded rectangle (negative inside)."""
    half_width = (right - left) / 2 - radius
    half_height = (bottom - top) / 2 - radius
    dx = abs(x - (left + right) / 2) - half_width
    dy = abs(y - (top + bottom) / 2) - half_height
    outside = math.hypot(max(dx, 0.0), max(dy, 0.0))
    return outside + min(max(dx, dy), 0.0) - radius


def screen_glyph(x, y):
    """A monitor outline on a stand: 1 where the glyph covers the point, else 0."""
    # Outer edges on whole grid units, so that the 18-pixel glyph stays sharp.
    frame = rounded_rectangle_distance(x, y, 1.75, 2.75, 16.25, 12.25, 1.5)
    if abs(frame) <= 0.75:
        return 1.0
    neck = 8.0 <= x <= 10.0 and 12.5 <= y <= 14.5
    base = rounded_rectangle_distance(x, y, 5.0, 14.5, 13.0, 16.0, 0.5) <= 0
    # A play mark in the screen: the host streams what it shows.
    in_triangle = 7.5 <= x and abs(y - 7.5) <= (11.25 - x) * 0.6
    return 1.0 if neck or base or in_triangle else 0.0


def screen_interior(x, y):
    return 1.0 if rounded_rectangle_distance(x, y, 2.5, 3.5, 15.5, 11.5, 0.75) <= 0 else 0.0


def application_background(x, y):
    return 1.0 if rounded_rectangle_distance(x, y, 0.5, 0.5, 17.5, 17.5, 3.75) <= 0 else 0.0


def scaled(shape, factor):
    """The shape shrunk by `factor` around the grid's centre."""
    centre = GRID / 2
    return lambda x, y: shape(centre + (x - centre) / factor, centre + (y - centre) / factor)


def coverage(shape, size, column, row):
    step = GRID / size / SUBSAMPLES
    total = 0.0
    for sub_row in range(SUBSAMPLES):
        y = (row * SUBSAMPLES + sub_row + 0.5) * step
        for sub_column in range(SUBSAMPLES):
            x = (column * SUBSAMPLES + sub_column + 0.5) * step
            total += shape(x, y)
    return total / (SUBSAMPLES * SUBSAMPLES)


def render(size, layers):
    """Paints `layers` ((shape, colour function of the row fraction)) in order, over transparency.

    Returns rows of straight-alpha RGBA bytes.
    """
    rows = []
    for row in range(size):
        line = bytearray()
        for column in range(size):
            red = green = blue = alpha = 0.0  # premultiplied
            for shape, colour in layers:
                covered = coverage(shape, size, column, row)
                if covered == 0.0:
                    continue
                layer_red, layer_green, layer_blue, layer_alpha = colour((row + 0.5) / size)
                weight = covered * layer_alpha
                red = layer_red * weight + red * (1 - weight)
                green = layer_green * weight + green * (1 - weight)
                blue = layer_blue * weight + blue * (1 - weight)
                alpha = weight + alpha * (1 - weight)
            if alpha > 0:
                red, green, blue = red / alpha, green / alpha, blue / alpha
            line += bytes(round(channel * 255) for channel in (red, green, blue, alpha))
        rows.append(bytes(line))
    return rows


def png_bytes(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA, no interlace
    pixels = b"".join(b"\x00" + row for row in rows)  # filter type 0 on every row
    signature = b"\x89PNG\r\n\x1a\n"
    return signature + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b"")


def solid(red, green, blue, alpha=1.0):
    return lambda _: (red, green, blue, alpha)


def vertical_gradient(top, bottom):
    return lambda fraction: tuple(a + (b - a) * fraction for a, b in zip(top, bottom))


def main():
    output = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).resolve().parent
    output.mkdir(parents=True, exist_ok=True)
    template = [(screen_glyph, solid(0, 0, 0))]
    application = [
        (application_background, vertical_gradient((0.20, 0.42, 0.93, 1.0), (0.10, 0.22, 0.62, 1.0))),
        (scaled(screen_interior, 0.72), solid(1, 1, 1, 0.16)),
        (scaled(screen_glyph, 0.72), solid(1, 1, 1)),
    ]
    for name, size, layers in [
        ("Velmora-MenuBar-Icon.png", 18, template),
        ("Velmora-MenuBar-Icon@2x.png", 36, template),
        ("velmora-host.png", 256, application),
    ]:
        (output / name).write_bytes(png_bytes(size, render(size, layers)))
        print(f"wrote {output / name}")


if __name__ == "__main__":
    main()
