"""Publishing a new launcher: the executable at its URL's path and the
launcher manifest, Launcher/launcher.json, that every running launcher
reads at its start."""

import os
import struct
import urllib.parse

from publishing.build import (Refusal, archive_place_from_url, check_manifest_value,
                              check_names_free, make_folders, place_new, read_previous,
                              render_manifest, sha256_of, signing_key_line)
from publishing.launcher_rules import (LARGEST_VERSION_GROUP, compare_versions, extract_string,
                                       version_fits)
from publishing.live import (LAUNCHER_MANIFEST, authenticode_signer, live_launcher,
                             live_manifest_text, server_named)
from publishing.players import (REFUSED_TEXT, check_signing_key, players_keys, short,
                                signers_named)
from publishing.signing import (SIGNATURE_FIELD, SigningError, add_signature,
                                keys_in_launcher_bytes, read_back_problem, signed_by,
                                signed_text, signed_values)
from publishing.web import FetchError

MANIFEST_NAME = LAUNCHER_MANIFEST
BUILD_MANIFESTS = ("version.json", "version_offline.json")
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


def signers_of_manifest(name, text):
    """Who signed a manifest's text, for a message."""
    signature = extract_string(text, SIGNATURE_FIELD)
    if not signature:
        return "unsigned"
    return signers_named(signed_text(name, signed_values(text)), signature)


def check_against_live(exe, server, live, ca_file):
    """Refuses a new launcher that the players' launchers would take and then
    be stuck with: keys that verify no live build manifest, or another
    Authenticode signer than the live launcher's."""
    keys = keys_in_launcher_bytes(exe)
    for name in BUILD_MANIFESTS if keys else ():
        try:
            text = live_manifest_text(server, name, ca_file)
        except FetchError as e:
            raise Refusal("cannot read the live %s of %s: %s" % (name, server, e)) from None
        if text is not None and signed_by(keys, name, text) is None:
            raise Refusal("the new launcher's keys (%s) do not verify the live %s (%s): every "
                          "launcher would replace itself with it, then refuse every update (%s); "
                          "build it with the key that signs the live manifests too"
                          % (", ".join(short(key) for key in keys), name,
                             signers_of_manifest(name, text), REFUSED_TEXT))
    if live is None or live.signer is None:
        return
    signer = authenticode_signer(exe)
    if signer != live.signer:
        raise Refusal("the new launcher is %s, the live one signed by %s (issuer %s): launchers "
                      "take a new launcher only from their own signer, so players would fetch "
                      "it at every start and never take it; sign it with the live launcher's "
                      "certificate, or a renewal of it from the same CA"
                      % ("unsigned" if signer is None else "signed by %s (issuer %s)" % signer,
                         live.signer[0], live.signer[1]))


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
    with open(args.exe, "rb") as f:
        exe = f.read()
    if args.previous is not None:
        previous = extract_string(read_previous(args.previous, args.ca_file), "version")
        if previous and compare_versions(args.version, previous) <= 0:
            raise Refusal("version %s is not newer than the live launcher's %s: launchers "
                          "take only a newer one" % (args.version, previous))
    elif not args.first:
        warnings.append("no --previous: the version was not checked against the live "
                        "launcher.json; give --previous with its address, or --first for the "
                        "very first launcher published")
    server = server_named(args.server, args.previous)
    live = None
    if server is not None:
        try:
            live = live_launcher(server, args.ca_file)
        except FetchError as e:
            raise Refusal("cannot read the live launcher of %s: %s" % (server, e)) from None
        check_against_live(exe, server, live, args.ca_file)
    elif not args.first:
        warnings.append("the new launcher's keys and signer were not checked against the live "
                        "manifests and launcher; give --previous with the live launcher.json's "
                        "address, or --server")
    # launcher.json is read by the launchers the players run now.
    players = players_keys(args.key, args.launcher, None, None, args.ca_file)
    if players is None and live is not None:
        players = live.keys, "the live launcher %s" % live.values["download_url"]
    check_signing_key(key_line, args.sign_key, players)

    folder = os.path.join(args.out, *names[:-1])
    exe_path = os.path.join(folder, names[-1])
    manifest_folder = os.path.join(args.out, "Launcher")
    manifest_path = os.path.join(manifest_folder, MANIFEST_NAME)
    if os.path.lexists(exe_path):
        raise Refusal("%s already exists; launcher names are never reused, publish under a new "
                      "name" % exe_path)
    check_names_free((url,), args.ca_file, args.offline, warnings)
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
        with open(exe_tmp, "wb") as target:
            target.write(exe)
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
