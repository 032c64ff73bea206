#!/usr/bin/env python3
"""A publisher's way from a build folder to a checked live server, on
Debian's nginx as the suite runs it: tools/publish writes the upload folder,
nginx serves it, `publish check` passes (the signatures verified against the
keys a launcher holds), and --previous reads the live manifest by its URL. Then the same checks against an nginx set up wrongly
must name each fault. Skips when nginx is not installed."""

import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
HARNESS = os.path.join(HERE, "..", "harness")
TOOL = os.path.join(HERE, "..", "..", "tools", "publish")
NGINX_ENV = os.path.join(HARNESS, "nginx_env.sh")
MISCONFIGURED = os.path.join(HERE, "nginx-misconfigured.conf.in")
STATES = os.path.join(HERE, "nginx-states.conf.in")
sys.path.insert(0, HARNESS)
from test_nginx_env import find_nginx, free_port_pair  # noqa: E402

_tmp = _certs = _program = None


def setUpModule():
    global _tmp, _certs, _program
    if find_nginx() is None:
        raise unittest.SkipTest("nginx is not installed (Debian package nginx)")
    _tmp = tempfile.mkdtemp(prefix="publish-check-test-")
    _certs = os.path.join(_tmp, "certs")
    subprocess.run([os.path.join(HARNESS, "make_test_certs.sh"), _certs], check=True,
                   capture_output=True, timeout=120)
    # A Windows program for the launchers of the tests to be made of.
    _program = os.path.join(_tmp, "program.exe")
    subprocess.run(["x86_64-w64-mingw32-gcc", "-x", "c", "-", "-s", "-o", _program],
                   input=b"int main(void) { return 0; }\n", check=True, capture_output=True,
                   timeout=120)
    for studio in ("A", "B"):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=Vorn Test Studio " + studio,
                        "-keyout", os.path.join(_tmp, studio + ".key"),
                        "-out", os.path.join(_tmp, studio + ".pem"),
                        "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "extendedKeyUsage=codeSigning"], check=True,
                       capture_output=True, timeout=120)


def tearDownModule():
    if _tmp is not None:
        shutil.rmtree(_tmp, ignore_errors=True)


def make_launcher(path, keys, version, studio=None):
    """A launcher executable as far as the tools read one: a Windows program
    holding update keys and a version resource, Authenticode-signed by test
    studio A or B, or unsigned."""
    with open(_program, "rb") as f:
        data = f.read()
    numbers = [int(n) for n in version.split(".")] + [0] * 4
    data += b"\0" + b"\0".join(key.encode() for key in keys) + b"\0" + struct.pack(
        "<IIII", 0xFEEF04BD, 0x10000, numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3])
    unsigned = path + ".unsigned" if studio else path
    with open(unsigned, "wb") as f:
        f.write(data)
    if studio:
        subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(_tmp, studio + ".pem"),
                        "-key", os.path.join(_tmp, studio + ".key"), "-h", "sha256",
                        "-in", unsigned, "-out", path], check=True, capture_output=True,
                       timeout=60)
        os.unlink(unsigned)
    return path


def make_build(folder, marker):
    os.makedirs(os.path.join(folder, "Data"))
    with open(os.path.join(folder, "Game.exe"), "wb") as f:
        f.write(b"MZ" + marker.encode() * 5000)
    with open(os.path.join(folder, "Data", "world.dat"), "wb") as f:
        f.write(os.urandom(200000))


class ServerCase(unittest.TestCase):
    template = None

    def setUp(self):
        self.root = tempfile.mkdtemp(dir=_tmp)
        self.upload = os.path.join(self.root, "upload")
        self.port = free_port_pair()
        self.origin = "https://localhost:%d" % self.port
        self.nginx = os.path.join(self.root, "nginx")
        self.served = False

    def serve(self):
        """Uploads the folder: nginx serves a copy of it."""
        env = dict(os.environ)
        if self.template:
            env["NGINX_CONF_TEMPLATE"] = self.template
        subprocess.run([NGINX_ENV, "setup", self.nginx, str(self.port), _certs, self.upload],
                       check=True, capture_output=True, timeout=60, env=env)
        self.addCleanup(subprocess.run, [NGINX_ENV, "cleanup", self.nginx],
                        capture_output=True, timeout=60)
        self.served = True

    def tool(self, *args):
        return subprocess.run([sys.executable, TOOL] + list(args), capture_output=True,
                              text=True, encoding="utf-8", timeout=300)

    def publish(self, marker, version, url_path, *extra):
        build = os.path.join(self.root, "build-" + marker)
        if not os.path.isdir(build):
            make_build(build, marker)
        # Until it is served, the server cannot be asked whether a name is new.
        offline = () if self.served or "--offline" in extra else ("--offline",)
        return self.tool(build, "--version", version, "--url", self.origin + url_path,
                         "--out", self.upload, *offline, *extra)

    def check(self, *extra):
        return self.tool("check", self.origin, *extra)

    def key(self, name):
        """A new update key: its private key file and its public line."""
        path = os.path.join(self.root, name + ".key")
        self.assertEqual(self.tool("keygen", path).returncode, 0)
        with open(path + ".pub") as f:
            return path, f.read().strip()

    def launcher(self, exe, version, *extra):
        return self.tool("launcher", exe, "--version", version, "--url",
                         "%s/launcher/VornLauncher-%s.exe" % (self.origin, version), *extra)


class PublisherWalkTest(ServerCase):
    def test_published_and_uploaded_as_told_the_server_checks_clean(self):
        key = os.path.join(self.root, "studio.key")
        self.assertEqual(self.tool("keygen", key).returncode, 0)
        with open(key + ".pub") as f:
            line = f.read().strip()
        # A launcher executable holds its keys as text among its bytes, and
        # its version in its version resource's fixed part.
        launcher = os.path.join(self.root, "VornLauncher.exe")
        with open(launcher, "wb") as f:
            f.write(b"MZ\0\0" + line.encode() + b"\0" +
                    struct.pack("<IIII", 0xFEEF04BD, 0x10000, 0x10002, 0))
        self.assertEqual(self.tool("launcher", launcher, "--version", "1.2", "--url",
                                   self.origin + "/launcher/VornLauncher-1.2.exe", "--out",
                                   self.upload, "--first", "--offline", "--sign-key", key,
                                   "--launcher", launcher).returncode, 0)
        self.assertEqual(self.publish("a", "1.0.0", "/builds/vorn-online-1.0.0.zip",
                                      "--sign-key", key, "--launcher", launcher).returncode, 0)
        self.assertEqual(self.publish("b", "1.0.0", "/builds/vorn-official-1.0.0.zip",
                                      "--official", "--sign-key", key, "--key",
                                      line).returncode, 0)
        self.serve()
        result = self.check("--full", "--ca-file", os.path.join(_certs, "ca.pem"),
                            "--launcher", launcher)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        verdicts = [line.split()[0] for line in result.stdout.splitlines()[:-1]]
        self.assertEqual(set(verdicts), {"OK"}, result.stdout)
        self.assertGreaterEqual(len(verdicts), 15, result.stdout)
        self.assertIn("OK   launcher: signed with %s" % line[:27], result.stdout)
        self.assertIn("OK   launcher: version 1.2, ", result.stdout)
        for build in ("online", "official"):
            self.assertIn("OK   %s index: the archive hands out Game.exe by Range" % build,
                          result.stdout)
            self.assertIn("OK   %s manifest: signed with %s" % (build, line[:27]), result.stdout)
        # Another studio's key: every manifest is one its launcher refuses.
        other = os.path.join(self.root, "other.key")
        self.assertEqual(self.tool("keygen", other).returncode, 0)
        with open(other + ".pub") as f:
            result = self.check("--ca-file", os.path.join(_certs, "ca.pem"), "--key",
                                f.read().strip())
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertEqual(result.stdout.count("is not of these keys"), 3, result.stdout)

        # The next publish compares with the live manifest, fetched with the
        # launcher's TLS checks.
        live = self.origin + "/Launcher/version.json"
        ca = ("--ca-file", os.path.join(_certs, "ca.pem"))
        result = self.publish("a", "1.0.0", "/builds/vorn-online-1.0.0b.zip", "--previous", live,
                              *ca)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("not newer than the previous version '1.0.0'", result.stderr)
        result = self.publish("a", "1.1.0", "/builds/vorn-online-1.1.0.zip", "--previous", live)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("certificate", result.stderr)
        self.assertIn("--ca-file", result.stderr)
        result = self.publish("a", "1.1.0", "/builds/vorn-online-1.1.0.zip", "--previous", live,
                              "--sign-key", key, *ca)
        self.assertEqual(result.returncode, 0, result.stderr)


class LiveRulesTest(ServerCase):
    """What the players' launchers hold, read from the live server: the key
    that signs, the launcher that replaces theirs, and the names in use."""

    def setUp(self):
        super().setUp()
        self.ca = ("--ca-file", os.path.join(_certs, "ca.pem"))
        self.a, self.a_line = self.key("a")
        self.b, self.b_line = self.key("b")

    def publish_live(self, launcher, launcher_key):
        """The launcher that players run, and both builds (the official one
        signed with the wrong key), then served."""
        result = self.launcher(launcher, "1.2", "--out", self.upload, "--first", "--offline",
                               "--sign-key", launcher_key, "--key", self.a_line)
        self.assertEqual(result.returncode, 0, result.stderr)
        for marker, path, key, line, extra in (
                ("a", "/builds/online-1.zip", self.a, self.a_line, ()),
                ("b", "/builds/official-1.zip", self.b, self.b_line, ("--official",))):
            result = self.publish(marker, "1.0.0", path, "--first", "--offline", "--sign-key",
                                  key, "--key", line, *extra)
            self.assertEqual(result.returncode, 0, result.stderr)
        self.serve()

    def test_a_key_the_live_launcher_lacks_is_refused_and_check_names_who_signed(self):
        self.publish_live(make_launcher(os.path.join(self.root, "live.exe"), [self.a_line],
                                        "1.2"), self.a)
        # Without --launcher, check reads the live launcher's keys.
        result = self.check(*self.ca)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("OK   online manifest: signed with %s" % self.a_line[:27], result.stdout)
        fix = [line for line in result.stdout.splitlines()
               if line.startswith("FIX  official manifest: the signature")]
        self.assertEqual(len(fix), 1, result.stdout)
        self.assertIn(self.b_line[:27], fix[0])

        live = ("--previous", self.origin + "/Launcher/version.json") + self.ca
        for extra, words in ((("--sign-key", self.b), ("is not one the live launcher",
                                                        self.a_line[:27])),
                             ((), ("holds update keys", "--sign-key"))):
            with self.subTest(extra=extra):
                result = self.publish("a", "1.1.0", "/builds/online-1.1.zip", *live, *extra)
                self.assertEqual(result.returncode, 2, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)
        result = self.publish("a", "1.1.0", "/builds/online-1.1.zip", *live, "--sign-key", self.a)
        self.assertEqual(result.returncode, 0, result.stderr)

        # A name the server already serves is never used again, not even by
        # a first publish; --offline publishes it with a warning.
        elsewhere = os.path.join(self.root, "elsewhere")
        result = self.tool(os.path.join(self.root, "build-a"), "--version", "2.0", "--url",
                           self.origin + "/builds/official-1.zip", "--out", elsewhere, "--first",
                           *self.ca)
        self.assertEqual(result.returncode, 2, result.stderr)
        self.assertIn("already answers (HTTP 206)", result.stderr)
        self.assertFalse(os.path.exists(elsewhere))

    def test_a_launcher_the_players_would_be_stuck_with_is_refused(self):
        self.publish_live(make_launcher(os.path.join(self.root, "live.exe"), [self.a_line],
                                        "1.2", "A"), self.a)
        out = ("--out", os.path.join(self.root, "next"), "--previous",
               self.origin + "/Launcher/launcher.json", "--sign-key", self.a) + self.ca
        both = [self.b_line, self.a_line]
        for name, keys, version, studio, words in (
                ("other key", [self.b_line], "1.3", "A",
                 ("do not verify the live version.json", self.a_line[:27])),
                ("other signer", both, "1.3", "B",
                 ("signed by CN = Vorn Test Studio B", "live one signed by CN = Vorn Test "
                                                      "Studio A")),
                ("unsigned", both, "1.3", None, ("the new launcher is unsigned",)),
                ("not newer", both, "1.2", "A", ("not newer than the live launcher's 1.2",)),
                ("good", both, "1.3", "A", ())):
            with self.subTest(name=name):
                exe = make_launcher(os.path.join(self.root, name + ".exe"), keys, version,
                                    studio)
                result = self.launcher(exe, version, *out)
                self.assertEqual(result.returncode, 2 if words else 0, result.stderr)
                for word in words:
                    self.assertIn(word, result.stderr)

    def test_check_full_names_a_published_launcher_the_players_cannot_take(self):
        # Published without the live checks: the other key only, the other signer.
        self.publish_live(make_launcher(os.path.join(self.root, "next.exe"), [self.b_line],
                                        "1.2", "B"), self.a)
        players = make_launcher(os.path.join(self.root, "players.exe"), [self.a_line], "1.1",
                                "A")
        result = self.check("--full", "--launcher", players, *self.ca)
        fixes = [line for line in result.stdout.splitlines() if line.startswith("FIX  launcher")]
        self.assertEqual(len(fixes), 2, result.stdout)
        self.assertIn("do not verify the live version.json", fixes[0])
        self.assertIn("signed by CN = Vorn Test Studio B, the players' launcher signed by "
                      "CN = Vorn Test Studio A", fixes[1])


class MisconfiguredServerTest(ServerCase):
    template = MISCONFIGURED

    def test_each_fault_is_named(self):
        self.assertEqual(self.publish("a", "1.0.0", "/builds/online-1.zip").returncode, 0)
        self.assertEqual(self.publish("b", "1.0.0", "/stream/official-1.zip",
                                      "--official").returncode, 0)
        # The official archive and its index sit in builds/, served again
        # through /stream/; the online archive is replaced by another
        # build's, its index changed after publishing.
        builds = os.path.join(self.upload, "builds")
        for name in ("official-1.zip", "official-1.zip.files"):
            shutil.move(os.path.join(self.upload, "stream", name), builds)
        shutil.copy(os.path.join(builds, "official-1.zip"), os.path.join(builds, "online-1.zip"))
        with open(os.path.join(builds, "online-1.zip.files"), "a") as f:
            f.write("F 0 1 1 %s extra\n" % ("0" * 64))
        self.serve()

        result = self.check("--ca-file", os.path.join(_certs, "ca.pem"), "--full")
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        fixes = [line for line in result.stdout.splitlines() if line.startswith("FIX")]
        for subject, words in (("localhost", "TLS 1.2"),
                               ("online manifest", "Content-Encoding: gzip"),
                               ("online manifest", "Cache-Control"),
                               ("online archive", "SHA-256"),
                               ("online archive", "Range request with HTTP 200"),
                               ("online index", "differs from the manifest's delta_index_sha256"),
                               ("official index", "Range request for Game.exe with HTTP 200"),
                               ("official archive", "no Content-Length")):
            with self.subTest(words=words):
                self.assertTrue(any(subject in line and words in line for line in fixes),
                                result.stdout)
        self.assertEqual(result.stdout.splitlines()[-1], "%d to fix" % len(fixes))

        result = self.check("--build", "online")
        self.assertEqual(result.returncode, 1)
        self.assertIn("certificate not accepted", result.stdout)
        self.assertIn("--ca-file", result.stdout)
        result = self.check("--ca-file", os.path.join(_certs, "ca.pem"), "--build", "online",
                            "--key", "ecdsa-p256:" + "5a" * 64)
        self.assertIn("FIX  online manifest: not signed", result.stdout)



class ServerStateTest(ServerCase):
    """A server that is up but not serving the files: each state named for
    what it is, with what the players see and what to change on the server."""
    template = STATES

    def setUp(self):
        super().setUp()
        for marker, path, extra in (("a", "/builds/online-1.zip", ()),
                                    ("b", "/builds/official-1.zip", ("--official",))):
            result = self.publish(marker, "1.0.0", path, "--first", *extra)
            self.assertEqual(result.returncode, 0, result.stderr)

    def serve_in_state(self, state):
        os.makedirs(self.nginx, exist_ok=True)
        with open(os.path.join(self.nginx, "state.conf"), "w") as f:
            f.write(state + "\n")
        self.serve()

    def lines(self, *extra):
        result = self.check("--ca-file", os.path.join(_certs, "ca.pem"), *extra)
        return result, result.stdout.splitlines()

    def test_maintenance_is_named_as_such_not_as_a_missing_upload(self):
        page = 'default_type text/html; return 200 "<!DOCTYPE html><title>Работы</title>";'
        for state, subject, words in (
                ("return 503;", "FIX  online manifest:",
                 ("HTTP 503", "«Не удалось скачать файл через PowerShell.»",
                  "«Ошибка скачивания: сервер ответил HTTP 503»", "maintenance")),
                (page, "FIX  online manifest:",
                 ("HTML page", "«В manifest должны быть поля: version и download_url»",
                  "status 503")),
                ("location /builds/ { return 503; }", "FIX  online archive:",
                 ("«Ошибка скачивания: сервер ответил HTTP 503» as the only line",
                  "maintenance")),
                ("location /builds/ { %s }" % page, "FIX  online archive:",
                 ("HTML page", "«SHA-256 скачанного архива не совпадает с manifest.»",
                  "status 503"))):
            with self.subTest(state=state):
                self.serve_in_state(state)
                result, lines = self.lines()
                self.assertEqual(result.returncode, 1, result.stdout)
                named = [line for line in lines if line.startswith(subject)]
                self.assertEqual(len(named), 1, result.stdout)
                for word in words:
                    self.assertIn(word, named[0])
                self.assertNotIn("upload the", result.stdout)

    def test_compression_and_one_build_only_get_the_right_advice(self):
        # A static .gz beside each archive, sent whatever the client asked.
        builds = os.path.join(self.upload, "builds")
        for name in ("online-1.zip", "official-1.zip"):
            with open(os.path.join(builds, name), "rb") as f, \
                    gzip.open(os.path.join(builds, name + ".gz"), "wb") as packed:
                packed.write(f.read())
        self.serve_in_state("location /builds/ { gzip_static always; }")
        result, lines = self.lines("--full")
        archive = [line for line in lines if " online archive:" in line]
        self.assertTrue(archive[0].startswith("FIX  online archive: sent with Content-Encoding: "
                                              "gzip"), result.stdout)
        self.assertIn("OK   online archive: SHA-256 matches the manifest", archive)
        self.assertNotIn("bytes", " ".join(archive))
        self.assertNotIn("upload the archive and index", result.stdout)

        # A studio that publishes the online build only.
        os.unlink(os.path.join(self.upload, "Launcher", "version_offline.json"))
        self.serve_in_state("")
        result, lines = self.lines()
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("--build online", "\n".join(line for line in lines
                                                  if line.startswith("FIX  official manifest")))
        self.assertEqual(self.lines("--build", "online")[0].returncode, 0)


if __name__ == "__main__":
    unittest.main()
