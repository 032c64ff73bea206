#!/usr/bin/env python3
"""Checks nginx_env.sh: starts Debian's nginx with certificates from
make_test_certs.sh in a folder of its own, asks each location for what the
launcher's tests rely on, and stops it. Skips when nginx is not installed.

    python3 tests/harness/test_nginx_env.py
"""

import gzip
import http.client
import json
import os
import random
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
NGINX_ENV = os.path.join(HERE, "nginx_env.sh")
MAKE_CERTS = os.path.join(HERE, "make_test_certs.sh")
# Only there so a broken server fails the run instead of hanging it.
HANG_GUARD = 30

_tmp = None
_certs = None


def find_nginx():
    return shutil.which("nginx") or next(
        (p for p in ("/usr/sbin/nginx",) if os.access(p, os.X_OK)), None)


def setUpModule():
    global _tmp, _certs
    if find_nginx() is None:
        reason = "nginx is not installed (Debian package nginx)"
        sys.stderr.write("test_nginx_env.py: skipped: %s\n" % reason)
        raise unittest.SkipTest(reason)
    _tmp = tempfile.mkdtemp(prefix="nginx-env-test-")
    _certs = os.path.join(_tmp, "certs")
    subprocess.run([MAKE_CERTS, _certs], check=True, capture_output=True, timeout=120)


def tearDownModule():
    if _tmp is not None:
        shutil.rmtree(_tmp, ignore_errors=True)


def have_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def free_port_pair():
    """A port that is free, with the next one, on 127.0.0.1 and ::1."""
    families = [(socket.AF_INET, "127.0.0.1")]
    if have_ipv6_loopback():
        families.append((socket.AF_INET6, "::1"))
    for _ in range(50):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        if port >= 65534:
            continue
        try:
            for candidate in (port, port + 1):
                for family, address in families:
                    with socket.socket(family) as s:
                        s.bind((address, candidate))
        except OSError:
            continue
        return port
    raise RuntimeError("no free pair of ports")


def run_env(*args, check=True):
    out = subprocess.run([NGINX_ENV] + [str(a) for a in args], capture_output=True,
                         text=True, timeout=120)
    if check and out.returncode != 0:
        raise AssertionError("nginx_env.sh %s failed (%d):\n%s%s"
                             % (" ".join(map(str, args)), out.returncode, out.stdout, out.stderr))
    return out


def read_text(path):
    with open(path) as f:
        return f.read()


def pid_alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class Connection(http.client.HTTPSConnection):
    """HTTPS to a loopback address, verifying the certificate for host."""

    def __init__(self, host, port, cafile, address="127.0.0.1", context=None):
        context = context or ssl.create_default_context(cafile=cafile)
        super().__init__(host, port, timeout=HANG_GUARD, context=context)
        self._address = address

    def connect(self):
        raw = socket.create_connection((self._address, self.port), self.timeout)
        self.sock = self._context.wrap_socket(raw, server_hostname=self.host)


def fetch(url, cafile, headers=None, method="GET", address="127.0.0.1", context=None,
          accept_encoding=True):
    parts = urllib.parse.urlsplit(url)
    conn = Connection(parts.hostname, parts.port, cafile, address, context)
    try:
        target = parts.path + ("?" + parts.query if parts.query else "")
        conn.putrequest(method, target, skip_accept_encoding=not accept_encoding)
        for name, value in (headers or {}).items():
            conn.putheader(name, value)
        conn.endheaders()
        resp = conn.getresponse()
        return resp, resp.read()
    finally:
        conn.close()


class NginxLocationsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = os.path.join(_tmp, "env")
        cls.ca = os.path.join(_certs, "ca.pem")
        seed = os.path.join(_tmp, "seed")
        os.makedirs(os.path.join(seed, "builds"))
        rng = random.Random(99)
        cls.game = rng.randbytes(3 * 1024 * 1024 + 777)
        with open(os.path.join(seed, "builds", "game.zip"), "wb") as f:
            f.write(cls.game)
        cls.port = free_port_pair()
        run_env("setup", cls.dir, cls.port, _certs, seed)
        cls.origin = read_text(os.path.join(cls.dir, "origin")).strip()
        cls.second = read_text(os.path.join(cls.dir, "second_origin")).strip()
        cls.manifest = b'{"version": "2.0.1", "files": []}'
        cls.put("Launcher/manifest.json", cls.manifest)
        cls.put("builds/with space+plus.zip", b"odd name")

    @classmethod
    def tearDownClass(cls):
        pid = int(read_text(os.path.join(cls.dir, "nginx.pid")))
        run_env("cleanup", cls.dir)
        if pid_alive(pid):
            raise AssertionError("nginx %d still runs after cleanup" % pid)

    @classmethod
    def put(cls, rel, data):
        path = os.path.join(cls.dir, "www", rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)

    def get(self, path, headers=None, **kwargs):
        return fetch(self.origin + path, self.ca, headers, **kwargs)

    def test_origins_name_localhost_and_a_second_certified_host(self):
        self.assertEqual(self.origin, "https://localhost:%d" % self.port)
        second = urllib.parse.urlsplit(self.second)
        self.assertNotEqual((second.hostname, second.port), ("localhost", self.port))
        self.assertEqual(second.scheme, "https")
        # Whatever the second host is, the machine must take it to loopback.
        for info in socket.getaddrinfo(second.hostname, second.port, type=socket.SOCK_STREAM):
            self.assertIn(info[4][0], ("127.0.0.1", "::1"))

    def test_manifest_is_static_and_never_cached(self):
        resp, body = self.get("/Launcher/manifest.json")
        self.assertEqual((resp.status, body), (200, self.manifest))
        self.assertEqual(resp.getheader("Cache-Control"), "no-cache")
        self.assertEqual(resp.getheader("Content-Type"), "application/json")
        self.assertEqual(resp.getheader("Content-Length"), str(len(self.manifest)))
        self.assertTrue(resp.getheader("ETag"))
        resp, _ = self.get("/Launcher/nothere.json")
        self.assertEqual(resp.status, 404)

    def test_build_has_validators_and_serves_ranges(self):
        resp, body = self.get("/builds/game.zip")
        self.assertEqual((resp.status, body), (200, self.game))
        self.assertEqual(resp.getheader("Accept-Ranges"), "bytes")
        self.assertIsNone(resp.getheader("Cache-Control"))
        etag = resp.getheader("ETag")
        last_modified = resp.getheader("Last-Modified")
        self.assertRegex(etag, r'^"[0-9a-f]+-[0-9a-f]+"$')
        first = 1024 * 1024 + 5
        for validator, status in ((None, 206), (etag, 206), (last_modified, 206),
                                  ('"0-0"', 200), ("W/" + etag, 200)):
            with self.subTest(if_range=validator):
                headers = {"Range": "bytes=%d-" % first}
                if validator is not None:
                    headers["If-Range"] = validator
                resp, body = self.get("/builds/game.zip", headers)
                self.assertEqual(resp.status, status)
                if status == 206:
                    self.assertEqual(resp.getheader("Content-Range"), "bytes %d-%d/%d"
                                     % (first, len(self.game) - 1, len(self.game)))
                    self.assertEqual(resp.getheader("Content-Length"),
                                     str(len(self.game) - first))
                    self.assertEqual(body, self.game[first:])
                else:
                    self.assertEqual(body, self.game)
        resp, _ = self.get("/builds/game.zip", {"Range": "bytes=%d-" % len(self.game)})
        self.assertEqual(resp.status, 416)

    def test_redirect_goes_to_the_second_origin_and_is_served_there(self):
        resp, _ = self.get("/redirect/game.zip")
        self.assertEqual(resp.status, 302)
        location = resp.getheader("Location")
        self.assertEqual(location, self.second + "/builds/game.zip")
        # The certificate must hold for the second host too.
        target = urllib.parse.urlsplit(location)
        resp, body = fetch(location, self.ca, address="127.0.0.1")
        self.assertEqual((resp.status, body), (200, self.game))
        self.assertEqual(target.hostname, urllib.parse.urlsplit(self.second).hostname)

    def test_redirect_keeps_the_encoded_name_and_the_query(self):
        resp, _ = self.get("/redirect/with%20space%2Bplus.zip?v=3")
        self.assertEqual(resp.getheader("Location"),
                         self.second + "/builds/with%20space%2Bplus.zip?v=3")
        resp, body = fetch(resp.getheader("Location"), self.ca)
        self.assertEqual((resp.status, body), (200, b"odd name"))

    def test_chunked_has_no_length(self):
        for path, data in (("/chunked/builds/game.zip", self.game),
                           ("/chunked/Launcher/manifest.json", self.manifest)):
            with self.subTest(path=path):
                resp, body = self.get(path)
                self.assertEqual(resp.status, 200)
                self.assertIsNone(resp.getheader("Content-Length"))
                self.assertEqual(resp.getheader("Transfer-Encoding"), "chunked")
                self.assertIsNone(resp.getheader("Content-Encoding"))
                self.assertEqual(body, data)

    def test_maintenance_is_503_for_any_path(self):
        for path in ("/maintenance/", "/maintenance/Launcher/manifest.json",
                     "/maintenance/builds/game.zip", "/maintenance/nothing/at/all"):
            with self.subTest(path=path):
                resp, body = self.get(path)
                self.assertEqual(resp.status, 503)
                self.assertIn(b"503", body)

    def test_gzip_whatever_the_client_accepts(self):
        for accept in ("identity", None, "gzip"):
            with self.subTest(accept=accept):
                headers = {} if accept is None else {"Accept-Encoding": accept}
                resp, body = self.get("/gzip/builds/game.zip", headers, accept_encoding=False)
                self.assertEqual(resp.status, 200)
                self.assertEqual(resp.getheader("Content-Encoding"), "gzip")
                self.assertEqual(body[:2], b"\x1f\x8b")
                self.assertEqual(gzip.decompress(body), self.game)
        resp, body = self.get("/gzip/Launcher/manifest.json", {"Accept-Encoding": "identity"},
                              accept_encoding=False)
        self.assertEqual(resp.getheader("Content-Encoding"), "gzip")
        self.assertEqual(gzip.decompress(body), self.manifest)

    def test_slow_is_throttled(self):
        # nginx lets one second's worth through at once and counts whole
        # seconds, so 800 KB take at least two.
        count = 800000
        started = time.monotonic()
        resp, body = self.get("/slow/builds/game.zip", {"Range": "bytes=0-%d" % (count - 1)})
        waited = time.monotonic() - started
        self.assertEqual((resp.status, body), (206, self.game[:count]))
        self.assertGreaterEqual(waited, 1.5)

    def test_access_log_records_what_a_resume_sends(self):
        marker = "m%d" % random.randrange(10 ** 9)
        resp, _ = self.get("/builds/game.zip?" + marker, {
            "Range": "bytes=100-199", "If-Range": '"abc"', "Accept-Encoding": "gzip",
            "Cache-Control": "no-cache", "User-Agent": "VornLauncher/test"},
            accept_encoding=False)
        self.assertEqual(resp.status, 200)
        resp, _ = self.get("/builds/game.zip?" + marker + "b", {"Range": "bytes=100-199"})
        self.assertEqual(resp.status, 206)
        # nginx logs once the response is out; give it the moment.
        entries = {}
        deadline = time.monotonic() + HANG_GUARD
        while len(entries) < 2 and time.monotonic() < deadline:
            with open(os.path.join(self.dir, "access.log")) as f:
                for line in f:
                    entry = json.loads(line)
                    if marker in entry["uri"]:
                        entries[entry["uri"]] = entry
            time.sleep(0.05)
        full = entries["/builds/game.zip?" + marker]
        self.assertEqual((full["status"], full["range"], full["if_range"],
                          full["accept_encoding"], full["cache_control"], full["user_agent"],
                          full["host"], full["method"]),
                         (200, "bytes=100-199", '"abc"', "gzip", "no-cache",
                          "VornLauncher/test", "localhost", "GET"))
        part = entries["/builds/game.zip?" + marker + "b"]
        self.assertEqual((part["status"], part["range"], part["content_range"]),
                         (206, "bytes=100-199", "bytes 100-199/%d" % len(self.game)))

    def test_tls_1_2_and_1_3(self):
        for version in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
            with self.subTest(version=version):
                ctx = ssl.create_default_context(cafile=self.ca)
                ctx.minimum_version = ctx.maximum_version = version
                conn = Connection("localhost", self.port, self.ca, context=ctx)
                try:
                    conn.request("GET", "/Launcher/manifest.json")
                    self.assertEqual(conn.getresponse().read(), self.manifest)
                    self.assertEqual(conn.sock.version(), version.name.replace("v1_", "v1."))
                finally:
                    conn.close()

    def test_keep_alive_across_locations(self):
        conn = Connection("localhost", self.port, self.ca)
        try:
            first_sock = None
            for path, status in (("/Launcher/manifest.json", 200), ("/redirect/game.zip", 302),
                                 ("/chunked/Launcher/manifest.json", 200),
                                 ("/maintenance/x", 503), ("/gzip/Launcher/manifest.json", 200),
                                 ("/builds/game.zip", 200)):
                with self.subTest(path=path):
                    conn.request("GET", path)
                    resp = conn.getresponse()
                    resp.read()
                    self.assertEqual(resp.status, status)
                    first_sock = first_sock or conn.sock
                    self.assertIs(conn.sock, first_sock)
        finally:
            conn.close()

    @unittest.skipUnless(have_ipv6_loopback(), "no IPv6 loopback")
    def test_ipv6_loopback_is_served(self):
        resp, body = self.get("/Launcher/manifest.json", address="::1")
        self.assertEqual((resp.status, body), (200, self.manifest))

    def test_everything_lives_in_the_folder(self):
        conf = read_text(os.path.join(self.dir, "nginx.conf"))
        for directive in ("pid", "error_log", "access_log", "client_body_temp_path",
                          "proxy_temp_path", "fastcgi_temp_path", "uwsgi_temp_path",
                          "scgi_temp_path", "root"):
            with self.subTest(directive=directive):
                lines = [l.split() for l in conf.splitlines() if l.split()[:1] == [directive]]
                self.assertTrue(lines)
                for words in lines:
                    if words[1] != "off;":
                        self.assertTrue(words[1].startswith(self.dir + "/"), words)
        for line in read_text(os.path.join(self.dir, "listen.conf")).splitlines():
            self.assertRegex(line, r"^listen (127\.0\.0\.1|\[::1\]):%d ssl;$" % self.port)


class NginxLifecycleTest(unittest.TestCase):
    def test_fallback_to_a_second_port_without_a_second_name(self):
        certs = os.path.join(_tmp, "localhost-only")
        os.makedirs(certs)
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
             "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
             "-keyout", os.path.join(certs, "server.key"),
             "-out", os.path.join(certs, "server.pem")], check=True, capture_output=True)
        ca = os.path.join(certs, "server.pem")
        env_dir = os.path.join(_tmp, "fallback")
        port = free_port_pair()
        run_env("setup", env_dir, port, certs)
        try:
            second = read_text(os.path.join(env_dir, "second_origin")).strip()
            self.assertEqual(second, "https://localhost:%d" % (port + 1))
            with open(os.path.join(env_dir, "www", "builds", "b.zip"), "wb") as f:
                f.write(b"second port")
            resp, _ = fetch("https://localhost:%d/redirect/b.zip" % port, ca)
            self.assertEqual(resp.getheader("Location"), second + "/builds/b.zip")
            resp, body = fetch(resp.getheader("Location"), ca)
            self.assertEqual((resp.status, body), (200, b"second port"))
        finally:
            run_env("cleanup", env_dir)

    def test_setup_again_restarts_and_cleanup_stops(self):
        env_dir = os.path.join(_tmp, "again")
        ca = os.path.join(_certs, "ca.pem")
        port = free_port_pair()
        run_env("setup", env_dir, port, _certs)
        try:
            first_pid = int(read_text(os.path.join(env_dir, "nginx.pid")))
            # A download in flight must not keep the old nginx on the port.
            conn = Connection("localhost", port, ca)
            with open(os.path.join(env_dir, "www", "builds", "big.zip"), "wb") as f:
                f.write(os.urandom(4 * 1024 * 1024))
            conn.request("GET", "/slow/builds/big.zip")
            self.assertEqual(conn.getresponse().status, 200)
            run_env("setup", env_dir, port, _certs)
            conn.close()
            self.assertFalse(pid_alive(first_pid))
            second_pid = int(read_text(os.path.join(env_dir, "nginx.pid")))
            self.assertNotEqual(second_pid, first_pid)
            # Setup starts from an empty www.
            self.assertEqual(sorted(os.listdir(os.path.join(env_dir, "www"))),
                             ["Launcher", "builds"])
            resp, _ = fetch("https://localhost:%d/builds/big.zip" % port, ca)
            self.assertEqual(resp.status, 404)
        finally:
            run_env("cleanup", env_dir)
        self.assertFalse(pid_alive(second_pid))
        self.assertFalse(os.path.exists(os.path.join(env_dir, "nginx.pid")))
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", port), HANG_GUARD).close()
        # A second cleanup finds nothing to stop.
        self.assertEqual(run_env("cleanup", env_dir).returncode, 0)

    def test_bad_arguments_are_refused(self):
        for args, code in ((["setup"], 2), (["setup", os.path.join(_tmp, "x"), "80", _certs], 1),
                           (["setup", os.path.join(_tmp, "x"), "abc", _certs], 2),
                           (["setup", os.path.join(_tmp, "x y"), "45000", _certs], 1),
                           (["setup", os.path.join(_tmp, "x"), "45000", _tmp], 1),
                           (["start", os.path.join(_tmp, "x")], 2)):
            with self.subTest(args=args):
                out = run_env(*args, check=False)
                self.assertEqual(out.returncode, code, out.stderr)
                self.assertTrue(out.stderr)
        self.assertFalse(os.path.exists(os.path.join(_tmp, "x", "nginx.pid")))

    def test_cleanup_leaves_a_stranger_alone(self):
        # A stale pid file naming some other process must not get it killed.
        env_dir = os.path.join(_tmp, "stranger")
        os.makedirs(env_dir)
        stranger = subprocess.Popen(["sleep", "60"])
        try:
            with open(os.path.join(env_dir, "nginx.pid"), "w") as f:
                f.write(str(stranger.pid))
            run_env("cleanup", env_dir)
            self.assertIsNone(stranger.poll())
        finally:
            stranger.kill()
            stranger.wait()


if __name__ == "__main__":
    unittest.main()
