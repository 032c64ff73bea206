#!/usr/bin/python3
"""Check that a built BlockTermCyrFont.ttf is what the launcher expects.

Usage: check_font.py BlockTermCyrFont.ttf
Exits 1 and lists every problem found; prints OK otherwise.
"""
import os
import sys

from fontTools.ttLib import TTFont

FAMILY = "BlockTermCyrFont"
MAX_BYTES = 120 * 1024
GLYPH_RANGE = (200, 400)
# Names of the source font that a modified copy must not carry as its name.
SOURCE_NAMES = ("dejavu", "bitstream", "vera")
LICENCE_NAME_IDS = {0, 13, 14}

REQUIRED = (
    [ord(c) for c in "ABCDEFGHIJKLMNOPQRSTUVWXYZ"]
    + [ord(c) for c in "abcdefghijklmnopqrstuvwxyz"]
    + [ord(c) for c in "0123456789"]
    + list(range(0x0410, 0x0450))   # А..я
    + [0x0401, 0x0451]              # Ё ё
)


def check(path):
    problems = []
    size = os.path.getsize(path)
    if size >= MAX_BYTES:
        problems.append("file is %d bytes, limit %d" % (size, MAX_BYTES))

    font = TTFont(path)
    if "glyf" not in font:
        problems.append("no glyf table: not a TrueType outline font")

    name = font["name"]
    win = [n for n in name.names if n.platformID == 3]
    if not win:
        problems.append("no Windows name records (GDI would not see a face name)")
    for name_id, want in ((1, FAMILY), (2, "Regular"), (4, FAMILY), (6, FAMILY)):
        recs = [n for n in name.names if n.nameID == name_id]
        if not any(n.platformID == 3 for n in recs):
            problems.append("no Windows name record %d" % name_id)
        for n in recs:
            if n.toUnicode() != want:
                problems.append("name %d (platform %d) is %r, want %r"
                                % (name_id, n.platformID, n.toUnicode(), want))
    for n in name.names:
        if n.nameID == 16 and n.toUnicode() != FAMILY:
            problems.append("typographic family (16) is %r" % n.toUnicode())
        if n.nameID == 17 and n.toUnicode() != "Regular":
            problems.append("typographic subfamily (17) is %r" % n.toUnicode())
        if n.nameID not in LICENCE_NAME_IDS:
            low = n.toUnicode().lower()
            for bad in SOURCE_NAMES:
                if bad in low:
                    problems.append("name %d still mentions %r: %r"
                                    % (n.nameID, bad, n.toUnicode()))
    if not name.getDebugName(0):
        problems.append("copyright notice (name 0) missing")
    if not name.getDebugName(13):
        problems.append("licence text (name 13) missing")

    os2 = font["OS/2"]
    if os2.usWeightClass != 500:
        problems.append("usWeightClass is %d, want 500" % os2.usWeightClass)
    if os2.fsType != 0:
        problems.append("fsType is %d, want 0 (installable)" % os2.fsType)
    if os2.panose.bProportion != 9:
        problems.append("panose bProportion is %d, want 9" % os2.panose.bProportion)
    if not font["post"].isFixedPitch:
        problems.append("post.isFixedPitch is 0")
    advances = {adv for adv, _ in font["hmtx"].metrics.values()}
    if len(advances) != 1:
        problems.append("advance widths differ: %s" % sorted(advances))

    count = len(font.getGlyphOrder())
    if not GLYPH_RANGE[0] <= count <= GLYPH_RANGE[1]:
        problems.append("%d glyphs, want %d..%d" % ((count,) + GLYPH_RANGE))

    cmap = font.getBestCmap() or {}
    win_cmap = font["cmap"].getcmap(3, 1)
    if win_cmap is None:
        problems.append("no Windows Unicode (3,1) cmap")
    missing = [cp for cp in REQUIRED if cp not in cmap]
    if missing:
        problems.append("cmap lacks " + "".join(chr(cp) for cp in missing))
    if "glyf" in font:
        glyf = font["glyf"]
        blank = [cp for cp in REQUIRED
                 if cp in cmap and glyf[cmap[cp]].numberOfContours == 0]
        if blank:
            problems.append("blank outlines for " + "".join(chr(cp) for cp in blank))
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
