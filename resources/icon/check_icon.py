#!/usr/bin/python3
"""Check icon.ico (and the icon.png next to it) for the launcher's resources.

Usage: check_icon.py icon.ico [icon.png]
Exits 1 and lists every problem found; prints OK otherwise.
Needs python3-pil for the pixel checks.
"""
import io
import struct
import sys

from PIL import Image

PNG_SIG = b"\x89PNG\r\n\x1a\n"


def check(ico_path, png_path=None):
    problems = []
    with open(ico_path, "rb") as f:
        data = f.read()
    if len(data) < 22:
        return ["file too short for an ICO header"]
    reserved, kind, count = struct.unpack("<HHH", data[:6])
    if reserved != 0 or kind != 1:
        problems.append("header reserved=%d type=%d, want 0 and 1 (icon)" % (reserved, kind))
    if count != 1:
        problems.append("%d directory entries, want exactly 1" % count)
    w, h, colours, res, planes, bpp, size, off = struct.unpack("<BBBBHHII", data[6:22])
    if (w, h) != (0, 0):
        problems.append("entry size bytes %d x %d, want 0 x 0 (256)" % (w, h))
    if colours != 0 or res != 0:
        problems.append("entry colour count/reserved %d/%d, want 0/0" % (colours, res))
    if planes != 1:
        problems.append("planes %d, want 1" % planes)
    if bpp != 32:
        problems.append("bit count %d, want 32" % bpp)
    if off != 6 + 16 * count:
        problems.append("image offset %d, want %d" % (off, 6 + 16 * count))
    if off + size != len(data):
        problems.append("entry claims %d bytes at %d, file is %d bytes" % (size, off, len(data)))
    blob = data[off:off + size]
    if not blob.startswith(PNG_SIG):
        return problems + ["entry data is not a PNG"]
    ihdr_w, ihdr_h, depth, ctype = struct.unpack(">IIBB", blob[16:26])
    if (ihdr_w, ihdr_h) != (256, 256):
        problems.append("PNG is %dx%d, want 256x256" % (ihdr_w, ihdr_h))
    if (depth, ctype) != (8, 6):
        problems.append("PNG depth/colour type %d/%d, want 8/6 (RGBA)" % (depth, ctype))

    try:
        img = Image.open(io.BytesIO(blob))
        img.load()
    except (OSError, SyntaxError, struct.error) as e:
        return problems + ["embedded PNG does not decode: %s" % e]
    if img.mode == "RGBA" and img.size == (256, 256):
        alpha = img.getchannel("A")
        # rounded tile: corners see through, the middle is solid
        for corner in ((0, 0), (255, 0), (0, 255), (255, 255)):
            if alpha.getpixel(corner) != 0:
                problems.append("corner %s is not transparent" % (corner,))
        if alpha.getpixel((128, 128)) != 255:
            problems.append("centre pixel is not opaque")
        # anti-aliased edges leave partly transparent pixels along the rim
        if not any(0 < a < 255 for a in alpha.getdata()):
            problems.append("no partly transparent pixels: edges are not anti-aliased")
        if len(img.getcolors(1 << 16) or range(1 << 16)) < 16:
            problems.append("fewer than 16 colours: image looks blank")

    if png_path:
        with open(png_path, "rb") as f:
            if f.read() != blob:
                problems.append("%s differs from the image inside %s" % (png_path, ico_path))
    return problems


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__.strip())
    problems = check(*sys.argv[1:])
    for p in problems:
        print("FAIL: " + p)
    if problems:
        sys.exit(1)
    print("OK: %s" % " ".join(sys.argv[1:]))


if __name__ == "__main__":
    main()
