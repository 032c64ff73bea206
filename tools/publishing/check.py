"""`publish check SERVER_URL`: a live server, tried the way the launcher will
use it. Each build's manifest is fetched and read with the launcher's rules,
its archive is asked for as the launcher asks (whole, then by Range for a
resumed download), the archive's file index is fetched and one entry asked
for by Range as a launcher updating by parts asks, and each host's
certificate and TLS 1.2 are tried; given update keys, each manifest's
signature is verified as the launcher holding them verifies it; a published
launcher (Launcher/launcher.json) is checked as launchers will take it. One
line per check: OK, WARN (works, but worth a look) or FIX (players will
meet a problem) with what to change."""

import datetime
import hashlib
import json
import re
import socket
import ssl
import struct
import sys
import urllib.parse

from publishing.file_index import LOCAL_SIGNATURE, MAGIC, parse_index
from publishing.launcher_rules import (LARGEST_VERSION_GROUP, compare_versions, extract_string,
                                       read_manifest, version_fits)
from publishing.live import authenticode_signer, live_launcher, live_manifest_text
from publishing.players import short, signers_named
from publishing.signing import (SIGNATURE_FIELD, keys_in_launcher_bytes, signed_by, signed_text,
                                verifies)
from publishing.progress import Silent
from publishing.web import Decoder, FetchError, decoded_body, describe, open_url, tls_context

BUILDS = (("online", "version.json", "Онлайн версия"),
          ("official", "version_offline.json", "Официальная версия"))
OTHER_BUILD = {"online": "official", "official": "online"}
# The end of central directory record and the longest comment after it.
ZIP_TAIL = 22 + 65535
CERTIFICATE_DAYS_LEFT = 14
READ_PIECE = 1 << 20


class Report:
    def __init__(self, out=sys.stdout):
        self.out = out
        self.problems = 0

    def line(self, verdict, subject, text):
        if verdict == "FIX":
            self.problems += 1
        self.out.write("%-4s %s: %s\n" % (verdict, subject, text))
        self.out.flush()


def is_plain_file_name(name):
    """The launcher's rule for the manifest's exe."""
    if not name.strip(". "):
        return False
    if any(ord(c) < 0x20 or c in '<>:"/\\|?*' for c in name):
        return False
    stem = name.split(".", 1)[0].rstrip(" ").lower()
    return not (stem in ("con", "prn", "aux", "nul")
                or re.fullmatch(r"(com|lpt)[1-9]", stem))


def manifest_failure(status):
    """What a player sees when the manifest's address answers status."""
    return ("«Не удалось скачать файл через PowerShell.» with the second line «Ошибка "
            "скачивания: сервер ответил HTTP %d»" % status)


def archive_failure(status):
    """What a player sees when the archive's address answers status."""
    return "«Ошибка скачивания: сервер ответил HTTP %d» as the only line" % status


def status_advice(status, what, folder):
    """What to change on the server when it answers status instead of what."""
    if status >= 500:
        return ("the server, or a proxy or CDN in front of it, is down or in maintenance: "
                "nobody can start the game until it answers; end the maintenance or fix the "
                "server (a maintenance mode must leave %s served)" % folder)
    if status in (401, 403):
        return ("the server refuses it: let anyone read %s (file permissions, an access rule, "
                "a login in front, or an expired signed link)" % folder)
    if status in (404, 410):
        return "upload %s" % what
    return "serve %s as a static file with status 200" % what


def is_html(headers, body, start=None):
    """A web page instead of a file that begins with start: a maintenance
    page, a proxy's login page."""
    if start is not None and body.startswith(start):
        return False
    kind = (headers.get("Content-Type") or "").split(";")[0].strip().lower()
    return kind in ("text/html", "application/xhtml+xml") or body.lstrip()[:1] == b"<"


FIELDS_MISSING = "«В manifest должны быть поля: version и download_url»"
PAGE_ADVICE = ("serve such a page with status 503 (nginx: return 503 with an error_page), never "
               "as 200 in place of a file")


def check_host(report, url, ca_file, seen):
    """The certificate, and that TLS 1.2 is spoken (Wine's and older
    Windows' TLS stacks have nothing newer)."""
    parts = urllib.parse.urlsplit(url)
    host, port = parts.hostname, parts.port or (443 if parts.scheme == "https" else 80)
    if (host, port) in seen:
        return
    seen.add((host, port))
    subject = "%s:%d" % (host, port)
    if parts.scheme != "https":
        report.line("WARN", subject, "plain http: anyone on a player's network can change "
                                     "what the launcher downloads; serve https")
        return
    try:
        with socket.create_connection((host, port), timeout=30) as raw, \
                tls_context(ca_file).wrap_socket(raw, server_hostname=host) as tls:
            certificate = tls.getpeercert()
    except ssl.SSLCertVerificationError as e:
        report.line("FIX", subject, "certificate not accepted (%s): players get a security "
                                    "error; install a certificate from a CA Windows trusts, "
                                    "with its chain (a trial server with a private CA: give "
                                    "--ca-file CA.pem)" % e.verify_message)
        return
    except (OSError, ssl.SSLError) as e:
        report.line("FIX", subject, "no TLS connection: %s" % describe(e))
        return
    expires = datetime.datetime.fromtimestamp(ssl.cert_time_to_seconds(certificate["notAfter"]),
                                              datetime.timezone.utc)
    days = (expires - datetime.datetime.now(datetime.timezone.utc)).days
    if days < CERTIFICATE_DAYS_LEFT:
        report.line("FIX", subject, "certificate expires in %d days (%s): renew it"
                    % (days, expires.date()))
    else:
        report.line("OK", subject, "certificate trusted, valid until %s" % expires.date())
    try:
        with socket.create_connection((host, port), timeout=30) as raw, \
                tls_context(ca_file, tls12_only=True).wrap_socket(raw, server_hostname=host):
            pass
        report.line("OK", subject, "speaks TLS 1.2")
    except (OSError, ssl.SSLError):
        report.line("FIX", subject, "does not speak TLS 1.2: players on Windows 7 and 8.1 "
                                    "cannot connect; enable TLSv1.2 beside TLSv1.3")


def check_signature(report, subject, name, text, values, keys):
    """The manifest's signature, verified against the keys a launcher holds."""
    signature = extract_string(text, SIGNATURE_FIELD)
    if not keys:
        report.line("--", subject, "%s; give --launcher or --key to verify it against the keys "
                                   "a launcher holds" % ("signed" if signature else "unsigned"))
        return
    refused = ("launchers holding these keys refuse it («Обновление не прошло проверку "
               "подлинности…») and start nothing")
    if not signature:
        report.line("FIX", subject, "not signed: %s; publish with --sign-key" % refused)
    elif values["sha256"] is None:
        report.line("FIX", subject, "no sha256: %s; publish with tools/publish" % refused)
    else:
        text = signed_text(name, values)
        for key in keys:
            if verifies(key, text, signature):
                report.line("OK", subject, "signed with %s…" % key[:27])
                return
        report.line("FIX", subject, "the signature is not of these keys over these values "
                                    "(changed after signing, the other build's manifest, or "
                                    "another key: %s): %s"
                    % (signers_named(text, signature), refused))


# What a launcher acts on, and so what a studio's own JSON tools must read
# as it does.
ACTED_ON = ("version", "download_url", "exe", "sha256", "delta_index", "delta_index_sha256",
            "size", "expires", SIGNATURE_FIELD)


def json_parses(body):
    try:
        json.loads(body.decode("utf-8"))
        return True
    except ValueError:
        return False


def check_json_agrees(report, subject, body, text):
    """Whether the manifest is JSON; a FIX for bytes that are not UTF-8, and
    for each value a JSON reader reads otherwise than the launcher (a key
    given twice, a key's name inside another string, a key inside a nested
    object, an escape the launcher does not decode): the studio's own tools
    would then show one thing while players get another."""
    try:
        body.decode("utf-8")
    except UnicodeDecodeError as e:
        report.line("FIX", subject, "not UTF-8 (byte %d): the launcher reads and verifies the "
                                    "bytes as they are; upload the manifest tools/publish wrote"
                    % e.start)
        return False
    twice = set()

    def pairs(items):
        seen = set()
        for key, _ in items:
            if key in seen:
                twice.add(key)
            seen.add(key)
        return dict(items)
    try:
        parsed = json.loads(body.decode("utf-8"), object_pairs_hook=pairs)
    except ValueError:
        return False
    if not isinstance(parsed, dict):
        return True
    for key in ACTED_ON:
        launcher = extract_string(text, key)
        reader = parsed.get(key)
        if key in twice or (launcher is not None or reader is not None) and launcher != reader:
            report.line("FIX", subject, "a JSON reader reads %s as %r, the launcher as %r%s; "
                                        "upload the manifest tools/publish wrote"
                        % (key, reader, launcher, " (given twice)" if key in twice else ""))
    return True


# How long before a signed expiry check starts to warn.
EXPIRY_WARNING_DAYS = 14


def check_expiry(report, subject, expires, now=None):
    """A signed expiry: passed, near or far."""
    if expires is None:
        return
    now = now or datetime.datetime.now(datetime.timezone.utc)
    try:
        moment = datetime.datetime.strptime(expires, "%Y-%m-%dT%H:%M:%SZ").replace(
            tzinfo=datetime.timezone.utc)
    except ValueError:
        report.line("FIX", subject, "expires %r is not a UTC time like 2027-01-31T12:00:00Z: "
                                    "launchers with keys refuse the manifest" % expires)
        return
    left = moment - now
    if left.total_seconds() <= 0:
        report.line("FIX", subject, "expired at %s: launchers with keys refuse it («Сервер "
                                    "обновлений устарел…»); publish again with --expires"
                    % expires)
    elif left.days < EXPIRY_WARNING_DAYS:
        report.line("WARN", subject, "expires at %s, in %d days: publish again with --expires "
                                     "before then" % (expires, left.days))
    else:
        report.line("OK", subject, "expires at %s" % expires)


def check_manifest(report, subject, url, button, ca_file, keys=(), other=None):
    """The manifest's values as the launcher reads them, or None. other:
    the other build, whose manifest a studio may not publish at all."""
    try:
        with open_url(url, ca_file) as response:
            status, headers, body = response.status, response.headers, response.read()
    except (FetchError, OSError) as e:
        report.line("FIX", subject, "%s: %s" % (url, e))
        return None
    if status != 200:
        advice = status_advice(status, "the manifest", "/Launcher/")
        if status in (404, 410) and other:
            advice += (" (a studio that publishes only the %s build: check that one alone, "
                       "with --build %s)" % (other, other))
        report.line("FIX", subject, "%s answers HTTP %d; players who click «%s» get %s: %s"
                    % (url, status, button, manifest_failure(status), advice))
        return None
    try:
        body = decoded_body(response, body)
    except (OSError, EOFError, ValueError) as e:
        report.line("FIX", subject, "the body cannot be decompressed: %s" % describe(e))
        return None
    # Byte for byte as the launcher reads it: bytes that are not UTF-8 stay
    # themselves, and the signature is checked over them.
    text = body.decode("utf-8", "surrogateescape")
    values = read_manifest(text)
    for key in ("delta_index", "delta_index_sha256", "size", "expires"):
        values[key] = extract_string(text, key) or None
    readable = values["version"] is not None and values["download_url"] is not None
    is_json = check_json_agrees(report, subject, body, text) if readable else json_parses(body)
    if not readable and is_html(headers, body):
        report.line("FIX", subject, "%s answers HTTP 200 with an HTML page (a maintenance or "
                                    "login page?) instead of the manifest; players get %s: %s"
                    % (url, FIELDS_MISSING, PAGE_ADVICE))
        return None
    if not readable:
        report.line("FIX", subject, "%s answers HTTP 200 with %s (%r…) in which the launcher "
                                    "reads no \"version\" or \"download_url\"; players get "
                                    "%s: upload the manifest tools/publish wrote"
                    % (url, "JSON" if is_json else "text that is not JSON", text.strip()[:40],
                       FIELDS_MISSING))
        return None
    if not is_json:
        report.line("WARN", subject, "not JSON: the launcher reads it, other tools may not; "
                                     "upload the manifest tools/publish wrote")
    encoding = headers.get("Content-Encoding", "identity").strip().lower()
    if encoding != "identity":
        report.line("FIX", subject, "sent with Content-Encoding: %s although the launcher "
                                    "asks for identity; turn compression off for /Launcher/"
                    % encoding)
    check_not_cached(report, subject, headers, "players on the old build")
    if not version_fits(values["version"]):
        report.line("FIX", subject, "version %r has a number larger than %d: every launcher "
                                    "refuses the manifest" % (values["version"],
                                                              LARGEST_VERSION_GROUP))
    elif compare_versions(values["version"], "0") <= 0:
        report.line("FIX", subject, "version %r reads as 0 in the launcher: never an update"
                    % values["version"])
    if not is_plain_file_name(values["exe"]):
        report.line("FIX", subject, "exe %r is not a plain file name; the launcher refuses it"
                    % values["exe"])
    sha256 = values["sha256"]
    if sha256 is None:
        report.line("WARN", subject, "no sha256: a damaged download would be installed")
    elif not re.fullmatch(r"[0-9a-fA-F]{64}", sha256):
        report.line("FIX", subject, "sha256 %r is not 64 hexadecimal digits: every download "
                                    "fails its check" % sha256)
    report.line("OK", subject, "version %s, archive %s" % (values["version"],
                                                         values["download_url"]))
    check_signature(report, subject, url.rsplit("/", 1)[-1], text, values, keys)
    check_expiry(report, subject, values["expires"])
    return values


def check_not_cached(report, subject, headers, kept):
    """A manifest must be asked of the server each time: a cache in front
    would keep what it names."""
    cache = (headers.get("Cache-Control") or "").lower()
    if not re.search(r"no-cache|no-store|max-age=0\b", cache):
        report.line("FIX", subject, "no Cache-Control: no-cache; a cache in front may keep "
                                    "%s (nginx: add_header Cache-Control no-cache always;)"
                    % kept)


def ask_range(url, ca_file, first, last=None, validator=None):
    """(status, body) of a Range request for bytes first..last, or the last
    -first bytes when first is negative."""
    wanted = "bytes=%d" % first if first < 0 else "bytes=%d-%s" % (first, "" if last is None
                                                                 else last)
    headers = {"Range": wanted}
    if validator:
        headers["If-Range"] = validator
    with open_url(url, ca_file, headers) as response:
        return response.status, response.read(ZIP_TAIL + 1)


class Served:
    """How the server hands out an archive: its size, when it is sent as
    is (a compressed answer's Content-Length is not the archive's)."""

    def __init__(self, headers):
        self.encoding = headers.get("Content-Encoding", "identity").strip().lower()
        length = headers.get("Content-Length")
        self.size = int(length) if length is not None and self.encoding == "identity" else None


def check_archive(report, subject, values, ca_file, full, progress=Silent):
    """How the archive is served (a Served) when it is, else None."""
    url = values["download_url"]
    try:
        with open_url(url, ca_file) as response:
            status, headers = response.status, response.headers
            head = response.read(512) if status == 200 else b""
            digest, count = hashlib.sha256(), len(head)
            if full and status == 200:
                # Digested as the launcher digests it, compression undone.
                decoder = Decoder(headers.get("Content-Encoding"))
                digest.update(decoder.feed(head))
                length = headers.get("Content-Length")
                download = progress("downloading %s" % url, int(length) if length else None)
                download.advance(len(head))
                for piece in iter(lambda: response.read(READ_PIECE), b""):
                    digest.update(decoder.feed(piece))
                    count += len(piece)
                    download.advance(len(piece))
                digest.update(decoder.end())
                download.finish()
    except (FetchError, OSError, EOFError, ValueError) as e:
        report.line("FIX", subject, "%s: %s" % (url, describe(e)))
        return None
    if status != 200:
        report.line("FIX", subject, "%s answers HTTP %d; players get %s: %s"
                    % (url, status, archive_failure(status),
                       status_advice(status, "the archive to that path", "/builds/")))
        return None
    served = Served(headers)
    if served.encoding == "identity" and is_html(headers, head, b"PK"):
        report.line("FIX", subject, "%s answers HTTP 200 with an HTML page (a maintenance or "
                                    "login page?) instead of the archive; players get «SHA-256 "
                                    "скачанного архива не совпадает с manifest.»: %s"
                    % (url, PAGE_ADVICE))
        return None
    length = headers.get("Content-Length")
    if served.encoding != "identity":
        report.line("FIX", subject, "sent with Content-Encoding: %s although the launcher asks "
                                    "for identity; turn compression off for archives (its Range "
                                    "answers are checked once it is off)"
                    % served.encoding)
    elif length is None:
        report.line("FIX", subject, "no Content-Length: the player's bar cannot show a "
                                    "percentage and a cut download cannot be told from a "
                                    "whole one; serve the archive as a static file")
    else:
        report.line("OK", subject, "HTTP 200, %s bytes" % length)
    if full:
        if length is not None and count != int(length):
            report.line("FIX", subject, "sent %d bytes of the %s announced" % (count, length))
        elif values["sha256"] and digest.hexdigest() != values["sha256"].lower():
            report.line("FIX", subject, "SHA-256 %s differs from the manifest's: every player's "
                                        "download fails its check; upload the archive and the "
                                        "manifest of the same publish" % digest.hexdigest())
        elif values["sha256"]:
            report.line("OK", subject, "SHA-256 matches the manifest")
    else:
        report.line("--", subject, "SHA-256 not checked (--full downloads the archive whole)")
    if served.encoding != "identity":
        return served

    validator = headers.get("ETag") or headers.get("Last-Modified")
    try:
        status, head = ask_range(url, ca_file, 0, 3)
        if status == 206 and head[:4] == b"PK\x03\x04":
            report.line("OK", subject, "answers Range requests, starts like a ZIP archive")
        elif status == 206:
            report.line("FIX", subject, "does not start like a ZIP archive")
        else:
            report.line("FIX", subject, "answers a Range request with HTTP %d instead of 206: a "
                                        "cut download starts again from zero" % status)
            return served
        if validator is None:
            report.line("WARN", subject, "no ETag or Last-Modified: a resumed download cannot "
                                         "make sure the file is still the same")
        else:
            status, _ = ask_range(url, ca_file, 0, 3, validator)
            if status != 206:
                report.line("FIX", subject, "answers If-Range with its own %s by HTTP %d: every "
                                            "resumed download starts again from zero"
                            % ("ETag" if headers.get("ETag") else "Last-Modified", status))
        status, tail = ask_range(url, ca_file, -ZIP_TAIL)
        if status == 206 and b"PK\x05\x06" in tail[-ZIP_TAIL:]:
            report.line("OK", subject, "ends like a whole ZIP archive")
        elif status == 206:
            report.line("FIX", subject, "does not end with a ZIP directory: cut short or not "
                                        "an archive; upload it again")
    except (FetchError, OSError) as e:
        report.line("FIX", subject, "Range request failed: %s" % e)
    return served


def check_index(report, subject, values, served, ca_file):
    """The file index the manifest names: the one of the same publish, in
    its format, for the archive served, whose last file the archive hands
    out by Range on its own."""
    url = values["delta_index"]
    if url is None:
        report.line("--", subject, "no delta_index: launchers download each update whole")
        return
    try:
        with open_url(url, ca_file) as response:
            status, headers, body = response.status, response.headers, response.read()
            if status == 200:
                body = decoded_body(response, body)
    except (FetchError, OSError, EOFError, ValueError) as e:
        report.line("FIX", subject, "%s: %s" % (url, describe(e)))
        return
    if status != 200:
        report.line("FIX", subject, "%s answers HTTP %d: %s; launchers download each update "
                                    "whole meanwhile"
                    % (url, status, status_advice(status, "the index with its archive",
                                                  "/builds/")))
        return
    if is_html(headers, body, MAGIC.encode()):
        report.line("FIX", subject, "%s answers HTTP 200 with an HTML page (a maintenance or "
                                    "login page?) instead of the index: %s" % (url, PAGE_ADVICE))
        return
    digest = hashlib.sha256(body).hexdigest()
    expected = values["delta_index_sha256"]
    if expected is None:
        report.line("FIX", subject, "the manifest names an index without its "
                                    "delta_index_sha256; publish with tools/publish")
        return
    if digest != expected.lower():
        report.line("FIX", subject, "SHA-256 %s differs from the manifest's delta_index_sha256: "
                                    "launchers refuse the index; upload the index and the "
                                    "manifest of the same publish" % digest)
        return
    try:
        size, entries = parse_index(body.decode("utf-8"))
    except ValueError as e:
        report.line("FIX", subject, "not a file index: %s; publish with tools/publish" % e)
        return
    if served is not None and served.size is not None and served.size != size:
        report.line("FIX", subject, "describes an archive of %d bytes, the server's has %d: "
                                    "upload the archive and index of the same publish"
                    % (size, served.size))
        return
    report.line("OK", subject, "SHA-256 matches the manifest, %d entries" % len(entries))
    files = [entry for entry in entries if entry[0] == "F"]
    if served is None or not files:
        return
    if served.encoding != "identity":
        report.line("--", subject, "single files not asked for while the archive comes "
                                   "compressed")
        return
    _, offset, length, _, _, name = files[-1]
    try:
        status, head = ask_range(values["download_url"], ca_file, offset, offset + length - 1)
    except (FetchError, OSError) as e:
        report.line("FIX", subject, "Range request for %s failed: %s" % (name, e))
        return
    name_length = struct.unpack_from("<H", head, 26)[0] if len(head) >= 30 else -1
    if status != 206:
        report.line("FIX", subject, "the archive answers a Range request for %s with HTTP %d "
                                    "instead of 206: launchers cannot fetch single files"
                    % (name, status))
    elif head[:4] != LOCAL_SIGNATURE or head[30:30 + name_length] != name.encode("utf-8"):
        report.line("FIX", subject, "the archive's bytes at %d are not %s's local header: "
                                    "upload the archive and index of the same publish"
                    % (offset, name))
    else:
        report.line("OK", subject, "the archive hands out %s by Range (%d bytes at %d)"
                    % (name, length, offset))


def check_launcher(report, server, ca_file, full, keys, players_signer=None):
    """The launcher manifest, when one is published, and its executable;
    with full, its keys against the live build manifests and its signer
    against the players' launcher's (players_signer, when known)."""
    subject, url = "launcher", server + "/Launcher/launcher.json"
    try:
        with open_url(url, ca_file) as response:
            status, headers, body = response.status, response.headers, response.read()
            body = decoded_body(response, body) if status == 200 else b""
            text = body.decode("utf-8", "surrogateescape")
    except (FetchError, OSError, EOFError, ValueError) as e:
        report.line("FIX", subject, "%s: %s" % (url, describe(e)))
        return
    if status == 404:
        report.line("--", subject, "no launcher.json: launchers do not replace themselves")
        return
    if status != 200:
        report.line("FIX", subject, "%s answers HTTP %d: launchers skip their update" % (url, status))
        return
    check_json_agrees(report, subject, body, text)
    check_not_cached(report, subject, headers, "launchers on the old launcher")
    values = read_manifest(text)
    if values["version"] is None or values["download_url"] is None or values["sha256"] is None \
            or not values["download_url"].lower().startswith("https://"):
        report.line("FIX", subject, "launchers take a new launcher only from a manifest with "
                                    "version, an https download_url and sha256; publish it with "
                                    "tools/publish launcher")
        return
    check_signature(report, subject, "launcher.json", text, values, keys)
    exe = bytearray()
    try:
        with open_url(values["download_url"], ca_file) as response:
            status, digest = response.status, hashlib.sha256()
            if full and status == 200:
                for piece in iter(lambda: response.read(READ_PIECE), b""):
                    digest.update(piece)
                    exe += piece
    except (FetchError, OSError) as e:
        report.line("FIX", subject, "%s: %s" % (values["download_url"], e))
        return
    if status != 200:
        report.line("FIX", subject, "the new launcher answers HTTP %d: upload it to %s"
                    % (status, values["download_url"]))
    elif full and digest.hexdigest() != values["sha256"].lower():
        report.line("FIX", subject, "the new launcher's SHA-256 differs from launcher.json's: "
                                    "launchers refuse it; upload the exe and manifest of one "
                                    "publish")
    else:
        report.line("OK", subject, "version %s, %s" % (values["version"], values["download_url"]))
        if full:
            check_launcher_takes_over(report, subject, bytes(exe), server, ca_file,
                                      players_signer)


def check_launcher_takes_over(report, subject, exe, server, ca_file, players_signer):
    """What the published launcher holds: keys that verify the live build
    manifests, and the signer of the launcher the players run."""
    keys = keys_in_launcher_bytes(exe)
    for _, name, _ in BUILDS if keys else ():
        try:
            text = live_manifest_text(server, name, ca_file)
        except (FetchError, OSError):
            continue  # named with that manifest's own checks
        if text is not None and signed_by(keys, name, text) is None:
            report.line("FIX", subject, "its keys (%s) do not verify the live %s: every "
                                        "launcher replaces itself with it, then refuses every "
                                        "update; publish a launcher built with the key that "
                                        "signs the manifests"
                        % (", ".join(short(key) for key in keys), name))
    signer = authenticode_signer(exe)
    if players_signer is not None and signer != players_signer:
        report.line("FIX", subject, "it is %s, the players' launcher signed by %s: they fetch "
                                    "it at every start and never take it; publish one signed "
                                    "with the same certificate"
                    % ("unsigned" if signer is None else "signed by %s" % signer[0],
                       players_signer[0]))
    elif signer is not None:
        report.line("--", subject, "signed by %s (issuer %s)" % signer)


def check_server(server, ca_file=None, full=False, only=None, keys=(), out=sys.stdout,
                 progress=Silent, players_signer=None):
    """Prints the checks; returns the number of problems to fix."""
    report = Report(out)
    server = server.rstrip("/")
    parts = urllib.parse.urlsplit(server)
    if parts.scheme not in ("http", "https") or not parts.hostname:
        report.line("FIX", server, "not an http:// or https:// address")
        return report.problems
    hosts = set()
    check_host(report, server, ca_file, hosts)
    if not keys:
        # The keys of the launcher the server gives its players.
        try:
            live = live_launcher(server, ca_file)
        except (FetchError, OSError):
            live = None  # named with the launcher's own checks
        if live is not None and live.keys:
            keys = live.keys
            report.line("--", "launcher", "signatures verified against the keys of the live "
                                          "launcher %s" % live.values["download_url"])
    for build, name, label in BUILDS:
        if only and only != build:
            continue
        values = check_manifest(report, "%s manifest" % build, server + "/Launcher/" + name,
                                label, ca_file, keys, None if only else OTHER_BUILD[build])
        if values is None:
            continue
        try:
            check_host(report, values["download_url"], ca_file, hosts)
        except ValueError as e:
            report.line("FIX", "%s archive" % build, "bad address: %s" % e)
            continue
        served = check_archive(report, "%s archive" % build, values, ca_file, full, progress)
        check_index(report, "%s index" % build, values, served, ca_file)
    if not only:
        check_launcher(report, server, ca_file, full, keys, players_signer)
    if report.problems:
        out.write("%d to fix\n" % report.problems)
    else:
        out.write("all checks passed\n")
    return report.problems
