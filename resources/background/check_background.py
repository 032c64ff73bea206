#!/usr/bin/python3
"""Check a window background: what the launcher's OleLoadPicture path can load.

Usage: check_background.py background.jpg
       check_background.py background-2x.jpg
The name decides the size wanted: a name ending in -2x.jpg must be the
1360 x 940 picture, any other the 680 x 470 one.
Exits 1 and lists every problem found; prints OK otherwise.
Reads the JPEG markers itself so it does not depend on an image library.
"""
import os
import struct
import sys

# (width, height, byte limit) for the 100 % picture and the 2x one. The
# limits keep the executable small; both files sit well under them.
SIZE_1X = (680, 470, 150 * 1024)
SIZE_2X = (1360, 940, 400 * 1024)
# Start-of-frame markers other than baseline (C0): extended, progressive,
# lossless, arithmetic-coded. OLE's decoder only promises baseline.
SOF_MARKERS = {0xC0, 0xC1, 0xC2, 0xC3, 0xC5, 0xC6, 0xC7,
               0xC9, 0xCA, 0xCB, 0xCD, 0xCE, 0xCF}


def frames(data):
    """Yield (marker, segment payload) up to the first scan."""
    if data[:2] != b"\xff\xd8":
        raise ValueError("no SOI marker: not a JPEG")
    pos = 2
    while pos + 4 <= len(data):
        if data[pos] != 0xFF:
            raise ValueError("marker expected at offset %d" % pos)
        marker = data[pos + 1]
        if marker == 0xFF:          # fill byte
            pos += 1
            continue
        length = struct.unpack(">H", data[pos + 2:pos + 4])[0]
        yield marker, data[pos + 4:pos + 2 + length]
        if marker == 0xDA:          # start of scan: entropy data follows
            return
        pos += 2 + length


def wanted(path):
    """The (width, height, byte limit) rule the file's name asks for."""
    name = os.path.basename(path).lower()
    return SIZE_2X if name.endswith("-2x.jpg") else SIZE_1X


def check(path):
    problems = []
    want_w, want_h, max_bytes = wanted(path)
    size = os.path.getsize(path)
    if size >= max_bytes:
        problems.append("file is %d bytes, limit %d" % (size, max_bytes))
    with open(path, "rb") as f:
        data = f.read()
    try:
        sofs = [(m, p) for m, p in frames(data) if m in SOF_MARKERS]
    except ValueError as e:
        return problems + [str(e)]
    if not data.rstrip(b"\x00").endswith(b"\xff\xd9"):
        problems.append("no EOI marker at the end")
    if len(sofs) != 1:
        problems.append("%d frame headers, want 1" % len(sofs))
        return problems
    marker, payload = sofs[0]
    if marker != 0xC0:
        problems.append("frame type SOF%d, want SOF0 (baseline)" % (marker - 0xC0))
    precision, height, width, components = struct.unpack(">BHHB", payload[:6])
    if (width, height) != (want_w, want_h):
        problems.append("size %dx%d, want %dx%d" % (width, height, want_w, want_h))
    if precision != 8:
        problems.append("%d-bit samples, want 8" % precision)
    if components != 3:
        problems.append("%d colour components, want 3 (YCbCr)" % components)
    return problems


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__.strip())
    problems = check(sys.argv[1])
    for p in problems:
        print("FAIL: " + p)
    if problems:
        sys.exit(1)
    print("OK: %s" % sys.argv[1])


if __name__ == "__main__":
    main()
