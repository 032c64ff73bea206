"""Publishing a build: the archive and its manifest, in the server's layout,
checked the way the launcher will read them."""

import datetime
import errno
import hashlib
import json
import os
import shutil
import stat
import tempfile
import urllib.parse
import zipfile

from publishing.archive import BuildChanged, write_archive
from publishing.file_index import check_spans, render_index
from publishing.launcher_rules import (LARGEST_VERSION_GROUP, compare_versions, encode_url,
                                       extract_string, version_fits, version_groups)
from publishing.progress import Silent
from publishing.refusal import Refusal
from publishing.signing import SigningError, add_signature, public_key_line, read_back_problem
from publishing.live import answers
from publishing.players import check_signing_key, players_keys
from publishing.web import FetchError, fetch_text

# Characters and names a Windows folder cannot hold.
WINDOWS_BAD_CHARS = set('<>:"|?*\\') | {chr(c) for c in range(32)}
WINDOWS_DEVICE_NAMES = {"con", "prn", "aux", "nul"} | {
    "%s%d" % (kind, n) for kind in ("com", "lpt") for n in range(1, 10)}


# --- Checks of the arguments. ---

def read_previous(previous, ca_file, progress=Silent):
    """The text of the live manifest: a file, or an http(s) address fetched
    the way the launcher fetches it."""
    if urllib.parse.urlsplit(previous).scheme.lower() in ("http", "https"):
        try:
            return fetch_text(previous, ca_file, progress)
        except FetchError as e:
            hint = ""
            if e.certificate and not ca_file:
                hint = "; a server with a certificate of a private CA: give --ca-file CA.pem"
            raise Refusal("cannot fetch the previous manifest %s: %s%s"
                          % (previous, e, hint)) from None
    try:
        with open(previous, "rb") as f:
            return f.read().decode("utf-8")
    except OSError as e:
        raise Refusal("cannot read the previous manifest %s: %s" % (previous, e.strerror))
    except UnicodeDecodeError:
        raise Refusal("the previous manifest %s is not UTF-8" % previous) from None


def expiry_after(days):
    """The time DAYS from now, UTC, to the second, as manifests write it."""
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=days)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def check_version(version, previous_manifest=None, previous_text=None):
    groups = version_groups(version)
    if not any("0" <= c <= "9" for c in version):
        raise Refusal("version %r has no digits; the launcher would read it as 0" % version)
    if not version_fits(version):
        raise Refusal("version %r has a number larger than %d; launchers refuse it"
                      % (version, LARGEST_VERSION_GROUP))
    if compare_versions(version, "0") <= 0:
        raise Refusal("version %r reads as %s in the launcher, which is not newer than a build "
                      "with no version file" % (version, ".".join(map(str, groups))))
    if previous_text is None:
        return
    previous = extract_string(previous_text, "version")
    if not previous:
        raise Refusal("the previous manifest %s has no \"version\" the launcher can read"
                      % previous_manifest)
    if compare_versions(version, previous) <= 0:
        raise Refusal("version %r (%s) is not newer than the previous version %r (%s) "
                      "in the launcher's order; launchers never go back to a lower version, so "
                      "to take a broken release back, publish the old build again under a "
                      "newer version"
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


def file_on_server(url):
    """What names a file on its server, as a cache or a CDN may take it: the
    scheme, the host and the port, and the decoded path without regard to
    case; the query (a signed link's) names no other file."""
    parts = urllib.parse.urlsplit(encode_url(url))
    scheme = parts.scheme.lower()
    try:
        port = parts.port or {"http": 80, "https": 443}.get(scheme)
    except ValueError:
        port = None
    return (scheme, (parts.hostname or "").lower(), port,
            urllib.parse.unquote(parts.path).lower())


def check_not_live(new_urls, previous_manifest, previous_text):
    """Refuses an archive or index address that the live manifest names:
    players updating before the new manifest arrives would get new bytes
    under the old digest, and a cache could keep the old bytes under that
    name for as long as it keeps archives."""
    live_version = extract_string(previous_text, "version")
    for key, role in (("download_url", "archive"), ("delta_index", "file index")):
        live = extract_string(previous_text, key)
        if not live:
            continue
        for url in new_urls:
            if url is not None and file_on_server(url) == file_on_server(live):
                raise Refusal(
                    "%s is the live %s of version %s (%s): players who update before the new "
                    "manifest arrives would get bytes that do not match it («SHA-256 "
                    "скачанного архива не совпадает с manifest.»), and a cache may serve "
                    "the old bytes under that name for a year; publish under a new name"
                    % (url, role, live_version, previous_manifest))


def check_names_free(urls, ca_file, offline, warnings):
    """Refuses an address that already answers on its server, whether or not
    a live manifest names it: players who update before the new manifest
    arrives, and caches, would mix the two builds."""
    urls = [url for url in urls if url is not None]
    if offline:
        warnings.append("--offline: whether %s already answer%s was not asked of the server; a "
                        "name used before breaks the update of every player who has to update"
                        % (" and ".join(urls), "" if len(urls) > 1 else "s"))
        return
    for url in urls:
        try:
            status = answers(url, ca_file)
        except FetchError as e:
            hint = "give --ca-file CA.pem for a private CA, or " \
                if e.certificate and not ca_file else ""
            raise Refusal("cannot ask the server whether %s is a new name: %s; %spublish from a "
                          "machine that reaches it, or with --offline" % (url, e, hint)) from None
        if status < 400:
            raise Refusal("%s already answers (HTTP %d): names are never reused, not even for "
                          "a first publish; players who update before the new manifest arrives, "
                          "and caches, would mix the two builds; publish under a new name"
                          % (url, status))
        if status == 403:
            warnings.append("%s answers HTTP 403, as storage that hides missing files does; "
                            "taken as a new name" % url)
        elif status not in (404, 410):
            raise Refusal("cannot tell whether %s is a new name: the server answers HTTP %d; "
                          "make sure by hand, then publish with --offline" % (url, status))


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
    if parts.scheme.lower() == "http":
        warnings.append("the URL is http://: anyone on a player's network can change the "
                        "archive on its way (the manifest's digest then fails it) or watch "
                        "what is fetched; serve it over https://")
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
    """The build's entries as (archive name, path, is folder, size,
    modification time), sorted by archive name; refuses what the archive or
    the launcher cannot carry."""
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
                    entries.append((relative + "/", path, True, 0, info.st_mtime))
            elif stat.S_ISREG(info.st_mode):
                entries.append((relative, path, False, info.st_size, info.st_mtime))
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


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for piece in iter(lambda: f.read(1 << 20), b""):
            digest.update(piece)
    return digest.hexdigest()


def beside(final):
    """A work name beside final, for a copy that must arrive whole."""
    return os.path.join(os.path.dirname(final), ".%s.%d.tmp" % (os.path.basename(final),
                                                               os.getpid()))


def link_new(source, final):
    """Gives source the name final unless final exists, without a window in
    which an existing file could be overwritten where the file system has
    hard links; False when source is on another file system."""
    try:
        os.link(source, final)
        return True
    except FileExistsError:
        pass
    except OSError as e:
        if not os.path.lexists(final):
            if e.errno == errno.EXDEV:
                return False
            # No hard links here (FAT, some shares): checked just before.
            os.rename(source, final)
            return True
    raise Refusal("%s already exists; archive names are never reused" % final)


def place_new(temporary, final):
    """Moves temporary to final unless final exists; from another file
    system through a copy beside final, under a name that goes on any exit."""
    if link_new(temporary, final):
        return
    copy = beside(final)
    try:
        shutil.copyfile(temporary, copy)
        if not link_new(copy, final):
            raise OSError(errno.EXDEV, "cannot move %s to %s" % (copy, final))
    finally:
        if os.path.lexists(copy):
            os.unlink(copy)


def replace_with(temporary, final):
    """os.replace, also from another file system (through a copy beside
    final, under a name that goes on any exit)."""
    try:
        os.replace(temporary, final)
        return
    except OSError as e:
        if e.errno != errno.EXDEV:
            raise
    copy = beside(final)
    try:
        shutil.copyfile(temporary, copy)
        os.replace(copy, final)
    finally:
        if os.path.lexists(copy):
            os.unlink(copy)


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


def left_work_folders(out):
    """Work folders of earlier publishes into out that were killed outright
    (a publish stopped any other way removes its own)."""
    parent = os.path.dirname(os.path.abspath(out))
    prefix = ".%s.publish-" % os.path.basename(os.path.abspath(out))
    try:
        names = os.listdir(parent)
    except OSError:
        return []
    return sorted(os.path.join(parent, name) for name in names
                  if name.startswith(prefix) and name[len(prefix):].isdigit()
                  and os.path.isdir(os.path.join(parent, name)))


def make_work_folder(out):
    """A folder for the files being made, beside the upload folder (so on
    its file system, for the final moves) but outside it, where no upload
    of the folder's content can take them."""
    parent = os.path.dirname(os.path.abspath(out))
    name = ".%s.publish-%d" % (os.path.basename(os.path.abspath(out)), os.getpid())
    try:
        os.mkdir(os.path.join(parent, name))
        return os.path.join(parent, name)
    except FileExistsError:
        raise Refusal("%s already exists: another publish of this process id? remove it"
                      % os.path.join(parent, name)) from None
    except PermissionError:
        return tempfile.mkdtemp(prefix="vorn-publish-")


def publish(args, progress=Silent, threads=1):
    """Writes OUT/<archive's path on its server>, the file index beside it
    (<archive>.files) and OUT/Launcher/<manifest>, signed last with
    --sign-key; returns (archive path, index path or None, manifest path,
    manifest values, warnings). Every file is made in a work folder beside
    OUT and moved in at the end, the manifest last; on any failure or
    interruption OUT is left as it was."""
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
    previous_text = None
    if args.previous is not None:
        previous_text = read_previous(args.previous, args.ca_file, progress)
    check_version(args.version, args.previous, previous_text)
    if previous_text is not None:
        check_not_live((url, index_url), args.previous, previous_text)
    elif not args.first:
        warnings.append("no --previous: the version and the archive's name were not checked "
                        "against the live manifest (a version players do not see as newer, or "
                        "a live archive's name, breaks their updates); give --previous with the "
                        "live manifest's address, or --first for the very first publish")
    key_line = signing_key_line(args.sign_key)
    check_signing_key(key_line, args.sign_key, players_keys(
        args.key, args.launcher, args.server, args.previous, args.ca_file))

    out = args.out
    for left in left_work_folders(out):
        warnings.append("%s was left by a publish that was killed outright; delete it" % left)
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
    check_names_free((url, index_url), args.ca_file, args.offline, warnings)
    entries = collect_build(build, args.exe)

    archive_path = os.path.join(archive_folder, archive_name)
    manifest_path = os.path.join(manifest_folder, manifest_name)
    index_path = os.path.join(archive_folder, index_name) if index_url is not None else None
    # The folders made here go again if nothing ends up in them, and the
    # files placed in OUT go again unless the manifest took its place.
    made = make_folders(os.path.dirname(os.path.abspath(out)))
    placed = []
    work = None
    try:
        work = make_work_folder(out)
        archive_tmp = os.path.join(work, archive_name)
        index_tmp = os.path.join(work, index_name)
        manifest_tmp = os.path.join(work, manifest_name)
        packing = progress("packing %s" % archive_name, sum(entry[3] for entry in entries))
        try:
            with open(archive_tmp, "wb") as f:
                digest, size, index_entries = write_archive(f, entries, threads, packing)
        except BuildChanged as e:
            raise Refusal("%s; publish once the build is finished" % e) from None
        packing.finish()
        try:
            check_spans(archive_tmp, index_entries)
        except (ValueError, zipfile.BadZipFile) as e:
            raise Refusal("the archive just written cannot be indexed: %s" % e) from None
        values = {
            "version": args.version,
            "download_url": url,
            "exe": args.exe,
            "sha256": digest,
        }
        if index_url is not None:
            with open(index_tmp, "wb") as f:
                f.write(render_index(size, index_entries).encode("utf-8"))
            # After the four the launcher has always read, so that its
            # first-match reader meets those first whatever these are named.
            values["delta_index"] = index_url
            values["delta_index_sha256"] = sha256_of(index_tmp)
        if args.expires is not None:
            # Signed with it: launchers then refuse an archive of another
            # length, and the manifest once the time has come.
            values["size"] = str(os.path.getsize(archive_tmp))
            values["expires"] = expiry_after(args.expires)
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
        made += make_folders(archive_folder)
        made += make_folders(manifest_folder)
        for temporary, final in ((archive_tmp, archive_path), (index_tmp, index_path)):
            if final is not None:
                place_new(temporary, final)
                placed.append(final)
        replace_with(manifest_tmp, manifest_path)
        placed = []
    finally:
        for path in placed:
            os.unlink(path)
        if work is not None:
            shutil.rmtree(work, ignore_errors=True)
        for folder in sorted(made, key=len, reverse=True):
            if os.path.isdir(folder) and not os.listdir(folder):
                os.rmdir(folder)
    return archive_path, index_path, manifest_path, values, warnings
