#!/usr/bin/python3
"""Draw the launcher icon: icon.png (256 x 256 RGBA) and icon.ico.

Usage: make_icon.py
Needs Debian packages python3-pil and python3-numpy.

The emblem is a "V" made of two sword blades meeting at the point, light on
the dark red accent. Shapes are drawn 4x oversized and scaled down, which
gives clean anti-aliased edges without a vector renderer.

icon.ico holds a single 256x256 entry whose data is the PNG itself; Windows
(Vista and later) scales it for the small sizes, and windres accepts it.
"""
import io
import math
import os
import struct

import numpy as np
from PIL import Image, ImageDraw, ImageFilter

SIZE = 256
SS = 4                      # supersampling factor
S = SIZE * SS

ACCENT = (0x41, 0x00, 0x09)
ACCENT_LIGHT = (0x6A, 0x0E, 0x1C)   # top of the tile gradient
BLADE = (0xFF, 0xF8, 0xFC)
BLADE_SHADE = (0xE6, 0xD4, 0xE0)    # right-hand bevel of each blade
HILT = (0xF4, 0xE9, 0xF8)

HERE = os.path.dirname(os.path.abspath(__file__))
OUT_PNG = os.path.join(HERE, "icon.png")
OUT_ICO = os.path.join(HERE, "icon.ico")


def p(x, y):
    """Point in 256-unit design space -> supersampled pixels."""
    return (x * SS, y * SS)


def rounded_tile_mask(inset, radius):
    m = Image.new("L", (S, S), 0)
    ImageDraw.Draw(m).rounded_rectangle(
        (inset * SS, inset * SS, S - inset * SS - 1, S - inset * SS - 1),
        radius=radius * SS, fill=255)
    return m


def tile():
    """Dark red rounded square with a gentle top-to-bottom gradient."""
    y = np.linspace(0.0, 1.0, S)[:, None, None]
    top = np.array(ACCENT_LIGHT, dtype=np.float64)
    bottom = np.array(ACCENT, dtype=np.float64)
    grad = top * (1 - np.clip(y * 1.1, 0, 1)) + bottom * np.clip(y * 1.1, 0, 1)
    rgb = np.broadcast_to(grad, (S, S, 3)).astype(np.uint8)
    img = Image.fromarray(np.ascontiguousarray(rgb), "RGB").convert("RGBA")
    img.putalpha(rounded_tile_mask(8, 52))

    # Thin light rim just inside the edge: keeps the tile readable on dark
    # taskbars without a hard outline.
    rim = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    d = ImageDraw.Draw(rim)
    d.rounded_rectangle((8 * SS + 2 * SS, 8 * SS + 2 * SS,
                         S - 10 * SS - 1, S - 10 * SS - 1),
                        radius=50 * SS, outline=(255, 255, 255, 40), width=2 * SS)
    return Image.alpha_composite(img, rim)


def along(a, b, t):
    return (a[0] + (b[0] - a[0]) * t, a[1] + (b[1] - a[1]) * t)


def offset(pt, n, k):
    return (pt[0] + n[0] * k, pt[1] + n[1] * k)


def sword(draw, top, tip, blade_w):
    """One sword pointing from its hilt (top) down to tip, in design units."""
    dx, dy = tip[0] - top[0], tip[1] - top[1]
    length = math.hypot(dx, dy)
    u = (dx / length, dy / length)          # toward the tip
    n = (-u[1], u[0])                       # across the blade

    # Blade: straight edges, tapering over the last quarter to the point.
    shoulder = along(top, tip, 0.74)
    half = blade_w / 2
    left = [offset(top, n, half), offset(shoulder, n, half), tip]
    right = [offset(top, n, -half), offset(shoulder, n, -half), tip]
    draw.polygon([p(*q) for q in left + right[::-1][1:]], fill=BLADE)
    # Bevel: one half of the blade slightly darker reads as a ridge.
    bevel = [top, offset(top, n, -half), offset(shoulder, n, -half), tip]
    draw.polygon([p(*q) for q in bevel], fill=BLADE_SHADE)

    # Cross-guard, grip and pommel continue past the top, away from the tip.
    guard_c = offset(top, u, -3)
    gw, gt = 25, 5.5
    guard = [offset(offset(guard_c, n, gw), u, -gt), offset(offset(guard_c, n, gw), u, gt),
             offset(offset(guard_c, n, -gw), u, gt), offset(offset(guard_c, n, -gw), u, -gt)]
    draw.polygon([p(*q) for q in guard], fill=HILT)
    for end in (offset(guard_c, n, gw), offset(guard_c, n, -gw)):
        r = gt
        draw.ellipse((p(end[0] - r, end[1] - r), p(end[0] + r, end[1] + r)), fill=HILT)

    grip_a = offset(guard_c, u, -gt)
    grip_b = offset(guard_c, u, -gt - 20)
    gh = 4.5
    grip = [offset(grip_a, n, gh), offset(grip_b, n, gh),
            offset(grip_b, n, -gh), offset(grip_a, n, -gh)]
    draw.polygon([p(*q) for q in grip], fill=HILT)
    pommel = offset(grip_b, u, -4)
    r = 8
    draw.ellipse((p(pommel[0] - r, pommel[1] - r), p(pommel[0] + r, pommel[1] + r)),
                 fill=HILT)


def emblem():
    layer = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    d = ImageDraw.Draw(layer)
    tip = (128, 212)
    sword(d, (80, 78), tip, 26)
    sword(d, (176, 78), tip, 26)
    return layer


def shadow(layer):
    """Soft dark drop shadow under the emblem, for depth on the red."""
    a = layer.getchannel("A").filter(ImageFilter.GaussianBlur(5 * SS))
    sh = Image.new("RGBA", (S, S), (0x1A, 0x00, 0x04, 0))
    sh.putalpha(a.point(lambda v: v * 0.55))
    out = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    out.paste(sh, (0, 3 * SS))
    return out


def render():
    base = tile()
    mark = emblem()
    img = Image.alpha_composite(base, shadow(mark))
    img = Image.alpha_composite(img, mark)
    # keep the emblem and its shadow inside the tile's rounded outline
    img.putalpha(Image.composite(img.getchannel("A"), Image.new("L", (S, S), 0),
                                 rounded_tile_mask(8, 52)))
    return img.resize((SIZE, SIZE), Image.LANCZOS)


def png_bytes(img):
    buf = io.BytesIO()
    img.save(buf, "PNG", optimize=True)
    return buf.getvalue()


def ico_bytes(png):
    # ICONDIR (reserved, type 1 = icon, one entry) + ICONDIRENTRY.
    # Width/height byte 0 means 256; the image data is the PNG unchanged.
    header = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", 0, 0, 0, 0, 1, 32, len(png), 6 + 16)
    return header + entry + png


def main():
    img = render()
    png = png_bytes(img)
    with open(OUT_PNG, "wb") as f:
        f.write(png)
    with open(OUT_ICO, "wb") as f:
        f.write(ico_bytes(png))
    print("%s: %d bytes; %s: %d bytes" % (OUT_PNG, len(png), OUT_ICO,
                                         os.path.getsize(OUT_ICO)))


if __name__ == "__main__":
    main()
