#!/usr/bin/python3
"""Paint the launcher window background: background.jpg (680 x 470) and
the same picture at twice the resolution, background-2x.jpg (1360 x 940).

Usage: make_background.py                  writes both files
       make_background.py OUT.jpg          writes the 680 x 470 one to OUT.jpg
       make_background.py --scale 2 [OUT.jpg]
Needs Debian packages python3-pil and python3-numpy.

The central panel (28,28)-(652,402) covers most of the picture at 222/255
opacity, so the detail lives at the edges: mountain ridges in the bottom
strip, soft bands in two corners, a vignette. Saved as a baseline JPEG
because OleLoadPicture cannot decode progressive ones.

The picture is defined in 680 x 470 units: every position, radius, ridge
profile and edge width below is in those units whatever the raster size.
A raster at scale s samples it at pixel centres (i + 0.5) / s - 0.5, so
the 2x file is the same scene drawn finer, not the small one enlarged.
The random draws for the scene come first and do not depend on the scale;
only the grain after them is drawn per raster.
"""
import argparse
import os

import numpy as np
from PIL import Image

W, H = 680, 470  # picture units; the 1x raster has one pixel per unit
SEED = 4107  # fixed: the committed file must be reproducible
ACCENT = (0x41, 0x00, 0x09)

HERE = os.path.dirname(os.path.abspath(__file__))
OUTPUTS = {1: os.path.join(HERE, "background.jpg"),
           2: os.path.join(HERE, "background-2x.jpg")}


def centres(n, scale):
    """Pixel centres of an n * scale raster, in picture units (exact at 1x)."""
    return (np.arange(n * scale, dtype=np.float64) + 0.5) / scale - 0.5


def grid(scale):
    """Full (rows, columns) coordinate planes of the raster, as yy, xx."""
    ys, xs = centres(H, scale), centres(W, scale)
    yy = np.ascontiguousarray(np.repeat(ys[:, None], xs.size, axis=1))
    xx = np.ascontiguousarray(np.repeat(xs[None, :], ys.size, axis=0))
    return yy, xx


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


def glow(yy, xx, cx, cy, radius):
    return np.exp(-(((xx - cx) ** 2 + (yy - cy) ** 2) / (2.0 * radius ** 2)))


def ridge(rng, x, base, amplitude, roughness, octaves=6):
    """1-D fractal height profile (units from top) at the columns x."""
    h = np.zeros(x.size)
    amp, freq = amplitude, 1.0 / W
    for _ in range(octaves):
        phase = rng.uniform(0, 2 * np.pi)
        h += amp * np.sin(2 * np.pi * freq * x * rng.uniform(0.8, 1.3) + phase)
        # a second, skewed wave gives peaks rather than pure sine hills
        h += 0.5 * amp * np.abs(np.sin(np.pi * freq * 1.7 * x + phase * 1.3))
        amp *= roughness
        freq *= 2.1
    return base - h


def ridge_mask(yy, profile, soft=1.2):
    # soft edge, as wide as the anti-aliasing of a 1x pixel below the line
    return np.clip((yy - profile[None, :]) / soft + 0.5, 0.0, 1.0)


def paint(scale=1):
    rng = np.random.default_rng(SEED)
    yy, xx = grid(scale)

    # Sky: neutral light grey at the top left, pale rose toward the bottom
    # right, a touch of lilac on the left edge.
    top = rgb("#F4F4F6")
    bottom = rgb("#F1E8EE")
    t = smoothstep(0.0, 1.0, yy / H)[..., None]
    img = top * (1 - t) + bottom * t
    warm = smoothstep(0.2, 1.0, xx / W) * 0.55 + smoothstep(0.3, 1.0, yy / H) * 0.45
    img = over(img, rgb("#F2E4EC"), 0.6 * warm)
    img = over(img, rgb("#E8E5F1"), 0.5 * glow(yy, xx, 0, 250, 170))

    # Soft light sources: a glow behind the panel's top-left corner and a
    # rose haze low on the right, as if the light sits behind the ridges.
    img = over(img, rgb("#FFFFFF"), 0.6 * glow(yy, xx, 170, 60, 200))
    img = over(img, rgb("#F4D9E4"), 0.55 * glow(yy, xx, 560, 372, 110))

    # Diagonal sashes: translucent strips with soft but defined edges,
    # overlapping like layered paper, fading out toward the middle.
    def sash(nx, ny, lo, hi, edge=2.0):
        d = xx * nx + yy * ny
        return smoothstep(lo - edge, lo + edge, d) * smoothstep(hi + edge, hi - edge, d)

    n = (0.866, 0.5)  # strips run at 60 degrees, top-right corner
    fade_tr = glow(yy, xx, W + 20, -20, 205)
    strips = (0.07 * sash(*n, 560, 610) + 0.05 * sash(*n, 596, 690)
              + 0.09 * sash(*n, 640, 656) + 0.05 * sash(*n, 700, 760))
    img = over(img, ACCENT, strips * fade_tr)

    n2 = (-0.866, 0.5)  # mirrored, fainter, top-left corner
    fade_tl = glow(yy, xx, -20, -20, 175)
    strips = (0.06 * sash(*n2, -30, 10) + 0.07 * sash(*n2, -70, -58)
              + 0.04 * sash(*n2, -120, -80))
    img = over(img, ACCENT, strips * fade_tl)

    # A few soft motes of light along the right margin.
    for cx, cy, rad, a in ((618, 122, 14, 0.45), (664, 214, 9, 0.4),
                           (646, 300, 6, 0.35), (18, 168, 9, 0.35)):
        img = over(img, rgb("#FFFFFF"), a * glow(yy, xx, cx, cy, rad))

    # Mountains: three ranges, paler with distance. Only the nearest one
    # reaches a noticeable share of the accent colour.
    cols = centres(W, scale)
    far = ridge(rng, cols, 372, 20, 0.55)
    mid = ridge(rng, cols, 405, 17, 0.5)
    near = ridge(rng, cols, 438, 12, 0.5)
    img = over(img, rgb("#E2D3DE"), 0.75 * ridge_mask(yy, far))
    haze = smoothstep(470, 380, yy)  # lighter toward the ridge tops
    img = over(img, ACCENT, (0.10 + 0.05 * (1 - haze)) * ridge_mask(yy, mid))
    img = over(img, ACCENT, (0.20 + 0.14 * smoothstep(430, 470, yy)) * ridge_mask(yy, near))

    # A thin mist line between the ranges keeps them from merging.
    mist = np.exp(-((yy - (mid[None, :] + 18)) ** 2) / (2 * 9 ** 2))
    img = over(img, rgb("#F7EFF4"), 0.35 * mist * (1 - ridge_mask(yy, near)))

    # Vignette toward the edges, tinted with the accent rather than black.
    nx = (xx - W / 2) / (W / 2)
    ny = (yy - H / 2) / (H / 2)
    r = np.sqrt(nx ** 2 * 0.85 + ny ** 2)
    img = over(img, ACCENT, 0.11 * smoothstep(0.75, 1.45, r))

    # Fine grain hides gradient banding after JPEG compression. It is per
    # raster pixel, so the 2x file gets its own draw of the same strength.
    img += rng.normal(0.0, 0.9, size=(img.shape[0], img.shape[1], 1))
    return np.clip(np.rint(img), 0, 255).astype(np.uint8)


def save(scale, out):
    im = Image.fromarray(paint(scale), "RGB")
    # progressive=False and no optimize: plain baseline Huffman tables,
    # which every decoder (including OLE's) handles.
    im.save(out, "JPEG", quality=85, progressive=False, optimize=False,
            subsampling="4:2:0")
    print("%s: %dx%d, %d bytes" % (out, im.width, im.height,
                                   os.path.getsize(out)))


def main():
    ap = argparse.ArgumentParser(
        description="Paint background.jpg and background-2x.jpg.")
    ap.add_argument("out", nargs="?", metavar="OUT.jpg",
                    help="write one file here (the 1x one unless --scale 2)")
    ap.add_argument("--scale", type=int, choices=sorted(OUTPUTS),
                    help="paint only this raster size")
    args = ap.parse_args()
    if args.out is None and args.scale is None:
        for scale in sorted(OUTPUTS):
            save(scale, OUTPUTS[scale])
        return
    scale = args.scale or 1
    save(scale, args.out or OUTPUTS[scale])


if __name__ == "__main__":
    main()
