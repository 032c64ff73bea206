"""HTTPS requests as the launcher makes them: TLS 1.2 or newer with the
certificate and host name checked, redirects followed, an uncached copy
asked for, identity asked and gzip or deflate decoded when it comes anyway."""

import gzip
import ssl
import urllib.error
import urllib.request
import zlib

from publishing.launcher_rules import encode_url
from publishing.progress import Silent

TIMEOUT_SECONDS = 30
READ_PIECE = 1 << 20
REQUEST_HEADERS = {
    "User-Agent": "VornPublish",
    "Accept-Encoding": "identity",
    "Cache-Control": "no-cache",
    "Pragma": "no-cache",
}


class FetchError(Exception):
    """No answer: the address, the connection or the certificate failed
    (certificate: the server's certificate was not trusted)."""

    def __init__(self, message, certificate=False):
        super().__init__(message)
        self.certificate = certificate


def tls_context(ca_file=None, tls12_only=False):
    """The system's trusted CAs, or only those of ca_file (a private CA)."""
    context = ssl.create_default_context(cafile=ca_file)
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if tls12_only:
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    return context


def open_url(url, ca_file=None, headers=None):
    """The response to a GET of url, also for error statuses (read .status).
    Close it when done."""
    request = urllib.request.Request(encode_url(url), headers=dict(REQUEST_HEADERS,
                                                                   **(headers or {})))
    opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=tls_context(ca_file)))
    try:
        return opener.open(request, timeout=TIMEOUT_SECONDS)
    except urllib.error.HTTPError as e:
        return e
    except urllib.error.URLError as e:
        raise FetchError(describe(e.reason), untrusted(e.reason)) from None
    except (OSError, ValueError) as e:
        raise FetchError(describe(e), untrusted(e)) from None


def untrusted(reason):
    return isinstance(reason, ssl.SSLCertVerificationError)


def describe(reason):
    if isinstance(reason, ssl.SSLCertVerificationError):
        return "certificate not accepted: %s" % reason.verify_message
    if isinstance(reason, BaseException) and getattr(reason, "strerror", None):
        return reason.strerror
    return str(reason)


def decoded_body(response, body):
    """The body as the launcher reads it: gzip and deflate undone."""
    encoding = (response.headers.get("Content-Encoding") or "identity").strip().lower()
    if encoding == "gzip":
        return gzip.decompress(body)
    if encoding == "deflate":
        try:
            return zlib.decompress(body)
        except zlib.error:
            return zlib.decompress(body, -zlib.MAX_WBITS)
    return body


class Decoder:
    """A body's Content-Encoding undone piece by piece, as the launcher
    undoes gzip and deflate (with or without the zlib header)."""

    def __init__(self, encoding):
        self.encoding = (encoding or "identity").strip().lower()
        self.inflater = None
        if self.encoding == "gzip":
            self.inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        self.start = b""

    def feed(self, piece):
        if self.encoding == "deflate" and self.inflater is None:
            self.start += piece
            if len(self.start) < 2:
                return b""
            piece, self.start = self.start, b""
            zlib_header = piece[0] & 0x0F == 8 and (piece[0] << 8 | piece[1]) % 31 == 0
            self.inflater = zlib.decompressobj(zlib.MAX_WBITS if zlib_header else -zlib.MAX_WBITS)
        return self.inflater.decompress(piece) if self.inflater else piece

    def end(self):
        return self.inflater.flush() if self.inflater else self.start


def read_body(response, progress):
    """The whole body as sent, in pieces, each counted by progress."""
    body = bytearray()
    for piece in iter(lambda: response.read(READ_PIECE), b""):
        body += piece
        progress.advance(len(piece))
    progress.finish()
    return bytes(body)


def content_length(response):
    try:
        return int(response.headers.get("Content-Length"))
    except (TypeError, ValueError):
        return None


def fetch_text(url, ca_file=None, progress=Silent):
    """The UTF-8 text at url; FetchError for no answer, an error status or a
    body that is not UTF-8. progress(label, total) reports the download."""
    with open_url(url, ca_file) as response:
        if response.status >= 400:
            raise FetchError("the server answered HTTP %d" % response.status)
        try:
            body = decoded_body(response, read_body(
                response, progress("fetching %s" % url, content_length(response))))
        except (OSError, EOFError, zlib.error) as e:
            raise FetchError("the body could not be read: %s" % describe(e)) from None
    try:
        return body.decode("utf-8")
    except UnicodeDecodeError:
        raise FetchError("the body is not UTF-8 text") from None
