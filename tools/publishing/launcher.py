"""Publishing a new launcher: the executable at its URL's path and the
launcher manifest, Launcher/launcher.json, that every running launcher
reads at its start."""

import os
import struct
import urllib.parse

from publishing.build import (Refusal, archive_place_from_url, check_manifest_value, make_folders,
                              place_new, render_manifest, sha256_of, signing_key_line)
from publishing.launcher_rules import LARGEST_VERSION_GROUP, compare_versions, version_fits
from publishing.signing import SigningError, add_signature, read_back_problem

MANIFEST_NAME = "launcher.json"
FIXED_FILE_INFO = struct.pack("<I", 0xFEEF04BD)


def version_resource(exe):
    """"a.b.c.d" of the executable's version resource, or None."""
    with open(exe, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        return None
    at = data.find(FIXED_FILE_INFO)
    if at < 0 or at + 16 > len(data):
        return None
    high, low = struct.unpack_from("<II", data, at + 8)
    return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)


def publish_launcher(args):
    """Writes OUT/<the exe's path on its server> and OUT/Launcher/launcher.json,
    signed with --sign-key; returns (exe path, manifest path, values)."""
    if not os.path.isfile(args.exe):
        raise Refusal("%s is not a file" % args.exe)
    if not version_fits(args.version):
        raise Refusal("version %r has a number larger than %d; launchers refuse it"
                      % (args.version, LARGEST_VERSION_GROUP))
    own = version_resource(args.exe)
    if own is None:
        raise Refusal("%s is not a launcher executable with a version resource" % args.exe)
    # A manifest version that differs from the file's would have every
    # launcher fetch the same file again at each start.
    if compare_versions(own, args.version) != 0:
        raise Refusal("%s carries version %s in its version resource, not %s; build it with "
                      "that version (project() in CMakeLists.txt)" % (args.exe, own, args.version))
    url, names, warnings = archive_place_from_url(args.url)
    # Said of archives; an executable needs no .zip.
    warnings = [warning for warning in warnings if ".zip" not in warning]
    if urllib.parse.urlsplit(url).scheme.lower() != "https":
        raise Refusal("the URL %r is not https; launchers take a new launcher only over https"
                      % args.url)
    check_manifest_value("version", args.version)
    check_manifest_value("download URL", url)
    key_line = signing_key_line(args.sign_key)

    folder = os.path.join(args.out, *names[:-1])
    exe_path = os.path.join(folder, names[-1])
    manifest_folder = os.path.join(args.out, "Launcher")
    manifest_path = os.path.join(manifest_folder, MANIFEST_NAME)
    if os.path.lexists(exe_path):
        raise Refusal("%s already exists; launcher names are never reused, publish under a new "
                      "name" % exe_path)
    values = {"version": args.version, "download_url": url, "sha256": sha256_of(args.exe)}
    if key_line is not None:
        try:
            add_signature(values, MANIFEST_NAME, args.sign_key, key_line)
        except SigningError as e:
            raise Refusal("cannot sign with %s: %s" % (args.sign_key, e)) from None

    made = []
    exe_tmp = os.path.join(folder, ".%s.%d.tmp" % (names[-1], os.getpid()))
    manifest_tmp = os.path.join(manifest_folder, ".%s.%d.tmp" % (MANIFEST_NAME, os.getpid()))
    try:
        made += make_folders(folder)
        made += make_folders(manifest_folder)
        with open(args.exe, "rb") as source, open(exe_tmp, "wb") as target:
            target.write(source.read())
        text = render_manifest(values)
        problem = read_back_problem(text, values)
        if problem:
            raise Refusal(problem + "; manifest not published")
        with open(manifest_tmp, "wb") as f:
            f.write(text.encode("utf-8"))
        place_new(exe_tmp, exe_path)
        os.replace(manifest_tmp, manifest_path)
    finally:
        for leftover in (exe_tmp, manifest_tmp):
            if os.path.lexists(leftover):
                os.unlink(leftover)
        for made_folder in sorted(made, key=len, reverse=True):
            if os.path.isdir(made_folder) and not os.listdir(made_folder):
                os.rmdir(made_folder)
    return exe_path, manifest_path, values, warnings
