#!/usr/bin/python3
"""Draws the default product icon, resources/icon.png (256x256, RGBA).

A blue rounded tile with a parcel on it: one package that holds everything.
Drawn four times larger and scaled down, so that the edges are smooth.

Usage: resources/make_icon.py [OUTPUT]   (needs Debian's python3-pil)
"""
import os
import sys

from PIL import Image, ImageDraw

SIZE = 256
SCALE = 4
S = SIZE * SCALE


def scaled(points):
    return [(x * SCALE, y * SCALE) for x, y in points]


def tile():
    """The rounded background tile with a top-to-bottom gradient."""
    top, bottom = (59, 130, 246), (30, 58, 138)
    gradient = Image.new("RGBA", (S, S))
    draw = ImageDraw.Draw(gradient)
    for y in range(S):
        t = y / (S - 1)
        colour = tuple(round(a + (b - a) * t) for a, b in zip(top, bottom))
        draw.line([(0, y), (S, y)], fill=colour + (255,))
    mask = Image.new("L", (S, S), 0)
    margin = 8 * SCALE
    ImageDraw.Draw(mask).rounded_rectangle(
        [margin, margin, S - margin - 1, S - margin - 1], radius=44 * SCALE, fill=255)
    out = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    out.paste(gradient, (0, 0), mask)
    return out


def parcel(image):
    """An isometric box: three faces and a band of tape over the top."""
    draw = ImageDraw.Draw(image)
    centre, top_y, half, depth, height = 128, 52, 76, 40, 92
    top = [(centre, top_y), (centre + half, top_y + depth), (centre, top_y + 2 * depth),
           (centre - half, top_y + depth)]
    left = [(centre - half, top_y + depth), (centre, top_y + 2 * depth),
            (centre, top_y + 2 * depth + height), (centre - half, top_y + depth + height)]
    right = [(centre, top_y + 2 * depth), (centre + half, top_y + depth),
             (centre + half, top_y + depth + height), (centre, top_y + 2 * depth + height)]
    draw.polygon(scaled(top), fill=(253, 230, 138, 255))
    draw.polygon(scaled(left), fill=(245, 158, 11, 255))
    draw.polygon(scaled(right), fill=(180, 83, 9, 255))
    # The tape runs over the top face and down the front of the left face.
    w = 11
    tape_top = [(centre - half / 2 - w, top_y + depth / 2 + w / 2),
                (centre + half / 2 - w, top_y + 3 * depth / 2 + w / 2),
                (centre + half / 2 + w, top_y + 3 * depth / 2 - w / 2),
                (centre - half / 2 + w, top_y + depth / 2 - w / 2)]
    draw.polygon(scaled(tape_top), fill=(255, 255, 255, 235))
    outline = (120, 53, 15, 255)
    for face in (top, left, right):
        draw.line(scaled(face + face[:1]), fill=outline, width=3 * SCALE, joint="curve")


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "icon.png")
    image = tile()
    parcel(image)
    image = image.resize((SIZE, SIZE), Image.LANCZOS)
    image.save(output, "PNG", optimize=True)


if __name__ == "__main__":
    main()
