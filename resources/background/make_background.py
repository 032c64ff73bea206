#!/usr/bin/python3
"""Paint the launcher window background, background.jpg (680 x 470).

Usage: make_background.py [OUT.jpg]
Needs Debian packages python3-pil and python3-numpy.

The central panel (28,28)-(652,402) covers most of the picture at 222/255
opacity, so the detail lives at the edges: mountain ridges in the bottom
strip, soft bands in two corners, a vignette. Saved as a baseline JPEG
because OleLoadPicture cannot decode progressive ones.
"""
import os
import sys

import numpy as np
from PIL import Image

W, H = 680, 470
SEED = 4107  # fixed: the committed file must be reproducible
ACCENT = (0x41, 0x00, 0x09)

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "background.jpg")

yy, xx = np.mgrid[0:H, 0:W].astype(np.float64)


def rgb(hex_colour):
    h = hex_colour.lstrip("#")
    return np.array([int(h[i:i + 2], 16) for i in (0, 2, 4)], dtype=np.float64)


def over(img, colour, alpha):
    """Blend a flat colour over img with a per-pixel alpha map."""
    a = np.clip(alpha, 0.0, 1.0)[..., None]
    return img * (1.0 - a) + np.asarray(colour, dtype=np.float64) * a


def smoothstep(e0, e1, x):
    t = np.clip((x - e0) / (e1 - e0), 0.0, 1.0)
    return t * t * (3.0 - 2.0 * t)


def glow(cx, cy, radius):
    return np.exp(-(((xx - cx) ** 2 + (yy - cy) ** 2) / (2.0 * radius ** 2)))


def ridge(rng, base, amplitude, roughness, octaves=6):
    """1-D fractal height profile (pixels from top) across the width."""
    x = np.arange(W, dtype=np.float64)
    h = np.zeros(W)
    amp, freq = amplitude, 1.0 / W
    for _ in range(octaves):
        phase = rng.uniform(0, 2 * np.pi)
        h += amp * np.sin(2 * np.pi * freq * x * rng.uniform(0.8, 1.3) + phase)
        # a second, skewed wave gives peaks rather than pure sine hills
        h += 0.5 * amp * np.abs(np.sin(np.pi * freq * 1.7 * x + phase * 1.3))
        amp *= roughness
        freq *= 2.1
    return base - h


def ridge_mask(profile, soft=1.2):
    # anti-aliased edge: fraction of the pixel below the ridge line
    return np.clip((yy - profile[None, :]) / soft + 0.5, 0.0, 1.0)


def paint():
    rng = np.random.default_rng(SEED)

    # Sky: neutral light grey at the top left, pale rose toward the bottom
    # right, a touch of lilac on the left edge.
    top = rgb("#F4F4F6")
    bottom = rgb("#F1E8EE")
    t = smoothstep(0.0, 1.0, yy / H)[..., None]
    img = top * (1 - t) + bottom * t
    warm = smoothstep(0.2, 1.0, xx / W) * 0.55 + smoothstep(0.3, 1.0, yy / H) * 0.45
    img = over(img, rgb("#F2E4EC"), 0.6 * warm)
    img = over(img, rgb("#E8E5F1"), 0.5 * glow(0, 250, 170))

    # Soft light sources: a glow behind the panel's top-left corner and a
    # rose haze low on the right, as if the light sits behind the ridges.
    img = over(img, rgb("#FFFFFF"), 0.6 * glow(170, 60, 200))
    img = over(img, rgb("#F4D9E4"), 0.55 * glow(560, 372, 110))

    # Diagonal sashes: translucent strips with soft but defined edges,
    # overlapping like layered paper, fading out toward the middle.
    def sash(nx, ny, lo, hi, edge=2.0):
        d = xx * nx + yy * ny
        return smoothstep(lo - edge, lo + edge, d) * smoothstep(hi + edge, hi - edge, d)

    n = (0.866, 0.5)  # strips run at 60 degrees, top-right corner
    fade_tr = glow(W + 20, -20, 205)
    strips = (0.07 * sash(*n, 560, 610) + 0.05 * sash(*n, 596, 690)
              + 0.09 * sash(*n, 640, 656) + 0.05 * sash(*n, 700, 760))
    img = over(img, ACCENT, strips * fade_tr)

    n2 = (-0.866, 0.5)  # mirrored, fainter, top-left corner
    fade_tl = glow(-20, -20, 175)
    strips = (0.06 * sash(*n2, -30, 10) + 0.07 * sash(*n2, -70, -58)
              + 0.04 * sash(*n2, -120, -80))
    img = over(img, ACCENT, strips * fade_tl)

    # A few soft motes of light along the right margin.
    for cx, cy, rad, a in ((618, 122, 14, 0.45), (664, 214, 9, 0.4),
                           (646, 300, 6, 0.35), (18, 168, 9, 0.35)):
        img = over(img, rgb("#FFFFFF"), a * glow(cx, cy, rad))

    # Mountains: three ranges, paler with distance. Only the nearest one
    # reaches a noticeable share of the accent colour.
    far = ridge(rng, 372, 20, 0.55)
    mid = ridge(rng, 405, 17, 0.5)
    near = ridge(rng, 438, 12, 0.5)
    img = over(img, rgb("#E2D3DE"), 0.75 * ridge_mask(far))
    haze = smoothstep(470, 380, yy)  # lighter toward the ridge tops
    img = over(img, ACCENT, (0.10 + 0.05 * (1 - haze)) * ridge_mask(mid))
    img = over(img, ACCENT, (0.20 + 0.14 * smoothstep(430, 470, yy)) * ridge_mask(near))

    # A thin mist line between the ranges keeps them from merging.
    mist = np.exp(-((yy - (mid[None, :] + 18)) ** 2) / (2 * 9 ** 2))
    img = over(img, rgb("#F7EFF4"), 0.35 * mist * (1 - ridge_mask(near)))

    # Vignette toward the edges, tinted with the accent rather than black.
    nx = (xx - W / 2) / (W / 2)
    ny = (yy - H / 2) / (H / 2)
    r = np.sqrt(nx ** 2 * 0.85 + ny ** 2)
    img = over(img, ACCENT, 0.11 * smoothstep(0.75, 1.45, r))

    # Fine grain hides gradient banding after JPEG compression.
    img += rng.normal(0.0, 0.9, size=(H, W, 1))
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else OUT
    im = Image.fromarray(paint(), "RGB")
    # progressive=False and no optimize: plain baseline Huffman tables,
    # which every decoder (including OLE's) handles.
    im.save(out, "JPEG", quality=85, progressive=False, optimize=False,
            subsampling="4:2:0")
    print("%s: %dx%d, %d bytes" % (out, W, H, os.path.getsize(out)))


if __name__ == "__main__":
    main()
