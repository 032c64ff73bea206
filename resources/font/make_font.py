#!/usr/bin/python3
"""Build BlockTermCyrFont.ttf (and its LICENSE) from DejaVu Sans Mono.

Usage: make_font.py [SOURCE.ttf]
Needs Debian packages fonts-dejavu-core and python3-fonttools.

The launcher embeds this font as RCDATA and registers it privately with
AddFontMemResourceEx, so it only has to cover Russian/English UI text.
"""
import os
import subprocess
import sys

from fontTools import subset
from fontTools.ttLib import TTFont, newTable

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SOURCE = "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf"
SOURCE_PACKAGE = "fonts-dejavu-core"
SOURCE_FACE = "DejaVu Sans Mono"
COPYRIGHT_FILE = "/usr/share/doc/fonts-dejavu-core/copyright"

FAMILY = "BlockTermCyrFont"
VERSION = "1.000"
OUT_FONT = os.path.join(HERE, FAMILY + ".ttf")
OUT_LICENSE = os.path.join(HERE, "LICENSE")

# Fixed so that rebuilding gives a byte-identical file (2024-01-01 00:00 UTC,
# in seconds since 1904-01-01 as the head table wants).
FIXED_TIMESTAMP = 3786825600

# Windows-1251 and the Latin-1 range are what Russian UI text can contain;
# the few extra punctuation marks complete code page 1251 so GDI can honour
# RUSSIAN_CHARSET requests without falling back to another face.
UNICODES = (
    list(range(0x20, 0x7F))          # printable ASCII
    + list(range(0xA0, 0x100))       # Latin-1 supplement
    + list(range(0x400, 0x460))      # Cyrillic incl. Ё ё Ђ..џ
    + [0x490, 0x491]                 # Ґ ґ
    + [0x2013, 0x2014,               # – —
       0x2018, 0x2019, 0x201A,       # ‘ ’ ‚
       0x201C, 0x201D, 0x201E,       # “ ” „
       0x2020, 0x2021, 0x2022,       # † ‡ •
       0x2026, 0x2030,               # … ‰
       0x2039, 0x203A,               # ‹ ›
       0x20AC, 0x2116, 0x2122]       # € № ™
)

KEEP_NAME_IDS = {0, 13, 14}  # copyright and licence must travel with the font


def source_version():
    try:
        out = subprocess.run(
            ["dpkg-query", "-W", "-f=${Version}", SOURCE_PACKAGE],
            capture_output=True, text=True, check=True)
        return out.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def subset_font(src):
    opts = subset.Options()
    opts.layout_features = []        # GDI text never reads GSUB/GPOS
    opts.drop_tables += ["GSUB", "GPOS", "GDEF", "DSIG", "FFTM", "LTSH",
                         "hdmx", "VDMX", "kern", "BASE", "JSTF", "MATH"]
    opts.hinting = False             # unhinted + gasp smoothing is smaller
    opts.notdef_outline = True       # missing characters show a box
    opts.name_IDs = ["*"]            # names are rewritten below
    opts.name_languages = ["*"]
    opts.glyph_names = True
    opts.recalc_timestamp = False
    font = TTFont(src, recalcTimestamp=False)
    sub = subset.Subsetter(opts)
    sub.populate(unicodes=UNICODES)
    sub.subset(font)
    return font


def rename(font, package_version):
    name = font["name"]
    face_version = name.getDebugName(5).replace("Version ", "")
    copyright_text = name.getDebugName(0)
    licence_text = name.getDebugName(13)
    licence_url = name.getDebugName(14)
    name.names = []

    modified_note = (
        "BlockTermCyrFont is a modified, renamed subset of %s %s "
        "(Debian package %s %s)." % (SOURCE_FACE, face_version,
                                     SOURCE_PACKAGE, package_version))
    records = {
        0: copyright_text.rstrip() + "\n" + modified_note,
        1: FAMILY,
        2: "Regular",
        3: "%s;%s;vorn-launcher" % (VERSION, FAMILY),
        4: FAMILY,
        5: "Version %s" % VERSION,
        6: FAMILY,
        13: licence_text,
        14: licence_url,
    }
    for name_id, text in records.items():
        if text:
            # Windows records only: GDI reads these; Mac ones would just
            # duplicate every string.
            name.setName(text, name_id, 3, 1, 0x409)


def set_metrics(font):
    os2 = font["OS/2"]
    os2.usWeightClass = 500
    os2.fsType = 0
    os2.panose.bProportion = 9
    os2.fsSelection = (os2.fsSelection & ~0b1100001) | 0b1000000  # REGULAR
    # Only Latin-1 (bit 0) and Cyrillic 1251 (bit 2) are really covered.
    os2.ulCodePageRange1 = (1 << 0) | (1 << 2)
    os2.ulCodePageRange2 = 0
    font["head"].macStyle = 0
    font["post"].isFixedPitch = 1

    hmtx = font["hmtx"]
    widths = {adv for adv, _ in hmtx.metrics.values() if adv}
    if len(widths) != 1:
        sys.exit("source font is not monospaced: advances %s" % sorted(widths))
    cell = widths.pop()
    for gname, (adv, lsb) in list(hmtx.metrics.items()):
        if adv != cell:
            # zero-width leftovers (.null and the like) would break
            # the all-advances-equal rule that fixed-pitch layout relies on
            hmtx.metrics[gname] = (cell, lsb)
    os2.xAvgCharWidth = cell
    font["hhea"].advanceWidthMax = cell

    head = font["head"]
    head.fontRevision = float(VERSION)
    head.created = FIXED_TIMESTAMP
    head.modified = FIXED_TIMESTAMP

    # No instructions left, so ask for plain grayscale smoothing at all sizes.
    gasp = newTable("gasp")
    gasp.version = 1
    gasp.gaspRange = {0xFFFF: 0x000A}  # DOGRAY | SYMMETRIC_SMOOTHING
    font["gasp"] = gasp


def unfold_debian_licence(path):
    """Return the 'Files: *' stanza of a machine-readable copyright file
    as plain text (continuation lines unindented, ' .' as blank lines)."""
    with open(path, encoding="utf-8") as f:
        stanzas = f.read().split("\n\n")
    stanza = next(s for s in stanzas if s.startswith("Files: *"))
    out = []
    for line in stanza.splitlines():
        if line.startswith("Files:"):
            continue
        if line.startswith(" "):
            body = line[1:]
            out.append("" if body.strip() == "." else body.rstrip())
        else:
            key, _, value = line.partition(":")
            out.append("")
            out.append("%s: %s" % (key, value.strip()) if value.strip() else key + ":")
    return "\n".join(out).strip() + "\n"


def write_licence(package_version):
    header = (
        "BlockTermCyrFont.ttf\n"
        "====================\n\n"
        "BlockTermCyrFont is a modified, renamed subset of the font\n"
        "\"%s\" (DejaVuSansMono.ttf) from the DejaVu fonts project, as shipped\n"
        "in the Debian package %s, version %s. It was cut down to Latin and\n"
        "Cyrillic characters, its hinting and layout tables were removed, and it\n"
        "was renamed as the Bitstream Vera licence requires for modified fonts.\n"
        "It is not Bitstream Vera and not DejaVu Sans Mono.\n\n"
        "The licence of the source font follows, as given in\n"
        "%s (\"Files: *\").\n\n"
        "------------------------------------------------------------------------\n\n"
        % (SOURCE_FACE, SOURCE_PACKAGE, package_version, COPYRIGHT_FILE))
    with open(OUT_LICENSE, "w", encoding="utf-8") as f:
        f.write(header + unfold_debian_licence(COPYRIGHT_FILE))


def main():
    src = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_SOURCE
    package_version = source_version()
    font = subset_font(src)
    rename(font, package_version)
    set_metrics(font)
    font.save(OUT_FONT)
    write_licence(package_version)
    print("%s: %d glyphs, %d bytes" % (OUT_FONT, len(font.getGlyphOrder()),
                                       os.path.getsize(OUT_FONT)))


if __name__ == "__main__":
    main()
