"""The launcher's own reading of what a publisher writes, copied exactly:
its version order, its manifest reader (a string search, not a JSON parser)
and the way it puts a URL on the wire."""

import re

# The launcher's manifest reader skips exactly these before a value.
MANIFEST_BLANKS = " \t\n\r"
MANIFEST_ESCAPES = {"b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t"}

# The largest number one group of a version may hold; a launcher refuses a
# manifest whose version has a larger one.
LARGEST_VERSION_GROUP = 2147483647


def version_groups(text):
    """Each run of ASCII digits is one group, held at LARGEST_VERSION_GROUP
    when larger (never wrapped); no digits at all is version 0."""
    groups = []
    accumulator = None
    for c in text:
        if "0" <= c <= "9":
            accumulator = (accumulator or 0) * 10 + ord(c) - ord("0")
        elif accumulator is not None:
            groups.append(accumulator)
            accumulator = None
    if accumulator is not None:
        groups.append(accumulator)
    if not groups:
        groups.append(0)
    return [min(g, LARGEST_VERSION_GROUP) for g in groups]


def version_fits(text):
    """False when a group of the version is larger than LARGEST_VERSION_GROUP."""
    return all(int(group) <= LARGEST_VERSION_GROUP for group in re.findall(r"[0-9]+", text))


def compare_versions(a, b):
    """Negative when a is older than b, 0 when equal, positive when newer;
    the shorter list of groups is padded with zeros."""
    left, right = version_groups(a), version_groups(b)
    length = max(len(left), len(right))
    left += [0] * (length - len(left))
    right += [0] * (length - len(right))
    for x, y in zip(left, right):
        if x != y:
            return -1 if x < y else 1
    return 0


def extract_string(text, key):
    """The value the launcher reads for key: the first textual occurrence of
    "key", the first colon after it, blanks, then a string whose escapes other
    than \\b \\f \\n \\r \\t keep just the character after the backslash (so
    \\u00e9 reads as "u00e9"). None when the launcher would find nothing."""
    needle = '"%s"' % key
    found = text.find(needle)
    if found < 0:
        return None
    pos = text.find(":", found + len(needle))
    if pos < 0:
        return None
    pos += 1
    while pos < len(text) and text[pos] in MANIFEST_BLANKS:
        pos += 1
    if pos >= len(text) or text[pos] != '"':
        return None
    value = []
    pos += 1
    while pos < len(text):
        c = text[pos]
        if c == '"':
            return "".join(value)
        if c == "\\":
            pos += 1
            if pos >= len(text):
                return None
            c = MANIFEST_ESCAPES.get(text[pos], text[pos])
        value.append(c)
        pos += 1
    return None


# Bytes the launcher percent-encodes on the wire, besides those outside
# printable ASCII; a "%" stays, so an encoded URL goes out unchanged.
URL_UNSAFE = set(b' "<>\\^`{|}')


def encode_url(url):
    """The URL as the launcher sends it: every byte of its UTF-8 form outside
    printable ASCII, the space and "<>\\^`{|}, percent-encoded."""
    out = []
    for byte in url.encode("utf-8"):
        if byte <= 0x20 or byte >= 0x7F or byte in URL_UNSAFE:
            out.append("%%%02X" % byte)
        else:
            out.append(chr(byte))
    return "".join(out)


def read_manifest(text):
    """The four values the launcher takes from a manifest; an empty value is
    an absent one: version and download_url None, exe Game.exe, sha256 None
    (no check)."""
    return {
        "version": extract_string(text, "version") or None,
        "download_url": extract_string(text, "download_url") or None,
        "exe": extract_string(text, "exe") or "Game.exe",
        "sha256": extract_string(text, "sha256") or None,
    }
