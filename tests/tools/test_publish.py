#!/usr/bin/env python3
"""Checks of tools/publish: the archive and manifest it writes in the
server's layout, what it refuses, and its copy of the launcher's version
order, manifest reading and URL encoding.
The tool runs as the publisher runs it, as a program, on real build folders
in temporary directories."""

import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "publish")
URL = "https://cdn.example.test/builds/game-%s.zip"
UTF8_FLAG = 0x800


sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from publishing import build as publish_build, cli, launcher_rules  # noqa: E402


def write_tree(root, files):
    """files: name -> bytes, or None for an (empty) folder."""
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        if data is None:
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def snapshot(folder):
    """Every file below folder with its bytes, for "nothing was written"."""
    found = {}
    if not os.path.isdir(folder):
        return None
    for dirpath, dirnames, filenames in os.walk(folder):
        for name in dirnames + filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, folder)
            if os.path.isfile(path):
                with open(path, "rb") as f:
                    found[rel] = f.read()
            else:
                found[rel] = None
    return found


GAME = b"MZ" + bytes(range(256)) * 40


class PublishCase(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="publish-test-")
        self.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        self.build = os.path.join(self.root, "build")
        self.out = os.path.join(self.root, "upload")
        os.makedirs(self.build)

    def run_tool(self, *args, build=None):
        return subprocess.run([sys.executable, TOOL, build or self.build] + list(args),
                              capture_output=True, text=True, encoding="utf-8")

    def publish(self, version="1.0.0", url=None, *extra, build=None):
        return self.run_tool("--version", version, "--url", url or URL % version,
                             "--out", self.out, *extra, build=build)

    def assert_published(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")

    def assert_refused(self, result, *words):
        """Exit 2, one line on stderr that names the cause, no output files."""
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertEqual(result.stdout, "")
        lines = result.stderr.strip().splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        for word in words:
            self.assertIn(word, lines[0])

    def archive(self, version="1.0.0"):
        return os.path.join(self.out, "builds", "game-%s.zip" % version)

    def manifest_path(self, name="version.json"):
        return os.path.join(self.out, "Launcher", name)

    def read_manifest(self, name="version.json"):
        with open(self.manifest_path(name), "rb") as f:
            return f.read().decode("utf-8")


class ArchiveTest(PublishCase):
    """What the players download: the whole build, laid out for the launcher's
    extractor, and exactly the bytes the manifest's digest names."""

    def test_archive_holds_the_build_sorted_deflated_with_forward_slashes(self):
        files = {
            "Game.exe": GAME,
            "readme.txt": b"hello\n" * 100,
            "Data/Maps/world.map": b"map" * 3000,
            "Data/items.db": b"items",
            "Save/": None,
            "Mods/Empty/": None,
            "Mods/one.lua": b"-- mod",
        }
        write_tree(self.build, {k.rstrip("/"): v for k, v in files.items()})
        self.assert_published(self.publish())

        archive_path = self.archive()
        with zipfile.ZipFile(archive_path) as archive:
            infos = archive.infolist()
            names = [info.filename for info in infos]
            self.assertEqual(names, sorted(names))
            self.assertEqual(set(names), {
                "Data/Maps/world.map", "Data/items.db", "Game.exe", "Mods/Empty/",
                "Mods/one.lua", "Save/", "readme.txt"})
            for info in infos:
                self.assertNotIn("\\", info.filename)
                if info.is_dir():
                    self.assertEqual(archive.read(info), b"")
                    continue
                self.assertEqual(info.compress_type, zipfile.ZIP_DEFLATED, info.filename)
                self.assertEqual(archive.read(info), files[info.filename])
            self.assertIsNone(archive.testzip())

        with open(archive_path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        self.assertEqual(json.loads(self.read_manifest())["sha256"], digest)
        # Nothing else is left in the output folder, temporary files included.
        self.assertEqual(snapshot(self.out).keys(), {"builds", "builds/game-1.0.0.zip",
                                                     "Launcher", "Launcher/version.json"})

    def test_non_ascii_names_are_utf8_with_the_flag(self):
        write_tree(self.build, {"Game.exe": GAME, "Данные/карта мира.txt": b"map",
                                "plain.txt": b"p"})
        self.assert_published(self.publish())
        with zipfile.ZipFile(self.archive()) as archive:
            infos = {info.filename: info for info in archive.infolist()}
            self.assertEqual(sorted(infos), ["Game.exe", "plain.txt", "Данные/карта мира.txt"])
            self.assertTrue(infos["Данные/карта мира.txt"].flag_bits & UTF8_FLAG)
            self.assertFalse(infos["Game.exe"].flag_bits & UTF8_FLAG)
            self.assertEqual(archive.read("Данные/карта мира.txt"), b"map")
        # The raw central directory carries UTF-8 bytes, not a code page.
        with open(self.archive(), "rb") as f:
            self.assertIn("Данные/карта мира.txt".encode("utf-8"), f.read())

    def test_an_empty_build_folder_inside_is_kept_as_an_entry(self):
        write_tree(self.build, {"Game.exe": GAME, "Logs": None})
        self.assert_published(self.publish())
        with zipfile.ZipFile(self.archive()) as archive:
            self.assertEqual(archive.namelist(), ["Game.exe", "Logs/"])
            self.assertTrue(archive.getinfo("Logs/").is_dir())

    def test_same_build_twice_gives_the_same_entries_and_bytes(self):
        write_tree(self.build, {"Game.exe": GAME, "b.txt": b"b", "a/c.txt": b"c"})
        self.assert_published(self.publish("1.0.0"))
        self.assert_published(self.publish("1.0.1", None, "--previous", self.manifest_path()))
        contents = []
        for version in ("1.0.0", "1.0.1"):
            with zipfile.ZipFile(self.archive(version)) as archive:
                contents.append([(i.filename, archive.read(i)) for i in archive.infolist()])
        self.assertEqual(contents[0], contents[1])


class ManifestTest(PublishCase):
    """The manifest's exact bytes: the launcher reads them with a string
    search, not a JSON parser."""

    def digest(self, path):
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()

    def test_exact_text(self):
        write_tree(self.build, {"Game.exe": GAME})
        self.assert_published(self.publish())
        self.assertEqual(self.read_manifest(), (
            '{\n'
            '  "version": "1.0.0",\n'
            '  "download_url": "https://cdn.example.test/builds/game-1.0.0.zip",\n'
            '  "exe": "Game.exe",\n'
            '  "sha256": "%s"\n'
            '}\n') % self.digest(self.archive()))

    def test_official_build_non_ascii_and_quotes(self):
        # A raw Cyrillic name with a space goes into the manifest as the
        # launcher sends it, UTF-8 percent-encoded; the file keeps its name.
        write_tree(self.build, {"Игра.exe": GAME})
        version = '2.0 "бета" \\ сборка'
        result = self.publish(version, "https://cdn.example.test/сборки/bеta 2.zip",
                              "--exe", "Игра.exe", "--official")
        self.assert_published(result)
        archive = os.path.join(self.out, "сборки", "b\u0435ta 2.zip")
        self.assertEqual(self.read_manifest("version_offline.json"), (
            '{\n'
            '  "version": "2.0 \\"бета\\" \\\\ сборка",\n'
            '  "download_url": "https://cdn.example.test/%%D1%%81%%D0%%B1%%D0%%BE%%D1%%80%%D0%%BA'
            '%%D0%%B8/b%%D0%%B5ta%%202.zip",\n'
            '  "exe": "Игра.exe",\n'
            '  "sha256": "%s"\n'
            '}\n') % self.digest(archive))
        with open(self.manifest_path("version_offline.json"), "rb") as f:
            raw = f.read()
        self.assertNotIn(b"\\u", raw)
        self.assertFalse(raw.startswith(b"\xef\xbb\xbf"))
        # The upload order: archive first, manifest last.
        self.assertLess(result.stdout.index(archive),
                        result.stdout.index(self.manifest_path("version_offline.json")))

    def test_exe_found_without_regard_to_case_keeps_the_given_name(self):
        write_tree(self.build, {"GAME.EXE": GAME})
        self.assert_published(self.publish("1.0.0", None, "--exe", "Game.exe"))
        self.assertEqual(json.loads(self.read_manifest())["exe"], "Game.exe")

    def test_a_new_version_replaces_the_manifest_and_keeps_old_archives(self):
        write_tree(self.build, {"Game.exe": GAME})
        self.assert_published(self.publish("1.0.0"))
        self.assert_published(self.publish("1.1.0", None, "--previous", self.manifest_path()))
        self.assertEqual(json.loads(self.read_manifest())["version"], "1.1.0")
        self.assertEqual(json.loads(self.read_manifest())["download_url"], URL % "1.1.0")
        self.assertEqual(sorted(os.listdir(os.path.join(self.out, "builds"))),
                         ["game-1.0.0.zip", "game-1.1.0.zip"])

    def test_a_manifest_the_launcher_would_misread_is_not_left_behind(self):
        # Were the writer ever to fall back to \\u escapes, the read-back must
        # catch it before anything is published.
        write_tree(self.build, {"Game.exe": GAME})
        rendered = lambda values: json.dumps(values, ensure_ascii=True, indent=2) + "\n"
        args = ["--version", "1.0 бета", "--url", URL % "1", "--out", self.out, self.build]
        with mock.patch.object(publish_build, "render_manifest", rendered), \
                mock.patch("sys.stderr") as stderr:
            self.assertEqual(cli.main(args), 2)
        message = "".join(call.args[0] for call in stderr.write.call_args_list)
        self.assertIn("version", message)
        self.assertIsNone(snapshot(self.out))


class RefusalTest(PublishCase):
    """Each way a build or its arguments would hurt the players is refused
    with exit 2, one message, and no file written."""

    def assert_refused_cleanly(self, result, *words):
        self.assert_refused(result, *words)
        self.assertIsNone(snapshot(self.out))

    def test_exe_must_be_a_file_at_the_top(self):
        cases = {
            "missing": {"Other.exe": GAME},
            "only deeper": {"Bin/Game.exe": GAME},
            "a folder of that name": {"Game.exe/Game.bin": GAME},
        }
        for label, files in cases.items():
            with self.subTest(label):
                shutil.rmtree(self.build)
                write_tree(self.build, files)
                self.assert_refused_cleanly(self.publish(), "Game.exe")

    def test_a_deeper_copy_of_the_exe_is_refused(self):
        # Depth first, the launcher could take Bin/ for the build.
        write_tree(self.build, {"Game.exe": GAME, "Bin/game.exe": GAME})
        self.assert_refused_cleanly(self.publish(), "Bin/game.exe")

    def test_versions_the_launcher_would_never_install(self):
        write_tree(self.build, {"Game.exe": GAME})
        for version in ("", "beta", "0", "0.0.0", "v0-0", "4294967296",
                        "4294967296.0", "8589934592", "2147483648", "0.2147483648.5"):
            with self.subTest(version=version):
                self.assert_refused_cleanly(self.publish(version, URL % "x"), "version")

    def test_version_not_newer_than_the_previous(self):
        write_tree(self.build, {"Game.exe": GAME})
        previous = os.path.join(self.root, "previous.json")
        for old, new in (("1.2.0", "1.2"), ("1.2.0", "1.1.9"), ("1.10", "1.9"),
                         ("5.2147483647", "5.2147483648"), ("1", "1.0.0.0")):
            with self.subTest(old=old, new=new):
                with open(previous, "w", encoding="utf-8") as f:
                    json.dump({"version": old, "download_url": "https://x/a.zip"}, f)
                self.assert_refused_cleanly(self.publish(new, None, "--previous", previous),
                                            repr(new), repr(old))

    def test_previous_manifest_without_a_readable_version(self):
        write_tree(self.build, {"Game.exe": GAME})
        previous = os.path.join(self.root, "previous.json")
        for text in ('{"download_url": "https://x/a.zip"}', '{"version": 3}', "",
                     '{"version": "1.0'):
            with self.subTest(text=text):
                with open(previous, "w", encoding="utf-8") as f:
                    f.write(text)
                self.assert_refused_cleanly(self.publish("9.0", None, "--previous", previous),
                                            "previous")
        self.assert_refused_cleanly(
            self.publish("9.0", None, "--previous", os.path.join(self.root, "missing.json")),
            "previous")

    def test_archive_names_are_never_reused(self):
        write_tree(self.build, {"Game.exe": GAME})
        os.makedirs(os.path.join(self.out, "builds"))
        for existing in ("game-1.0.0.zip", "GAME-1.0.0.ZIP"):
            with self.subTest(existing=existing):
                path = os.path.join(self.out, "builds", existing)
                with open(path, "wb") as f:
                    f.write(b"served already")
                before = snapshot(self.out)
                self.assert_refused(self.publish(), "already exists")
                self.assertEqual(snapshot(self.out), before)
                os.unlink(path)

    def test_urls_that_do_not_name_a_file_over_http(self):
        write_tree(self.build, {"Game.exe": GAME})
        for url in ("ftp://cdn.example.test/game-1.zip", "file:///srv/game-1.zip",
                    "https:///game-1.zip", "https://cdn.example.test/game-1.zip#x",
                    "https://cdn.example.test/", "https://cdn.example.test/a/../b.zip",
                    "https://cdn.example.test/game\t1.zip", "https://cdn.example.test/%FF.zip",
                    "https://cdn.example.test/a%2Fb.zip", "builds/game-1.zip"):
            with self.subTest(url=url):
                self.assert_refused_cleanly(self.publish("1.0", url), "URL")

    def test_signed_and_redirecting_links_are_published_with_a_warning(self):
        write_tree(self.build, {"Game.exe": GAME})
        for url, path, word in (
                ("https://cdn.example.test/builds/g-1.zip?Expires=1&Signature=x",
                 "builds/g-1.zip", "query string"),
                ("https://files.example.test/download/latest-build", "download/latest-build",
                 ".zip")):
            with self.subTest(url=url):
                shutil.rmtree(self.out, ignore_errors=True)
                result = self.publish("1.0", url)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(word, result.stderr)
                self.assertTrue(zipfile.is_zipfile(os.path.join(self.out, *path.split("/"))))
                self.assertEqual(json.loads(self.read_manifest())["download_url"], url)

    def test_values_that_would_need_escapes_the_launcher_does_not_decode(self):
        write_tree(self.build, {"Game.exe": GAME})
        for field, value in (("--version", "1.0\n"), ("--version", "1.0\x01"),
                             ("--exe", "Ga\tme.exe")):
            with self.subTest(field=field, value=value):
                args = {"--version": "1.0", "--url": URL % "1", "--out": self.out}
                args[field] = value
                flat = [item for pair in args.items() for item in pair]
                self.assert_refused_cleanly(self.run_tool(*flat), "escape")

    def test_symbolic_links_are_not_published(self):
        if not hasattr(os, "symlink"):
            self.skipTest("no symbolic links here")
        outside = os.path.join(self.root, "outside")
        os.makedirs(outside)
        write_tree(outside, {"secret.txt": b"not part of the build"})
        for name, target in (("link.txt", os.path.join(outside, "secret.txt")),
                             ("Data/linked", outside)):
            with self.subTest(name=name):
                shutil.rmtree(self.build)
                write_tree(self.build, {"Game.exe": GAME, "Data/real.txt": b"r"})
                try:
                    os.symlink(target, os.path.join(self.build, *name.split("/")))
                except OSError:
                    self.skipTest("no right to make symbolic links")
                self.assert_refused_cleanly(self.publish(), "symbolic link", name)

    def test_names_a_windows_folder_cannot_hold(self):
        if os.name == "nt":
            self.skipTest("such names cannot exist here")
        for files, word in (({"Data/a:b.txt": b"x"}, "a:b.txt"),
                            ({"Data/back\\slash.txt": b"x"}, "slash"),
                            ({"nul.txt": b"x"}, "nul.txt"),
                            ({"dot.": b"x"}, "dot."),
                            ({"Data/Map.txt": b"1", "Data/map.TXT": b"2"}, "differ only in case")):
            with self.subTest(word=word):
                shutil.rmtree(self.build)
                write_tree(self.build, dict(files, **{"Game.exe": GAME}))
                self.assert_refused_cleanly(self.publish(), word)

    def test_output_inside_the_build_and_bad_names(self):
        write_tree(self.build, {"Game.exe": GAME})
        result = self.run_tool("--version", "1.0", "--url", URL % "1",
                               "--out", os.path.join(self.build, "out"))
        self.assert_refused(result, "inside the build folder")
        self.assertFalse(os.path.exists(os.path.join(self.build, "out")))
        for extra, word in ((("--exe", "Bin/Game.exe"), "--exe"), (("--exe", ""), "--exe"),
                            (("--url", "https://cdn.example.test/Launcher/version.json"),
                             "names a manifest")):
            with self.subTest(extra=extra):
                self.assert_refused_cleanly(self.publish("1.0", None, *extra), word)


class VersionOrderTest(PublishCase):
    """The tool's copy of the launcher's order, and that it decides what the
    --previous check lets through."""

    def setUp(self):
        super().setUp()
        self.tool = launcher_rules

    def test_order(self):
        compare = self.tool.compare_versions
        same = (("1.2", "1.2.0"), ("1.2.0.0", "1.2"), ("v1-2", "1.2"), ("1.02", "1.2"),
                ("", "0.0"), ("beta", "0"), ("4294967296", "0"), ("4294967297", "1"),
                ("8589934593", "1"), ("1.12884901888", "1"),
                ("1.٣", "1"))
        for a, b in same:
            with self.subTest(a=a, b=b):
                self.assertEqual(compare(a, b), 0)
                self.assertEqual(compare(b, a), 0)
        newer = (("1.10", "1.9"), ("2", "1.99.99"), ("1.0.1", "1"), ("2147483647", "2147483646"),
                 ("0", "2147483648"), ("1", "4294967295"), ("1.2 beta 3", "1.2.2"))
        for a, b in newer:
            with self.subTest(a=a, b=b):
                self.assertGreater(compare(a, b), 0)
                self.assertLess(compare(b, a), 0)

    def test_previous_lets_through_only_newer(self):
        write_tree(self.build, {"Game.exe": GAME})
        previous = os.path.join(self.root, "previous.json")
        for old, new in (("1.9", "1.10"), ("1.99.99", "2"), ("1.2", "1.2.0.1"),
                         ("2147483648", "1"), ("1", "4294967298")):
            with self.subTest(old=old, new=new):
                with open(previous, "w", encoding="utf-8") as f:
                    f.write('{"version": "%s"}' % old)
                shutil.rmtree(self.out, ignore_errors=True)
                self.assert_published(self.publish(new, None, "--previous", previous))

    def test_previous_is_read_as_the_launcher_reads_it(self):
        # A JSON parser would read version 1 here; the launcher reads "u0031",
        # that is 31.
        write_tree(self.build, {"Game.exe": GAME})
        previous = os.path.join(self.root, "previous.json")
        with open(previous, "w", encoding="utf-8") as f:
            f.write('{"version" :\n "\\u0031"}')
        self.assert_refused(self.publish("30", None, "--previous", previous), "'30'")
        self.assert_published(self.publish("32", None, "--previous", previous))


class ExtractionTest(unittest.TestCase):
    """The tool's copy of the launcher's manifest reading, on the shapes where
    it differs from a JSON parser."""

    def test_reading(self):
        extract = launcher_rules.extract_string
        cases = (
            ('{"version": "1.0"}', "version", "1.0"),
            ('{"version":\r\n\t "1.0"}', "version", "1.0"),
            ('{"version": "a\\"b\\\\c\\/d"}', "version", 'a"b\\c/d'),
            ('{"v": "\\b\\f\\n\\r\\t"}', "v", "\b\f\n\r\t"),
            ('{"exe": "\\u0410.exe"}', "exe", "u0410.exe"),
            ('{"exe": "\\q"}', "exe", "q"),
            ('{"a": "\\"exe\\": \\"no\\"", "exe": "yes"}', "exe", "yes"),
            ('{"old": {"exe": "inner"}, "exe": "outer"}', "exe", "inner"),
            ('{"tag": "exe", "x": "y", "exe": "z"}', "exe", "y"),
            ('{"version": 2, "version": "1"}', "version", None),
            ('{"version": 1.0}', "version", None),
            ('{"version": "1.0', "version", None),
            ('{"version"}', "version", None),
            ('{"sha256": "ab"}', "version", None),
        )
        for text, key, expected in cases:
            with self.subTest(text=text):
                self.assertEqual(extract(text, key), expected)


if __name__ == "__main__":
    unittest.main()
