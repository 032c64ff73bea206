#!/usr/bin/env python3
"""Checks the test update server and its certificates end to end.

Runs the real update_server.py as a subprocess with certificates from
make_test_certs.sh, and talks to it over TLS the way the launcher does:
trusting only the test CA and asking for the name "localhost".

    python3 tests/harness/test_update_server.py
"""

import datetime
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


def raw_get(port, path, address="127.0.0.1"):
    """One GET on a fresh connection; reads every byte until the server ends it."""
    raw = socket.create_connection((address, port), HANG_GUARD)
    tls = client_context().wrap_socket(raw, server_hostname="localhost",
                                       suppress_ragged_eofs=False)
    with tls:
        tls.sendall(("GET %s HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % (path, port)).encode())
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

    def test_server_certificate_names_localhost_only(self):
        text = self.openssl_text("server.pem")
        self.assertRegex(text, r"Subject: CN ?= ?localhost\n")
        self.assertRegex(text, r"Subject Alternative Name: *\n\s+DNS:localhost\n")
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
        mine = [e for e in entries if e["path"] == marker]
        self.assertEqual(len(mine), 1)
        self.assertEqual(mine[0]["method"], "GET")
        for name, value in headers.items():
            self.assertEqual(mine[0]["headers"].get(name), value)
        self.assertEqual(mine[0]["headers"].get("Host"), "localhost:%d" % self.port)

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
