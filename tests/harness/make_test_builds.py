#!/usr/bin/env python3
"""Makes the game builds the pipeline tests install, as real ZIP archives.

    make_test_builds.py GAME_EXE OUTDIR

GAME_EXE is the test program that stands in for the game (it records how it
was started). Each archive gets a NAME.zip.sha256 beside it with its digest.
Some archives are written by Python's zipfile, others by Info-ZIP's zip, and
the delta builds by tools/publish, with their file indexes (NAME.zip.files,
which get a digest file too).
"""

import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import zipfile


def write_tree(root, files):
    for name, data in files.items():
        path = os.path.join(root, *name.split("/"))
        if name.endswith("/"):
            os.makedirs(path, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def with_zipfile(path, files, compression=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", compression) as archive:
        for name, data in files.items():
            if name.endswith("/"):
                archive.writestr(zipfile.ZipInfo(name), b"")
            else:
                archive.writestr(name, data)


def with_infozip(path, files):
    with tempfile.TemporaryDirectory() as work:
        write_tree(work, files)
        entries = sorted(os.listdir(work))
        subprocess.run(["zip", "-q", "-r", "-X", path] + entries, cwd=work, check=True)


def with_publish(path, files):
    """The archive and its file index (path + ".files") as tools/publish makes
    them for a publisher."""
    tool = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                        "publish")
    with tempfile.TemporaryDirectory() as work:
        build = os.path.join(work, "build")
        write_tree(build, files)
        name = os.path.basename(path)
        subprocess.run([sys.executable, tool, build, "--version", "1",
                        "--url", "https://localhost/builds/" + name,
                        "--out", os.path.join(work, "upload"), "--first", "--offline",
                        "--quiet"],
                       check=True, stdout=subprocess.DEVNULL)
        for suffix in ("", ".files"):
            shutil.copy(os.path.join(work, "upload", "builds", name + suffix), path + suffix)


def main():
    game_exe, out = sys.argv[1], sys.argv[2]
    with open(game_exe, "rb") as f:
        game = f.read()
    # Incompressible, so the download spans many chunks and percentages.
    blob = random.Random(1).randbytes(3 * 1024 * 1024)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)

    builds = {
        "v1_top.zip": (with_zipfile, {
            "Game.exe": game,
            "data.txt": b"v1",
            "Data/Maps/map.bin": b"map" * 1000,
            "Data/blob.bin": blob,
            "Save/shipped.sav": b"shipped save",
            "UserData/shipped.cfg": b"shipped config",
            "ModScripts/multiplayer/nickname.json": b'{"nick": "shipped"}',
        }),
        "v2_nested.zip": (with_infozip, {
            "VornRPG/Game.exe": game,
            "VornRPG/data.txt": b"v2",
            "VornRPG/Data/Maps/map.bin": b"map2" * 1000,
            "VornRPG/Save/shipped.sav": b"shipped save 2",
            "VornRPG/ModScripts/multiplayer/nickname.json": b'{"nick": "shipped2"}',
        }),
        # Files over 300 characters below the game folder.
        "deep.zip": (with_zipfile, {
            "Game.exe": game,
            "data.txt": b"deep",
            "Data/" + "/".join("level%d_%s" % (i, "x" * 54) for i in range(5)) + "/deep.bin":
                b"far below",
        }),
        "caps.zip": (with_zipfile, {
            "readme.txt": b"not part of the build",
            "Bin/GAME.EXE": game,
            "Bin/data.txt": b"caps",
        }),
        "custom_exe.zip": (with_zipfile, {
            "Vorn.exe": game,
            "data.txt": b"custom",
        }),
        "exe_folder.zip": (with_zipfile, {
            "Game.exe/Game.exe": game,
            "Game.exe/data.txt": b"inside a folder named like the game",
        }),
        "no_exe_one_folder.zip": (with_zipfile, {
            "Stuff/data.txt": b"one folder",
            "Stuff/Sub/x.txt": b"x",
        }),
        "no_exe_many.zip": (with_zipfile, {
            "a.txt": b"a",
            "b/c.txt": b"c",
        }),
        "empty.zip": (with_zipfile, {}),
        "version_folder.zip": (with_zipfile, {
            "Game.exe": game,
            "version.txt/": b"",
        }),
        # Files where the player's folders go.
        "data_files.zip": (with_zipfile, {
            "Game.exe": game,
            "Save": b"a file named like the save folder",
            "UserData": b"a file named like the user data folder",
            "ModScripts/multiplayer/nickname.json/inner.txt": b"a folder named like the file",
        }),
        # 16 MiB that packs into a few KiB: only its directory tells the room
        # it needs.
        "zeros_build.zip": (with_zipfile, {
            "Game.exe": game,
            "zeros.bin": bytes(16 << 20),
        }),
        # A build that ships its own version record and default saves.
        "own_version.zip": (with_zipfile, {
            "Game.exe": game,
            "version.txt": b"9.9.9",
            "data.txt": b"own version",
            "Save/default.sav": b"default save",
        }),
    }
    for name, (writer, files) in builds.items():
        writer(os.path.join(out, name), files)
    # Three versions of one build, published with their file indexes: 2 keeps
    # most of 1 (the big blob among it) and changes, adds and drops a few
    # files; 3 changes the blob, most of the archive.
    delta1 = {
        "Game.exe": game,
        "data.txt": b"v1",
        "Data/blob.bin": blob,
        "Data/Maps/map.bin": b"map" * 1000,
        "Data/old.txt": b"only in 1",
        "Data/\u00fcber alles.txt": b"same in 1 and 2",
        "Save/shipped.sav": b"shipped save",
    }
    # Small files that 2 changes, each between two that it keeps and that
    # are too big to fetch along: scattered ranges, several to a request.
    scattered = random.Random(2)
    for n in range(10):
        delta1["Data/Parts/p%02da.bin" % n] = b"part %d of 1" % n
        delta1["Data/Parts/p%02db.bin" % n] = scattered.randbytes(70 * 1024)
    delta2 = dict(delta1, **{"data.txt": b"v2", "Data/new.txt": b"only in 2",
                             "Save/shipped.sav": b"shipped save 2", "Logs/": b""})
    delta2.update({"Data/Parts/p%02da.bin" % n: b"part %d of 2" % n for n in range(10)})
    del delta2["Data/old.txt"]
    delta3 = dict(delta2, **{"Data/blob.bin": random.Random(3).randbytes(3 * 1024 * 1024)})
    for name, files in (("delta1.zip", delta1), ("delta2.zip", delta2), ("delta3.zip", delta3)):
        with_publish(os.path.join(out, name), files)
    for name in os.listdir(out):
        path = os.path.join(out, name)
        if name.endswith(".sha256"):
            continue
        with open(path, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(path + ".sha256", "w") as f:
            f.write(digest)


if __name__ == "__main__":
    main()
