#!/usr/bin/env python3
"""Prints the version, addresses and update keys built into a launcher
executable, read from its bytes:

    tools/built_ins.py VornLauncher.exe

The server is what precedes "/Launcher/version.json"; the community page is
the one other web address among the program's constant data (.rdata; the
resources, a font's licence among them, are not looked at). Exits 1 when
either is missing or not alone. Without update keys it says UNSIGNED UPDATES
and what that means.
"""

import os
import re
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from publishing.launcher import version_resource  # noqa: E402
from publishing.signing import keys_in_launcher  # noqa: E402

MANIFEST = "/Launcher/version.json"


def wide_urls(data):
    """Every UTF-16LE text in the file that starts with http:// or https://."""
    found = []
    for match in re.finditer(rb"h\0t\0t\0p\0(?:s\0)?:\0/\0/\0(?:[\x21-\x7e]\0)+", data):
        found.append(match.group().decode("utf-16-le"))
    return found


def section(data, name):
    """The bytes of the PE section of that name."""
    header = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, header + 6)[0]
    optional_size = struct.unpack_from("<H", data, header + 20)[0]
    table = header + 24 + optional_size
    for i in range(count):
        entry = table + 40 * i
        if data[entry:entry + 8].rstrip(b"\0") == name:
            size, offset = struct.unpack_from("<II", data, entry + 16)
            return data[offset:offset + size]
    return b""


def main():
    with open(sys.argv[1], "rb") as f:
        urls = wide_urls(section(f.read(), b".rdata"))
    servers = sorted({u[:-len(MANIFEST)] for u in urls if u.endswith(MANIFEST)})
    others = sorted({u for u in urls if not u.endswith(".json")})
    print("version:       %s" % (version_resource(sys.argv[1]) or "NOT FOUND"))
    print("server URL:    %s" % (", ".join(servers) or "NOT FOUND"))
    print("community URL: %s" % (", ".join(others) or "NOT FOUND"))
    keys = keys_in_launcher(sys.argv[1])
    for key in keys:
        print("update key:    %s" % key)
    if not keys:
        print("UNSIGNED UPDATES: no update keys built in; the launcher installs and starts "
              "whatever the server's manifests name, so whoever can write to the server can "
              "run a program on every player's PC. Make a key with tools/publish keygen and "
              "build with -DVORN_UPDATE_KEYS=<its line>")
    return 0 if len(servers) == 1 and len(others) == 1 else 1


if __name__ == "__main__":
    sys.exit(main())
