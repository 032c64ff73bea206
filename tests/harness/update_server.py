#!/usr/bin/env python3
"""HTTPS file server for the launcher tests, with switchable misbehaviour.

    update_server.py --root DIR --certfile server.pem --keyfile server.key
                     --port-file FILE [--plain-port-file FILE] [--port 0]
                     [--log FILE] [--pid-file FILE]

Serves ROOT/<path> on https://localhost:PORT/<path>, on 127.0.0.1 and (when
the machine has it) ::1, and the same over plain HTTP on another port of
127.0.0.1, where only _tohttp leads. That plain listener is also a proxy
that refuses every tunnel: CONNECT gets a 403. Its port goes to the plain
port file, when one is named. The port files appear, complete, once every
listener accepts connections.

The log gets a line for each request as it comes (method, path, headers,
"id": its number, "connection": the number of the connection it came on),
and a line when its response ends ("response": the request's number,
"connection", "status", "sent": the body bytes written to the socket).

Every file response carries an ETag (from inode, size and mtime in
nanoseconds) and a Last-Modified. A plain 200 of a file honours
"Range: bytes=N-", "bytes=N-M" and "bytes=-N" with a 206 and Content-Range,
416 past the end; several ranges (unless _multipart says otherwise), a
malformed one, or an If-Range that is not our ETag or exact Last-Modified
get the whole file with 200.

Leading path segments that start with "_" change how the response goes
wrong; they chain in any order before the file path:

    _nolength            no Content-Length, body ends when the connection closes
    _length/<text>       "Content-Length: <text>" verbatim, whole file, close
    _short               true length, first half of the body, close
    _long                half the length announced, whole body, close
    _drop                true length, first half, then a TCP reset
    _status/<code>       that status with the usual body, Range ignored
    _stall/<ms>          wait before the status line
    _slow/<bytes/s>      throttle the body
    _hold/<name>         after the headers, wait for ROOT/_release/<name>
    _norange             Range ignored: always 200 with the whole body
    _gzip, _deflate      body gzip or zlib compressed with Content-Encoding,
                         whatever Accept-Encoding says; Content-Length is the
                         compressed length, the ETag is weak, Range ignored
    _cut/<bytes>/<tag>   first time: true length, that many body bytes, close
    _cutreset/<bytes>/<tag>
                         the same, then a TCP reset instead of a close
    _stallat/<bytes>/<ms>/<tag>
                         first time: that many body bytes, then nothing for
                         <ms> (or until the client hangs up), then the rest
    _cap/<bytes>         every time: true length, that many body bytes, close
    _resetfirst/<tag>    first time: a TCP reset before the status line
    _capat/<offset>/<name>
                         until ROOT/_release/<name> exists: true length, the
                         body's bytes up to that offset of the file, close
    _pauseat/<bytes>/<ms>
                         every time: that many body bytes, then nothing for
                         <ms> (or until the client hangs up), then the rest
    _close               "Connection: close" and a close after every response
    _giveup/<ms>         a client that takes no body byte for <ms> is dropped,
                         as nginx's send_timeout does (else after 300 s)
    _tohttp              a 302 to the same path (without this segment) on
                         the plain-HTTP listener: http://localhost:PLAIN/...
    _multipart/<how>     several ranges get a 206: multipart/byteranges with
                         the parts as asked ("asked"), in reverse order
                         ("reversed"), or neighbours two by two in one part
                         ("merged"); or one part from the first byte asked
                         to the last, without multipart ("single")

The length faults (_short, _long, _drop, _cut, ...) apply to the body that
is sent, so to the range of a 206.

"First time" for _cut, _cutreset, _stallat and _resetfirst: the first GET of that kind
and tag for that file path that finds the file, kept in this process's
memory and shared by its IPv4 and IPv6 listeners. Later requests with the
same tag are served as if the segment were not there, so a resumed Range
request completes. A HEAD or a 404 does not use the tag up. Nothing resets
it: a test picks a tag of its own (with a random part, so a repeated run
starts afresh).

For example /_slow/200000/_nolength/builds/game.zip, or
/_cut/500000/resume-4711/builds/game.zip.
"""

import argparse
import email.utils
import errno
import fcntl
import gzip
import json
import os
import random
import re
import select
import signal
import socket
import socketserver
import ssl
import struct
import sys
import termios
import threading
import time
import traceback
import urllib.parse
import zlib
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 1024 * 1024
NOT_FOUND_BODY = b"<html><body><h1>404 Not Found</h1></body></html>"
FORBIDDEN_BODY = b"<html><body><h1>403 Forbidden</h1></body></html>"
BAD_REQUEST_BODY = b"<html><body><h1>400 Bad Request</h1></body></html>"
SERVER_ERROR_BODY = b"<html><body><h1>500 Internal Server Error</h1></body></html>"
RANGE_BODY = b"<html><body><h1>416 Requested Range Not Satisfiable</h1></body></html>"

HOLD_POLL = 0.05
HOLD_LIMIT = 120.0
HANDSHAKE_TIMEOUT = 30.0
# Generous, so a launcher that pauses a download is not cut off by us.
IDLE_TIMEOUT = 300.0
# How long a closing connection waits for the client to hang up first; a
# close with unread input would turn into a reset.
CLOSE_DRAIN = 2.0
# How long _drop waits for the first half to leave the send queue, so the
# reset does not throw away data the client was meant to get.
DROP_DRAIN = 10.0

FLAG_SEGMENTS = {"_nolength", "_short", "_long", "_drop", "_norange", "_gzip", "_deflate",
                 "_close", "_tohttp"}
# How many path segments of arguments each one takes.
ARG_SEGMENTS = {"_length": 1, "_status": 1, "_stall": 1, "_slow": 1, "_hold": 1,
                "_cut": 2, "_cutreset": 2, "_stallat": 3, "_cap": 1, "_resetfirst": 1, "_capat": 2, "_multipart": 1,
                "_giveup": 1, "_pauseat": 2}
MULTIPART_WAYS = {"asked", "reversed", "merged", "single"}
UNSATISFIABLE = "unsatisfiable"


def _fault(message):
    sys.stderr.write("update_server: %s\n" % message)
    sys.stderr.flush()


class BadRequest(Exception):
    pass


class FileFault(Exception):
    """Reading a served file failed: the server's problem, not the client's."""


class Cut:
    def __init__(self, at, tag, reset):
        self.at = at
        self.tag = tag
        self.reset = reset


class StallAt:
    def __init__(self, at, ms, tag):
        self.at = at
        self.ms = ms
        self.tag = tag


class Plan:
    def __init__(self):
        self.nolength = False
        self.length_text = None
        self.short = False
        self.long = False
        self.drop = False
        self.status = None
        self.stall_ms = 0
        self.rate = None
        self.hold = None
        self.norange = False
        self.encoding = None
        self.cut = None
        self.stallat = None
        self.cap = None
        self.resetfirst = None
        self.capat = None
        self.giveup_ms = None
        self.close = False
        self.multipart = None
        self.tohttp = False

    def closes(self):
        return (self.nolength or self.length_text is not None or self.short
                or self.long or self.drop or self.cap is not None or self.close)


def _number(name, text):
    try:
        return int(urllib.parse.unquote(text))
    except ValueError:
        raise BadRequest("%s needs a number" % name) from None


def _tag(text):
    tag = urllib.parse.unquote(text)
    if not tag or "\0" in tag:
        raise BadRequest("bad tag")
    return tag


def parse_target(raw_target):
    """Split a request target into a Plan and the decoded file segments."""
    target = raw_target
    if not target.startswith("/") and "://" in target:
        target = urllib.parse.urlsplit(target).path or "/"
    target = target.split("#", 1)[0].split("?", 1)[0]
    if not target.startswith("/"):
        raise BadRequest("target must start with /")
    segments = target[1:].split("/")
    plan = Plan()
    i = 0
    while i < len(segments) and segments[i].startswith("_"):
        name = segments[i]
        if name in FLAG_SEGMENTS:
            if name in ("_gzip", "_deflate"):
                plan.encoding = name[1:]
            else:
                setattr(plan, name[1:], True)
            i += 1
            continue
        if name not in ARG_SEGMENTS:
            break  # an ordinary name, e.g. the _release folder
        count = ARG_SEGMENTS[name]
        if i + count >= len(segments):
            raise BadRequest("%s needs an argument" % name)
        args = segments[i + 1:i + 1 + count]
        arg = args[0]
        i += 1 + count
        if name == "_length":
            # latin-1 keeps every decoded byte as it is for the header
            plan.length_text = urllib.parse.unquote(arg, encoding="latin-1")
        elif name == "_hold":
            hold = urllib.parse.unquote(arg)
            if hold in ("", ".", "..") or "/" in hold or "\0" in hold:
                raise BadRequest("bad hold name")
            plan.hold = hold
        elif name in ("_cut", "_cutreset"):
            at = _number(name, arg)
            if at < 0:
                raise BadRequest("negative cut")
            plan.cut = Cut(at, _tag(args[1]), name == "_cutreset")
        elif name == "_capat":
            at = _number(name, arg)
            if at < 0:
                raise BadRequest("negative offset")
            release = urllib.parse.unquote(args[1])
            if release in ("", ".", "..") or "/" in release or "\0" in release:
                raise BadRequest("bad release name")
            plan.capat = (at, release)
        elif name == "_resetfirst":
            plan.resetfirst = _tag(arg)
        elif name == "_cap":
            plan.cap = _number(name, arg)
            if plan.cap < 0:
                raise BadRequest("negative cap")
        elif name == "_giveup":
            plan.giveup_ms = _number(name, arg)
            if plan.giveup_ms <= 0:
                raise BadRequest("_giveup needs a positive time")
        elif name == "_multipart":
            if arg not in MULTIPART_WAYS:
                raise BadRequest("_multipart needs one of %s" % sorted(MULTIPART_WAYS))
            plan.multipart = arg
        elif name in ("_stallat", "_pauseat"):
            at = _number(name, arg)
            ms = _number(name, args[1])
            if at < 0 or ms < 0:
                raise BadRequest("negative stall")
            plan.stallat = StallAt(at, ms, _tag(args[2]) if name == "_stallat" else None)
        else:
            value = _number(name, arg)
            if name == "_status":
                if not 200 <= value <= 999:
                    raise BadRequest("status out of range")
                plan.status = value
            elif name == "_stall":
                if value < 0:
                    raise BadRequest("negative stall")
                plan.stall_ms = value
            else:
                if value <= 0:
                    raise BadRequest("rate must be positive")
                plan.rate = value
    parts = []
    for seg in segments[i:]:
        decoded = urllib.parse.unquote(seg, errors="surrogateescape")
        if "\0" in decoded:
            raise BadRequest("NUL in path")
        parts.append(decoded)
    return plan, parts


_ONE_RANGE = re.compile(r"([0-9]*)-([0-9]*)")


def parse_range(value, size):
    """(first, last) of one byte range, UNSATISFIABLE, or None to send it all."""
    unit, sep, ranges = value.partition("=")
    if not sep or unit.strip().lower() != "bytes":
        return None
    # Several ranges would need multipart/byteranges; the whole file is a
    # valid answer to those too.
    return _one_range(ranges.strip(), size)


def parse_ranges(value, size):
    """[(first, last), ...] of two or more satisfiable ranges, else None."""
    unit, sep, ranges = value.partition("=")
    if not sep or unit.strip().lower() != "bytes":
        return None
    wanted = [_one_range(text.strip(), size) for text in ranges.split(",")]
    if len(wanted) < 2 or any(w is None or w == UNSATISFIABLE for w in wanted):
        return None
    return wanted


def _one_range(text, size):
    match = _ONE_RANGE.fullmatch(text)
    if match is None:
        return None
    first_text, last_text = match.groups()
    if not first_text:
        if not last_text:
            return None
        suffix = int(last_text)
        if suffix == 0 or size == 0:
            return UNSATISFIABLE
        return max(0, size - suffix), size - 1
    first = int(first_text)
    last = int(last_text) if last_text else size - 1
    if last_text and last < first:
        return None
    if first >= size:
        return UNSATISFIABLE
    return first, min(last, size - 1)


def if_range_matches(value, etag, mtime):
    """Only a strong validator that is exactly ours allows a partial answer."""
    value = value.strip()
    if value.startswith("W/"):
        return False
    if value.startswith('"'):
        return value == etag
    parsed = email.utils.parsedate_tz(value)
    if parsed is None:
        return False
    return email.utils.mktime_tz(parsed) == int(mtime)


class FirstTimes:
    """Which (kind, tag, path) keys have had their one faulty response."""

    def __init__(self):
        self._used = set()
        self._lock = threading.Lock()

    def claim(self, key):
        with self._lock:
            if key in self._used:
                return False
            self._used.add(key)
            return True


class BytesBody:
    def __init__(self, data):
        self.data = data
        self.length = len(data)

    def pieces(self):
        yield memoryview(self.data)


class FileBody:
    def __init__(self, source, offset, length):
        self.source = source
        self.offset = offset
        self.length = length

    def pieces(self):
        try:
            self.source.seek(self.offset)
        except OSError as e:
            raise FileFault("cannot seek in %s: %s" % (self.source.name, e)) from None
        buf = bytearray(CHUNK)
        view = memoryview(buf)
        while True:
            try:
                n = self.source.readinto(buf)
            except OSError as e:
                raise FileFault("cannot read %s: %s" % (self.source.name, e)) from None
            if not n:
                return
            yield view[:n]


class PiecesBody:
    """Bodies one after another: the parts of a multipart/byteranges body."""

    def __init__(self, bodies):
        self.bodies = bodies
        self.length = sum(body.length for body in bodies)

    def pieces(self):
        for body in self.bodies:
            left = body.length
            for piece in body.pieces():
                if left <= 0:
                    break
                piece = piece[:left]
                left -= len(piece)
                yield piece


def multipart_body(source, size, content_type, wanted, way):
    """(body, content type) of several ranges, the parts as the way says."""
    parts = list(wanted)
    if way == "reversed":
        parts.reverse()
    elif way == "merged":
        parts = [(parts[i][0], parts[min(i + 1, len(parts) - 1)][1])
                 for i in range(0, len(parts), 2)]
    boundary = "vorn%016x" % random.getrandbits(64)
    bodies = []
    for first, last in parts:
        head = "\r\n--%s\r\nContent-Type: %s\r\nContent-Range: bytes %d-%d/%d\r\n\r\n" % (
            boundary, content_type, first, last, size)
        bodies.append(BytesBody(head.encode("ascii")))
        bodies.append(FileBody(source, first, last - first + 1))
    bodies.append(BytesBody(("\r\n--%s--\r\n" % boundary).encode("ascii")))
    return PiecesBody(bodies), "multipart/byteranges; boundary=" + boundary


def close_gracefully(sock):
    """TLS close_notify, FIN, then wait briefly for the client to hang up."""
    try:
        sock.settimeout(0)
        deadline = time.monotonic() + CLOSE_DRAIN
        while True:
            try:
                sock.unwrap()
                break
            except ssl.SSLWantReadError:
                break  # ours is sent; the client's reply does not matter
            except ssl.SSLWantWriteError:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                poller = select.poll()
                poller.register(sock, select.POLLOUT)
                poller.poll(left * 1000)
        sock.shutdown(socket.SHUT_WR)
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            sock.settimeout(left)
            if not sock.recv(65536):
                break
    except (OSError, ValueError):
        pass
    finally:
        sock.close()


def close_with_reset(sock):
    try:
        deadline = time.monotonic() + DROP_DRAIN
        buf = bytearray(4)
        while time.monotonic() < deadline:
            fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, buf)
            if struct.unpack("i", buf)[0] == 0:
                break
            time.sleep(0.01)
    except OSError:
        pass
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    except OSError:
        pass
    sock.close()


class RequestLog:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8")
        self._lock = threading.Lock()

    def write(self, method, path, headers, number, connection):
        merged = {}
        for name, value in headers.items():
            merged[name] = merged[name] + ", " + value if name in merged else value
        self._write({"method": method, "path": path, "headers": merged, "id": number,
                     "connection": connection})

    def write_response(self, number, connection, status, sent):
        self._write({"response": number, "connection": connection, "status": status,
                     "sent": sent})

    def _write(self, record):
        line = json.dumps(record)
        with self._lock:
            self._file.write(line + "\n")
            self._file.flush()


class Numbers:
    """Numbers for connections and requests, shared by both listeners."""

    def __init__(self):
        self._last = {"connection": 0, "request": 0}
        self._lock = threading.Lock()

    def next(self, kind):
        with self._lock:
            self._last[kind] += 1
            return self._last[kind]


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VornTestUpdateServer/1.0"
    sys_version = ""
    timeout = IDLE_TIMEOUT

    # How the connection ends after this handler: "graceful", "reset", or
    # None when the client is gone or left on its own.
    close_mode = "graceful"

    def log_message(self, format, *args):
        pass

    def setup(self):
        super().setup()
        self.connection_number = self.server.numbers.next("connection")

    def handle_one_request(self):
        self.request_number = None
        self.status_sent = None
        self.body_sent = 0
        try:
            super().handle_one_request()
        finally:
            log = self.server.request_log
            if log is not None and self.request_number is not None:
                try:
                    log.write_response(self.request_number, self.connection_number,
                                       self.status_sent, self.body_sent)
                except OSError as e:
                    _fault("cannot write the request log: %s" % e)

    def send_response(self, code, message=None):
        self.status_sent = code
        super().send_response(code, message)

    def version_string(self):
        return self.server_version

    def handle(self):
        try:
            super().handle()
        except FileFault as e:
            _fault(str(e))
            self.close_mode = "reset"
        except OSError:
            # The client went away (reset, broken pipe, TLS alert, timeout).
            self.close_mode = None
        except Exception:
            _fault("request failed:\n" + traceback.format_exc())
            self.close_mode = "reset"

    def parse_request(self):
        if not super().parse_request():
            return False
        self.request_number = self.server.numbers.next("request")
        log = self.server.request_log
        if log is not None:
            try:
                log.write(self.command, self.path, self.headers, self.request_number,
                          self.connection_number)
            except OSError as e:
                _fault("cannot write the request log: %s" % e)
        return True

    def do_GET(self):
        self._respond(send_body=True)

    def do_HEAD(self):
        self._respond(send_body=False)

    def do_CONNECT(self):
        # A proxy of an office network that lets no tunnel through.
        self._simple(403, b"<html><body>Access denied by the network's policy</body></html>", True)
        self.close_connection = True

    def _discard_request_body(self):
        length = self.headers.get("Content-Length")
        if length is None:
            return
        try:
            left = int(length)
        except ValueError:
            left = 0
        while left > 0:
            data = self.rfile.read(min(left, 65536))
            if not data:
                break
            left -= len(data)

    def _simple(self, status, body, send_body):
        self.send_response(status)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if send_body:
            self.wfile.write(body)
            self.body_sent += len(body)

    def _respond(self, send_body):
        self._discard_request_body()
        try:
            plan, parts = parse_target(self.path)
        except BadRequest:
            self._simple(400, BAD_REQUEST_BODY, send_body)
            return

        if plan.tohttp:
            location = "http://localhost:%d/%s" % (
                self.server.plain_port, "/".join(urllib.parse.quote(part) for part in parts))
            self.send_response(302)
            self.send_header("Location", location)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return

        root = self.server.root
        full = os.path.realpath(os.path.join(root, *parts))
        if os.path.commonpath([root, full]) != root:
            self._simple(403, FORBIDDEN_BODY, send_body)
            return

        source = None
        try:
            source = open(full, "rb")
            info = os.fstat(source.fileno())
            # By the requested name, not the target of a link.
            content_type = ("application/json" if parts[-1].lower().endswith(".json")
                            else "application/octet-stream")
        except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
            self._send(plan, BytesBody(NOT_FOUND_BODY), "text/html", plan.status or 404,
                       [], send_body)
            return
        except PermissionError:
            self._simple(403, FORBIDDEN_BODY, send_body)
            return
        except OSError as e:
            if source is not None:
                source.close()
            _fault("cannot open %s: %s" % (full, e))
            self._simple(500, SERVER_ERROR_BODY, send_body)
            return
        if plan.resetfirst is not None and self.server.first_times.claim(
                ("resetfirst", plan.resetfirst, "/".join(parts))):
            source.close()
            self.close_connection = True
            self.close_mode = "reset"
            return
        try:
            self._send_file(plan, source, info, content_type, send_body, "/".join(parts))
        finally:
            source.close()

    def _send_file(self, plan, source, info, content_type, send_body, path):
        size = info.st_size
        # Nanoseconds and the inode, so a file rewritten within the same
        # second, or replaced by another of the same size, gets a new tag.
        etag = '"%x-%x-%x"' % (info.st_ino, size, info.st_mtime_ns)
        status = plan.status or 200
        body = FileBody(source, 0, size)
        start = 0  # the file offset of the body's first byte
        headers = []
        if plan.encoding is not None:
            try:
                data = source.read()
            except OSError as e:
                raise FileFault("cannot read %s: %s" % (source.name, e)) from None
            if plan.encoding == "gzip":
                data = gzip.compress(data, mtime=0)
            else:
                data = zlib.compress(data)
            body = BytesBody(data)
            headers.append(("Content-Encoding", plan.encoding))
            # Another representation: weak, as nginx makes it, so it can never
            # validate a range of the plain file.
            etag = 'W/"%x-%x-%x-%s"' % (info.st_ino, size, info.st_mtime_ns, plan.encoding)
        headers.append(("ETag", etag))
        headers.append(("Last-Modified", email.utils.formatdate(info.st_mtime, usegmt=True)))
        if plan.status is None and not plan.norange and plan.encoding is None:
            headers.append(("Accept-Ranges", "bytes"))
            wanted = self._wanted_range(size, etag, info.st_mtime)
            several = None
            if wanted is None and plan.multipart is not None:
                several = self._wanted_ranges(size, etag, info.st_mtime)
            if several is not None and plan.multipart == "single":
                wanted = (min(w[0] for w in several), max(w[1] for w in several))
                several = None
            if several is not None:
                status = 206
                body, content_type = multipart_body(source, size, content_type, several,
                                                    plan.multipart)
            elif wanted == UNSATISFIABLE:
                status = 416
                content_type = "text/html"
                body = BytesBody(RANGE_BODY)
                headers.append(("Content-Range", "bytes */%d" % size))
            elif wanted is not None:
                first, last = wanted
                start = first
                status = 206
                body = FileBody(source, first, last - first + 1)
                headers.append(("Content-Range", "bytes %d-%d/%d" % (first, last, size)))
        if plan.capat is not None and not os.path.exists(
                os.path.join(self.server.root, "_release", plan.capat[1])):
            plan.cap = max(0, plan.capat[0] - start)
        self._send(plan, body, content_type, status, headers, send_body, path)

    def _wanted_range(self, size, etag, mtime):
        header = self._range_header(etag, mtime)
        return None if header is None else parse_range(header, size)

    def _wanted_ranges(self, size, etag, mtime):
        header = self._range_header(etag, mtime)
        return None if header is None else parse_ranges(header, size)

    def _range_header(self, etag, mtime):
        """The Range header, unless an If-Range of another version voids it."""
        header = self.headers.get("Range")
        if header is None:
            return None
        if_range = self.headers.get("If-Range")
        if if_range is not None and not if_range_matches(if_range, etag, mtime):
            return None
        return header

    def _send(self, plan, body, content_type, status, headers, send_body, path=None):
        """Sends the response as the plan spoils it; path is set for files."""
        if plan.stall_ms:
            time.sleep(plan.stall_ms / 1000.0)

        size = body.length
        half = size // 2
        bodyless = status in (204, 304)
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        if plan.length_text is not None:
            self.send_header("Content-Length", plan.length_text)
        elif plan.nolength:
            pass
        elif plan.long:
            self.send_header("Content-Length", str(half))
        elif not bodyless:
            self.send_header("Content-Length", str(size))
        if plan.nolength or plan.close:
            self.send_header("Connection", "close")
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()

        cut = stall = None
        if send_body and not bodyless and path is not None:
            first_times = self.server.first_times
            if plan.cut is not None and first_times.claim(("cut", plan.cut.tag, path)):
                cut = plan.cut
            if plan.stallat is not None and (
                    plan.stallat.tag is None
                    or first_times.claim(("stallat", plan.stallat.tag, path))):
                stall = plan.stallat

        if plan.closes() or cut is not None:
            self.close_connection = True
        if plan.hold is not None and not self._wait_for_release(plan.hold):
            self.close_connection = True
            return
        if plan.giveup_ms is not None:
            self.connection.settimeout(plan.giveup_ms / 1000.0)
        if send_body and not bodyless:
            count = half if (plan.short or plan.drop) else size
            if cut is not None:
                count = min(count, cut.at)
            if plan.cap is not None:
                count = min(count, plan.cap)
            self._send_body(body, count, plan.rate, stall)
        if plan.drop or (cut is not None and cut.reset):
            self.close_mode = "reset"

    def _wait_for_release(self, name):
        flag = os.path.join(self.server.root, "_release", name)
        deadline = time.monotonic() + HOLD_LIMIT
        while not os.path.exists(flag):
            if time.monotonic() >= deadline:
                return False
            time.sleep(HOLD_POLL)
        return True

    def _pause(self, ms):
        """Sends nothing for ms; ends early when the client hangs up."""
        poller = select.poll()
        poller.register(self.connection, select.POLLRDHUP | select.POLLHUP | select.POLLERR)
        deadline = time.monotonic() + ms / 1000.0
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return
            if poller.poll(left * 1000):
                # A client that timed out has gone; nobody reads the rest.
                raise ConnectionAbortedError("client left during the stall")

    def _send_body(self, body, count, rate, stall=None):
        # At most 64 KiB a write, so that the bytes counted as sent are those
        # the socket took before a client went away.
        piece_size = max(1, min(rate // 20, 65536)) if rate else 65536
        started = time.monotonic()
        sent = 0
        if stall is not None and stall.at == 0 and count > 0:
            self._pause(stall.ms)
            stall = None
        for data in body.pieces():
            if sent >= count:
                break
            data = data[:count - sent]
            while data:
                take = min(len(data), piece_size)
                if stall is not None:
                    take = min(take, stall.at - sent)
                chunk = data[:take]
                data = data[take:]
                self.wfile.write(chunk)
                sent += len(chunk)
                self.body_sent += len(chunk)
                if stall is not None and sent == stall.at and sent < count:
                    self._pause(stall.ms)
                    stall = None
                if rate:
                    delay = started + sent / rate - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
        if sent < count:
            # The file shrank under us; the announced length is now a lie.
            self.close_connection = True
            self.close_mode = "reset"


class TLSServer(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64

    def __init__(self, address, family, ssl_context, root, request_log, first_times, numbers):
        self.address_family = family
        self.ssl_context = ssl_context
        self.root = root
        self.request_log = request_log
        self.first_times = first_times
        self.numbers = numbers
        super().__init__(address, Handler)

    def server_bind(self):
        if self.address_family == socket.AF_INET6:
            self.socket.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        # Skips HTTPServer.server_bind, whose getfqdn() may wait on DNS.
        socketserver.TCPServer.server_bind(self)
        self.server_name = self.server_address[0]
        self.server_port = self.server_address[1]

    def finish_request(self, request, client_address):
        # The TLS handshake happens here, in the connection's own thread, so
        # a slow or silent client cannot hold up accept().
        request.settimeout(HANDSHAKE_TIMEOUT)
        try:
            conn = (request if self.ssl_context is None
                    else self.ssl_context.wrap_socket(request, server_side=True))
        except (OSError, ValueError):
            return  # not TLS, or gone before the handshake finished
        mode = None
        try:
            handler = self.RequestHandlerClass(conn, client_address, self)
            mode = handler.close_mode
        finally:
            if mode == "graceful":
                close_gracefully(conn)
            elif mode == "reset":
                close_with_reset(conn)
            else:
                conn.close()

    def handle_error(self, request, client_address):
        _fault("connection from %s failed:\n%s"
               % (client_address, traceback.format_exc()))


def bind_servers(port, ssl_context, root, request_log):
    """Listeners on 127.0.0.1 and ::1 sharing one port number."""
    # One memory of used tags: a client may resume over the other address.
    first_times = FirstTimes()
    numbers = Numbers()
    attempts = 20 if port == 0 else 1
    for attempt in range(attempts):
        v4 = TLSServer(("127.0.0.1", port), socket.AF_INET, ssl_context, root, request_log,
                       first_times, numbers)
        if not socket.has_ipv6:
            return [v4]
        chosen = v4.server_address[1]
        try:
            v6 = TLSServer(("::1", chosen, 0, 0), socket.AF_INET6, ssl_context, root, request_log,
                           first_times, numbers)
        except OSError as e:
            if e.errno in (errno.EADDRNOTAVAIL, errno.EAFNOSUPPORT, errno.EPROTONOSUPPORT):
                return [v4]  # no IPv6 loopback here
            v4.server_close()
            if e.errno == errno.EADDRINUSE and attempt + 1 < attempts:
                continue  # someone else has this number on ::1; pick another
            raise
        return [v4, v6]
    raise AssertionError("unreachable")


def write_atomically(path, text):
    tmp = "%s.%d.tmp" % (path, os.getpid())
    with open(tmp, "w") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--root", required=True)
    parser.add_argument("--certfile", required=True)
    parser.add_argument("--keyfile", required=True)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--plain-port-file")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--log")
    parser.add_argument("--pid-file")
    args = parser.parse_args(argv)

    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())

    root = os.path.realpath(args.root)
    if not os.path.isdir(root):
        _fault("root %s is not a folder" % args.root)
        return 2
    try:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        ctx.load_cert_chain(args.certfile, args.keyfile)
        ctx.set_alpn_protocols(["http/1.1"])
        request_log = RequestLog(args.log) if args.log else None
        servers = bind_servers(args.port, ctx, root, request_log)
        # Plain HTTP, where _tohttp leads.
        plain = TLSServer(("127.0.0.1", 0), socket.AF_INET, None, root, request_log,
                          FirstTimes(), Numbers())
        for server in servers + [plain]:
            server.plain_port = plain.server_address[1]
        servers.append(plain)
    except (OSError, ssl.SSLError) as e:
        _fault("cannot start: %s" % e)
        return 2

    threads = []
    for server in servers:
        t = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2},
                             name="serve-%s" % server.server_address[0], daemon=True)
        t.start()
        threads.append(t)

    if args.pid_file:
        write_atomically(args.pid_file, str(os.getpid()))
    if args.plain_port_file:
        write_atomically(args.plain_port_file, str(plain.server_address[1]))
    write_atomically(args.port_file, str(servers[0].server_address[1]))

    while not stop.wait(1.0):
        pass
    for server in servers:
        server.shutdown()
    for server in servers:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
