#!/usr/bin/env python3
"""Checks the test update server and its certificates end to end.

Runs the real update_server.py as a subprocess with certificates from
make_test_certs.sh, and talks to it over TLS the way the launcher does:
trusting only the test CA and asking for the name "localhost".

    python3 tests/harness/test_update_server.py
"""

import datetime
import email.utils
import gzip
import http.client
import json
import os
import random
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = os.path.join(HERE, "update_server.py")
MAKE_CERTS = os.path.join(HERE, "make_test_certs.sh")

NOT_FOUND_BODY = b"<html><body><h1>404 Not Found</h1></body></html>"
CERT_FILES = ("ca.key", "ca.pem", "ca.der", "server.key", "server.pem")
TCP_CLOSE = 7  # tcpi_state values from linux/tcp.h
# Only there so a broken server fails the run instead of hanging it.
HANG_GUARD = 30

_tmp = None
_certs = None


def setUpModule():
    global _tmp, _certs
    _tmp = tempfile.mkdtemp(prefix="update-server-test-")
    _certs = os.path.join(_tmp, "certs")
    out = subprocess.run([MAKE_CERTS, _certs], capture_output=True, text=True)
    if out.returncode != 0:
        raise RuntimeError("make_test_certs.sh failed:\n" + out.stderr)


def tearDownModule():
    shutil.rmtree(_tmp, ignore_errors=True)


def client_context():
    # With a cafile, the system store is left out: only the test CA counts.
    return ssl.create_default_context(cafile=os.path.join(_certs, "ca.pem"))


def have_ipv6_loopback():
    if not socket.has_ipv6:
        return False
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class Connection(http.client.HTTPSConnection):
    """HTTPS to a chosen loopback address, verified as "localhost"."""

    def __init__(self, port, address="127.0.0.1"):
        super().__init__("localhost", port, timeout=HANG_GUARD, context=client_context())
        self._address = address

    def connect(self):
        raw = socket.create_connection((self._address, self.port), self.timeout)
        self.sock = self._context.wrap_socket(raw, server_hostname="localhost")


class RawResponse:
    def __init__(self, data, end):
        head, sep, self.body = bytes(data).partition(b"\r\n\r\n")
        if not sep:
            raise AssertionError("no complete header block in %r" % bytes(data[:200]))
        lines = head.decode("latin-1").split("\r\n")
        self.status_line = lines[0]
        self.header_lines = lines[1:]
        self.end = end  # "closed" (close_notify), "ragged" (bare FIN), or "reset"

    def header(self, name):
        found = [line.split(":", 1)[1].strip() for line in self.header_lines
                 if line.split(":", 1)[0].lower() == name.lower()]
        return found[0] if found else None


def request_bytes(path, port, headers=None):
    lines = ["GET %s HTTP/1.1" % path, "Host: localhost:%d" % port]
    lines += ["%s: %s" % item for item in (headers or {}).items()]
    return ("\r\n".join(lines) + "\r\n\r\n").encode()


def raw_get(port, path, address="127.0.0.1", headers=None):
    """One GET on a fresh connection; reads every byte until the server ends it."""
    raw = socket.create_connection((address, port), HANG_GUARD)
    tls = client_context().wrap_socket(raw, server_hostname="localhost",
                                       suppress_ragged_eofs=False)
    with tls:
        tls.sendall(request_bytes(path, port, headers))
        data = bytearray()
        while True:
            try:
                chunk = tls.recv(65536)
            except ConnectionResetError:
                return RawResponse(data, "reset")
            except ssl.SSLEOFError:
                # OpenSSL 3 reports a reset as an EOF too; the TCP state tells
                # them apart: CLOSE after a reset, CLOSE_WAIT after a FIN.
                state = tls.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 1)[0]
                return RawResponse(data, "reset" if state == TCP_CLOSE else "ragged")
            if not chunk:
                return RawResponse(data, "closed")
            data += chunk


def start_server(workdir, root, *extra):
    os.makedirs(workdir, exist_ok=True)
    port_file = os.path.join(workdir, "port")
    stderr_path = os.path.join(workdir, "stderr")
    with open(stderr_path, "wb") as err:
        proc = subprocess.Popen(
            [sys.executable, SERVER, "--root", root,
             "--certfile", os.path.join(_certs, "server.pem"),
             "--keyfile", os.path.join(_certs, "server.key"),
             "--port-file", port_file] + list(extra),
            stdout=err, stderr=err)
    deadline = time.monotonic() + HANG_GUARD
    while not os.path.exists(port_file):
        if proc.poll() is not None or time.monotonic() > deadline:
            proc.kill()
            proc.wait()
            with open(stderr_path) as f:
                raise RuntimeError("update server did not start:\n" + f.read())
        time.sleep(0.02)
    with open(port_file) as f:
        port = int(f.read())
    return proc, port, stderr_path


def stop_server(proc, sig=signal.SIGTERM):
    proc.send_signal(sig)
    try:
        return proc.wait(HANG_GUARD)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        raise AssertionError("update server ignored %s" % sig.name)


class CertificateTest(unittest.TestCase):
    def openssl_text(self, name):
        return subprocess.run(
            ["openssl", "x509", "-in", os.path.join(_certs, name), "-noout", "-text"],
            capture_output=True, text=True, check=True).stdout

    def test_ca_der_is_the_pem_certificate(self):
        with open(os.path.join(_certs, "ca.pem")) as f:
            pem = f.read()
        with open(os.path.join(_certs, "ca.der"), "rb") as f:
            der = f.read()
        self.assertEqual(ssl.PEM_cert_to_DER_cert(pem), der)

    def test_ca_is_a_signing_ca_named_for_the_launcher(self):
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.load_verify_locations(os.path.join(_certs, "ca.pem"))
        (ca,) = ctx.get_ca_certs()
        self.assertEqual(ca["subject"], ((("commonName", "Vorn Launcher Test CA"),),))
        self.assertEqual(ca["issuer"], ca["subject"])
        text = self.openssl_text("ca.pem")
        self.assertRegex(text, r"Basic Constraints: critical\s+CA:TRUE")
        self.assertRegex(text, r"Key Usage: critical\s+Certificate Sign, CRL Sign")
        self.assertIn("Public-Key: (2048 bit)", text)

    def test_server_certificate_names_localhost_and_the_second_host(self):
        text = self.openssl_text("server.pem")
        self.assertRegex(text, r"Subject: CN ?= ?localhost\n")
        self.assertRegex(text, r"Subject Alternative Name: *\n\s+DNS:localhost, DNS:vm\n")
        self.assertNotIn("IP Address", text)
        self.assertRegex(text, r"Extended Key Usage: *\n\s+TLS Web Server Authentication\n")
        self.assertRegex(text, r"Key Usage: critical\s+Digital Signature, Key Encipherment\n")

    def test_certificates_start_a_day_early_and_last_years(self):
        now = datetime.datetime.now(datetime.timezone.utc)
        for name in ("ca.pem", "server.pem"):
            dates = subprocess.run(
                ["openssl", "x509", "-in", os.path.join(_certs, name), "-noout",
                 "-startdate", "-enddate"], capture_output=True, text=True, check=True).stdout
            fields = dict(line.split("=", 1) for line in dates.splitlines())
            start = datetime.datetime.fromtimestamp(
                ssl.cert_time_to_seconds(fields["notBefore"]), datetime.timezone.utc)
            end = datetime.datetime.fromtimestamp(
                ssl.cert_time_to_seconds(fields["notAfter"]), datetime.timezone.utc)
            self.assertLessEqual(start, now - datetime.timedelta(hours=23), name)
            self.assertGreaterEqual(end, now + datetime.timedelta(days=9 * 365), name)

    def test_rerun_keeps_existing_files(self):
        before = {}
        for name in CERT_FILES:
            with open(os.path.join(_certs, name), "rb") as f:
                before[name] = f.read()
        out = subprocess.run([MAKE_CERTS, _certs], capture_output=True)
        self.assertEqual((out.returncode, out.stdout, out.stderr), (0, b"", b""))
        for name in CERT_FILES:
            with open(os.path.join(_certs, name), "rb") as f:
                self.assertEqual(f.read(), before[name], name)

    def test_set_without_the_second_name_is_made_again(self):
        other = os.path.join(_tmp, "certs-old")
        shutil.copytree(_certs, other)
        # What the script made before "vm" was added: localhost alone.
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
             "-keyout", os.path.join(other, "server.key"),
             "-out", os.path.join(other, "server.pem")], check=True, capture_output=True)
        with open(os.path.join(other, "ca.der"), "rb") as f:
            old_ca = f.read()
        out = subprocess.run([MAKE_CERTS, other], capture_output=True)
        self.assertEqual((out.returncode, out.stdout, out.stderr), (0, b"", b""))
        with open(os.path.join(other, "ca.der"), "rb") as f:
            self.assertNotEqual(f.read(), old_ca)
        text = subprocess.run(
            ["openssl", "x509", "-in", os.path.join(other, "server.pem"), "-noout", "-ext",
             "subjectAltName"], capture_output=True, text=True, check=True).stdout
        self.assertIn("DNS:localhost, DNS:vm", text)
        check = subprocess.run(
            ["openssl", "verify", "-CAfile", os.path.join(other, "ca.pem"),
             os.path.join(other, "server.pem")], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)

    def test_missing_file_gives_a_complete_matching_set(self):
        other = os.path.join(_tmp, "certs-partial")
        shutil.copytree(_certs, other)
        os.remove(os.path.join(other, "server.pem"))
        out = subprocess.run([MAKE_CERTS, other], capture_output=True)
        self.assertEqual((out.returncode, out.stdout, out.stderr), (0, b"", b""))
        self.assertEqual(sorted(f for f in os.listdir(other) if not f.startswith(".")),
                         sorted(CERT_FILES))
        check = subprocess.run(
            ["openssl", "verify", "-CAfile", os.path.join(other, "ca.pem"),
             os.path.join(other, "server.pem")], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)


class UpdateServerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = os.path.join(_tmp, "server")
        cls.root = os.path.join(cls.work, "www")
        os.makedirs(os.path.join(cls.root, "builds"))
        rng = random.Random(1234)
        # Odd sizes, and one that spans several 1 MiB reads.
        cls.big = rng.randbytes(2 * 1024 * 1024 + 12345)
        cls.small = rng.randbytes(100001)
        cls.manifest = b'{"version": "1.2.3"}'
        cls.put("builds/game.zip", cls.big)
        cls.put("small.bin", cls.small)
        cls.put("manifest.json", cls.manifest)
        cls.put("sub/inside.txt", b"inside")
        cls.put("_release/.keep", b"")
        with open(os.path.join(cls.work, "secret.txt"), "wb") as f:
            f.write(b"SECRET OUTSIDE ROOT")
        os.symlink(os.path.join(cls.work, "secret.txt"), os.path.join(cls.root, "link.txt"))
        cls.log_path = os.path.join(cls.work, "requests.log")
        cls.proc, cls.port, cls.stderr_path = start_server(
            cls.work, cls.root, "--log", cls.log_path)

    @classmethod
    def tearDownClass(cls):
        code = stop_server(cls.proc)
        with open(cls.stderr_path) as f:
            stderr = f.read()
        # After resets, short reads and abandoned downloads: no tracebacks.
        if code != 0 or stderr:
            raise AssertionError("server exit %d, stderr:\n%s" % (code, stderr))

    @classmethod
    def put(cls, rel, data):
        path = os.path.join(cls.root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def get(self, path, conn=None, headers=None):
        own = conn is None
        conn = conn or Connection(self.port)
        try:
            conn.request("GET", path, headers=headers or {})
            resp = conn.getresponse()
            return resp, resp.read()
        finally:
            if own:
                conn.close()

    def test_serves_file_with_exact_bytes_and_length(self):
        resp, body = self.get("/builds/game.zip")
        self.assertEqual(resp.status, 200)
        self.assertEqual(resp.getheader("Content-Length"), str(len(self.big)))
        self.assertEqual(resp.getheader("Content-Type"), "application/octet-stream")
        self.assertEqual(body, self.big)

    def test_json_content_type(self):
        resp, body = self.get("/manifest.json")
        self.assertEqual(resp.getheader("Content-Type"), "application/json")
        self.assertEqual(body, self.manifest)

    def test_url_encoded_path(self):
        self.put("with space/a+b.bin", b"encoded")
        resp, body = self.get("/with%20space/a%2Bb.bin")
        self.assertEqual((resp.status, body), (200, b"encoded"))

    def test_missing_file_is_404_with_html_body(self):
        resp, body = self.get("/builds/nothere.zip")
        self.assertEqual(resp.status, 404)
        self.assertEqual(body, NOT_FOUND_BODY)
        self.assertEqual(resp.getheader("Content-Length"), str(len(NOT_FOUND_BODY)))

    def test_paths_leaving_root_are_refused(self):
        # http.client sends these verbatim, unlike curl or a browser.
        for path in ("/../secret.txt", "/%2e%2e/secret.txt", "/sub/..%2F..%2Fsecret.txt",
                     "/sub/../../secret.txt", "/_status/200/../secret.txt",
                     "/" + "%2F".join(self.work.split("/")) + "%2Fsecret.txt", "/link.txt"):
            with self.subTest(path=path):
                resp, body = self.get(path)
                self.assertEqual(resp.status, 403)
                self.assertNotIn(b"SECRET", body)

    def test_dot_dot_that_stays_inside_root_is_served(self):
        resp, body = self.get("/sub/../sub/inside.txt")
        self.assertEqual((resp.status, body), (200, b"inside"))

    def test_keep_alive_survives_every_well_formed_response(self):
        conn = Connection(self.port)
        try:
            first_sock = None
            for path, status, expected in (
                    ("/small.bin", 200, self.small),
                    ("/nothere", 404, NOT_FOUND_BODY),
                    ("/_status/500/manifest.json", 500, self.manifest),
                    ("/_status/503/nothere", 503, NOT_FOUND_BODY),
                    ("/_stall/10/manifest.json", 200, self.manifest),
                    ("/_slow/10000000/small.bin", 200, self.small),
                    ("/../secret.txt", 403, None),
                    ("/manifest.json", 200, self.manifest)):
                with self.subTest(path=path):
                    resp, body = self.get(path, conn)
                    self.assertEqual(resp.status, status)
                    if expected is not None:
                        self.assertEqual(body, expected)
                    self.assertFalse(resp.will_close)
                    first_sock = first_sock or conn.sock
                    self.assertIs(conn.sock, first_sock)
        finally:
            conn.close()

    def test_head_gives_length_without_body(self):
        conn = Connection(self.port)
        try:
            conn.request("HEAD", "/small.bin")
            resp = conn.getresponse()
            self.assertEqual(resp.getheader("Content-Length"), str(len(self.small)))
            self.assertEqual(resp.read(), b"")
            # Any stray body bytes would garble this second response.
            resp, body = self.get("/manifest.json", conn)
            self.assertEqual((resp.status, body), (200, self.manifest))
        finally:
            conn.close()

    def test_nolength_ends_body_by_closing(self):
        r = raw_get(self.port, "/_nolength/small.bin")
        self.assertEqual(r.status_line, "HTTP/1.1 200 OK")
        self.assertIsNone(r.header("Content-Length"))
        self.assertEqual(r.header("Connection"), "close")
        self.assertEqual(r.body, self.small)
        # A clean TLS close, or clients cannot tell the end from truncation.
        self.assertEqual(r.end, "closed")

    def test_length_sends_header_text_verbatim(self):
        for text, encoded in (("abc", "abc"), ("0", "0"), ("12 34", "12%2034")):
            with self.subTest(text=text):
                r = raw_get(self.port, "/_length/%s/manifest.json" % encoded)
                self.assertIn("Content-Length: " + text, r.header_lines)
                self.assertEqual(r.body, self.manifest)
                self.assertEqual(r.end, "closed")

    def test_short_announces_all_and_sends_half(self):
        r = raw_get(self.port, "/_short/small.bin")
        self.assertEqual(r.header("Content-Length"), str(len(self.small)))
        self.assertEqual(r.body, self.small[:len(self.small) // 2])
        self.assertEqual(r.end, "closed")

    def test_long_announces_half_and_sends_all(self):
        r = raw_get(self.port, "/_long/small.bin")
        self.assertEqual(r.header("Content-Length"), str(len(self.small) // 2))
        self.assertEqual(r.body, self.small)
        self.assertEqual(r.end, "closed")

    def test_drop_resets_after_half(self):
        r = raw_get(self.port, "/_drop/builds/game.zip")
        self.assertEqual(r.header("Content-Length"), str(len(self.big)))
        self.assertEqual(r.end, "reset")
        # The server lets the half drain before the reset, so none of it is lost.
        self.assertEqual(r.body, self.big[:len(self.big) // 2])

    def test_drop_seen_by_http_client(self):
        conn = Connection(self.port)
        try:
            conn.request("GET", "/_drop/small.bin")
            resp = conn.getresponse()
            with self.assertRaises((http.client.IncompleteRead, ConnectionResetError)):
                resp.read()
        finally:
            conn.close()

    def test_status_with_file_body(self):
        resp, body = self.get("/_status/500/small.bin")
        self.assertEqual(resp.status, 500)
        self.assertEqual(body, self.small)

    def test_modifiers_chain_in_any_order(self):
        for path in ("/_status/503/_nolength/_stall/20/manifest.json",
                     "/_stall/20/_nolength/_status/503/manifest.json"):
            with self.subTest(path=path):
                r = raw_get(self.port, path)
                self.assertTrue(r.status_line.startswith("HTTP/1.1 503 "), r.status_line)
                self.assertIsNone(r.header("Content-Length"))
                self.assertEqual(r.body, self.manifest)

    def test_bad_modifier_argument_is_400(self):
        for path in ("/_status/abc/small.bin", "/_slow/0/small.bin", "/_stall"):
            with self.subTest(path=path):
                resp, _ = self.get(path)
                self.assertEqual(resp.status, 400)

    def test_underscore_folder_that_is_no_modifier_is_a_path(self):
        self.put("_release/plain.txt", b"plain")
        resp, body = self.get("/_release/plain.txt")
        self.assertEqual((resp.status, body), (200, b"plain"))

    def test_stall_delays_the_headers(self):
        conn = Connection(self.port)
        try:
            conn.connect()
            started = time.monotonic()
            conn.request("GET", "/_stall/300/manifest.json")
            resp = conn.getresponse()
            waited = time.monotonic() - started
            self.assertEqual(resp.read(), self.manifest)
        finally:
            conn.close()
        self.assertGreaterEqual(waited, 0.29)

    def test_slow_throttles_the_body(self):
        rate = 40000
        data = self.small[:rate]
        self.put("slow.bin", data)
        started = time.monotonic()
        resp, body = self.get("/_slow/%d/slow.bin" % rate)
        waited = time.monotonic() - started
        self.assertEqual(body, data)
        # About one second at full accuracy; half leaves room for rounding.
        self.assertGreaterEqual(waited, 0.5)

    def test_hold_keeps_the_body_until_released(self):
        conn = Connection(self.port)
        try:
            conn.request("GET", "/_hold/hold-test/small.bin")
            resp = conn.getresponse()
            self.assertEqual(resp.status, 200)
            self.assertEqual(resp.getheader("Content-Length"), str(len(self.small)))
            first_byte = threading.Event()
            result = {}

            def read_body():
                try:
                    head = resp.read(1)
                    first_byte.set()
                    result["body"] = head + resp.read()
                except Exception as e:
                    result["error"] = e
                    first_byte.set()

            reader = threading.Thread(target=read_body, daemon=True)
            reader.start()
            self.assertFalse(first_byte.wait(0.5), "body arrived before the release")
            self.put("_release/hold-test", b"")
            reader.join(HANG_GUARD)
            self.assertNotIn("error", result)
            self.assertEqual(result.get("body"), self.small)
        finally:
            conn.close()

    def test_log_records_request_headers(self):
        marker = "/nothere?marker=%d" % random.randrange(10 ** 9)
        headers = {"User-Agent": "VornLauncher/0.1 (test)", "Pragma": "no-cache",
                   "Cache-Control": "no-cache"}
        self.get(marker, headers=headers)
        with open(self.log_path) as f:
            entries = [json.loads(line) for line in f]
        mine = [e for e in entries if e.get("path") == marker]
        self.assertEqual(len(mine), 1)
        self.assertEqual(mine[0]["method"], "GET")
        for name, value in headers.items():
            self.assertEqual(mine[0]["headers"].get(name), value)
        self.assertEqual(mine[0]["headers"].get("Host"), "localhost:%d" % self.port)

    # Validators and ranges, the ground a resuming client stands on.

    def unique_tag(self):
        return "t%d" % random.randrange(10 ** 12)

    def validators(self, path):
        resp, _ = self.get(path)
        return resp.getheader("ETag"), resp.getheader("Last-Modified")

    def test_file_response_carries_validators_and_accepts_ranges(self):
        resp, body = self.get("/builds/game.zip")
        self.assertEqual((resp.status, body), (200, self.big))
        self.assertEqual(resp.getheader("Accept-Ranges"), "bytes")
        self.assertRegex(resp.getheader("ETag"), r'^"[0-9a-f]+(-[0-9a-f]+)+"$')
        mtime = int(os.stat(os.path.join(self.root, "builds/game.zip")).st_mtime)
        self.assertEqual(resp.getheader("Last-Modified"),
                         email.utils.formatdate(mtime, usegmt=True))
        # The same file keeps its tag; an error page has none.
        self.assertEqual(self.validators("/builds/game.zip")[0], resp.getheader("ETag"))
        resp, _ = self.get("/builds/nothere.zip")
        self.assertIsNone(resp.getheader("ETag"))
        self.assertIsNone(resp.getheader("Accept-Ranges"))

    def test_etag_changes_when_a_file_is_rewritten_with_the_same_size(self):
        path = os.path.join(self.root, "rewritten.bin")
        self.put("rewritten.bin", b"a" * 1000)
        # Whole seconds, so that a millisecond later is the same second.
        first_ns = (os.stat(path).st_mtime_ns // 10 ** 9) * 10 ** 9
        os.utime(path, ns=(first_ns, first_ns))
        before = self.validators("/rewritten.bin")
        # Rewritten in place within the same second.
        self.put("rewritten.bin", b"b" * 1000)
        os.utime(path, ns=(first_ns, first_ns + 10 ** 6))
        after = self.validators("/rewritten.bin")
        self.assertEqual(after[1], before[1])
        self.assertNotEqual(after[0], before[0])
        # Replaced by another file of the same size and time.
        replacement = os.path.join(self.root, "replacement.bin")
        with open(replacement, "wb") as f:
            f.write(b"c" * 1000)
        os.utime(replacement, ns=(first_ns, first_ns + 10 ** 6))
        os.replace(replacement, path)
        self.assertNotEqual(self.validators("/rewritten.bin")[0], after[0])

    def test_open_range_gives_206_with_the_tail(self):
        size = len(self.big)
        # Starts inside the server's first read and crosses the others.
        for first in (0, 1, 1024 * 1024 - 1, size - 1):
            with self.subTest(first=first):
                resp, body = self.get("/builds/game.zip",
                                      headers={"Range": "bytes=%d-" % first})
                self.assertEqual(resp.status, 206)
                self.assertEqual(resp.getheader("Content-Range"),
                                 "bytes %d-%d/%d" % (first, size - 1, size))
                self.assertEqual(resp.getheader("Content-Length"), str(size - first))
                self.assertEqual(resp.getheader("Content-Type"), "application/octet-stream")
                self.assertEqual(body, self.big[first:])

    def test_closed_and_suffix_ranges(self):
        size = len(self.small)
        for wanted, first, last in (("bytes=10-19", 10, 19), ("bytes=0-0", 0, 0),
                                  ("bytes=%d-%d" % (size - 5, size + 1000), size - 5, size - 1),
                                  ("bytes=-100", size - 100, size - 1),
                                  ("bytes=-%d" % (size * 2), 0, size - 1),
                                  ("BYTES = 5-6", 5, 6)):
            with self.subTest(wanted=wanted):
                resp, body = self.get("/small.bin", headers={"Range": wanted})
                self.assertEqual(resp.status, 206)
                self.assertEqual(resp.getheader("Content-Range"),
                                 "bytes %d-%d/%d" % (first, last, size))
                self.assertEqual(resp.getheader("Content-Length"), str(last - first + 1))
                self.assertEqual(body, self.small[first:last + 1])

    def test_range_past_the_end_is_416(self):
        size = len(self.small)
        for wanted in ("bytes=%d-" % size, "bytes=%d-%d" % (size + 1, size + 9), "bytes=-0"):
            with self.subTest(wanted=wanted):
                resp, body = self.get("/small.bin", headers={"Range": wanted})
                self.assertEqual(resp.status, 416)
                self.assertEqual(resp.getheader("Content-Range"), "bytes */%d" % size)
                self.assertEqual(resp.getheader("Content-Length"), str(len(body)))
                self.assertNotIn(self.small[:20], body)

    def test_several_or_malformed_ranges_get_the_whole_file(self):
        for wanted in ("bytes=0-1,5-6", "bytes=9-2", "items=0-5", "bytes=abc-", "bytes=-",
                     "bytes 0-5", "bytes=+1-5"):
            with self.subTest(wanted=wanted):
                resp, body = self.get("/small.bin", headers={"Range": wanted})
                self.assertEqual(resp.status, 200)
                self.assertIsNone(resp.getheader("Content-Range"))
                self.assertEqual(body, self.small)

    def test_if_range_with_our_validators_allows_the_range(self):
        etag, last_modified = self.validators("/small.bin")
        for validator in (etag, last_modified):
            with self.subTest(validator=validator):
                resp, body = self.get("/small.bin", headers={
                    "Range": "bytes=100-", "If-Range": validator})
                self.assertEqual(resp.status, 206)
                self.assertEqual(body, self.small[100:])

    def test_if_range_with_another_validator_gives_the_whole_file(self):
        etag, last_modified = self.validators("/small.bin")
        mtime = email.utils.mktime_tz(email.utils.parsedate_tz(last_modified))
        # The same tag with its last digit changed.
        near = etag[:-2] + ("1" if etag[-2] == "0" else "0") + '"'
        for validator in ('"other"', "W/" + etag, near,
                          email.utils.formatdate(mtime - 1, usegmt=True),
                          email.utils.formatdate(mtime + 1, usegmt=True), "not a date", ""):
            with self.subTest(validator=validator):
                resp, body = self.get("/small.bin", headers={
                    "Range": "bytes=100-", "If-Range": validator})
                self.assertEqual(resp.status, 200)
                self.assertEqual(resp.getheader("Content-Length"), str(len(self.small)))
                self.assertEqual(body, self.small)

    def test_if_range_of_a_replaced_file_restarts(self):
        self.put("changing.bin", b"old" * 1000)
        etag, _ = self.validators("/changing.bin")
        self.put("changing.bin", b"newer" * 1000)
        resp, body = self.get("/changing.bin", headers={"Range": "bytes=1000-", "If-Range": etag})
        self.assertEqual((resp.status, body), (200, b"newer" * 1000))

    def test_partial_answers_keep_the_connection(self):
        conn = Connection(self.port)
        try:
            first_sock = None
            for headers, status, expected in (
                    ({"Range": "bytes=10-"}, 206, self.small[10:]),
                    ({"Range": "bytes=999999-"}, 416, None),
                    ({"Range": "bytes=0-9"}, 206, self.small[:10]),
                    ({}, 200, self.small)):
                with self.subTest(headers=headers):
                    resp, body = self.get("/small.bin", conn, headers)
                    self.assertEqual(resp.status, status)
                    if expected is not None:
                        self.assertEqual(body, expected)
                    self.assertFalse(resp.will_close)
                    first_sock = first_sock or conn.sock
                    self.assertIs(conn.sock, first_sock)
        finally:
            conn.close()

    def test_head_with_range_has_partial_headers_and_no_body(self):
        conn = Connection(self.port)
        try:
            conn.request("HEAD", "/small.bin", headers={"Range": "bytes=100-199"})
            resp = conn.getresponse()
            self.assertEqual(resp.status, 206)
            self.assertEqual(resp.getheader("Content-Length"), "100")
            self.assertEqual(resp.read(), b"")
            resp, body = self.get("/manifest.json", conn)
            self.assertEqual((resp.status, body), (200, self.manifest))
        finally:
            conn.close()

    def test_norange_ignores_the_range(self):
        etag, _ = self.validators("/small.bin")
        resp, body = self.get("/_norange/small.bin",
                              headers={"Range": "bytes=100-", "If-Range": etag})
        self.assertEqual((resp.status, body), (200, self.small))
        self.assertIsNone(resp.getheader("Content-Range"))
        self.assertIsNone(resp.getheader("Accept-Ranges"))
        self.assertEqual(resp.getheader("ETag"), etag)

    def test_status_override_ignores_the_range(self):
        resp, body = self.get("/_status/503/small.bin", headers={"Range": "bytes=100-"})
        self.assertEqual((resp.status, body), (503, self.small))
        self.assertIsNone(resp.getheader("Content-Range"))

    def test_length_faults_apply_to_the_range(self):
        r = raw_get(self.port, "/_short/small.bin", headers={"Range": "bytes=1000-1999"})
        self.assertTrue(r.status_line.startswith("HTTP/1.1 206 "), r.status_line)
        self.assertEqual(r.header("Content-Length"), "1000")
        self.assertEqual(r.body, self.small[1000:1500])
        self.assertEqual(r.end, "closed")

    # First-time faults: a client must resume to get the whole file.

    def test_cut_once_then_resume_completes(self):
        tag = self.unique_tag()
        path = "/_cut/1500000/%s/builds/game.zip" % tag
        r = raw_get(self.port, path)
        self.assertEqual(r.status_line, "HTTP/1.1 200 OK")
        self.assertEqual(r.header("Content-Length"), str(len(self.big)))
        self.assertEqual(r.body, self.big[:1500000])
        self.assertEqual(r.end, "closed")
        etag = r.header("ETag")
        resp, body = self.get(path, headers={"Range": "bytes=1500000-", "If-Range": etag})
        self.assertEqual(resp.status, 206)
        self.assertEqual(body, self.big[1500000:])
        # From now on the tag is spent for this file, with or without a range.
        resp, body = self.get(path)
        self.assertEqual((resp.status, body), (200, self.big))

    def test_cut_is_kept_per_file_and_per_tag(self):
        tag = self.unique_tag()
        r = raw_get(self.port, "/_cut/10/%s/small.bin" % tag)
        self.assertEqual(r.body, self.small[:10])
        r = raw_get(self.port, "/_cut/10/%s/manifest.json" % tag)
        self.assertEqual(r.body, self.manifest[:10])
        r = raw_get(self.port, "/_cut/10/%s/small.bin" % self.unique_tag())
        self.assertEqual(r.body, self.small[:10])
        resp, body = self.get("/_cut/10/%s/small.bin" % tag)
        self.assertEqual((resp.status, body), (200, self.small))

    def test_head_and_missing_files_leave_the_cut_for_later(self):
        tag = self.unique_tag()
        path = "/_cut/10/%s/late.bin" % tag
        conn = Connection(self.port)
        try:
            conn.request("HEAD", path)
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(resp.status, 404)
            self.put("late.bin", self.small)
            conn.request("HEAD", path)
            resp = conn.getresponse()
            resp.read()
            self.assertEqual(resp.status, 200)
        finally:
            conn.close()
        resp, body = self.get("/_cut/10/%s/nothere.bin" % tag)
        self.assertEqual((resp.status, body), (404, NOT_FOUND_BODY))
        self.assertEqual(raw_get(self.port, path).body, self.small[:10])

    def test_cut_applies_to_the_first_range_asked(self):
        tag = self.unique_tag()
        path = "/_cut/100/%s/small.bin" % tag
        r = raw_get(self.port, path, headers={"Range": "bytes=5000-"})
        self.assertTrue(r.status_line.startswith("HTTP/1.1 206 "), r.status_line)
        self.assertEqual(r.header("Content-Length"), str(len(self.small) - 5000))
        self.assertEqual(r.body, self.small[5000:5100])
        resp, body = self.get(path, headers={"Range": "bytes=5100-"})
        self.assertEqual((resp.status, body), (206, self.small[5100:]))

    def test_cut_past_the_end_sends_it_all_and_closes(self):
        r = raw_get(self.port, "/_cut/999999999/%s/manifest.json" % self.unique_tag())
        self.assertEqual(r.body, self.manifest)
        self.assertEqual(r.end, "closed")

    def test_cut_seen_by_http_client(self):
        conn = Connection(self.port)
        try:
            conn.request("GET", "/_cut/1000/%s/small.bin" % self.unique_tag())
            resp = conn.getresponse()
            with self.assertRaises(http.client.IncompleteRead) as caught:
                resp.read()
            self.assertEqual(caught.exception.partial, self.small[:1000])
        finally:
            conn.close()

    def test_cutreset_resets_after_the_bytes_then_resumes(self):
        tag = self.unique_tag()
        path = "/_cutreset/1500000/%s/builds/game.zip" % tag
        r = raw_get(self.port, path)
        self.assertEqual(r.header("Content-Length"), str(len(self.big)))
        self.assertEqual(r.end, "reset")
        self.assertEqual(r.body, self.big[:1500000])
        resp, body = self.get(path, headers={"Range": "bytes=1500000-",
                                             "If-Range": r.header("Last-Modified")})
        self.assertEqual((resp.status, body), (206, self.big[1500000:]))

    def test_cut_with_norange_restarts_from_zero(self):
        path = "/_norange/_cut/1000/%s/small.bin" % self.unique_tag()
        self.assertEqual(raw_get(self.port, path).body, self.small[:1000])
        resp, body = self.get(path, headers={"Range": "bytes=1000-"})
        self.assertEqual((resp.status, body), (200, self.small))

    @unittest.skipUnless(have_ipv6_loopback(), "no IPv6 loopback")
    def test_cut_is_remembered_across_addresses(self):
        path = "/_cut/10/%s/small.bin" % self.unique_tag()
        self.assertEqual(raw_get(self.port, path, address="::1").body, self.small[:10])
        resp, body = self.get(path)
        self.assertEqual((resp.status, body), (200, self.small))

    def open_stalled(self, path):
        """TLS socket with the headers and the bytes before the stall read."""
        raw = socket.create_connection(("127.0.0.1", self.port), HANG_GUARD)
        tls = client_context().wrap_socket(raw, server_hostname="localhost")
        tls.sendall(request_bytes(path, self.port))
        data = bytearray()
        while b"\r\n\r\n" not in data:
            chunk = tls.recv(65536)
            self.assertTrue(chunk, "closed before the headers")
            data += chunk
        head, _, body = bytes(data).partition(b"\r\n\r\n")
        return tls, head, bytearray(body)

    def test_stallat_stalls_once_and_a_resume_completes(self):
        tag = self.unique_tag()
        path = "/_stallat/1000/60000/%s/small.bin" % tag
        tls, head, body = self.open_stalled(path)
        with tls:
            while len(body) < 1000:
                chunk = tls.recv(65536)
                self.assertTrue(chunk, "closed during the first bytes")
                body += chunk
            self.assertIn(b"Content-Length: %d" % len(self.small), head)
            self.assertEqual(bytes(body), self.small[:1000])
            # Nothing more comes: a client with a receive timeout gives up.
            tls.settimeout(1.0)
            with self.assertRaises(socket.timeout):
                tls.recv(65536)
        resp, rest = self.get(path, headers={"Range": "bytes=1000-"})
        self.assertEqual((resp.status, rest), (206, self.small[1000:]))

    def test_stallat_sends_the_rest_to_a_patient_client(self):
        started = time.monotonic()
        resp, body = self.get("/_stallat/100/300/%s/small.bin" % self.unique_tag())
        waited = time.monotonic() - started
        self.assertEqual((resp.status, body), (200, self.small))
        self.assertGreaterEqual(waited, 0.29)

    def test_pauseat_pauses_every_answer(self):
        for _ in range(2):
            tls, _, body = self.open_stalled("/_pauseat/1000/60000/small.bin")
            with tls:
                while len(body) < 1000:
                    body += tls.recv(65536)
                self.assertEqual(bytes(body), self.small[:1000])
                tls.settimeout(1.0)
                with self.assertRaises(socket.timeout):
                    tls.recv(65536)

    def test_stallat_ends_when_the_client_hangs_up(self):
        tls, _, _ = self.open_stalled("/_stallat/0/60000/%s/small.bin" % self.unique_tag())
        with tls:
            # Our FIN is all the server can see of a client that gave up. It
            # closes in turn long before the minute is over; the guard fails
            # the test otherwise.
            tls.shutdown(socket.SHUT_WR)
            try:
                while tls.recv(65536):
                    pass
            except ConnectionResetError:
                pass

    # Encodings the client did not ask for.

    def test_gzip_whatever_the_client_accepts(self):
        for accept in ("identity", None, "gzip, deflate"):
            with self.subTest(accept=accept):
                headers = {"Range": "bytes=100-"}
                if accept is not None:
                    headers["Accept-Encoding"] = accept
                conn = Connection(self.port)
                try:
                    conn.putrequest("GET", "/_gzip/builds/game.zip", skip_accept_encoding=True)
                    for name, value in headers.items():
                        conn.putheader(name, value)
                    conn.endheaders()
                    resp = conn.getresponse()
                    body = resp.read()
                finally:
                    conn.close()
                self.assertEqual(resp.status, 200)
                self.assertEqual(resp.getheader("Content-Encoding"), "gzip")
                self.assertEqual(resp.getheader("Content-Length"), str(len(body)))
                self.assertEqual(body[:2], b"\x1f\x8b")
                self.assertEqual(gzip.decompress(body), self.big)
                self.assertTrue(resp.getheader("ETag").startswith('W/"'))
                self.assertIsNone(resp.getheader("Accept-Ranges"))
                self.assertIsNone(resp.getheader("Content-Range"))

    def test_deflate_is_zlib_format(self):
        resp, body = self.get("/_deflate/manifest.json")
        self.assertEqual(resp.status, 200)
        self.assertEqual(resp.getheader("Content-Encoding"), "deflate")
        self.assertEqual(resp.getheader("Content-Length"), str(len(body)))
        self.assertEqual(resp.getheader("Content-Type"), "application/json")
        self.assertEqual(zlib.decompress(body), self.manifest)
        # zlib's header, not a raw deflate stream.
        self.assertEqual(body[0] & 0x0F, 8)
        self.assertEqual(((body[0] << 8) | body[1]) % 31, 0)

    def test_encoded_head_and_keep_alive(self):
        conn = Connection(self.port)
        try:
            conn.request("HEAD", "/_gzip/small.bin")
            resp = conn.getresponse()
            resp.read()
            length = int(resp.getheader("Content-Length"))
            resp, body = self.get("/_gzip/small.bin", conn)
            self.assertEqual(len(body), length)
            self.assertFalse(resp.will_close)
            self.assertEqual(gzip.decompress(body), self.small)
            resp, body = self.get("/manifest.json", conn)
            self.assertEqual((resp.status, body), (200, self.manifest))
        finally:
            conn.close()

    def test_encoded_body_can_be_cut_too(self):
        path = "/_gzip/_cut/50/%s/small.bin" % self.unique_tag()
        r = raw_get(self.port, path)
        whole = gzip.compress(self.small, mtime=0)
        self.assertEqual(r.header("Content-Length"), str(len(whole)))
        self.assertEqual(r.body, whole[:50])
        resp, body = self.get(path, headers={"Range": "bytes=50-"})
        self.assertEqual(resp.status, 200)
        self.assertEqual(gzip.decompress(body), self.small)

    def test_bad_arguments_of_the_new_segments_are_400(self):
        for path in ("/_cut/abc/t/small.bin", "/_cut/10", "/_cut/-1/t/small.bin",
                     "/_cutreset/10", "/_stallat/1/2", "/_stallat/1/x/t/small.bin",
                     "/_stallat/-1/5/t/small.bin", "/_cut/10//small.bin", "/_cap/-1/small.bin",
                     "/_multipart/sideways/small.bin"):
            with self.subTest(path=path):
                resp, _ = self.get(path)
                self.assertEqual(resp.status, 400)

    def test_log_records_range_and_encoding_headers(self):
        marker = "/small.bin?marker=%d" % random.randrange(10 ** 9)
        headers = {"Range": "bytes=100-", "If-Range": '"abc-1"',
                   "Accept-Encoding": "gzip, deflate", "Cache-Control": "no-cache"}
        conn = Connection(self.port)
        try:
            conn.putrequest("GET", marker, skip_accept_encoding=True)
            for name, value in headers.items():
                conn.putheader(name, value)
            conn.endheaders()
            conn.getresponse().read()
        finally:
            conn.close()
        with open(self.log_path) as f:
            entries = [json.loads(line) for line in f]
        mine = [e for e in entries if e.get("path") == marker]
        self.assertEqual(len(mine), 1)
        for name, value in headers.items():
            self.assertEqual(mine[0]["headers"].get(name), value)

    def log_entries(self, marker):
        """The request lines for the marker, each with its response line."""
        with open(self.log_path) as f:
            entries = [json.loads(line) for line in f]
        ends = {e["response"]: e for e in entries if "response" in e}
        return [(e, ends.get(e["id"])) for e in entries if marker in e.get("path", "")]

    def test_log_numbers_connections_and_counts_the_body_sent(self):
        marker = "m%d" % random.randrange(10 ** 9)
        conn = Connection(self.port)
        try:
            self.get("/small.bin?%s=1" % marker, conn, {"Range": "bytes=0-99"})
            self.get("/small.bin?%s=2" % marker, conn)
        finally:
            conn.close()
        raw_get(self.port, "/_cap/5000/small.bin?%s=3" % marker)
        (first, end1), (second, end2), (third, end3) = self.log_entries(marker)
        self.assertEqual(first["connection"], second["connection"])
        self.assertNotEqual(first["connection"], third["connection"])
        self.assertEqual([(e["status"], e["sent"]) for e in (end1, end2, end3)],
                         [(206, 100), (200, len(self.small)), (200, 5000)])

    def test_cap_cuts_every_answer_and_closes(self):
        for _ in range(2):
            r = raw_get(self.port, "/_cap/1000/small.bin", headers={"Range": "bytes=500-"})
            self.assertEqual(r.header("Content-Length"), str(len(self.small) - 500))
            self.assertEqual((r.body, r.end), (self.small[500:1500], "closed"))

    def test_close_ends_every_connection(self):
        r = raw_get(self.port, "/_close/small.bin")
        self.assertEqual(r.header("Connection"), "close")
        self.assertEqual((r.body, r.end), (self.small, "closed"))

    def multipart(self, way, ranges):
        resp, body = self.get("/_multipart/%s/small.bin" % way, headers={"Range": ranges})
        self.assertEqual(resp.status, 206)
        kind, _, boundary = resp.getheader("Content-Type").partition("; boundary=")
        self.assertEqual(kind, "multipart/byteranges")
        chunks = body.split(b"\r\n--" + boundary.encode())
        self.assertEqual((chunks[0], chunks[-1]), (b"", b"--\r\n"))
        parts = []
        for chunk in chunks[1:-1]:
            head, _, data = chunk.partition(b"\r\n\r\n")
            first, last = map(int, head.split(b"bytes ")[1].split(b"/")[0].split(b"-"))
            self.assertEqual(data, self.small[first:last + 1])
            parts.append((first, last))
        return parts

    def test_multipart_answers_several_ranges(self):
        ranges = "bytes=10-19,100-199,5000-5000"
        self.assertEqual(self.multipart("asked", ranges), [(10, 19), (100, 199), (5000, 5000)])
        self.assertEqual(self.multipart("reversed", ranges),
                         [(5000, 5000), (100, 199), (10, 19)])
        self.assertEqual(self.multipart("merged", ranges), [(10, 199), (5000, 5000)])
        resp, body = self.get("/_multipart/single/small.bin", headers={"Range": ranges})
        self.assertEqual(resp.getheader("Content-Range"), "bytes 10-5000/%d" % len(self.small))
        self.assertEqual((resp.status, body), (206, self.small[10:5001]))
        # One range stays an ordinary 206.
        resp, body = self.get("/_multipart/asked/small.bin", headers={"Range": "bytes=7-8"})
        self.assertEqual((resp.status, body), (206, self.small[7:9]))

    @unittest.skipUnless(have_ipv6_loopback(), "no IPv6 loopback")
    def test_ipv6_listener_on_same_port(self):
        conn = Connection(self.port, address="::1")
        try:
            resp, body = self.get("/small.bin", conn)
            self.assertEqual(conn.sock.getpeername()[0], "::1")
        finally:
            conn.close()
        self.assertEqual((resp.status, body), (200, self.small))

    def test_every_address_of_localhost_is_served(self):
        infos = socket.getaddrinfo("localhost", self.port, type=socket.SOCK_STREAM)
        for family, _, _, _, addr in infos:
            if family == socket.AF_INET6 and not have_ipv6_loopback():
                continue
            with self.subTest(address=addr[0]):
                conn = Connection(self.port, address=addr[0])
                try:
                    resp, body = self.get("/manifest.json", conn)
                finally:
                    conn.close()
                self.assertEqual(body, self.manifest)

    def test_client_vanishing_mid_body_leaves_server_working(self):
        conn = Connection(self.port)
        conn.request("GET", "/_slow/200000/builds/game.zip")
        resp = conn.getresponse()
        resp.read(1000)
        conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        conn.sock.close()
        conn.close()
        # Also one that never finishes the TLS handshake.
        socket.create_connection(("127.0.0.1", self.port)).close()
        resp, body = self.get("/small.bin")
        self.assertEqual(body, self.small)
        self.assertIsNone(self.proc.poll())


class LifecycleTest(unittest.TestCase):
    def run_and_stop(self, sig):
        work = tempfile.mkdtemp(dir=_tmp)
        root = os.path.join(work, "www")
        os.mkdir(root)
        with open(os.path.join(root, "f.txt"), "wb") as f:
            f.write(b"x")
        pid_file = os.path.join(work, "pid")
        proc, port, stderr_path = start_server(work, root, "--pid-file", pid_file)
        try:
            with open(pid_file) as f:
                self.assertEqual(int(f.read()), proc.pid)
            with open(os.path.join(work, "port")) as f:
                self.assertTrue(f.read().strip().isdigit())
            # Neither an idle keep-alive connection nor a held download may
            # keep the server from exiting.
            idle = Connection(port)
            idle.request("GET", "/f.txt")
            self.assertEqual(idle.getresponse().read(), b"x")
            held = Connection(port)
            held.request("GET", "/_hold/never/f.txt")
            self.assertEqual(held.getresponse().status, 200)
            code = stop_server(proc, sig)
            idle.close()
            held.close()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        with open(stderr_path) as f:
            self.assertEqual(f.read(), "")
        self.assertEqual(code, 0)

    def test_sigterm_exits_zero(self):
        self.run_and_stop(signal.SIGTERM)

    def test_sigint_exits_zero(self):
        self.run_and_stop(signal.SIGINT)


if __name__ == "__main__":
    unittest.main()
