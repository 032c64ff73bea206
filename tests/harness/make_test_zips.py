#!/usr/bin/env python3
"""Makes the ZIP archives the extractor tests read.

    make_test_zips.py OUTDIR

OUTDIR is emptied and refilled on every run. Each archive that must unpack has
beside it, under OUTDIR/expected/<archive name without .zip>, the exact tree it
must produce. Archives come from the real tools (Info-ZIP zip, Python's
zipfile) wherever those can write the case; the rest (names in code page 866,
Info-ZIP Unicode Path fields, hostile names, damage) are written or patched
byte by byte here, and every archive is read back before the tests use it.
"""

import io
import os
import random
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

LOCAL_SIG = 0x04034B50
CENTRAL_SIG = 0x02014B50
END_SIG = 0x06054B50
FLAG_ENCRYPTED = 0x0001
FLAG_DESCRIPTOR = 0x0008
FLAG_UTF8 = 0x0800

# Where a hostile entry tries to write; the tests look for it outside the
# destination. Every unsafe archive holds safe entries before and after it.
# ZipExtractTest.cpp lists the same archives with the same names.
UNSAFE_NAMES = [
    ("unsafe_parent", b"../vorn_probe.txt"),
    ("unsafe_grandparent", b"../../vorn_probe.txt"),
    ("unsafe_inner_parent", b"a/../../vorn_probe.txt"),
    ("unsafe_backslash_parent", b"..\\vorn_probe.txt"),
    ("unsafe_backslash_inner", b"a\\..\\..\\vorn_probe.txt"),
    ("unsafe_dots_space", b".. /vorn_probe.txt"),
    ("unsafe_three_dots", b".../vorn_probe.txt"),
    ("unsafe_space_segment", b"a/ /vorn_probe.txt"),
    ("unsafe_parent_folder", b"../vorn_probe_dir/"),
    ("unsafe_absolute", b"/vorn_probe.txt"),
    ("unsafe_backslash_absolute", b"\\vorn_probe.txt"),
    ("unsafe_unc", b"\\\\localhost\\c$\\vorn_probe.txt"),
    ("unsafe_drive_slash", b"C:/vorn_probe.txt"),
    ("unsafe_drive_relative", b"C:vorn_probe.txt"),
    ("unsafe_stream", b"first.txt:vorn_probe"),
    ("unsafe_empty_name", b""),
    ("unsafe_control", b"bad\x01name.txt"),
    ("unsafe_char_lt", b"a<b.txt"),
    ("unsafe_char_gt", b"a>b.txt"),
    ("unsafe_char_quote", b'a"b.txt'),
    ("unsafe_char_pipe", b"a|b.txt"),
    ("unsafe_char_question", b"a?b.txt"),
    ("unsafe_char_star", b"a*b.txt"),
    ("unsafe_device_con", b"CON"),
    ("unsafe_device_nul", b"logs/nul.txt"),
    ("unsafe_device_com1", b"COM1.log"),
    # Deeper or longer than any build needs; 12,000 levels once overflowed
    # the stack.
    ("unsafe_deep_name", b"a/" * 12000 + b"f"),
    ("unsafe_deep_short", b"a/" * 200 + b"f"),
]


class Raw:
    """One entry for write_raw_zip: name bytes exactly as stored."""

    def __init__(self, name, data=b"", method=0, flags=0, extra=b""):
        self.name, self.data, self.method = name, data, method
        self.flags, self.extra = flags, extra


def deflate_raw(data):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()


def write_raw_zip(path, entries):
    """A plain archive written field by field, for what zipfile refuses to write."""
    body, central = bytearray(), bytearray()
    for e in entries:
        payload = deflate_raw(e.data) if e.method == 8 else e.data
        crc = zlib.crc32(e.data)
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", LOCAL_SIG, 20, e.flags, e.method, 0, 0x21, crc,
                            len(payload), len(e.data), len(e.name), 0)
        body += e.name + payload
        central += struct.pack("<IHHHHHHIIIHHHHHII", CENTRAL_SIG, 20, 20, e.flags, e.method, 0,
                               0x21, crc, len(payload), len(e.data), len(e.name), len(e.extra),
                               0, 0, 0, 0, offset)
        central += e.name + e.extra
    end = struct.pack("<IHHHHIIH", END_SIG, 0, 0, len(entries), len(entries), len(central),
                      len(body), 0)
    with open(path, "wb") as f:
        f.write(bytes(body + central + end))


def unicode_path_field(unicode_name, crc_of, version=1):
    """Info-ZIP Unicode Path extra field (0x7075)."""
    data = bytes([version]) + struct.pack("<I", zlib.crc32(crc_of)) + unicode_name.encode()
    return struct.pack("<HH", 0x7075, len(data)) + data


def central_records(data):
    """Central directory records of a plain archive: (offset, fields, name)."""
    end = data.rindex(struct.pack("<I", END_SIG))
    count, _size, offset = struct.unpack_from("<HII", data, end + 10)
    records = []
    for _ in range(count):
        fields = struct.unpack_from("<IHHHHHHIIIHHHHHII", data, offset)
        assert fields[0] == CENTRAL_SIG
        name = data[offset + 46:offset + 46 + fields[10]]
        records.append((offset, fields, name))
        offset += 46 + fields[10] + fields[11] + fields[12]
    return records


def extra_fields(extra):
    fields = {}
    while len(extra) >= 4:
        header_id, size = struct.unpack_from("<HH", extra)
        fields[header_id] = extra[4:4 + size]
        extra = extra[4 + size:]
    return fields


def patch(path, offset, new_bytes):
    with open(path, "r+b") as f:
        f.seek(offset)
        f.write(new_bytes)


def write_tree(root, files):
    """files: relative path -> bytes, or None for a folder."""
    os.makedirs(root, exist_ok=True)
    for name, data in files.items():
        target = os.path.join(root, name)
        if data is None:
            os.makedirs(target, exist_ok=True)
        else:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as f:
                f.write(data)


def check_readable(path):
    """Python's own reader must accept the archive and its CRCs."""
    with zipfile.ZipFile(path) as z:
        bad = z.testzip()
        assert bad is None, f"{path}: {bad} is damaged"
        return z.infolist()


def run_zip(args, cwd, env=None, stdin=None):
    subprocess.run(["zip", "-q", "-X"] + args, cwd=cwd, env=env, input=stdin, check=True,
                   stdout=subprocess.DEVNULL)


def pseudo_random(seed, size):
    return random.Random(seed).randbytes(size)


class Maker:
    def __init__(self, out):
        self.out = out
        self.sources = os.path.join(out, "sources")

    def path(self, name):
        return os.path.join(self.out, name)

    def expect(self, archive, files):
        write_tree(os.path.join(self.out, "expected", archive[:-4]), files)

    def source_tree(self, name, files):
        root = os.path.join(self.sources, name)
        write_tree(root, files)
        return root

    # Contents and folder structure.

    def game_tree(self):
        return {
            "Game.exe": b"MZ" + pseudo_random(1, 40000),
            "readme.txt": "Читай меня. Read me.\r\n".encode() * 400,
            "data/empty.txt": b"",
            "data/levels/level1.dat": pseudo_random(2, 5000),
            "data/levels/level2.dat": b"level two\n" * 300,
            "data/levels/deep/er/still.txt": b"three folders down",
            "Save/slot 1.sav": b"slot one",
        }

    def infozip_trees(self):
        files = self.game_tree()
        root = self.source_tree("game", files)
        for archive, options in (("infozip_deflated.zip", ["-9"]),
                                 ("infozip_stored.zip", ["-0"]),
                                 ("infozip_no_folder_entries.zip", ["-9", "-D"])):
            run_zip(["-r"] + options + [self.path(archive), "."], cwd=root)
            infos = check_readable(self.path(archive))
            names = [i.filename for i in infos]
            folders = [n for n in names if n.endswith("/")]
            methods = {i.compress_type for i in infos if not i.filename.endswith("/")}
            assert sorted(n for n in names if not n.endswith("/")) == sorted(files)
            if "-D" in options:
                assert not folders
            else:
                assert "data/levels/deep/er/" in folders
            assert methods == ({0} if "-0" in options else {0, 8}), (archive, methods)
            self.expect(archive, files)

    def python_mixed(self):
        archive = "python_mixed.zip"
        files = {
            "empty folder/": None,
            "deep/er/still/": None,
            "stored.txt": b"stored as is\n" * 50,
            "deflated.txt": b"deflated text\n" * 500,
            "zero stored.bin": b"",
            "zero deflated.bin": b"",
            "deep/my file.v2.txt": b"dots and spaces inside a name",
        }
        with zipfile.ZipFile(self.path(archive), "w") as z:
            for name, data in files.items():
                if data is None:
                    z.writestr(zipfile.ZipInfo(name), b"")
                else:
                    method = zipfile.ZIP_STORED if "stored" in name else zipfile.ZIP_DEFLATED
                    z.writestr(name, data, compress_type=method)
        check_readable(self.path(archive))
        self.expect(archive, files)

    def large(self):
        # Several times the extractor's buffers, in and out.
        archive = "large.zip"
        mixed = bytearray()
        for block in range(48):
            mixed += pseudo_random(100 + block, 32768) if block % 3 == 0 else bytes([block]) * 65536
        files = {
            "big/mixed.bin": bytes(mixed),
            "big/random.bin": pseudo_random(7, 700000),
            "after.txt": b"the entry after the big ones",
        }
        with zipfile.ZipFile(self.path(archive), "w") as z:
            z.writestr("big/mixed.bin", files["big/mixed.bin"], compress_type=zipfile.ZIP_DEFLATED)
            z.writestr("big/random.bin", files["big/random.bin"], compress_type=zipfile.ZIP_STORED)
            z.writestr("after.txt", files["after.txt"], compress_type=zipfile.ZIP_DEFLATED)
        infos = check_readable(self.path(archive))
        assert infos[0].compress_size > 300 * 1024
        self.expect(archive, files)

    def boundaries(self):
        # Entries that end just around the extractor's 256 KiB buffers, as the
        # two tools pack them. Zeros make inflate end a buffer inside a long
        # match; random data makes deflate store blocks.
        files = {}
        for size in list(range(262140, 262560, 5)) + [524287, 524288, 524289, 786453]:
            files[f"zeros_{size}.bin"] = bytes(size)
        for size in (262143, 262144, 262145, 262165, 524288, 524301):
            files[f"random_{size}.bin"] = pseudo_random(size, size)
        root = self.source_tree("boundaries", files)
        for archive, options in (("boundary_infozip_deflated.zip", []),
                                 ("boundary_infozip_stored.zip", ["-0"])):
            run_zip(options + [self.path(archive)] + sorted(files), cwd=root)
            check_readable(self.path(archive))
            self.expect(archive, files)
        for archive, method in (("boundary_python_deflated.zip", zipfile.ZIP_DEFLATED),
                                ("boundary_python_stored.zip", zipfile.ZIP_STORED)):
            with zipfile.ZipFile(self.path(archive), "w", method) as z:
                for name, data in files.items():
                    z.writestr(name, data)
            check_readable(self.path(archive))
            self.expect(archive, files)

    def zeros(self):
        # 96 MiB that packs into about 100 KiB: unpacking it must not need the
        # entry in memory. No expected tree: the test checks the size.
        info = zipfile.ZipInfo("zeros.bin")
        info.compress_type = zipfile.ZIP_DEFLATED
        with zipfile.ZipFile(self.path("zeros.zip"), "w") as z:
            with z.open(info, "w") as f:
                chunk = bytes(1 << 20)
                for _ in range(96):
                    f.write(chunk)

    def many_files(self):
        archive = "many_files.zip"
        files = {f"folder{i // 100:02}/file{i:04}.txt": f"file {i}\n".encode() for i in range(1000)}
        with zipfile.ZipFile(self.path(archive), "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in files.items():
                z.writestr(name, data)
        self.expect(archive, files)

    def empty(self):
        with zipfile.ZipFile(self.path("empty.zip"), "w"):
            pass
        assert os.path.getsize(self.path("empty.zip")) == 22

    def comment(self):
        # The longest comment there can be, ending in a stand-in end record
        # that says "no entries": a reader that takes the first signature it
        # meets from the back finds nothing to unpack.
        archive = "comment.zip"
        files = {"commented.txt": b"found behind a long comment"}
        fake_end = struct.pack("<IHHHHIIH", END_SIG, 0, 0, 0, 0, 0, 0, 0)
        comment = b"c" * (65535 - 40) + fake_end + b"t" * 18
        assert len(comment) == 65535
        with zipfile.ZipFile(self.path(archive), "w") as z:
            z.writestr("commented.txt", files["commented.txt"])
            z.comment = comment
        # Python's own reader is one of those, so check the bytes instead.
        blob = open(self.path(archive), "rb").read()
        assert blob.endswith(comment)
        assert blob[-65535 - 22:-65535 - 18] == struct.pack("<I", END_SIG)
        self.expect(archive, files)

    # ZIP64 and data descriptors.

    def zip64_python(self):
        # With the limits lowered, zipfile writes ZIP64 end records and extra
        # fields into a small archive: "small.txt" needs none, "big/packed.bin"
        # has both sizes, "big/raw2.bin" both sizes and the offset,
        # "after.txt" only the offset.
        files = {
            "small.txt": b"s" * 500,
            "big/packed.bin": b"packed line\n" * 2000,
            "big/raw.bin": pseudo_random(3, 3000),
            "big/raw2.bin": pseudo_random(4, 1500),
            "after.txt": b"tail entry",
        }
        saved = zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT
        zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = 1000, 2
        try:
            with zipfile.ZipFile(self.path("zip64_python.zip"), "w") as z:
                for name, data in files.items():
                    packed = name.endswith("packed.bin")
                    z.writestr(name, data,
                               compress_type=zipfile.ZIP_DEFLATED if packed else zipfile.ZIP_STORED)
        finally:
            zipfile.ZIP64_LIMIT, zipfile.ZIP_FILECOUNT_LIMIT = saved
        check_readable(self.path("zip64_python.zip"))
        data = open(self.path("zip64_python.zip"), "rb").read()
        assert b"PK\x06\x06" in data and b"PK\x06\x07" in data
        saturated = {}
        with zipfile.ZipFile(self.path("zip64_python.zip")) as z:
            for info in z.infolist():
                field = extra_fields(info.extra).get(0x0001, b"")
                saturated[info.filename] = len(field)
        assert saturated == {"small.txt": 0, "big/packed.bin": 16, "big/raw.bin": 16,
                             "big/raw2.bin": 24, "after.txt": 8}, saturated
        self.expect("zip64_python.zip", files)

        # The same archive with the classic end record saturated, so only the
        # ZIP64 end record tells where the directory is.
        shutil.copyfile(self.path("zip64_python.zip"), self.path("zip64_saturated.zip"))
        end = data.rindex(struct.pack("<I", END_SIG))
        patch(self.path("zip64_saturated.zip"), end + 8,
              struct.pack("<HHII", 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF))
        check_readable(self.path("zip64_saturated.zip"))
        self.expect("zip64_saturated.zip", files)

    def zip64_infozip(self):
        # Info-ZIP writes ZIP64 local headers for what it reads from standard
        # input, since it cannot know the size in advance.
        content = b"streamed through standard input\n" * 100
        run_zip([self.path("zip64_infozip_stdin.zip"), "-"], cwd=self.out, stdin=content)
        piped = subprocess.run(["zip", "-q", "-X", "-", "-"], input=content,
                               stdout=subprocess.PIPE, check=True).stdout
        with open(self.path("zip64_infozip_piped.zip"), "wb") as f:
            f.write(piped)
        # Both local headers carry their sizes in a ZIP64 field; the first
        # archive also has ZIP64 end records, the second a data descriptor.
        for archive, piped in (("zip64_infozip_stdin.zip", False),
                               ("zip64_infozip_piped.zip", True)):
            infos = check_readable(self.path(archive))
            blob = open(self.path(archive), "rb").read()
            assert blob[18:26] == b"\xff" * 8, archive
            assert (b"PK\x06\x06" in blob) != piped, archive
            assert bool(infos[0].flag_bits & FLAG_DESCRIPTOR) == piped, archive
            self.expect(archive, {"-": content})

    def descriptors(self):
        # zipfile writing into a stream it cannot seek in.
        class Sink:
            def __init__(self):
                self.buffer = io.BytesIO()

            def write(self, data):
                return self.buffer.write(data)

            def flush(self):
                pass

        files = {
            "stream/stored.txt": b"stored behind a descriptor\n" * 20,
            "stream/deflated.txt": b"deflated behind a descriptor\n" * 200,
            "stream/zero.bin": b"",
        }
        sink = Sink()
        with zipfile.ZipFile(sink, "w") as z:
            for name, data in files.items():
                method = zipfile.ZIP_STORED if "stored" in name else zipfile.ZIP_DEFLATED
                z.writestr(name, data, compress_type=method)
        with open(self.path("descriptor_python.zip"), "wb") as f:
            f.write(sink.buffer.getvalue())
        for info in check_readable(self.path("descriptor_python.zip")):
            assert info.flag_bits & FLAG_DESCRIPTOR, info.filename
        self.expect("descriptor_python.zip", files)

        # Info-ZIP writing the archive into a pipe.
        tree = {"piped/one.txt": b"one\n" * 300, "piped/two/three.txt": b"three\n" * 300}
        root = self.source_tree("descriptor", tree)
        piped = subprocess.run(["zip", "-q", "-X", "-r", "-", "piped"], cwd=root,
                               stdout=subprocess.PIPE, check=True).stdout
        with open(self.path("descriptor_infozip.zip"), "wb") as f:
            f.write(piped)
        infos = check_readable(self.path("descriptor_infozip.zip"))
        assert any(i.flag_bits & FLAG_DESCRIPTOR for i in infos if not i.is_dir())
        self.expect("descriptor_infozip.zip", {"piped/": None, "piped/two/": None, **tree})

    # Names.

    def names_utf8_flag(self):
        archive = "names_utf8_flag.zip"
        files = {
            "Документы/": None,
            "Документы/отчёт.txt": "отчёт".encode(),
            "Документы/Вложенная/данные.bin": pseudo_random(5, 3000),
            "Ёлка ☃.txt": b"snowman",
        }
        with zipfile.ZipFile(self.path(archive), "w", zipfile.ZIP_DEFLATED) as z:
            for name, data in files.items():
                z.writestr(name, data or b"")
        for info in check_readable(self.path(archive)):
            assert info.flag_bits & FLAG_UTF8, info.filename
        self.expect(archive, files)

    def names_infozip(self):
        # Info-ZIP 3.0 on Unix switches itself to the locale "en_US.UTF-8"
        # (the name is built in) and only then marks UTF-8 names with bit 11;
        # where that locale is missing it stores the same UTF-8 bytes unmarked
        # and with no Unicode Path field. A private copy of the locale makes
        # the archive the same on every machine.
        archive = "names_infozip_cyrillic.zip"
        files = {
            "Папка/Вложенная/файл.txt": "содержимое".encode() * 50,
            "Папка/ещё один.txt": b"another",
            "Игра.exe": b"MZ" + pseudo_random(6, 2000),
        }
        root = self.source_tree("cyrillic", files)
        locales = os.path.join(self.out, "locale")
        os.makedirs(locales)
        subprocess.run(["localedef", "-i", "en_US", "-f", "UTF-8",
                        os.path.join(locales, "en_US.UTF-8")],
                       check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = dict(os.environ, LOCPATH=locales)
        run_zip(["-r", self.path(archive), "."], cwd=root, env=env)
        infos = check_readable(self.path(archive))
        for info in infos:
            assert info.flag_bits & FLAG_UTF8, f"zip did not mark {info.filename!r} as UTF-8"
            assert 0x7075 not in extra_fields(info.extra)
        self.expect(archive, {"Папка/": None, "Папка/Вложенная/": None, **files})

    def names_cp866(self):
        # What Windows' own "Send to compressed folder" writes on a Russian
        # system: code page 866, no UTF-8 flag. "сад.txt" in 866 is
        # E1 A0 A4 2E 74 78 74, which is also valid UTF-8, so guessing the
        # encoding from the bytes would go wrong.
        archive = "names_cp866.zip"
        assert "сад.txt".encode("cp866").decode("utf-8") != "сад.txt"
        files = {
            "сад.txt": b"garden",
            "Игра/": None,
            "Игра/план.txt": b"plan",
            "Игра/Сохранения/слот №1.sav": b"slot one",
        }
        write_raw_zip(self.path(archive), [
            Raw(name.encode("cp866"), data or b"", method=8 if data else 0)
            for name, data in files.items()])
        for info in check_readable(self.path(archive)):
            assert not info.flag_bits & FLAG_UTF8
        self.expect(archive, files)

    def names_unicode_path(self):
        # The field counts only when its version is 1 and its CRC matches the
        # stored name; a field left behind by a rename is ignored.
        archive = "names_unicode_path.zip"
        entries = [
            Raw(b"dir_/", extra=unicode_path_field("папка/", b"dir_/")),
            Raw(b"dir_/inner.txt", b"inner", extra=unicode_path_field("папка/внутри.txt",
                                                                      b"dir_/inner.txt")),
            Raw(b"snowman_.txt", b"snow", method=8,
                extra=unicode_path_field("снеговик ☃.txt", b"snowman_.txt")),
            Raw("старое.txt".encode("cp866"), b"stale field",
                extra=unicode_path_field("новое.txt", b"something else")),
            Raw(b"version2.txt", b"unknown version",
                extra=unicode_path_field("ignored.txt", b"version2.txt", version=2)),
        ]
        write_raw_zip(self.path(archive), entries)
        check_readable(self.path(archive))
        self.expect(archive, {
            "папка/": None,
            "папка/внутри.txt": b"inner",
            "снеговик ☃.txt": b"snow",
            "старое.txt": b"stale field",
            "version2.txt": b"unknown version",
        })

    def skipped_segments(self):
        # Empty and "." segments name the same place without them.
        archive = "skipped_segments.zip"
        write_raw_zip(self.path(archive), [
            Raw(b"./"),
            Raw(b"./top.txt", b"top"),
            Raw(b"a//b.txt", b"b"),
            Raw(b"a/./c.txt", b"c"),
            Raw(b"d/./"),
        ])
        check_readable(self.path(archive))
        self.expect(archive, {"top.txt": b"top", "a/b.txt": b"b", "a/c.txt": b"c", "d/": None})

    # Names that must fail the whole archive.

    def unsafe(self):
        for stem, name in UNSAFE_NAMES:
            self.unsafe_archive(stem + ".zip", Raw(name, b"escaped"))
        # A harmless stored name whose Unicode Path field climbs out.
        self.unsafe_archive("unsafe_unicode_path.zip", Raw(
            b"innocent.txt", b"escaped",
            extra=unicode_path_field("../vorn_probe.txt", b"innocent.txt")))
        self.unsafe_archive("unsafe_utf8_parent.zip", Raw(
            "../проба.txt".encode(), b"escaped", flags=FLAG_UTF8))
        self.unsafe_archive("unsafe_device_superscript.zip", Raw(
            "logs/COM\u00b9.txt".encode(), b"escaped", flags=FLAG_UTF8))

    def unsafe_archive(self, archive, hostile):
        write_raw_zip(self.path(archive), [
            Raw(b"first.txt", b"first"),
            Raw(b"sub/second.txt", b"second", method=8),
            hostile,
            Raw(b"last.txt", b"last"),
        ])
        names = [i.orig_filename for i in check_readable(self.path(archive))]
        assert len(names) == 4

    # Conflicts between files and folders.

    def conflicts(self):
        for archive, names in (("conflict_folder_then_file.zip", ["thing/", "thing"]),
                               ("conflict_file_then_folder.zip", ["thing", "thing/inner.txt"])):
            with zipfile.ZipFile(self.path(archive), "w") as z:
                for name in names:
                    z.writestr(zipfile.ZipInfo(name), b"" if name.endswith("/") else b"data")
            check_readable(self.path(archive))

    # Archives that must fail.

    def damaged(self):
        payload = pseudo_random(8, 10000)
        text = b"compressible text\n" * 1000

        def fresh(archive, method, data):
            with zipfile.ZipFile(self.path(archive), "w") as z:
                z.writestr("first.txt", b"first")
                z.writestr("payload.bin", data, compress_type=method)
            blob = open(self.path(archive), "rb").read()
            offset, fields, _ = central_records(blob)[1]
            local = fields[16]
            data_offset = local + 30 + sum(struct.unpack_from("<HH", blob, local + 26))
            return offset, data_offset

        # One byte of stored data changed: only the CRC shows it.
        _, data_offset = fresh("damaged_crc_stored.zip", zipfile.ZIP_STORED, payload)
        patch(self.path("damaged_crc_stored.zip"), data_offset + 5000,
              bytes([payload[5000] ^ 0x55]))
        # Good deflated data, wrong CRC in the directory.
        record, _ = fresh("damaged_crc_deflated.zip", zipfile.ZIP_DEFLATED, text)
        patch(self.path("damaged_crc_deflated.zip"), record + 16,
              struct.pack("<I", zlib.crc32(text) ^ 1))
        # Good data, wrong uncompressed size in the directory.
        record, _ = fresh("damaged_size_deflated.zip", zipfile.ZIP_DEFLATED, text)
        patch(self.path("damaged_size_deflated.zip"), record + 24, struct.pack("<I", len(text) - 1))
        record, _ = fresh("damaged_size_stored.zip", zipfile.ZIP_STORED, payload)
        patch(self.path("damaged_size_stored.zip"), record + 24,
              struct.pack("<I", len(payload) + 1))
        # A deflate block of the reserved type.
        _, data_offset = fresh("damaged_deflate_stream.zip", zipfile.ZIP_DEFLATED, text)
        patch(self.path("damaged_deflate_stream.zip"), data_offset, b"\xff")
        # The second entry's local header does not start with its signature.
        fresh("damaged_local_signature.zip", zipfile.ZIP_DEFLATED, text)
        blob = open(self.path("damaged_local_signature.zip"), "rb").read()
        patch(self.path("damaged_local_signature.zip"), central_records(blob)[1][1][16], b"XX")
        # One part of a split archive.
        shutil.copyfile(self.path("python_mixed.zip"), self.path("multidisk.zip"))
        blob = open(self.path("multidisk.zip"), "rb").read()
        patch(self.path("multidisk.zip"), blob.rindex(struct.pack("<I", END_SIG)) + 4,
              struct.pack("<HH", 1, 1))

        whole = open(self.path("infozip_deflated.zip"), "rb").read()
        for archive, size in (("truncated_half.zip", len(whole) // 2),
                              ("truncated_end_record.zip", len(whole) - 22),
                              ("truncated_tail.zip", len(whole) - 10)):
            with open(self.path(archive), "wb") as f:
                f.write(whole[:size])
        with open(self.path("not_a_zip.zip"), "wb") as f:
            f.write(b"<!DOCTYPE html>\r\n<html><head><title>404 Not Found</title></head>\r\n"
                    b"<body><h1>Not Found</h1><p>The requested URL was not found.</p></body>"
                    b"</html>\r\n")
        open(self.path("empty_file.zip"), "wb").close()

    def directory_damage(self):
        # 100 directory records that all point at one 10 MiB entry of zeros:
        # 10 KiB that would unpack to 1,000 MiB.
        path = self.path("overlapping_entries.zip")
        with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("zeros.bin", bytes(10 << 20))
        blob = open(path, "rb").read()
        offset, fields, name = central_records(blob)[0]
        header = bytearray(blob[offset:offset + 46])
        central = bytearray()
        for copy in range(100):
            copy_name = b"copy%03d.bin" % copy
            struct.pack_into("<HHH", header, 28, len(copy_name), 0, 0)
            central += header + copy_name
        end = struct.pack("<IHHHHIIH", END_SIG, 0, 0, 100, 100, len(central), offset, 0)
        with open(path, "wb") as f:
            f.write(blob[:offset] + central + end)

        # Three entries, but the end record counts one.
        path = self.path("short_count.zip")
        with zipfile.ZipFile(path, "w") as z:
            for name in ("a.txt", "b.txt", "c.txt"):
                z.writestr(name, name.encode())
        blob = open(path, "rb").read()
        patch(path, blob.rindex(struct.pack("<I", END_SIG)) + 8, struct.pack("<HH", 1, 1))

    def refused_by_tools(self):
        # A plain entry first, then one the extractor cannot unpack: the
        # archive must be refused before the plain one is written.
        root = self.source_tree("plain", {"plain.txt": b"plain text\n" * 100,
                                          "secret.txt": b"secret text\n" * 100})
        for archive, options in (("encrypted.zip", ["-P", "secret"]),
                                 ("bzip2.zip", ["-Z", "bzip2"])):
            run_zip([self.path(archive), "plain.txt"], cwd=root)
            run_zip(options + [self.path(archive), "secret.txt"], cwd=root)
            with zipfile.ZipFile(self.path(archive)) as z:
                plain, refused = z.infolist()
            assert plain.compress_type == zipfile.ZIP_DEFLATED
            assert not plain.flag_bits & FLAG_ENCRYPTED
            if archive == "encrypted.zip":
                assert refused.flag_bits & FLAG_ENCRYPTED
            else:
                assert refused.compress_type == zipfile.ZIP_BZIP2


def main():
    if len(sys.argv) != 2:
        print("usage: make_test_zips.py OUTDIR", file=sys.stderr)
        return 2
    out = os.path.abspath(sys.argv[1])
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    maker = Maker(out)
    maker.infozip_trees()
    maker.python_mixed()
    maker.large()
    maker.boundaries()
    maker.zeros()
    maker.many_files()
    maker.empty()
    maker.comment()
    maker.zip64_python()
    maker.zip64_infozip()
    maker.descriptors()
    maker.names_utf8_flag()
    maker.names_infozip()
    maker.names_cp866()
    maker.names_unicode_path()
    maker.skipped_segments()
    maker.unsafe()
    maker.conflicts()
    maker.damaged()
    maker.directory_damage()
    maker.refused_by_tools()
    # Sources and the private locale were only needed to make the archives.
    shutil.rmtree(maker.sources)
    shutil.rmtree(os.path.join(out, "locale"), ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
