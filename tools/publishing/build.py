"""Publishing a build: the archive and its manifest, in the server's layout,
checked the way the launcher will read them."""

import hashlib
import json
import os
import stat
import urllib.parse
import zipfile

from publishing.file_index import archive_entries, render_index
from publishing.launcher_rules import (compare_versions, encode_url, extract_string,
                                       version_groups)
from publishing.signing import SigningError, add_signature, public_key_line, read_back_problem
from publishing.web import FetchError, fetch_text

# Characters and names a Windows folder cannot hold.
WINDOWS_BAD_CHARS = set('<>:"|?*\\') | {chr(c) for c in range(32)}
WINDOWS_DEVICE_NAMES = {"con", "prn", "aux", "nul"} | {
    "%s%d" % (kind, n) for kind in ("com", "lpt") for n in range(1, 10)}


class Refusal(Exception):
    """The build or the arguments would give the players a broken update."""


# --- Checks of the arguments. ---

def read_previous(previous, ca_file):
    """The text of the live manifest: a file, or an http(s) address fetched
    the way the launcher fetches it."""
    if urllib.parse.urlsplit(previous).scheme.lower() in ("http", "https"):
        try:
            return fetch_text(previous, ca_file)
        except FetchError as e:
            raise Refusal("cannot fetch the previous manifest %s: %s" % (previous, e)) from None
    try:
        with open(previous, "rb") as f:
            return f.read().decode("utf-8")
    except OSError as e:
        raise Refusal("cannot read the previous manifest %s: %s" % (previous, e.strerror))
    except UnicodeDecodeError:
        raise Refusal("the previous manifest %s is not UTF-8" % previous) from None


def check_version(version, previous_manifest, ca_file=None):
    groups = version_groups(version)
    if not any("0" <= c <= "9" for c in version):
        raise Refusal("version %r has no digits; the launcher would read it as 0" % version)
    if compare_versions(version, "0") <= 0:
        raise Refusal("version %r reads as %s in the launcher (groups are 32-bit and wrap), "
                      "which is not newer than a build with no version file"
                      % (version, ".".join(map(str, groups))))
    if previous_manifest is None:
        return
    previous = extract_string(read_previous(previous_manifest, ca_file), "version")
    if not previous:
        raise Refusal("the previous manifest %s has no \"version\" the launcher can read"
                      % previous_manifest)
    if compare_versions(version, previous) <= 0:
        raise Refusal("version %r (%s) is not newer than the previous version %r (%s) "
                      "in the launcher's order"
                      % (version, ".".join(map(str, groups)), previous,
                         ".".join(map(str, version_groups(previous)))))


def signing_key_line(private_key):
    """The public key line of --sign-key, None without one; refuses a key
    that cannot sign before anything is written."""
    if private_key is None:
        return None
    try:
        return public_key_line(private_key)
    except SigningError as e:
        raise Refusal("cannot sign with %s: %s" % (private_key, e)) from None


def archive_place_from_url(url):
    """The URL as the manifest carries it (exactly what the launcher sends:
    characters beyond ASCII and spaces percent-encoded as UTF-8), the archive's path
    on its server as a list of names (decoded, as servers read them), and
    warnings for links that may not lead straight to a ZIP file."""
    if any(ord(c) < 32 or ord(c) == 127 or (c.isspace() and c != " ") for c in url):
        raise Refusal("the URL %r contains tabs, line breaks or control characters" % url)
    written = encode_url(url)
    parts = urllib.parse.urlsplit(written)
    if parts.scheme.lower() not in ("http", "https") or not parts.netloc:
        raise Refusal("the URL %r is not an http:// or https:// address" % url)
    if parts.fragment:
        raise Refusal("the URL %r has a #fragment, which is never sent to the server" % url)
    names = []
    for segment in parts.path.split("/")[1:]:
        try:
            name = urllib.parse.unquote(segment, errors="strict")
        except UnicodeDecodeError:
            raise Refusal("the URL %r names its archive in bytes that are not UTF-8"
                          % url) from None
        if name in ("", ".", "..") or "/" in name or "\\" in name or name.startswith("."):
            raise Refusal("the URL %r does not name a file by a plain path" % url)
        names.append(name)
    if not names or names[-1].lower() == ".zip":
        raise Refusal("the URL %r does not name a file by a plain path" % url)
    warnings = []
    if parts.query:
        warnings.append("the URL has a query string: the archive is written as %s; upload it "
                        "where the URL leads, and keep a signed link valid as long as the "
                        "manifest is live" % "/".join(names))
    if not names[-1].lower().endswith(".zip"):
        warnings.append("the URL does not end in .zip: make sure it leads to the archive "
                        "(the launcher follows redirects)")
    return written, names, warnings


def index_url_for(url, index_url, no_index):
    """The file index's address as the manifest carries it, or None for no
    index, and warnings. By default the index sits beside the archive, at
    its path + ".files"; a signed link's query string is no place to put it,
    so there the publisher names its link."""
    if no_index:
        return None, []
    if index_url is not None:
        written = encode_url(index_url)
        parts = urllib.parse.urlsplit(written)
        if parts.scheme.lower() not in ("http", "https") or not parts.netloc or parts.fragment:
            raise Refusal("--index-url %r is not an http:// or https:// address without a "
                          "#fragment" % index_url)
        return written, []
    parts = urllib.parse.urlsplit(url)
    if parts.query:
        return None, ["the URL has a query string, so the file index's address cannot be "
                      "derived from it: the manifest names no index and launchers download "
                      "each update whole; give --index-url with a link to the index to "
                      "publish one"]
    return urllib.parse.urlunsplit(parts._replace(path=parts.path + ".files")), []


def check_manifest_value(field, value):
    """Only \\" and \\\\ may appear as escapes: json.dumps writes control
    characters as escapes, mostly \\u ones, which the launcher reads wrongly."""
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise Refusal("the %s %r is not valid Unicode text" % (field, value)) from None
    for c in value:
        if c in '"\\':
            continue
        if json.dumps(c, ensure_ascii=False) != '"%s"' % c:
            raise Refusal("the %s %r contains %r, which the manifest could only hold as an "
                          "escape the launcher does not decode" % (field, value, c))


def check_windows_name(relative, name, siblings_lower):
    if (any(c in WINDOWS_BAD_CHARS for c in name) or name[-1] in " ."
            or name.split(".", 1)[0].lower() in WINDOWS_DEVICE_NAMES):
        raise Refusal("%r cannot be unpacked on Windows (reserved name or character)" % relative)
    lower = name.lower()
    if lower in siblings_lower:
        raise Refusal("%r and %r differ only in case; on Windows one would overwrite the other"
                      % (siblings_lower[lower], relative))
    siblings_lower[lower] = relative


def collect_build(build, exe):
    """The build's entries as (archive name, path, is folder), sorted by
    archive name; refuses what the archive or the launcher cannot carry."""
    entries = []
    exe_lower = exe.lower()
    top_exe = []
    deeper_exe = []

    def walk(folder, prefix):
        try:
            names = os.listdir(folder)
        except OSError as e:
            raise Refusal("cannot list %s: %s" % (folder, e.strerror))
        siblings = {}
        for name in names:
            path = os.path.join(folder, name)
            relative = prefix + name
            try:
                name.encode("utf-8")
            except UnicodeEncodeError:
                raise Refusal("the name %r is not valid UTF-8" % os.fsencode(relative)) from None
            check_windows_name(relative, name, siblings)
            info = os.lstat(path)
            is_junction = getattr(os.path, "isjunction", lambda p: False)(path)
            if stat.S_ISLNK(info.st_mode) or is_junction:
                raise Refusal("%r is a symbolic link; links are not published" % relative)
            if stat.S_ISDIR(info.st_mode):
                before = len(entries)
                walk(path, relative + "/")
                if len(entries) == before:
                    entries.append((relative + "/", path, True))
            elif stat.S_ISREG(info.st_mode):
                entries.append((relative, path, False))
                if name.lower() == exe_lower:
                    (top_exe if not prefix else deeper_exe).append(relative)
            else:
                raise Refusal("%r is neither a file nor a folder" % relative)

    walk(build, "")
    if not top_exe:
        raise Refusal("%s has no %s at its top (names compared without regard to case)"
                      % (build, exe))
    if deeper_exe:
        # The launcher takes the first folder holding the exe, depth first,
        # so a deeper copy could become the installed build.
        raise Refusal("%s also holds %s deeper down (%s); the launcher could install that "
                      "folder instead of the top" % (build, exe, ", ".join(sorted(deeper_exe))))
    entries.sort(key=lambda entry: entry[0])
    return entries


# --- Writing. ---

def render_manifest(values):
    return json.dumps(values, ensure_ascii=False, indent=2) + "\n"


def write_archive(path, entries):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED, strict_timestamps=False) as archive:
        for name, source, _ in entries:
            # zipfile sets the UTF-8 flag itself for names beyond ASCII.
            archive.write(source, name)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def place_new(temporary, final):
    """Moves temporary to final unless final exists, without a window in
    which an existing archive could be overwritten."""
    try:
        os.link(temporary, final)
    except FileExistsError:
        raise Refusal("%s already exists; archive names are never reused" % final) from None
    except OSError:
        if os.path.lexists(final):
            raise Refusal("%s already exists; archive names are never reused" % final) from None
        os.rename(temporary, final)
        return
    os.unlink(temporary)


def existing_name(folder, name):
    """The entry of folder that is name, compared without regard to case (a
    Windows server or a CDN may not tell them apart), or None."""
    if not os.path.isdir(folder):
        return None
    for entry in os.listdir(folder):
        if entry.lower() == name.lower():
            return entry
    return None


def make_folders(folder):
    """Makes folder and its missing parents; returns those made, deepest
    first."""
    made = []
    folder = os.path.abspath(folder)
    while not os.path.isdir(folder):
        made.append(folder)
        folder = os.path.dirname(folder)
    for path in reversed(made):
        os.mkdir(path)
    return made


def publish(args):
    """Writes OUT/<archive's path on its server>, the file index beside it
    (<archive>.files) and OUT/Launcher/<manifest>, signed last with
    --sign-key; returns (archive path, index path or None, manifest path,
    manifest values, warnings)."""
    build = args.build_folder
    if not os.path.isdir(build):
        raise Refusal("%s is not a folder" % build)
    if not args.exe or "/" in args.exe or "\\" in args.exe:
        raise Refusal("--exe must be a plain file name, not %r" % args.exe)
    manifest_name = "version_offline.json" if args.official else "version.json"
    url, names, warnings = archive_place_from_url(args.url)
    check_manifest_value("version", args.version)
    check_manifest_value("download URL", url)
    check_manifest_value("exe name", args.exe)
    index_url, more_warnings = index_url_for(url, args.index_url, args.no_index)
    warnings += more_warnings
    if index_url is not None:
        check_manifest_value("index URL", index_url)
    check_version(args.version, args.previous, args.ca_file)
    key_line = signing_key_line(args.sign_key)

    out = args.out
    build_real = os.path.realpath(build)
    out_real = os.path.realpath(out)
    try:
        out_inside = os.path.commonpath([build_real, out_real]) == build_real
    except ValueError:
        out_inside = False  # another drive
    if out_inside:
        raise Refusal("the output folder %s is inside the build folder" % out)
    archive_folder = os.path.join(out, *names[:-1])
    manifest_folder = os.path.join(out, "Launcher")
    archive_name = names[-1]
    if (os.path.normcase(os.path.abspath(archive_folder)) ==
            os.path.normcase(os.path.abspath(manifest_folder))
            and archive_name.lower() in ("version.json", "version_offline.json")):
        raise Refusal("the URL %r names a manifest, not an archive" % args.url)
    index_name = archive_name + ".files"
    for name in (archive_name, index_name) if index_url is not None else (archive_name,):
        clash = existing_name(archive_folder, name)
        if clash is not None:
            raise Refusal("%s already exists; archive names are never reused, publish under a "
                          "new name" % os.path.join(archive_folder, clash))
    entries = collect_build(build, args.exe)

    # The folders made here go again if nothing ends up in them.
    made = []
    archive_path = os.path.join(archive_folder, archive_name)
    manifest_path = os.path.join(manifest_folder, manifest_name)
    index_path = os.path.join(archive_folder, index_name) if index_url is not None else None
    archive_tmp = os.path.join(archive_folder, ".%s.%d.tmp" % (archive_name, os.getpid()))
    index_tmp = os.path.join(archive_folder, ".%s.%d.tmp" % (index_name, os.getpid()))
    manifest_tmp = os.path.join(manifest_folder, ".%s.%d.tmp" % (manifest_name, os.getpid()))
    try:
        made += make_folders(archive_folder)
        made += make_folders(manifest_folder)
        write_archive(archive_tmp, entries)
        values = {
            "version": args.version,
            "download_url": url,
            "exe": args.exe,
            "sha256": sha256_of(archive_tmp),
        }
        if index_url is not None:
            try:
                index = render_index(os.path.getsize(archive_tmp), archive_entries(archive_tmp))
            except (ValueError, zipfile.BadZipFile) as e:
                raise Refusal("the archive just written cannot be indexed: %s" % e) from None
            with open(index_tmp, "wb") as f:
                f.write(index.encode("utf-8"))
            # After the four the launcher has always read, so that its
            # first-match reader meets those first whatever these are named.
            values["delta_index"] = index_url
            values["delta_index_sha256"] = sha256_of(index_tmp)
        if key_line is not None:
            try:
                add_signature(values, manifest_name, args.sign_key, key_line)
            except SigningError as e:
                raise Refusal("cannot sign with %s: %s" % (args.sign_key, e)) from None
        with open(manifest_tmp, "wb") as f:
            f.write(render_manifest(values).encode("utf-8"))
        with open(manifest_tmp, "rb") as f:
            problem = read_back_problem(f.read().decode("utf-8"), values)
        if problem:
            raise Refusal(problem + "; manifest not published")
        place_new(archive_tmp, archive_path)
        if index_path is not None:
            place_new(index_tmp, index_path)
        os.replace(manifest_tmp, manifest_path)
    finally:
        for leftover in (archive_tmp, index_tmp, manifest_tmp):
            if os.path.lexists(leftover):
                os.unlink(leftover)
        for folder in sorted(made, key=len, reverse=True):
            if os.path.isdir(folder) and not os.listdir(folder):
                os.rmdir(folder)
    return archive_path, index_path, manifest_path, values, warnings
