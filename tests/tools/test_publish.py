#!/usr/bin/env python3
"""Checks of tools/publish: the archive and manifest it writes in the
server's layout, what it refuses, and its copy of the launcher's version
order, manifest reading and URL encoding.
The tool runs as the publisher runs it, as a program, on real build folders
in temporary directories."""

import datetime
import hashlib
import io
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest
import zipfile
import zlib
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "..", "tools", "publish")
README = os.path.join(HERE, "..", "..", "README.md")
URL = "https://cdn.example.test/builds/game-%s.zip"
UTF8_FLAG = 0x800


sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
from publishing import (archive, build as publish_build, check, cli,  # noqa: E402
                        file_index, launcher_rules, lock, progress, signing)


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
# 2.5 MiB: pieces that deflate well and pieces that do not, in one file.
MIXED = (b"level data " * 100000 + random.Random(3).randbytes(1 << 20) +
         b"more text " * 50000)[:5 << 19]


class Lines:
    """A check report that keeps the kinds and texts of its lines."""

    def __init__(self):
        self.lines = []
        self.texts = []

    def line(self, kind, subject, text):
        self.lines.append(kind)
        self.texts.append(text)


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
        # Without --previous, a publish here is its build's first; the
        # example server is never reached.
        first = () if "--previous" in extra else ("--first",)
        return self.run_tool("--version", version, "--url", url or URL % version,
                             "--out", self.out, "--offline", *first, *extra, build=build)

    def assert_published(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([line for line in result.stderr.splitlines()
                          if not re.match(r"publish( launcher)?: warning: --offline:", line)], [])

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
        self.assertEqual(snapshot(self.out).keys(), {
            "builds", "builds/game-1.0.0.zip", "builds/game-1.0.0.zip.files",
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
        # Pieces of a big file come back from the threads in any order.
        write_tree(self.build, {"Game.exe": GAME, "b.txt": b"b", "a/c.txt": b"c",
                                "a/big.pak": MIXED})
        self.assert_published(self.publish("1.0.0", None, "--jobs", "1"))
        self.assert_published(self.publish("1.0.1", None, "--previous", self.manifest_path(),
                                           "--jobs", "3"))
        contents = []
        for version in ("1.0.0", "1.0.1"):
            with zipfile.ZipFile(self.archive(version)) as archive:
                contents.append([(i.filename, archive.read(i)) for i in archive.infolist()])
        self.assertEqual(contents[0], contents[1])
        with open(self.archive("1.0.0"), "rb") as first, \
                open(self.archive("1.0.1"), "rb") as second:
            self.assertEqual(first.read(), second.read())


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
            '  "sha256": "%s",\n'
            '  "delta_index": "https://cdn.example.test/builds/game-1.0.0.zip.files",\n'
            '  "delta_index_sha256": "%s"\n'
            '}\n') % (self.digest(self.archive()), self.digest(self.archive() + ".files")))

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
            '  "sha256": "%s",\n'
            '  "delta_index": "https://cdn.example.test/%%D1%%81%%D0%%B1%%D0%%BE%%D1%%80%%D0%%BA'
            '%%D0%%B8/b%%D0%%B5ta%%202.zip.files",\n'
            '  "delta_index_sha256": "%s"\n'
            '}\n') % (self.digest(archive), self.digest(archive + ".files")))
        with open(self.manifest_path("version_offline.json"), "rb") as f:
            raw = f.read()
        self.assertNotIn(b"\\u", raw)
        self.assertFalse(raw.startswith(b"\xef\xbb\xbf"))
        # The upload order: archive first, then its index, the manifest last.
        order = [result.stdout.index(path + "\n") for path in (
            archive, archive + ".files", self.manifest_path("version_offline.json"))]
        self.assertEqual(order, sorted(order))

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
                         ["game-1.0.0.zip", "game-1.0.0.zip.files", "game-1.1.0.zip",
                          "game-1.1.0.zip.files"])

    def test_a_publish_that_compares_with_no_live_manifest_is_warned_about(self):
        write_tree(self.build, {"Game.exe": GAME})
        result = self.run_tool("--version", "1.3", "--url", URL % "1.3", "--out", self.out,
                               "--offline")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stderr, r"^publish: warning: no --previous: .* --first ")
        # Said to be the first, it is not.
        self.assert_published(self.publish("1.4"))

    def test_a_manifest_the_launcher_would_misread_is_not_left_behind(self):
        # Were the writer ever to fall back to \\u escapes, the read-back must
        # catch it before anything is published.
        write_tree(self.build, {"Game.exe": GAME})
        rendered = lambda values: json.dumps(values, ensure_ascii=True, indent=2) + "\n"
        args = ["--version", "1.0 бета", "--url", URL % "1", "--out", self.out, "--offline",
                self.build]
        with mock.patch.object(publish_build, "render_manifest", rendered), \
                mock.patch("sys.stderr") as stderr:
            self.assertEqual(cli.main(args), 2)
        message = "".join(call.args[0] for call in stderr.write.call_args_list)
        self.assertIn("version", message)
        self.assertIsNone(snapshot(self.out))


def zip_with_bare_descriptors(files):
    """A ZIP of stored files, each with a data descriptor without its
    optional signature (12 bytes), as some writers make them."""
    local, central = b"", b""
    for name, data in files.items():
        crc, raw = zlib.crc32(data), name.encode()
        central += struct.pack("<4s6H3L5H2L", b"PK\x01\x02", 20, 20, 8, 0, 0, 0, crc, len(data),
                               len(data), len(raw), 0, 0, 0, 0, 0, len(local)) + raw
        local += struct.pack("<4s5H3L2H", b"PK\x03\x04", 20, 8, 0, 0, 0, 0, 0, 0, len(raw), 0)
        local += raw + data + struct.pack("<3L", crc, len(data), len(data))
    return local + central + struct.pack("<4s4H2LH", b"PK\x05\x06", 0, 0, len(files),
                                         len(files), len(central), len(local), 0)


class FileIndexTest(PublishCase):
    """The index beside the archive, checked against the archive's bytes
    alone: a launcher fetches offset..offset+length-1 of the archive and
    must be able to unpack that entry from those bytes."""

    def assert_index_describes(self, text, archive_path, files):
        with open(archive_path, "rb") as f:
            data = f.read()
        with zipfile.ZipFile(archive_path) as archive:
            central = {info.filename: info for info in archive.infolist()}
        directory = struct.unpack_from("<L", data, data.rindex(b"PK\x05\x06") + 16)[0]
        lines = text.split("\n")
        self.assertEqual(lines[:2], ["vorn-files 1", "archive %d" % len(data)])
        self.assertEqual(lines[-1], "")
        rows = [line.split(" ", 5) for line in lines[2:-1]]
        self.assertEqual([row[5] for row in rows], sorted(central, key=lambda name:
                                                          central[name].header_offset))
        ends = [int(row[1]) for row in rows[1:]] + [directory]
        for (kind, offset, length, size, digest, name), next_start in zip(rows, ends):
            with self.subTest(name=name):
                offset, length, info = int(offset), int(length), central[name]
                (signature, _, flags, method, _, _, _, local_size, _, name_length,
                 extra_length) = struct.unpack_from("<4s5H3L2H", data, offset)
                self.assertEqual(signature, b"PK\x03\x04")
                start = offset + 30 + name_length + extra_length
                self.assertEqual(data[offset + 30:offset + 30 + name_length].decode(), name)
                end = start + info.compress_size
                if flags & 8:
                    # Zip64 local headers carry 0xFFFFFFFF, and their
                    # descriptors 8-byte sizes.
                    signed = data[end:end + 4] == b"PK\x07\x08"
                    end += 4 * signed + (20 if local_size == 0xFFFFFFFF else 12)
                self.assertEqual(offset + length, end)
                self.assertLessEqual(end, next_start)
                packed = data[start:start + info.compress_size]
                content = zlib.decompress(packed, -15) if method == 8 else packed
                if kind == "D":
                    self.assertEqual((name[-1], size, digest, content), ("/", "0", "-", b""))
                    self.assertIsNone(files[name])
                else:
                    self.assertEqual(content, files[name])
                    self.assertEqual((int(size), digest),
                                     (len(content), hashlib.sha256(content).hexdigest()))
        self.assertEqual({row[5] for row in rows}, set(files))

    def test_each_entry_can_be_fetched_and_unpacked_on_its_own(self):
        files = {"Game.exe": GAME, "Data/map of the world.dat": os.urandom(70000),
                 "Data/empty.txt": b"", "Данные/карта.txt": "карта".encode() * 50,
                 "Data/big.pak": MIXED, "Logs/": None, "Mods/Empty/": None}
        write_tree(self.build, {k.rstrip("/"): v for k, v in files.items()})
        self.assert_published(self.publish())
        with open(self.archive() + ".files", "rb") as f:
            raw = f.read()
        self.assertFalse(raw.startswith(b"\xef\xbb\xbf") or b"\r" in raw)
        self.assert_index_describes(raw.decode("utf-8"), self.archive(), files)

    def test_zip64_records_where_sizes_offsets_or_the_count_need_them(self):
        # The limits lowered, so that every entry, the directory and the end
        # records take their ZIP64 forms, as in builds beyond 4 GiB or
        # 65,535 entries.
        files = {"Game.exe": GAME, "Data/big.pak": MIXED, "Data/small.txt": b"s",
                 "Logs/": None}
        write_tree(self.build, {k.rstrip("/"): v for k, v in files.items()})
        args = ["--version", "1", "--url", URL % "1", "--out", self.out, "--first", "--quiet",
                "--offline", self.build]
        with mock.patch.multiple(archive, LIMIT32=1, LIMIT16=2, ZIP64_LOCAL_SIZE=1), \
                mock.patch("sys.stdout", new_callable=io.StringIO):
            self.assertEqual(cli.main(args), 0)
        with open(self.archive("1"), "rb") as f:
            data = f.read()
        self.assertIn(b"PK\x06\x06", data)
        self.assertEqual(struct.unpack("<4s4H", data[-22:-10]),
                         (b"PK\x05\x06", 0, 0, 0xFFFF, 0xFFFF))
        with zipfile.ZipFile(self.archive("1")) as zipped:
            self.assertIsNone(zipped.testzip())
            self.assertGreater(zipped.getinfo("Data/small.txt").header_offset, 0)
        with open(self.archive("1") + ".files", encoding="utf-8") as f:
            self.assert_index_describes(f.read(), self.archive("1"), files)

    def test_data_descriptors_are_part_of_an_entry(self):
        # Written to a stream without seek, zipfile follows each entry with a
        # signed descriptor (24 bytes for a Zip64 one); other writers leave
        # the signature out.
        files = {"a.txt": b"a" * 5000, "big/b.bin": os.urandom(3000), "c.txt": b"c"}

        class Unseekable(io.RawIOBase):
            def __init__(self, sink):
                self.sink = sink

            def writable(self):
                return True

            def write(self, data):
                return self.sink.write(data)

        signed = os.path.join(self.root, "signed.zip")
        with open(signed, "wb") as sink, \
                zipfile.ZipFile(Unseekable(sink), "w", zipfile.ZIP_DEFLATED) as archive:
            for name, data in files.items():
                with archive.open(name, "w", force_zip64=name.startswith("big/")) as entry:
                    entry.write(data)
        bare = os.path.join(self.root, "bare.zip")
        with open(bare, "wb") as f:
            f.write(zip_with_bare_descriptors(files))
        for path in (signed, bare):
            with self.subTest(archive=os.path.basename(path)):
                entries = file_index.archive_entries(path)
                text = file_index.render_index(os.path.getsize(path), entries)
                self.assert_index_describes(text, path, files)

    def test_the_launchers_reader_finds_each_field_once(self):
        # The reader takes the first "key" in quotes anywhere in the text:
        # no other member, nested or not, may carry one of these names.
        write_tree(self.build, {"Game.exe": GAME})
        self.assert_published(self.publish())
        text = self.read_manifest()
        with open(self.archive(), "rb") as f:
            archive_digest = hashlib.sha256(f.read()).hexdigest()
        with open(self.archive() + ".files", "rb") as f:
            index_digest = hashlib.sha256(f.read()).hexdigest()
        self.assertEqual(launcher_rules.read_manifest(text), {
            "version": "1.0.0", "download_url": URL % "1.0.0", "exe": "Game.exe",
            "sha256": archive_digest})
        self.assertEqual(launcher_rules.extract_string(text, "delta_index"),
                         URL % "1.0.0" + ".files")
        self.assertEqual(launcher_rules.extract_string(text, "delta_index_sha256"), index_digest)
        for key in ("version", "download_url", "exe", "sha256", "delta_index",
                    "delta_index_sha256"):
            self.assertEqual(text.count('"%s"' % key), 1, key)

    def test_no_index(self):
        write_tree(self.build, {"Game.exe": GAME})
        result = self.publish("1.0.0", None, "--no-index")
        self.assert_published(result)
        self.assertEqual(list(json.loads(self.read_manifest())),
                         ["version", "download_url", "exe", "sha256"])
        self.assertFalse(os.path.exists(self.archive() + ".files"))
        self.assertNotIn(".files", result.stdout)

    def test_a_signed_link_needs_the_index_url_given(self):
        write_tree(self.build, {"Game.exe": GAME})
        url = "https://cdn.example.test/builds/g-%s.zip?Expires=1&Signature=x"
        result = self.publish("1.0", url % 1)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("--index-url", result.stderr)
        self.assertNotIn("delta_index", self.read_manifest())
        self.assertFalse(os.path.exists(os.path.join(self.out, "builds", "g-1.zip.files")))

        index_url = "https://cdn.example.test/builds/g-2.zip.files?Expires=1&Signature=y"
        result = self.publish("2.0", url % 2, "--index-url", index_url)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn("--index-url", result.stderr)
        self.assertEqual(json.loads(self.read_manifest())["delta_index"], index_url)
        self.assertTrue(os.path.exists(os.path.join(self.out, "builds", "g-2.zip.files")))


class SigningTest(PublishCase):
    """The studio's key and the signature over the values the launcher reads."""

    def keygen(self, out):
        return subprocess.run([sys.executable, TOOL, "keygen", out], capture_output=True,
                              text=True, encoding="utf-8")

    def test_a_signed_manifest_verifies_for_its_own_build_only(self):
        key = os.path.join(self.root, "studio.key")
        made = self.keygen(key)
        self.assertEqual(made.returncode, 0, made.stderr)
        with open(key + ".pub") as f:
            line = f.read().strip()
        self.assertRegex(line, r"^ecdsa-p256:[0-9a-f]{128}$")
        self.assertIn(line, made.stdout)
        self.assertEqual(os.stat(key).st_mode & 0o077, 0)
        with open(key, "rb") as f:
            private = f.read()
        self.assertEqual(self.keygen(key).returncode, 1)
        with open(key, "rb") as f:
            self.assertEqual(f.read(), private, "a key was overwritten")

        write_tree(self.build, {"Игра.exe": GAME})
        self.assert_published(self.publish('2.0 "бета"', None, "--exe", "Игра.exe",
                                           "--official", "--sign-key", key, "--key", line))
        text = self.read_manifest("version_offline.json")
        values = {name: launcher_rules.extract_string(text, name) for name in (
            "version", "download_url", "exe", "sha256", "delta_index", "delta_index_sha256")}
        signature = launcher_rules.extract_string(text, "update_signature")
        self.assertEqual(values["version"], '2.0 "бета"')
        self.assertTrue(signing.verifies(
            line, signing.signed_text("version_offline.json", values), signature))
        self.assertFalse(signing.verifies(
            line, signing.signed_text("version.json", values), signature))

    def test_expires_signs_the_time_and_the_archives_length(self):
        key = os.path.join(self.root, "studio.key")
        self.assertEqual(self.keygen(key).returncode, 0)
        with open(key + ".pub") as f:
            line = f.read().strip()
        write_tree(self.build, {"Game.exe": GAME})
        # Only a signature makes them hold.
        self.assertEqual(self.publish("1.0", None, "--expires", "30").returncode, 2)
        self.assert_published(self.publish("1.0", None, "--sign-key", key, "--key", line,
                                           "--expires", "30"))
        text = self.read_manifest()
        values = {name: launcher_rules.extract_string(text, name) for name in (
            "version", "download_url", "exe", "sha256", "delta_index", "delta_index_sha256",
            "size", "expires")}
        archive = os.path.join(self.out, "builds", "game-1.0.zip")
        self.assertEqual(values["size"], str(os.path.getsize(archive)))
        expires = datetime.datetime.strptime(values["expires"], "%Y-%m-%dT%H:%M:%SZ")
        wanted = datetime.datetime.utcnow() + datetime.timedelta(days=30)
        self.assertLess(abs((expires - wanted).total_seconds()), 120)
        signed = signing.signed_text("version.json", values)
        self.assertTrue(signed.startswith(b"vorn-launcher-manifest-2\n"))
        signature = launcher_rules.extract_string(text, "update_signature")
        self.assertTrue(signing.verifies(line, signed, signature))
        # Taken away, they break the signature.
        stripped = dict(values, size=None, expires=None)
        self.assertFalse(signing.verifies(line, signing.signed_text("version.json", stripped),
                                          signature))

    def test_a_manifest_is_signed_again_with_its_values_and_a_held_key_only(self):
        keys = {}
        for name in ("right", "wrong"):
            keys[name] = os.path.join(self.root, name + ".key")
            self.assertEqual(self.keygen(keys[name]).returncode, 0)
            with open(keys[name] + ".pub") as f:
                keys[name + " line"] = f.read().strip()
        write_tree(self.build, {"Game.exe": GAME})
        self.assert_published(self.publish("1.0", None, "--sign-key", keys["wrong"], "--key",
                                           keys["wrong line"], "--expires", "3"))
        before = self.read_manifest()

        def sign(key, *extra):
            return subprocess.run([sys.executable, TOOL, "sign", self.manifest_path(),
                                   "--sign-key", key, "--key", keys["right line"]] + list(extra),
                                  capture_output=True, text=True, encoding="utf-8")
        self.assert_refused(sign(keys["wrong"]), "is not one", keys["right line"][:27])
        self.assertEqual(self.read_manifest(), before)
        result = sign(keys["right"], "--expires", "60")
        self.assertEqual(result.returncode, 0, result.stderr)
        after = self.read_manifest()
        old, new = json.loads(before), json.loads(after)
        self.assertEqual(list(new), list(old))
        for field in old:
            if field not in ("expires", "update_signature"):
                self.assertEqual(new[field], old[field], field)
        expires = datetime.datetime.strptime(new["expires"], "%Y-%m-%dT%H:%M:%SZ")
        wanted = datetime.datetime.utcnow() + datetime.timedelta(days=60)
        self.assertLess(abs((expires - wanted).total_seconds()), 120)
        self.assertEqual(signing.signed_by([keys["wrong line"], keys["right line"]],
                                           "version.json", after), keys["right line"])

    def test_check_reads_a_manifest_as_the_launcher_does(self):
        good = b'{"version": "1.0", "download_url": "https://h/a.zip"}'
        for body, fixes in (
                (good, 0),
                (b'{"version": "1.0", "download_url": "https://h/a.zip", "version": "2.0"}', 1),
                (b'{"old": {"version": "0.9"}, "version": "1.0", "download_url": "u"}', 1),
                (b'{"title": "version", "download_url": "https://h/a.zip", "version": "2"}', 1),
                (b'{"version": "1.0\xff", "download_url": "u"}', 1)):
            with self.subTest(body=body):
                report = Lines()
                check.check_json_agrees(report, "online manifest", body,
                                        body.decode("utf-8", "surrogateescape"))
                self.assertEqual(report.lines.count("FIX"), fixes, report.texts)

        # Signed over the character that replaces a bad byte: the launcher,
        # which verifies the bytes themselves, refuses it, and so does check.
        key = os.path.join(self.root, "studio.key")
        self.assertEqual(self.keygen(key).returncode, 0)
        with open(key + ".pub") as f:
            line = f.read().strip()
        values = {"version": "1.0\ufffd", "download_url": "https://h/a.zip", "sha256": "0" * 64}
        signature = signing.sign(key, signing.signed_text("version.json", values))
        text = (b'{"version": "1.0\xff", "download_url": "https://h/a.zip", "sha256": "' +
                b"0" * 64 + b'", "update_signature": "' + signature.encode() + b'"}').decode(
                    "utf-8", "surrogateescape")
        report = Lines()
        check.check_signature(report, "online manifest", "version.json", text,
                              launcher_rules.read_manifest(text), [line])
        self.assertEqual(report.lines, ["FIX"])

    def test_check_names_an_expiry_that_passed_or_comes_soon(self):
        now = datetime.datetime(2027, 1, 1, tzinfo=datetime.timezone.utc)
        for expires, kind in (("2026-12-31T23:59:59Z", "FIX"), ("2027-01-01T00:00:00Z", "FIX"),
                              ("2027-01-10T00:00:00Z", "WARN"), ("2027-03-01T00:00:00Z", "OK"),
                              ("2027-03-01 00:00:00", "FIX"), (None, None)):
            with self.subTest(expires=expires):
                report = Lines()
                check.check_expiry(report, "online manifest", expires, now)
                self.assertEqual(report.lines, [kind] if kind else [])

    def test_a_launcher_is_published_only_with_its_own_version_over_https(self):
        exe = os.path.join(self.root, "VornLauncher.exe")
        with open(exe, "wb") as f:
            f.write(b"MZ" + b"\0" * 62 + struct.pack("<IIII", 0xFEEF04BD, 0x10000, 0x10002, 0x30000))
        key = os.path.join(self.root, "studio.key")
        signing.keygen(key)
        url = "https://cdn.example.test/launcher/VornLauncher-%s.exe"

        def launcher(version, address, *extra):
            return subprocess.run([sys.executable, TOOL, "launcher", exe, "--version", version,
                                   "--url", address, "--out", self.out, "--first",
                                   "--offline"] + list(extra),
                                  capture_output=True, text=True, encoding="utf-8")
        # Any other version would be fetched again at every start.
        self.assert_refused(launcher("1.3", url % "1.3"), "version resource", "1.2.3.0")
        # Once read as 1.2.3.0 too: the group wrapped round.
        self.assert_refused(launcher("4294967297.2.3.0", url % "x"), "larger than 2147483647")
        self.assert_refused(launcher("1.2.3", (url % "1.2.3").replace("https", "http")),
                            "https")
        self.assertIsNone(snapshot(self.out))
        with open(key + ".pub") as f:
            result = launcher("1.2.3", url % "1.2.3", "--sign-key", key, "--key", f.read().strip())
        self.assert_published(result)
        text = self.read_manifest("launcher.json")
        values = launcher_rules.read_manifest(text)
        self.assertEqual(values["download_url"], url % "1.2.3")
        with open(os.path.join(self.out, "launcher", "VornLauncher-1.2.3.exe"), "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), values["sha256"])
        signature = launcher_rules.extract_string(text, "update_signature")
        with open(key + ".pub") as f:
            line = f.read().strip()
        self.assertTrue(signing.verifies(line, signing.signed_text("launcher.json", values),
                                         signature))
        self.assertFalse(signing.verifies(line, signing.signed_text("version.json", values),
                                          signature))
        self.assertLess(result.stdout.index("VornLauncher-1.2.3.exe\n"),
                        result.stdout.index("launcher.json\n"))

    def test_a_key_that_cannot_sign_is_refused_before_anything_is_written(self):
        write_tree(self.build, {"Game.exe": GAME})
        rsa = os.path.join(self.root, "rsa.key")
        subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-out", rsa],
                       check=True, capture_output=True)
        for key in (os.path.join(self.root, "missing.key"), rsa):
            with self.subTest(key=key):
                self.assert_refused(self.publish("1.0", None, "--sign-key", key), "cannot sign")
                self.assertIsNone(snapshot(self.out))


# Stands in for the commands of the README's examples: records how it was called.
RECORDER = """#!/usr/bin/env python3
import json, os, sys
with open(os.environ["EXAMPLE_LOG"], "a") as f:
    f.write(json.dumps([os.path.basename(sys.argv[0])] + sys.argv[1:]) + "\\n")
"""
# Stands in for tools/publish: the real command line, without its work.
PUBLISH_STANDIN = """#!/usr/bin/env python3
import json, os, sys
from unittest import mock
sys.path.insert(0, %r)
from publishing import cli
def parsed(*args, **kwargs):
    raise SystemExit(0)
with open(os.environ["EXAMPLE_LOG"], "a") as f:
    f.write(json.dumps(["tools/publish"] + sys.argv[1:]) + "\\n")
with mock.patch.multiple(cli, publish=parsed, check_server=parsed, publish_launcher=parsed,
                         sign_again=parsed, report=parsed, keygen=parsed,
                         keys_in_launcher=parsed):
    sys.exit(cli.main(sys.argv[1:]))
"""


class ReadmeExamplesTest(unittest.TestCase):
    """The publishers' shell examples, run by bash as printed: every
    tools/publish line parses, and every make release gets its flags whole."""

    def test_the_examples_run_as_printed(self):
        with open(README, encoding="utf-8") as f:
            text = f.read()
        part = text[text.index("## For publishers"):text.index("## For developers")]
        blocks = [textwrap.dedent(m.group(2))
                  for m in re.finditer(r"^ *```(\w*)\n(.*?)^ *```", part, re.M | re.S)]
        blocks = [block for block in blocks
                  if block.startswith(("tools/publish", "make ", "rsync ", "export "))]
        self.assertGreaterEqual(len(blocks), 8)
        root = tempfile.mkdtemp(prefix="readme-examples-")
        self.addCleanup(shutil.rmtree, root, ignore_errors=True)
        stubs, log = os.path.join(root, "bin"), os.path.join(root, "calls.log")
        os.makedirs(os.path.join(root, "tools"))
        os.makedirs(stubs)
        for name in ("make", "rsync", "wine", "wineboot", "openssl", "cp", "mkdir"):
            with open(os.path.join(stubs, name), "w") as f:
                f.write(RECORDER)
        with open(os.path.join(root, "tools", "publish"), "w") as f:
            f.write(PUBLISH_STANDIN % os.path.join(HERE, "..", "..", "tools"))
        for folder in (stubs, os.path.join(root, "tools")):
            for name in os.listdir(folder):
                os.chmod(os.path.join(folder, name), 0o755)
        env = dict(os.environ, HOME=root, EXAMPLE_LOG=log,
                   PATH=stubs + os.pathsep + os.environ["PATH"])
        for block in blocks:
            with self.subTest(block=block.splitlines()[0]):
                result = subprocess.run(["bash", "-c", block], cwd=root, env=env,
                                        capture_output=True, text=True)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertNotIn("usage:", result.stderr)
        with open(log) as f:
            calls = [json.loads(line) for line in f]
        forms = {call[1] if call[1] in ("keygen", "check", "launcher", "sign", "stats")
                 else "build" for call in calls if call[0] == "tools/publish"}
        self.assertEqual(forms, {"build", "keygen", "check", "launcher", "sign", "stats"})
        releases = [call for call in calls if call[:2] == ["make", "release"]]
        keys = []
        for call in releases:
            flags = [arg for arg in call if arg.startswith("CMAKE_FLAGS=")]
            self.assertEqual(len(flags), 1, call)
            words = flags[0][len("CMAKE_FLAGS="):].split()
            self.assertTrue(all(word.startswith("-DVORN_") for word in words), call)
            for word in words:
                if word.startswith("-DVORN_UPDATE_KEYS="):
                    keys.append(word.split("=", 1)[1].split(";"))
        self.assertIn(["ecdsa-p256:<old>", "ecdsa-p256:<new>"], keys)


class StatsTest(PublishCase):
    def test_launchers_are_counted_once_an_address_by_version_over_the_days_asked(self):
        log = os.path.join(self.root, "access.log")
        with open(log, "w") as f:
            for address, day, version in (("10.0.0.1", 11, "0.3.0.0"), ("10.0.0.1", 11, "0.3.0.0"),
                                          ("10.0.0.2", 11, "0.10.0.0"), ("10.0.0.3", 10, "-"),
                                          ("10.0.0.4", 1, "0.1.0.0")):
                f.write('%s [%02d/Dec/2026:10:00:00 +0000] "GET /Launcher/launcher.json '
                        'HTTP/1.1" 200 120 "%s"\n' % (address, day, version))
            f.write("a line in nginx's default format\n")
        result = subprocess.run([sys.executable, TOOL, "stats", log, "--days", "7"],
                                capture_output=True, text=True, encoding="utf-8")
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = [line.split()[:2] if "older" not in line else ["older", line.split()[-3]]
                for line in result.stdout.splitlines() if line.startswith("  ")]
        self.assertEqual(rows, [["0.10.0.0", "1"], ["0.3.0.0", "1"], ["older", "1"]])
        self.assertIn("1 lines in another format", result.stdout)


class RefusalTest(PublishCase):
    """Each way a build or its arguments would hurt the players is refused
    with exit 2, one message, and no file written."""

    def assert_refused_cleanly(self, result, *words):
        self.assert_refused(result, *words)
        self.assertIsNone(snapshot(self.out))

    def test_one_publish_at_a_time_into_one_upload_folder(self):
        write_tree(self.build, {"Game.exe": GAME})
        with lock.upload_folder_lock(self.out):
            self.assert_refused_cleanly(self.publish("1.0"),
                                        "another publish (process %d)" % os.getpid())
        self.assert_published(self.publish("1.0"))

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
                         ("5.4294967296", "5.2147483647"), ("1", "1.0.0.0")):
            with self.subTest(old=old, new=new):
                with open(previous, "w", encoding="utf-8") as f:
                    json.dump({"version": old, "download_url": "https://x/a.zip"}, f)
                self.assert_refused_cleanly(self.publish(new, None, "--previous", previous),
                                            repr(new), repr(old), "publish the old build again")

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

    def test_names_the_live_manifest_holds_are_refused_from_a_clean_folder_too(self):
        # A CI job publishes into a fresh folder; the live manifest is what
        # knows the names players are fetching now.
        write_tree(self.build, {"Game.exe": GAME})
        live = os.path.join(self.root, "live.json")
        with open(live, "w", encoding="utf-8") as f:
            json.dump({"version": "1.2", "download_url": URL % "1.2",
                       "delta_index": URL % "1.2" + ".files"}, f)
        for extra in ((URL % "1.2",),
                      ("https://CDN.example.test:443/builds/GAME-1.2.zip?Expires=2",
                       "--index-url", URL % "1.3" + ".files"),
                      (URL % "1.3", "--index-url", URL % "1.2" + ".files")):
            with self.subTest(extra=extra):
                self.assert_refused_cleanly(
                    self.publish("1.3", *extra, "--previous", live), "live", "1.2", "new name")
        self.assert_published(self.publish("1.3", None, "--previous", live))

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


class FakeClock:
    def __init__(self):
        self.now = 100.0

    def __call__(self):
        return self.now


class Stream(io.StringIO):
    def __init__(self, terminal):
        super().__init__()
        self.terminal = terminal

    def isatty(self):
        return self.terminal


class ProgressTest(PublishCase):
    """Long steps say how far they are on stderr, and only there: the upload
    order on stdout stays what a script reads."""

    def test_lines_in_a_log_and_one_redrawn_line_on_a_terminal(self):
        for terminal in (False, True):
            with self.subTest(terminal=terminal):
                clock, out = FakeClock(), Stream(terminal)
                step = progress.Progress("packing g.zip", 100 << 20, out, clock)
                for _ in range(20):
                    clock.now += 1
                    step.advance(4 << 20)
                step.finish()
                shown = out.getvalue()
                if terminal:
                    # Redrawn each second here (five times a second at most).
                    self.assertEqual(shown.count("\r"), 21)
                    self.assertEqual(shown.count("\n"), 1)
                    self.assertIn("\rpacking g.zip: 4% of 100.0 MiB, 4.0 MiB/s, 0:24 left"
                                  "\x1b[K", shown)
                else:
                    # A line every 5 seconds, then how long it took.
                    self.assertEqual(shown.splitlines(), [
                        "packing g.zip: 20% of 100.0 MiB, 4.0 MiB/s, 0:20 left",
                        "packing g.zip: 40% of 100.0 MiB, 4.0 MiB/s, 0:15 left",
                        "packing g.zip: 60% of 100.0 MiB, 4.0 MiB/s, 0:10 left",
                        "packing g.zip: 80% of 100.0 MiB, 4.0 MiB/s, 0:05 left",
                        "packing g.zip: 80.0 MiB in 0:20"])
        # A short step says nothing.
        clock, out = FakeClock(), Stream(False)
        step = progress.Progress("packing g.zip", 10, out, clock)
        step.advance(10)
        step.finish()
        self.assertEqual(out.getvalue(), "")

    def test_publish_reports_packing_on_stderr_unless_quiet(self):
        write_tree(self.build, {"Game.exe": GAME, "Data/big.pak": MIXED})
        for quiet, version in ((False, "1"), (True, "2")):
            with self.subTest(quiet=quiet):
                args = ["--version", version, "--url", URL % version, "--out", self.out,
                        "--first", "--offline", self.build] + (["--quiet"] if quiet else [])
                with mock.patch.object(progress, "LOG_SECONDS", 0), \
                        mock.patch("sys.stdout", new_callable=io.StringIO) as stdout, \
                        mock.patch("sys.stderr", new_callable=io.StringIO) as stderr:
                    self.assertEqual(cli.main(args), 0)
                lines = [line for line in stderr.getvalue().splitlines()
                         if "warning: --offline" not in line]
                if quiet:
                    self.assertEqual(lines, [])
                else:
                    self.assertRegex(lines[0], r"^packing game-1\.zip: \d+% of 2\.5 MiB, ")
                    self.assertRegex(lines[-1], r"^packing game-1\.zip: 2\.5 MiB in 0:0\d$")
                self.assertNotIn("packing", stdout.getvalue())
                self.assertIn("upload in this order", stdout.getvalue())


class InterruptionTest(PublishCase):
    """A publish stopped halfway (Ctrl-C, a cancelled CI job, a full disk)
    leaves the upload folder as it was, and no work file anywhere near it."""

    def setUp(self):
        super().setUp()
        # A published 1.0 that an interrupted 1.1 must leave alone.
        write_tree(self.build, {"Game.exe": GAME})
        self.big = os.path.join(self.root, "big")
        write_tree(self.big, {"Game.exe": GAME})
        self.assert_published(self.publish("1.0"))
        self.before = snapshot(self.out)
        self.beside = sorted(os.listdir(self.root))

    def assert_as_it_was(self):
        self.assertEqual(snapshot(self.out), self.before)
        self.assertEqual(sorted(os.listdir(self.root)), self.beside)

    def test_a_stop_signal_midway(self):
        big = self.big
        with open(os.path.join(big, "world.pak"), "wb") as f:
            f.truncate(1 << 30)  # sparse: read fast, deflated in seconds
        for number in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=number):
                tool = subprocess.Popen(
                    [sys.executable, TOOL, big, "--version", "1.1", "--url", URL % "1.1",
                     "--out", self.out, "--previous", self.manifest_path(), "--jobs", "1",
                     "--offline"],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                work = os.path.join(self.root, ".upload.publish-%d" % tool.pid,
                                    "game-1.1.zip")
                deadline = time.monotonic() + 60
                while not (os.path.exists(work) and os.path.getsize(work) > 0):
                    self.assertIsNone(tool.poll(), "finished before it could be stopped")
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.01)
                tool.send_signal(number)
                stdout, stderr = tool.communicate(timeout=60)
                self.assertEqual(tool.returncode, 128 + number, stderr)
                self.assertIn("interrupted", stderr)
                self.assertEqual(stdout, "")
                self.assert_as_it_was()

    def test_a_failure_midway_or_at_the_last_move(self):
        write_tree(self.build, {"Data/big.pak": MIXED})
        args = ["--version", "1.1", "--url", URL % "1.1", "--out", self.out, "--previous",
                self.manifest_path(), "--quiet", "--offline", self.build]
        full = OSError(28, "No space left on device")
        for target in (mock.patch.object(archive, "deflate_piece", side_effect=full),
                       mock.patch.object(publish_build.os, "replace", side_effect=full)):
            with self.subTest(target=target.attribute), target, \
                    mock.patch("sys.stderr", new_callable=io.StringIO) as stderr:
                self.assertEqual(cli.main(args), 1)
                self.assertIn("No space left on device", stderr.getvalue())
                self.assert_as_it_was()


class VersionOrderTest(PublishCase):
    """The tool's copy of the launcher's order, and that it decides what the
    --previous check lets through."""

    def setUp(self):
        super().setUp()
        self.tool = launcher_rules

    def test_order(self):
        compare = self.tool.compare_versions
        # A group too large for its number is held at the largest one, never
        # wrapped round to a small one.
        same = (("1.2", "1.2.0"), ("1.2.0.0", "1.2"), ("v1-2", "1.2"), ("1.02", "1.2"),
                ("", "0.0"), ("beta", "0"), ("4294967296", "2147483647"),
                ("8589934593", "2147483648"), ("1.12884901888", "1.2147483647"),
                ("1.٣", "1"))
        for a, b in same:
            with self.subTest(a=a, b=b):
                self.assertEqual(compare(a, b), 0)
                self.assertEqual(compare(b, a), 0)
        newer = (("1.10", "1.9"), ("2", "1.99.99"), ("1.0.1", "1"), ("2147483647", "2147483646"),
                 ("2147483648", "0"), ("4294967296", "1"), ("1.2 beta 3", "1.2.2"))
        for a, b in newer:
            with self.subTest(a=a, b=b):
                self.assertGreater(compare(a, b), 0)
                self.assertLess(compare(b, a), 0)

    def test_previous_lets_through_only_newer(self):
        write_tree(self.build, {"Game.exe": GAME})
        previous = os.path.join(self.root, "previous.json")
        for old, new in (("1.9", "1.10"), ("1.99.99", "2"), ("1.2", "1.2.0.1"),
                         ("2147483646", "2147483647"), ("0.9", "1")):
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



class ReadmeTest(unittest.TestCase):
    """What the publishers' part of the README must tell, where a studio
    looks for it."""

    def setUp(self):
        with open(README, encoding="utf-8") as f:
            text = f.read()
        self.section = text[text.index("## For publishers"):text.index("## For developers")]

    def test_what_an_update_deletes_comes_before_the_first_step(self):
        before = self.section[:self.section.index("### 1.")]
        # The launcher's rule (pipeline/Backups.cpp): these survive, the rest goes.
        for kept in ("`Save`", "`UserData`", "`ModScripts/multiplayer/nickname.json`"):
            self.assertIn(kept, before)
        for words in ("replaces that", "no copy", "nobody can start the game"):
            self.assertIn(words, before)

    def test_each_error_a_player_reports_leads_to_one_row(self):
        rows = [line.split(" | ", 1) for line in self.section.splitlines()
                if line.startswith("| «")]
        first = "«Не удалось скачать файл через PowerShell.»"
        for seen, advice in (
                ((first, "«Ошибка скачивания: сервер ответил HTTP 503»"), "maintenance"),
                ((first, "«Ошибка скачивания: сервер ответил HTTP 404»"), "Upload it"),
                ((first, "«Не удалось подключиться к серверу.»"), "network"),
                (("«Ошибка скачивания: сервер ответил HTTP 503»",), "maintenance"),
                (("«Ошибка скачивания: сервер ответил HTTP 404»",), "Upload it"),
                (("«В manifest должны быть поля: version и download_url»",), "HTML")):
            with self.subTest(seen=seen):
                # A line seen alone is looked up among the rows for one line.
                found = [advice_cell for cell, advice_cell in rows
                         if all(line in cell for line in seen)
                         and (first in seen or first not in cell)]
                self.assertEqual(len(found), 1, seen)
                self.assertIn(advice, found[0])


if __name__ == "__main__":
    unittest.main()
