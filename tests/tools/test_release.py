#!/usr/bin/env python3
"""Checks of the release build as a publisher runs it: changed CMake flags
always reach the build, `make release` builds with exactly the flags given and
says which addresses are built in, the same commit gives the same bytes, and
a release signed with a code-signing certificate verifies.

    VORN_RELEASE_TEST_DIR=FOLDER python3 tests/tools/test_release.py

FOLDER holds the scratch builds (the build folder's, under CTest).
"""

import hashlib
import os
import re
import shutil
import subprocess
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SCRATCH = os.environ["VORN_RELEASE_TEST_DIR"]
STUDIO_FLAGS = "-DVORN_SERVER_URL=https://updates.example.org -DVORN_COMMUNITY_URL=https://vk.com/example"


def cached(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return None


def release(name, flags, **signing):
    """tools/release.sh into SCRATCH/name; returns its output and the exe."""
    env = dict(os.environ, CMAKE_FLAGS=flags, **signing,
               VORN_RELEASE_BUILD=os.path.join(SCRATCH, name, "build"),
               VORN_RELEASE_DIST=os.path.join(SCRATCH, name, "dist"))
    result = subprocess.run([os.path.join(ROOT, "tools", "release.sh")], env=env, cwd=ROOT,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            timeout=1200)
    if result.returncode != 0:
        raise AssertionError("release.sh failed:\n" + result.stdout)
    return result.stdout, os.path.join(SCRATCH, name, "dist", "VornLauncher.exe")


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)

    def test_changed_flags_reach_the_build_and_removed_ones_leave_it(self):
        build = os.path.join(SCRATCH, "configure")
        configure = os.path.join(ROOT, "tools", "configure.sh")
        for flags, expected in (("-DVORN_SERVER_URL=https://staging.example.org",
                                 "https://staging.example.org"),
                                ("-DVORN_SERVER_URL=https://updates.example.org",
                                 "https://updates.example.org"),
                                ("", "https://vornrpg.ru")):
            subprocess.run([configure, build, flags], check=True, cwd=ROOT,
                           stdout=subprocess.DEVNULL, timeout=300)
            self.assertEqual(cached(build, "VORN_SERVER_URL"), expected, flags)

    def test_release_builds_exactly_what_was_asked_and_the_same_bytes_twice(self):
        first, first_exe = release("a", STUDIO_FLAGS)
        second, second_exe = release("b", STUDIO_FLAGS)
        for output in (first, second):
            self.assertRegex(output, r"server URL: +https://updates\.example\.org\n")
            self.assertRegex(output, r"community URL: +https://vk\.com/example\n")
        with open(first_exe, "rb") as f:
            first_bytes = f.read()
        with open(second_exe, "rb") as f:
            self.assertEqual(f.read(), first_bytes, "two builds of one commit differ")
        self.assertIn("SHA-256: %s\n" % hashlib.sha256(first_bytes).hexdigest(), first)
        # The same folder without the flags: nothing of them stays.
        again, _ = release("a", "")
        self.assertRegex(again, r"server URL: +https://vornrpg\.ru\n")
        self.assertRegex(again, r"community URL: +https://vk\.com/vornrpg\n")
        self.assertFalse(re.search(r"example", again))

    def test_release_is_signed_and_verified_or_says_it_is_not(self):
        output, _ = release("a", STUDIO_FLAGS)
        self.assertIn("UNSIGNED", output)
        # A studio's code-signing certificate, made here.
        keys = os.path.join(SCRATCH, "signing")
        os.makedirs(keys, exist_ok=True)
        cert, key = os.path.join(keys, "cert.pem"), os.path.join(keys, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=Vorn Test Studio", "-keyout", key, "-out", cert,
                        "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        output, exe = release("a", STUDIO_FLAGS, SIGN_CERT=cert, SIGN_KEY=key, SIGN_CA=cert)
        self.assertIn("CN = Vorn Test Studio and verified", output)
        self.assertNotIn("UNSIGNED", output)

        def verifies(path):
            return subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=60).returncode == 0
        self.assertTrue(verifies(exe))
        # One byte of the code changed: the signature no longer holds.
        with open(exe, "rb") as f:
            data = bytearray(f.read())
        data[0x400] ^= 0xFF
        tampered = os.path.join(keys, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(data)
        self.assertFalse(verifies(tampered))


if __name__ == "__main__":
    unittest.main(verbosity=2)
