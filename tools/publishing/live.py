"""What is live on the studio's server, as the players' launchers meet it:
the launcher they run (Launcher/launcher.json and its executable), the
update keys it holds and who signed it with Authenticode; and whether an
address already answers."""

import struct
import subprocess
import tempfile
import urllib.parse

from publishing.launcher_rules import read_manifest
from publishing.signing import keys_in_launcher_bytes
from publishing.web import FetchError, decoded_body, describe, open_url

LAUNCHER_MANIFEST = "launcher.json"


class LiveLauncher:
    """The live launcher: its manifest's values, its executable's bytes,
    the update keys those hold and their Authenticode signer (None when
    unsigned)."""

    def __init__(self, values, exe):
        self.values = values
        self.exe = exe
        self.keys = keys_in_launcher_bytes(exe)
        self.signer = authenticode_signer(exe)


def server_of(manifest_url):
    """The server address a manifest's address lies under (what comes before
    /Launcher/<name>), or None when it is no such address."""
    parts = urllib.parse.urlsplit(manifest_url)
    if parts.scheme.lower() not in ("http", "https") or "/Launcher/" not in parts.path:
        return None
    path = parts.path[:parts.path.rindex("/Launcher/")]
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, path, "", ""))


def server_named(server, previous):
    """The server a command works against: the one given, else the one the
    live manifest's address (previous) lies under; None when neither names one."""
    return server or (server_of(previous) if previous else None)


def fetch_bytes(url, ca_file=None):
    """The body at url; FetchError for no answer or an error status."""
    with open_url(url, ca_file) as response:
        if response.status >= 400:
            raise FetchError("%s answers HTTP %d" % (url, response.status))
        try:
            return response.read()
        except OSError as e:
            raise FetchError("%s: %s" % (url, describe(e))) from None


def live_launcher(server, ca_file=None):
    """The launcher that SERVER publishes, or None when it publishes none
    (no launcher.json). FetchError when it cannot be read."""
    text = live_manifest_text(server, LAUNCHER_MANIFEST, ca_file)
    if text is None:
        return None
    values = read_manifest(text)
    if values["download_url"] is None:
        raise FetchError("the live %s names no download_url" % LAUNCHER_MANIFEST)
    return LiveLauncher(values, fetch_bytes(values["download_url"], ca_file))


def live_manifest_text(server, name, ca_file=None):
    """The text of SERVER's Launcher/NAME, as the launcher reads it (bytes
    that are not UTF-8 kept); None when there is none (404)."""
    url = server.rstrip("/") + "/Launcher/" + name
    with open_url(url, ca_file) as response:
        if response.status == 404:
            return None
        if response.status != 200:
            raise FetchError("%s answers HTTP %d" % (url, response.status))
        return decoded_body(response, response.read()).decode("utf-8", "surrogateescape")


def answers(url, ca_file=None):
    """The status a GET of url gets (its body left unread); FetchError when
    nothing answers."""
    with open_url(url, ca_file, {"Range": "bytes=0-0"}) as response:
        return response.status


def authenticode_signer(exe):
    """(subject, issuer) of the certificate that signed the executable's
    bytes with Authenticode, as openssl prints them; None when unsigned."""
    table = certificate_table(exe)
    if table is None:
        return None
    with tempfile.NamedTemporaryFile(suffix=".p7b") as f:
        f.write(table)
        f.flush()
        result = subprocess.run(["openssl", "pkcs7", "-inform", "DER", "-in", f.name,
                                 "-print_certs", "-noout"], capture_output=True, text=True,
                                timeout=60)
    if result.returncode != 0:
        return None
    certificates, subject = [], None
    for line in result.stdout.splitlines():
        if line.startswith("subject="):
            subject = line[len("subject="):].strip()
        elif line.startswith("issuer=") and subject is not None:
            certificates.append((subject, line[len("issuer="):].strip()))
            subject = None
    # The signer's certificate issued none of the others.
    issuers = {issuer for subject, issuer in certificates if subject != issuer}
    signers = [c for c in certificates if c[0] not in issuers]
    return signers[0] if signers else None


def certificate_table(exe):
    """The PKCS#7 signature in a PE file's certificate table, or None."""
    if len(exe) < 0x40 or exe[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", exe, 0x3C)[0]
    if pe + 24 > len(exe) or exe[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", exe, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    entry = directories + 4 * 8  # the fifth: the certificate table
    if entry + 8 > len(exe):
        return None
    offset, size = struct.unpack_from("<II", exe, entry)
    if offset == 0 or size < 8 or offset + size > len(exe):
        return None
    length = struct.unpack_from("<I", exe, offset)[0]
    return exe[offset + 8:offset + min(length, size)]
