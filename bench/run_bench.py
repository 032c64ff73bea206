#!/usr/bin/python3
"""make bench: measures the launcher under Wine and writes BUILD_DIR/bench/report.txt.

    bench/run_bench.py BUILD_DIR [--size-mib 1024] [--files 2400] [--rounds 2]
                       [--memory-mib 256,2048] [--link-rtt-ms 10,50,150]
                       [--link-mbit 50] [--only link,delta,...] [--keep]

In the build folder's Wine prefix, against the local HTTPS update server on the
bench's own port (the small update against Debian's nginx, as the suite runs
it), on a private Xvfb display. Targets are reported, not enforced:
the exit code is non-zero only when a measurement could not be made. The big
files live in BUILD_DIR/bench/run and go at the end unless --keep.
"""

import argparse
import datetime
import json
import os
import platform
import random
import re
import shutil
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
TOOLS = os.path.join(os.path.dirname(HERE), "tools")
HARNESS = os.path.join(os.path.dirname(HERE), "tests", "harness")
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, TOOLS)
from winehelp import Failed, Rig, end_with_us, say, wait_for, windows_path  # noqa: E402
sys.path.insert(0, HARNESS)
from test_nginx_env import free_port_pair  # noqa: E402

NGINX_ENV = os.path.join(HARNESS, "nginx_env.sh")
LINK_EMULATOR = os.path.join(HERE, "link_emulator.py")

MIB = 1024 * 1024
SMALL_FILES = 20000
SAVE_FILES = 2000
# The links' build: section 1's file sizes (2,400 files in 1 GiB) in 300 MiB.
LINK_SIZE_MIB = 300
LINK_FILES = 700
ONLINE_BUTTON = (340, 260)  # in the client area
BAR = (92, 182, 496, 24)  # LauncherApp::progressRect as x, y, width, height
TOOL_TIMEOUT = 900
# Phase, title, the tool that does its work. The full run times the first
# four (the backup is taken right before the swap, so its time runs to the
# build's end), the install steps one by one the others.
PHASES = [("manifest", "manifest", "curl"),
          ("backup", "backup, swap, restore", "cp -r, mv, cp -r"),
          ("download", "download", "curl"), ("sha256", "SHA-256", "sha256sum"),
          ("unpack", "unpack", "unzip"), ("locate", "locate game, mark", "(none)"),
          ("swap", "old aside, new in", "mv"), ("restore", "restore", "cp -r"),
          ("cleanup", "old build, after the start", "rm -rf")]
# From the end of the unpacking until the game starts.
INSTALL_STEPS = ("locate", "swap", "restore")


# Key for --only, title, the Bench method that measures it.
SECTIONS = [
    ("update", "1. Full update through the real pipeline, against standard tools",
     "bench_update"),
    ("small-files", "2. Many small files: unpack and copy against unzip and cp",
     "bench_small_files"),
    ("memory", "3. Peak memory of the launcher's process during a full update", "bench_memory"),
    ("paint", "4. The paint path", "bench_paint"),
    ("cpu", "5. CPU of the window", "bench_window_cpu"),
    ("size", "6. The release executable", "bench_size"),
    ("delta", "7. A small update: the changed files only, against nginx", "bench_delta"),
    ("flush", "8. Flushing the player's saves to the disk", "bench_flush"),
    ("link", "9. A small update over players' links, with and without keep-alive; lossy links",
     "bench_link")]


def tree_stats(root):
    sizes = [os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(root) for n in names]
    return len(sizes), sum(sizes)


class Pools:
    """Random and text-like bytes that the files of a build are cut from.
    Deflate looks back 32 KiB only, so slices of one random pool stay
    incompressible and slices of one text pool compress like text."""

    def __init__(self, seed):
        rng = random.Random(seed)
        self.random = b"".join(rng.randbytes(MIB) for _ in range(64))
        words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz_")
                         for _ in range(rng.randint(2, 11))) for _ in range(6000)]
        # Lines of 4 to 14 words, about 17 MiB.
        lines = [" ".join(rng.choices(words, k=rng.randint(4, 14))) for _ in range(300000)]
        self.text = ("\n".join(lines) + "\n").encode("ascii")

    def write(self, path, text, size, rng):
        """A file of size bytes cut from one pool at random places."""
        pool = self.text if text else self.random
        pieces = []
        while size > 0:
            start = rng.randrange(0, len(pool) - 1)
            pieces.append(pool[start:start + size])
            size -= len(pieces[-1])
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(b"".join(pieces))


def make_build(root, total, files, random_fraction, seed, game_exe, pools, span=(12, 23)):
    """root/VornGame: Game.exe and `files` data files in nested folders,
    `total` bytes, random_fraction of them incompressible; sizes spread
    between 2 ** span[0] and 2 ** span[1] before they are scaled to the total."""
    rng = random.Random(seed)
    game = os.path.join(root, "VornGame")
    os.makedirs(game)
    shutil.copy(game_exe, os.path.join(game, "Game.exe"))
    made = 0
    for kind, count, volume in (("random", files // 2, total * random_fraction),
                                ("text", files - files // 2, total * (1 - random_fraction))):
        weights = [2 ** rng.uniform(*span) for _ in range(count)]
        scale = volume / sum(weights)
        sizes = [max(1, int(w * scale)) for w in weights]
        sizes[-1] += int(volume) - sum(sizes)
        for i, size in enumerate(sizes):
            name = "%s_%05d%s" % (kind, i, ".pak" if kind == "random" else
                                  rng.choice([".txt", ".xml", ".lua"]))
            pools.write(os.path.join(game, "Data", "pak%02d" % (made % 12),
                                     "part%d" % ((made // 12) % 9), name),
                        kind == "text", max(size, 1), rng)
            made += 1
    return game


def make_changed_pair(root, total, files, seed, game_exe, pools):
    """root/old/VornGame, a build of total bytes in files data files, half of
    them random, and root/new/VornGame, the same with every 20th data file
    rewritten at its size (5 % of the files). Returns both folders and how
    many files changed."""
    old = make_build(os.path.join(root, "old"), total, files, 0.5, seed, game_exe, pools)
    new = os.path.join(root, "new", "VornGame")
    shutil.copytree(old, new)
    rng = random.Random(seed + 1)
    data = sorted(os.path.join(d, n) for d, _, names in os.walk(new) for n in names
                  if n != "Game.exe")
    for path in data[::20]:
        pools.write(path, path.endswith((".txt", ".xml", ".lua")), os.path.getsize(path), rng)
    return old, new, len(data[::20])


def publish_pair(old, new, origin, name, upload):
    """Both builds published by tools/publish into upload, as builds/NAME-1.0.zip
    and builds/NAME-2.0.zip at origin with their file indexes; Launcher/version.json
    names 2.0 and Launcher/whole.json the same without the index. Returns the
    bytes of the 2.0 entries that 1.0 lacks, the index's size and the archive's."""
    for folder, version in ((old, "1.0"), (new, "2.0")):
        run_tool(sys.executable, os.path.join(TOOLS, "publish"), folder, "--version", version,
                 "--url", "%s/builds/%s-%s.zip" % (origin, name, version), "--out", upload,
                 "--offline")
    launcher = os.path.join(upload, "Launcher")
    with open(os.path.join(launcher, "version.json"), encoding="utf-8") as f:
        manifest = json.load(f)
    with open(os.path.join(launcher, "whole.json"), "w", encoding="utf-8") as f:
        json.dump({k: v for k, v in manifest.items() if not k.startswith("delta")}, f)
    indexes = []
    for version in ("1.0", "2.0"):
        with open(os.path.join(upload, "builds", "%s-%s.zip.files" % (name, version)),
                  encoding="utf-8") as f:
            indexes.append([line.split(" ", 5) for line in f.read().splitlines()[2:]])
    known = {(e[5], e[4]) for e in indexes[0]}
    changed = sum(int(e[2]) for e in indexes[1] if e[0] == "F" and (e[5], e[4]) not in known)
    archive = os.path.join(upload, "builds", name + "-2.0.zip")
    return changed, os.path.getsize(archive + ".files"), os.path.getsize(archive)


def requests_since(log, offset):
    """The requests nginx logged after offset bytes of its access log."""
    with open(log, encoding="utf-8") as f:
        f.seek(offset)
        return [json.loads(line) for line in f]


def make_player_data(install, pools):
    """Saves, user data and the nickname file of a player who has played."""
    rng = random.Random(7)
    for i in range(320):
        size = int(2 ** rng.uniform(10, 16.5))
        pools.write(os.path.join(install, "Save", "slot%02d" % (i % 16), "save_%03d.sav" % i),
                    i % 3 != 0, size, rng)
    for i in range(40):
        pools.write(os.path.join(install, "UserData", "profile%d" % (i % 4),
                                 "settings_%02d.cfg" % i), True, int(2 ** rng.uniform(10, 16)), rng)
    os.makedirs(os.path.join(install, "ModScripts", "multiplayer"))
    with open(os.path.join(install, "ModScripts", "multiplayer", "nickname.json"), "w") as f:
        json.dump({"nickname": "Игрок"}, f, ensure_ascii=False)


def cpu_percent(pid, seconds=10.0):
    """CPU the process used over the next seconds, in percent of one core."""
    def ticks():  # utime + stime
        with open("/proc/%d/stat" % pid, "rb") as f:
            fields = f.read().rsplit(b")", 1)[-1].split()
        return int(fields[11]) + int(fields[12])
    before, start = ticks(), time.monotonic()
    time.sleep(seconds)
    used = ticks() - before
    return 100.0 * used / os.sysconf("SC_CLK_TCK") / (time.monotonic() - start)


def run_tool(*command):
    """Runs a Linux tool; returns its wall time in seconds."""
    start = time.perf_counter()
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   timeout=TOOL_TIMEOUT)
    return time.perf_counter() - start


def settle():
    """Lets the disk write out what the step before left, so that each step starts alike."""
    subprocess.run(["sync"], timeout=300)


# --- Report formatting ---

def sec(value):
    return "-" if value is None else "%.2f s" % value


def times(a, b):
    return "-" if a is None or not b else "%.2fx" % (a / b)


def size(value):
    return "%.2f GiB" % (value / 1024 / MIB) if value >= 1024 * MIB else "%.1f MiB" % (value / MIB)


def rate(amount, seconds):
    return "-" if not seconds else "%.0f MB/s" % (amount / 1e6 / seconds)


def table(rows):
    """Plain text: the first column to the left, the others to the right."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                             for i, (c, w) in enumerate(zip(row, widths))).rstrip()
            for row in rows[:1] + [["-" * w for w in widths]] + rows[1:]]


def phases(run):
    """One full update's phases, from when its reports arrived (pipeline/'s texts)."""
    def at(kind, test, last=False):
        marks = [r["t"] for r in run["reports"] if r["message"] == kind and test(r["text"], r)]
        if not marks:
            raise Failed("a phase mark is missing from the run's reports")
        return marks[-1] if last else marks[0]
    download = at("status", lambda t, r: t.startswith("Скачивание"))
    install = at("progress", lambda t, r: r["value"] == -1 and t.startswith("Установка"))
    updated = at("progress", lambda t, r: "обновлена. Запуск" in t)
    started = at("progress", lambda t, r: t.endswith("запущена."))
    # A small update checks no archive digest and announces none.
    checks = [r["t"] for r in run["reports"]
              if r["message"] == "status" and r["text"].startswith("Проверка SHA-256")]
    sha = install - checks[0] if checks else 0.0
    return {"manifest": at("status", lambda t, r: t.startswith("Обновление ")),
            "backup": updated - at("status", lambda t, r: t.startswith("Создание резервной")),
            "download": at("progress", lambda t, r: r["value"] == 100
                           and t.startswith("Скачивание"), True) - download,
            "sha256": sha, "total": started, "no sha": updated - sha}


def delta_phases(run):
    """From the download's first status to its 0 %, from there to its last
    100 %, and from "Установка" to "обновлена" (when the download announces no
    length, its 0 % is missing and the first span is 0)."""
    marks = {}
    for r in run["reports"]:
        text = r["text"]
        if r["message"] == "status" and text.startswith("Скачивание"):
            marks.setdefault("asked", r["t"])
        elif r["message"] == "progress" and text.startswith("Скачивание") and r["value"] == 0:
            marks.setdefault("first", r["t"])
        elif r["message"] == "progress" and text.startswith("Скачивание") and r["value"] == 100:
            marks["fetched"] = r["t"]
        elif r["message"] == "progress" and text.startswith("Установка"):
            marks.setdefault("install", r["t"])
        elif "обновлена" in text:
            marks["updated"] = r["t"]
    first = marks.get("first", marks["asked"])
    return {"fetching": first - marks["asked"], "download": marks["fetched"] - first,
            "installing": marks["updated"] - marks["install"]}


def check_install(install, game_folder):
    """The new build and the player's data, both there in full."""
    build = [tree_stats(os.path.join(install, e)) if os.path.isdir(os.path.join(install, e))
             else (1, os.path.getsize(os.path.join(install, e))) for e in os.listdir(game_folder)]
    if tuple(map(sum, zip(*build))) != tree_stats(game_folder):
        raise Failed("%s does not hold the whole new build" % install)
    if tree_stats(os.path.join(install, "Save"))[0] < 320:
        raise Failed("the player's saves are missing in %s" % install)


def floor_report(floors, tool, files, folders):
    """The report's lines on the copy and the emptying, and what of them is ours."""
    best = {k: min(f[k] for f in floors) for k in floors[0]}
    spread = {k: max(f[k] for f in floors) - best[k] for k in best}
    rows = [["%d files, %d folders" % (files, folders), "launcher's function",
             "bare Win32 loop", "tool", "ours over bare"]]
    why = []
    for what, by_tool, doing in (
            ("copy", tool.get("copy"), "ResetAttributes and an overwriting CopyFileW in "
             "folders the copy did not make"),
            ("delete", tool["cleanup"], "ResetAttributes before every DeleteFileW")):
        mine, bare = best[what + "-ours"], best[what + "-plain"]
        # Ours only where it stands out of the rounds' spread.
        margin = max(spread[what + "-ours"], spread[what + "-plain"], 0.05)
        rows.append([what, sec(mine), sec(bare), sec(by_tool),
                     sec(mine - bare) if mine - bare > margin else "within %s" % sec(margin)])
        if mine - bare > margin:
            why.append("%s: %s (ours), the rest Wine's per-file cost" % (what, doing))
    return table(rows) + ["One operation a process after a sync; each call a round trip "
                          "to wineserver."], why


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.out_dir = os.path.join(self.build, "bench")
        self.run_dir = os.path.join(self.out_dir, "run")
        self.www = os.path.join(self.run_dir, "www")
        self.bench_exe = os.path.join(self.out_dir, "bin", "vorn_bench.exe")
        self.game_exe = os.path.join(self.out_dir, "bin", "game", "Game.exe")
        self.release_exe = os.path.join(self.build, "VornLauncher.exe")
        self.rig = Rig(self.build, self.run_dir, "VORN_BENCH_PORT")
        self.sections, self.failures = [], []
        self.targets = []  # (what, figure, wanted, met, why it was missed)
        self.kept_tick = None  # ms, from the paint path

    def prepare(self):
        self.rig.need(self.bench_exe, self.game_exe, self.release_exe)
        shutil.rmtree(self.run_dir, ignore_errors=True)
        for folder in ("builds", "Launcher", "_release"):
            os.makedirs(os.path.join(self.www, folder))
        if shutil.disk_usage(self.run_dir).free < 14 << 30:
            raise Failed("the bench needs 14 GiB free on %s" % self.run_dir)
        self.rig.start_screen()
        self.rig.start_server(self.www)
        say("==> Making the byte pools of the synthetic builds")
        self.pools = Pools(2024)

    def vorn(self, command, *args):
        """The figures of vorn_bench.exe COMMAND OUT ARGS..., once it made them."""
        out = os.path.join(self.run_dir, command + ".out")
        if os.path.exists(out):
            os.remove(out)
        code, output = self.rig.wine([self.bench_exe, command, windows_path(out)] + list(args))
        figures = {"reports": []}
        with open(out if os.path.exists(out) else os.devnull, encoding="utf-8") as f:
            for line in f:
                name, _, value = line.rstrip("\n").partition(" ")
                if name == "report":
                    t, message, number, text = value.split(" ", 3)
                    figures["reports"].append({"t": float(t), "message": message,
                                               "value": int(number), "text": text})
                else:
                    figures[name] = value if name == "failure" else float(value)
        if code != 0 or not figures.get("ok"):
            errors = [r["text"] for r in figures["reports"] if r["message"] == "error"]
            raise Failed("vorn_bench %s %s failed (exit %d): %s" % (
                command, args[0], code, errors or figures.get("failure") or output))
        return figures

    def publish(self, source, name, *zip_options, behaviour=""):
        """source/VornGame zipped by Info-ZIP into builds/NAME.zip, and its manifest
        Launcher/NAME.json; returns the archive and the manifest's address."""
        archive = os.path.join(self.www, "builds", name + ".zip")
        subprocess.run(["zip", "-r", "-q", "-X", *zip_options, archive, "VornGame"], cwd=source,
                       check=True, timeout=TOOL_TIMEOUT)
        sha256 = subprocess.run(["sha256sum", archive], check=True, capture_output=True,
                                text=True, timeout=TOOL_TIMEOUT).stdout.split()[0]
        with open(os.path.join(self.www, "Launcher", name + ".json"), "w") as f:
            json.dump({"version": "2.0", "exe": "Game.exe", "sha256": sha256,
                       "download_url": self.rig.url(behaviour + "builds/" + name + ".zip")}, f)
        return archive, self.rig.url("Launcher/" + name + ".json")

    def seed_install(self, game_folder, base):
        """A player's install folder: the previous build plus their data."""
        install = os.path.join(base, "game_online")
        os.makedirs(base)
        subprocess.run(["cp", "-r", game_folder, install], check=True, timeout=TOOL_TIMEOUT)
        make_player_data(install, self.pools)
        with open(os.path.join(install, "version.txt"), "w") as f:
            f.write("1.0")
        return install

    def run_update(self, manifest_url, base, install):
        """A full update by vorn_bench.exe, the way the window starts one."""
        settle()
        return self.vorn("update", manifest_url, windows_path(base), windows_path(install),
                         "онлайн-версии")

    def bench_update(self):
        """The full update phase by phase, the launcher's against the Linux tools'."""
        args = self.args
        say("==> Synthetic build: %d MiB in %d files, half random" % (args.size_mib, args.files))
        source = os.path.join(self.run_dir, "source")
        game = make_build(source, args.size_mib * MIB, args.files, 0.5, 1, self.game_exe,
                          self.pools)
        files, unpacked = tree_stats(game)
        folders = sum(len(names) for _, names, _ in os.walk(game))
        archive, manifest_url = self.publish(source, "bench-%d" % args.size_mib)
        packed = os.path.getsize(archive)
        rounds, tools, floors = [], [], []
        # Rounds alternate between the launcher and the tools, so that whatever
        # else the machine does weighs on both; each one's best counts.
        for number in range(1, args.rounds + 1):
            say("==> Round %d: the launcher, its install steps, the tools, bare Win32" % number)
            rounds.append(self.launcher_round(game, archive, manifest_url))
            tools.append(self.tools_round(game, archive, manifest_url))
            floors.append(self.floor_round(number, game))
        download, download_why = self.bench_download(archive)
        shutil.rmtree(source)
        os.remove(archive)

        ours = {k: min(r[k] for r in rounds) for k in rounds[0]}
        tool = {k: min(t[k] for t in tools) for k in tools[0]}
        # Like the launcher's click to game start, the tools' pipeline ends
        # before the old build's removal.
        totals = [sum(v for k, v in t.items() if k != "cleanup") for t in tools]
        tool["total"] = min(totals)
        tool["no sha"] = min(total - t["sha256"] for total, t in zip(totals, tools))
        rows = [["phase", "launcher", "tools", "ratio", "difference", "tool"]] + [
            [title, sec(ours[key]), sec(tool.get(key)), times(ours[key], tool.get(key)),
             # SHA-256 stays out of the differences, as it does out of the target.
             "" if key == "sha256" else "%+.2f s" % (ours[key] - tool.get(key, 0)), name]
            for key, title, name in PHASES + [("total", "total", ""),
                                              ("no sha", "total without SHA-256", "")]]
        floor, floor_why = floor_report(floors, tool, files, folders)
        best_floor = {k: min(f[k] for f in floors) for k in floors[0]}
        install_time = sum(ours[key] for key in INSTALL_STEPS)
        self.targets.append((
            "install, from the end of the unpacking until the game starts",
            sec(install_time), "<= 1.00 s", install_time <= 1.0,
            ["locate and mark %s, old build aside and new one in %s, the player's data back %s"
             % tuple(sec(ours[key]) for key in INSTALL_STEPS)]))
        install_line = ("The install from the end of the unpacking until the game starts: %s "
                        "(locate, 2 renames, the player's data back); emptying the old build "
                        "and copying the new one across volumes, as the install did before, "
                        "takes %s for this build (the launcher's own functions, below)." % (
                            sec(install_time),
                            sec(best_floor["delete-ours"] + best_floor["copy-ours"])))
        excess = ours["download"] - tool["download"], ours["total"] - tool["total"]
        share = "the download is %.0f %% of the launcher's time and %s its excess over the " \
                "tools" % (100 * ours["download"] / ours["total"], "more than" if excess[0] >
                           excess[1] else "%.0f %% of" % (100 * excess[0] / max(excess[1], 1e-9)))
        self.targets.append(("whole update, click to game start, vs the tools' whole pipeline",
                             times(ours["total"], tool["total"]), "<= 1.15x",
                             ours["total"] <= 1.15 * tool["total"],
                             [share, download_why] + floor_why + ["the rest is the platform's"]))
        headline = ("Headline: click to game start %s against the tools' whole pipeline %s "
                    "(sha256sum included), each the best of %d rounds of this run: %s; %s." % (
                        sec(ours["total"]), sec(tool["total"]), args.rounds,
                        times(ours["total"], tool["total"]), share))
        return ["Build: %s in %d files (half the bytes random .pak, half text-like, and "
                "Game.exe), zipped to %s." % (size(unpacked), files, size(packed)),
                "The player's folder: the previous build, Save (320 files), UserData (40 files), "
                "nickname.json. The install's phases are timed by vorn_bench.exe steps; the "
                "launcher digests the archive while it downloads, so its SHA-256 phase is only "
                "the comparison.", "", headline, ""] + table(rows) + [install_line, ""] + \
            download + [
                    "At the platform's ceiling: the download (%s; the table above has the same "
                    "archive over plain HTTP)." % download_why, ""] + floor

    def launcher_round(self, game, archive, manifest_url):
        """One full update by the launcher, then its install steps one by one."""
        base = os.path.join(self.run_dir, "launcher")
        install = self.seed_install(game, base)
        figures = phases(self.run_update(manifest_url, base, install))
        check_install(install, game)
        with open(os.path.join(install, "version.txt")) as f:
            if f.read().strip() != "2.0":
                raise Failed("the launcher did not write the new version.txt")
        # The install steps on the same data, the backup made afresh.
        shutil.rmtree(os.path.join(base, "backup"))
        work = os.path.join(self.run_dir, "launcher-work")
        os.makedirs(work)
        shutil.copy(archive, os.path.join(work, "game.zip"))
        settle()
        steps = self.vorn("steps", *map(windows_path, (work, base, install)))
        check_install(install, game)
        shutil.rmtree(base)
        return dict(figures, **{key: steps[key] for key, _, _ in PHASES[4:]})

    def tools_round(self, game, archive, manifest_url):
        """The same update by curl, sha256sum, unzip, rm and cp."""
        base = os.path.join(self.run_dir, "tools")
        install = self.seed_install(game, base)
        work, backup = os.path.join(base, "work"), os.path.join(base, "backup")
        zip_path, extract = os.path.join(work, "game.zip"), os.path.join(work, "extract")
        os.makedirs(work)
        os.makedirs(backup)
        curl = ("curl", "-sS", "--fail", "--cacert", self.rig.ca, "-o")
        # ModScripts holds nothing but the nickname file, which the launcher keeps.
        player_data = ("Save", "UserData", "ModScripts")
        settle()
        tools = {"manifest": run_tool(*curl, os.path.join(work, "response.txt"), manifest_url),
                 "backup": run_tool("cp", "-r", *[os.path.join(install, name)
                                                  for name in player_data], backup),
                 "download": run_tool(*curl, zip_path, self.rig.url(
                     "builds/" + os.path.basename(archive))),
                 "sha256": run_tool("sha256sum", zip_path),
                 "unpack": run_tool("unzip", "-q", zip_path, "-d", extract),
                 "swap": run_tool("mv", install, os.path.join(work, "old")) + run_tool(
                     "mv", os.path.join(extract, "VornGame"), install),
                 "restore": run_tool("cp", "-r", *[os.path.join(backup, name)
                                                   for name in player_data], install),
                 "cleanup": run_tool("rm", "-rf", work)}
        check_install(install, game)
        shutil.rmtree(base)
        return tools

    def floor_round(self, number, game):
        """The launcher's copy and emptying beside bare Win32 loops on the same tree."""
        work = os.path.join(self.run_dir, "floor")
        os.makedirs(work)
        copies = [("copy-plain", "plain"), ("copy-ours", "ours")]
        floor = {}
        for operation, folder in copies[::1 if number % 2 else -1] + [
                ("delete-plain", "plain"), ("delete-ours", "ours")]:
            settle()
            step = self.vorn("floor", operation, windows_path(game),
                             windows_path(os.path.join(work, folder)))
            floor[operation] = step["seconds"]
        shutil.rmtree(work)
        return floor

    def bench_download(self, archive):
        """The archive over HTTPS and over plain HTTP, by the launcher's
        HttpDownloadToFile and by curl: what TLS under Wine costs. Returns
        the report's lines and the reason the download is slow."""
        say("==> Download: HTTPS against plain HTTP, launcher and curl")
        plain = subprocess.Popen([sys.executable, "-u", "-m", "http.server", "--bind",
                                  "127.0.0.1", "0"], cwd=self.www, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
        self.rig.children.append(plain)
        port = re.search(rb"port (\d+)", plain.stdout.readline())
        if not port:
            raise Failed("the plain HTTP server did not start")
        path = "builds/" + os.path.basename(archive)
        urls = {"HTTPS": self.rig.url(path),
                "HTTP": "http://127.0.0.1:%s/%s" % (port.group(1).decode(), path)}
        target = os.path.join(self.run_dir, "fetched.zip")
        best = {}
        for _ in range(2):
            for client in ("launcher", "curl"):
                for kind, url in urls.items():
                    if os.path.exists(target):
                        os.remove(target)
                    settle()
                    if client == "launcher":
                        seconds = self.vorn("fetch", url, windows_path(target))["seconds"]
                    else:
                        seconds = run_tool("curl", "-sS", "--fail", "--cacert", self.rig.ca,
                                           "-o", target, url)
                    best[client, kind] = min(seconds, best.get((client, kind), seconds))
        plain.terminate()
        amount = os.path.getsize(archive)
        return table([["download alone, the same archive", "HTTPS", "", "plain HTTP", ""]] + [
            [title] + [text for kind in urls for text in (sec(best[client, kind]),
                                                           rate(amount, best[client, kind]))]
            for client, title in (("launcher", "HttpDownloadToFile (vorn_bench.exe fetch)"),
                                  ("curl", "curl"))]) + [""], (
            "download: TLS inside Wine, %.1fx slower than plain HTTP by the same code"
            % (best["launcher", "HTTPS"] / best["launcher", "HTTP"]))

    def bench_small_files(self):
        """A build of many small files: the launcher's extractor, its copy
        (the backup's, and the install's where the build's folder is on
        another volume) and its install by renames, against unzip, cp and mv."""
        say("==> Small files: %d files of 1 to 64 KiB" % SMALL_FILES)
        source = os.path.join(self.run_dir, "small-source")
        # 2 ** 10 to 2 ** 16 bytes, scaled by about 1: their mean is 15,512.
        game = make_build(source, SMALL_FILES * 15512, SMALL_FILES, 0.5, 5, self.game_exe,
                          self.pools, (10, 16))
        files, unpacked = tree_stats(game)
        archive = os.path.join(self.run_dir, "small.zip")
        subprocess.run(["zip", "-r", "-q", "-X", archive, "VornGame"], cwd=source, check=True,
                       timeout=TOOL_TIMEOUT)
        best = {}
        for number in range(self.args.rounds):
            out = os.path.join(self.run_dir, "small-%d" % number)
            for key, run in (
                    ("unpack launcher", lambda: self.vorn("floor", "unpack", windows_path(
                        archive), windows_path(out + "/unpack-l"))["seconds"]),
                    ("unpack tool", lambda: run_tool("unzip", "-q", archive, "-d",
                                                     out + "/unpack-t")),
                    ("copy launcher", lambda: self.vorn("floor", "copy-ours", windows_path(
                        game), windows_path(out + "/copy-l"))["seconds"]),
                    ("copy tool", lambda: run_tool("cp", "-r", game, out + "/copy-t")),
                    # The install: the copy as the old build, the unpacked
                    # build into its place.
                    ("install launcher", lambda: self.vorn("floor", "swap", windows_path(
                        out + "/unpack-l/VornGame"), windows_path(out + "/copy-l"))["seconds"]),
                    ("install tool", lambda: run_tool("mv", out + "/copy-t", out + "/copy-t.old")
                     + run_tool("mv", out + "/unpack-t/VornGame", out + "/copy-t"))):
                settle()
                best[key] = min(run(), best.get(key, float("inf")))
            if tree_stats(out + "/copy-l") != (files, unpacked) or tree_stats(
                    out + "/copy-l.old") != (files, unpacked):
                raise Failed("the launcher did not unpack, copy or install the whole "
                             "small-file build")
            shutil.rmtree(out)
        shutil.rmtree(source)
        os.remove(archive)
        rows = [["%d files, %s" % (files, size(unpacked)), "launcher", "tool", "ratio", "tool"]]
        for what, tool in (("unpack", "unzip"), ("copy", "cp -r")):
            ours, theirs = best[what + " launcher"], best[what + " tool"]
            rows.append([what, sec(ours), sec(theirs), times(ours, theirs), tool])
            self.targets.append(("%s of %d small files vs %s" % (what, files, tool),
                                 times(ours, theirs), "<= 1.50x", ours <= 1.5 * theirs,
                                 ["Wine's per-file cost: each open and close a round trip "
                                  "to wineserver"]))
        ours, theirs = best["install launcher"], best["install tool"]
        rows.append(["install (old aside, new in)", sec(ours), sec(theirs), times(ours, theirs),
                     "mv"])
        self.targets.append(("install of %d small files" % files, sec(ours), "<= 1.00 s",
                             ours <= 1.0, ["two renames, whatever the number of files"]))
        return table(rows) + ["Best of %d rounds, each step a process after a sync. An update "
                              "no longer copies the build: it unpacks beside it and renames."
                              % self.args.rounds]

    def bench_flush(self):
        """What an update's durability costs: every file of a Save folder of
        2,000 small files flushed to the disk (the backup before the install
        folder is emptied, the restored saves before the record goes)."""
        say("==> Flushing a Save folder of %d small files" % SAVE_FILES)
        rng = random.Random(7)
        save = os.path.join(self.run_dir, "flush-save")
        for number in range(SAVE_FILES):
            folder = os.path.join(save, "slot%02d" % (number % 40))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "save%04d.sav" % number), "wb") as f:
                f.write(rng.randbytes(rng.randint(1024, 16384)))
        files, data = tree_stats(save)
        best = {}
        for number in range(self.args.rounds):
            copy = os.path.join(self.run_dir, "flush-copy-%d" % number)
            for key, run in (
                    ("copy", lambda: self.vorn("floor", "copy-ours", windows_path(save),
                                               windows_path(copy))["seconds"]),
                    ("flush", lambda: self.vorn("floor", "flush-ours", windows_path(save),
                                                windows_path(copy))["seconds"])):
                settle()
                best[key] = min(run(), best.get(key, float("inf")))
            shutil.rmtree(copy)
        shutil.rmtree(save)
        rows = [["%d files, %s" % (files, size(data)), "seconds", "per file"],
                ["backup copy", sec(best["copy"]), "%.2f ms" % (best["copy"] * 1000 / files)],
                ["flush of the copy", sec(best["flush"]),
                 "%.2f ms" % (best["flush"] * 1000 / files)]]
        return table(rows) + ["Best of %d rounds, each step a process after a sync; an update "
                              "flushes the backup once and the restored saves once."
                              % self.args.rounds]

    def bench_delta(self):
        """A small update against Debian's nginx as the suite runs it: a build of
        --size-mib in --files files, 5 % of them changed, once by the file index
        and once whole; the bytes nginx sent and each update's time."""
        args = self.args
        say("==> Small update: %d MiB in %d files, 5 %% of them changed" % (args.size_mib,
                                                                          args.files))
        root = os.path.join(self.run_dir, "delta")
        old, new, changed_files = make_changed_pair(root, args.size_mib * MIB, args.files, 11,
                                                    self.game_exe, self.pools)
        nginx = os.path.join(root, "nginx")
        port = free_port_pair()
        origin = "https://localhost:%d" % port
        upload = os.path.join(root, "upload")
        changed, index_size, archive = publish_pair(old, new, origin, "delta", upload)
        run_tool(NGINX_ENV, "setup", nginx, str(port), os.path.dirname(self.rig.ca), upload)
        try:
            runs = {}
            for kind, name in (("whole", "whole.json"), ("small", "version.json")):
                base = os.path.join(root, kind)
                install = self.seed_install(old, base)
                log = os.path.join(nginx, "access.log")
                before = os.path.getsize(log)
                run = self.run_update("%s/Launcher/%s" % (origin, name), base, install)
                check_install(install, new)
                # The archive's bytes and, for the small update, its index's.
                sent = sum(r["body_bytes"] for r in requests_since(log, before)
                           if r["uri"].startswith("/builds/delta-2.0.zip"))
                runs[kind] = (phases(run)["total"], sent, delta_phases(run))
                shutil.rmtree(base)
        finally:
            run_tool(NGINX_ENV, "cleanup", nginx)
        shutil.rmtree(root)
        (whole, whole_sent, whole_parts), (small, small_sent, parts) = runs["whole"], runs["small"]
        need = changed + index_size
        self.targets += [
            ("small update: bytes fetched vs changed entries + index",
             times(small_sent, need), "<= 1.1x", small_sent <= 1.1 * need,
             ["neighbours less than 64 KiB apart are fetched with what lies between them"]),
            ("small update: time vs the whole update of the same pair", times(small, whole),
             "<= 0.25x", small <= 0.25 * whole,
             ["comparing the installed build, every byte read and digested by CryptoAPI, "
              "takes %s (%s)" % (sec(parts["fetching"]), rate(args.size_mib * MIB,
                                                             parts["fetching"])),
              "from \"Установка\" on, the small update does what the whole one does (empty, "
              "copy in, restore the player's data): %s against %s" % (
                  sec(parts["installing"]), sec(whole_parts["installing"]))])]
        return ["%s archive; %d of %d files changed, %s of entries; the index %s." % (
            size(archive), changed_files, args.files + 1, size(changed), size(index_size))
                ] + table([["update", "click to game start", "to the first byte of the build",
                            "download", "from «Установка» on", "bytes nginx sent"],
                           ["whole", sec(whole), sec(whole_parts["fetching"]),
                            sec(whole_parts["download"]), sec(whole_parts["installing"]),
                            size(whole_sent)],
                           ["small, by the file index", sec(small), sec(parts["fetching"]),
                            sec(parts["download"]), sec(parts["installing"]),
                            size(small_sent)]]) + [
            "For the small update, the time to the first byte is the index and the "
            "comparison of every installed file with it."]

    def bench_link(self):
        """The small update and the whole one over emulated players' links
        (bench/link_emulator.py) in front of Debian's nginx, once with
        keep-alive and once with a server that closes each connection after
        its response."""
        args = self.args
        rtts, rate = args.link_rtt_ms, args.link_mbit * 1e6 / 8
        say("==> Links: %d MiB in %d files, 5 %% of them changed, at %s ms and %g Mbit/s"
            % (LINK_SIZE_MIB, LINK_FILES, ", ".join("%g" % r for r in rtts), args.link_mbit))
        root = os.path.join(self.run_dir, "link")
        old, new, changed_files = make_changed_pair(root, LINK_SIZE_MIB * MIB, LINK_FILES, 31,
                                                    self.game_exe, self.pools)
        nginx, upload = os.path.join(root, "nginx"), os.path.join(root, "upload")
        nginx_port = free_port_pair()
        link_port = nginx_port
        while abs(link_port - nginx_port) <= 1:  # nginx may take the port after its own
            link_port = free_port_pair()
        origin = "https://localhost:%d" % link_port
        changed, index_size, archive = publish_pair(old, new, origin, "link", upload)
        # What one plain request takes for as many bytes as the changed entries.
        with open(os.path.join(upload, "builds", "same-bytes.bin"), "wb") as f:
            f.write(self.pools.random[:changed])
        closing = os.path.join(root, "nginx-closing.conf.in")
        with open(os.path.join(HARNESS, "nginx.conf.in"), encoding="utf-8") as f:
            conf = f.read()
        if "\n    sendfile on;\n" not in conf:
            raise Failed("nginx.conf.in has no \"sendfile on;\" to put keepalive_timeout beside")
        with open(closing, "w", encoding="utf-8") as f:
            f.write(conf.replace("\n    sendfile on;\n", "\n    sendfile on;\n    # The bench's "
                                 "server that closes each connection after its response.\n"
                                 "    keepalive_timeout 0;\n"))

        def over_link(rtt, action, faults=()):
            """action() behind a link of rtt ms (with the emulator's fault
            options); its result and the link's counts."""
            link = subprocess.Popen(
                [sys.executable, LINK_EMULATOR, "--listen", str(link_port), "--to",
                 "127.0.0.1:%d" % nginx_port, "--rtt-ms", str(rtt), "--mbit",
                 str(args.link_mbit)] + list(faults), stdout=subprocess.PIPE,
                preexec_fn=end_with_us)
            self.rig.children.append(link)
            try:
                if not link.stdout.readline().startswith(b"listening"):
                    raise Failed("the link emulator did not start")
                result = action()
            finally:
                link.terminate()
                out = link.communicate(timeout=60)[0]
            return result, json.loads(out.splitlines()[-1])

        def update(rtt, name):
            base = os.path.join(root, "player")
            install = self.seed_install(old, base)
            log = os.path.join(nginx, "access.log")
            before = os.path.getsize(log)
            run, counts = over_link(rtt, lambda: self.run_update(
                "%s/Launcher/%s" % (origin, name), base, install))
            check_install(install, new)
            requests = requests_since(log, before)
            shutil.rmtree(base)
            archive = [r for r in requests if r["uri"] == "/builds/link-2.0.zip"]
            return {"total": phases(run)["total"], "parts": delta_phases(run),
                    "requests": len(requests), "archive requests": len(archive),
                    "sent": sum(r["body_bytes"] for r in archive),
                    "connections": counts["connections"], "at once": counts["most_open"]}

        def until_done(rtt, name, faults):
            """The player's clicks (up to 3) until the update is done behind a
            faulty link, and the wall time they took."""
            base = os.path.join(root, "player")
            install = self.seed_install(old, base)

            def clicks():
                spent, error = 0.0, None
                for click in range(1, 4):
                    settle()
                    start = time.monotonic()
                    try:
                        self.vorn("update", "%s/Launcher/%s" % (origin, name), windows_path(base),
                                  windows_path(install), "онлайн-версии")
                        return click, spent + time.monotonic() - start, None
                    except Failed as e:
                        spent += time.monotonic() - start
                        error = str(e)
                return None, spent, error
            (done_in, spent, error), counts = over_link(rtt, clicks, faults)
            if done_in is not None:
                check_install(install, new)
            shutil.rmtree(base)
            return {"clicks": done_in, "time": spent, "error": error,
                    "stalls": counts["stalls"], "resets": counts["resets"]}

        lossy_rtt = sorted(rtts)[len(rtts) // 2]
        conditions = [("no loss", ()), ("1 % loss", ("--loss", "1")),
                      ("5 % loss", ("--loss", "5")),
                      ("a reset every 50 MiB", ("--reset-every-mib", "50"))]
        lossy = {}  # by (condition, "small" or "whole")

        def fetch_by_curl(port):
            return run_tool("curl", "-sS", "--fail", "--http1.1", "--tlsv1.2", "--tls-max", "1.2",
                            "--cacert", self.rig.ca, "-o", os.devnull,
                            "https://localhost:%d/builds/same-bytes.bin" % port)

        curl, runs = {}, {}  # by rtt; by (rtt, whether the server keeps connections)
        for keep in (True, False):
            env = dict(os.environ) if keep else dict(os.environ, NGINX_CONF_TEMPLATE=closing)
            subprocess.run([NGINX_ENV, "setup", nginx, str(nginx_port),
                            os.path.dirname(self.rig.ca), upload], env=env, check=True,
                           stdout=subprocess.DEVNULL, timeout=TOOL_TIMEOUT)
            try:
                if keep:
                    curl[0] = fetch_by_curl(nginx_port)  # what is this machine's own
                for rtt in rtts:
                    say("==> Link of %g ms, the server %s" % (rtt, "keeping connections"
                                                              if keep else "closing them"))
                    if keep:
                        curl[rtt] = over_link(rtt, lambda: fetch_by_curl(link_port))[0]
                    runs[rtt, keep] = {"small": update(rtt, "version.json")}
                    # Closing costs a whole update a handshake or two: measured once,
                    # on the longest round trip, where it weighs most.
                    if keep or rtt == max(rtts):
                        runs[rtt, keep]["whole"] = update(rtt, "whole.json")
                if keep:
                    for condition, faults in conditions:
                        say("==> Link of %g ms with %s" % (lossy_rtt, condition))
                        for kind, name in (("small", "version.json"), ("whole", "whole.json")):
                            lossy[condition, kind] = until_done(lossy_rtt, name, faults)
            finally:
                run_tool(NGINX_ENV, "cleanup", nginx)
        shutil.rmtree(root)

        def link(key):
            return "%g ms, %s" % (key[0], "keep-alive" if key[1] else "server closes")
        rows = [["round trip, server", "small: click to game", "fetch", "floor", "fetch/floor",
                 "archive requests", "connections", "at once", "whole: click to game",
                 "connections"]]
        fetch_why, whole_why, fetch_ratio, whole_ratio = [], [], {}, {}
        for key in sorted(runs, key=lambda k: (k[0], not k[1])):
            small, whole = runs[key]["small"], runs[key].get("whole")
            rtt = key[0] / 1000.0
            fetch = small["parts"]["download"]
            floor = small["sent"] / rate + 2 * rtt
            # The whole update on the closing server, where it was not measured,
            # is the one on the same link with keep-alive.
            compared = whole or runs[key[0], True]["whole"]
            fetch_ratio[key] = fetch / floor
            whole_ratio[key] = small["total"] / compared["total"]
            rows.append([link(key), sec(small["total"]), sec(fetch), sec(floor),
                         times(fetch, floor), str(small["archive requests"]),
                         str(small["connections"]), str(small["at once"]),
                         sec(whole["total"]) if whole else "(as keep-alive)",
                         str(whole["connections"]) if whole else ""])
            if fetch > 1.5 * floor:
                fetch_why.append(
                    "%s: %s against %s; %d requests for the archive, %d connection(s) in all "
                    "(%d at once), %.1f round trips a request beyond the bytes' own time" % (
                        link(key), sec(fetch), sec(floor), small["archive requests"],
                        small["connections"], small["at once"],
                        (fetch - small["sent"] / rate) / rtt / max(small["archive requests"], 1)))
            if small["total"] > compared["total"]:
                whole_why.append("%s: %s against %s, of which the fetch %s" % (
                    link(key), sec(small["total"]), sec(compared["total"]), sec(fetch)))
        worst_fetch = max(fetch_ratio, key=fetch_ratio.get)
        worst_whole = max(whole_ratio, key=whole_ratio.get)
        self.targets += [
            ("small update over a link: fetch vs bytes / bandwidth + 2 RTT, worst of %d links"
             % len(fetch_ratio), "%.2fx (%s)" % (fetch_ratio[worst_fetch], link(worst_fetch)),
             "<= 1.50x", not fetch_why, fetch_why),
            ("small update over a link: click to game vs the whole update's, worst link",
             "%.2fx (%s)" % (whole_ratio[worst_whole], link(worst_whole)), "<= 1.00x",
             not whole_why, whole_why)]
        longest = max(rtts)
        closing_cost = (runs[longest, False]["whole"]["total"]
                        - runs[longest, True]["whole"]["total"])
        calibration = [["curl, one request (TLS 1.2) for %s" % size(changed), "time", "floor",
                        "beyond the bytes' own time"],
                       ["no link, straight to nginx", sec(curl[0]), "", ""]] + [
            ["%g ms" % rtt, sec(curl[rtt]), sec(changed / rate + 2 * rtt / 1000.0),
             "%s, %.1f round trips" % (sec(curl[rtt] - changed / rate),
                                       (curl[rtt] - changed / rate) / (rtt / 1000.0))]
            for rtt in rtts]
        small_parts = [runs[key]["small"]["parts"] for key in runs]
        lossy_rows = [["link of %g ms, keep-alive" % lossy_rtt, "small: clicks", "time",
                       "stalls", "resets", "whole: clicks", "time", "stalls", "resets"]]
        unfinished = []
        for condition, _ in conditions:
            row = [condition]
            for kind in ("small", "whole"):
                run = lossy[condition, kind]
                row += [str(run["clicks"] or "not done in 3"), sec(run["time"]),
                        str(run["stalls"]), str(run["resets"])]
                if run["clicks"] != 1:
                    unfinished.append("%s, %s update: %s" % (
                        condition, kind, run["error"] or "%d clicks" % run["clicks"]))
            lossy_rows.append(row)
        self.targets.append((
            "updates over lossy links (1 %, 5 %, a reset every 50 MiB) done in one click",
            "%d of %d" % (2 * len(conditions) - len(unfinished), 2 * len(conditions)),
            "all", not unfinished, unfinished))
        return ["%s build in %d files (half the bytes random .pak, half text-like), zipped to %s; "
                "%d files changed, %s of entries; the index %s." % (
                    size(LINK_SIZE_MIB * MIB), LINK_FILES + 1, size(archive), changed_files,
                    size(changed), size(index_size)),
                "Each link %g Mbit/s each way, shared by its connections; each connection a "
                "TCP handshake and a slow start from 10 segments (bench/link_emulator.py)."
                % args.link_mbit, ""] + table(rows) + [
                "",
                "fetch: the small update's download from its 0 %% to its 100 %%; floor: the bytes "
                "nginx sent of the archive / bandwidth + 2 round trips; connections: all of the "
                "run's, at once: the most open together (one that closes counts until its end "
                "has crossed the link). Besides the fetch, the "
                "small update's click to game holds the index and the comparison of the "
                "installed files (%s to %s) and the install (%s to %s), on every link alike." % (
                    sec(min(p["fetching"] for p in small_parts)),
                    sec(max(p["fetching"] for p in small_parts)),
                    sec(min(p["installing"] for p in small_parts)),
                    sec(max(p["installing"] for p in small_parts))),
                "The whole update against the closing server is measured on the %g ms link "
                "only: it makes %d requests, and closing costs it %+.2f s there; elsewhere the "
                "small update is set against the whole one with keep-alive." % (
                    longest, runs[longest, False]["whole"]["requests"], closing_cost),
                ""] + table(calibration) + [
                "The emulator's own check: one client, one connection, the same bytes. Beyond "
                "the bytes' time come TCP's handshake, TLS 1.2's two round trips, the request's, "
                "the slow start and what curl takes on this machine (the first row).",
                ""] + table(lossy_rows) + [
                "",
                "Lossy links: a loss of P % stalls a connection's way down for 400 ms after P % "
                "of the 64 KiB it carries and resets it after P/10 % of them; the reset every "
                "50 MiB counts the link's bytes down. clicks: the player's clicks until the game "
                "started (a click that fails leaves its download for the next); time: their wall "
                "time in all, the launcher's start included; stalls and resets: what the link did."]

    def bench_memory(self):
        rows = [["archive", "update", "PeakWorkingSetSize"]]
        peaks = []  # (archive bytes, peak bytes)
        for size_mib in self.args.memory_mib:
            say("==> Memory: full update of a %d MiB archive" % size_mib)
            source = os.path.join(self.run_dir, "memory-source")
            # Mostly random entries, stored (-n), so that the archive has the
            # size asked for and zip does not take minutes over it.
            make_build(source, int(size_mib * MIB / (0.875 + 0.125 * 0.45)), 1000, 0.875, size_mib,
                       self.game_exe, self.pools)
            archive, manifest_url = self.publish(source, "memory-%d" % size_mib, "-n", ".pak")
            shutil.rmtree(source)
            base = os.path.join(self.run_dir, "memory")
            install = os.path.join(base, "game_online")
            make_player_data(install, self.pools)
            run = self.run_update(manifest_url, base, install)
            if not os.path.isfile(os.path.join(install, "Game.exe")):
                raise Failed("the %d MiB update installed no Game.exe" % size_mib)
            peaks.append((os.path.getsize(archive), run["peakWorkingSet"]))
            rows.append([size(peaks[-1][0]), sec(run["end"]), size(peaks[-1][1])])
            shutil.rmtree(base)
            os.remove(archive)
        growth = peaks[-1][1] - peaks[0][1]
        self.targets.append(("peak memory growth, %s -> %s archive" % (
            size(peaks[0][0]), size(peaks[-1][0])), "%+.2f MiB" % (growth / MIB), "<= 8 MiB",
            growth <= 8 * MIB, []))
        return table(rows) + ["", "The resident memory of the wine64 process running "
                              "vorn_bench.exe: Wine reads PeakWorkingSetSize from VmHWM."]

    def bench_paint(self):
        say("==> Paint path: frames on an off-screen DC")
        paint = self.vorn("paint", "400")
        tick = self.kept_tick = paint["timerTickKept"]
        return ["On an off-screen DC of 680 x 470 with the launcher's resources, mean of %d "
                "frames:" % paint["frames"]] + table([
                    ["painted", "ms", ""],
                    ["the scene: background, header texts, bar", "%.3f" % paint["scene"], ""],
                    ["a timer tick's WM_PAINT", "%.3f" % paint["timerTick"],
                     "buffer made, whole scene drawn, bar copied out"],
                    ["the same clipped to the bar", "%.3f" % paint["timerTickClipped"], ""],
                    ["the scene behind the bar kept", "%.3f" % tick,
                     "as the launcher paints: %.2f %% of a core at a 35 ms tick" % (tick / 0.35)]
                ])

    def bench_window_cpu(self):
        say("==> Window: CPU of the real launcher, idle and while the bar sweeps")
        # A tiny build behind a response that sends no length and holds: the
        # bar stays indeterminate until we let it go.
        source = os.path.join(self.run_dir, "sweep-source")
        make_build(source, 256 * 1024, 8, 0.5, 3, self.game_exe, self.pools)
        self.publish(source, "version", behaviour="_nolength/_hold/sweep/")
        folder = os.path.join(self.run_dir, "window")
        os.makedirs(folder)
        exe = shutil.copy(os.path.join(self.out_dir, "bin", "launcher", "VornLauncherBench.exe"),
                          folder)
        self.rig.xdotool("mousemove", 5, 5)
        launcher = self.rig.start([exe])
        box = wait_for(lambda: launcher.poll() is None and self.rig.find_window(
            "^Vorn RPG Online$"), 90, "the launcher window did not appear", 0.2)
        # Wine names the process behind each of its X windows (_NET_WM_PID).
        pid = int(self.rig.xdotool("search", "--onlyvisible", "--name", "^Vorn RPG Online$",
                                   "getwindowpid"))
        time.sleep(2)
        idle = cpu_percent(pid)
        self.rig.click(box, ONLINE_BUTTON)
        self.rig.xdotool("mousemove", 5, 5)  # off the button: no hover repaint mixes in
        wait_for(lambda: self.rig.requested("/_hold/sweep/builds/version.zip"), 90,
                 "the launcher did not ask for the held archive")
        time.sleep(1.0)
        bar = (box[0] + BAR[0], box[1] + BAR[1]) + BAR[2:]
        first = self.rig.grab("rgb:-", bar)
        time.sleep(0.3)
        if not first or first == self.rig.grab("rgb:-", bar):
            raise Failed("the bar does not sweep")
        sweep = cpu_percent(pid)
        open(os.path.join(self.www, "_release", "sweep"), "w").close()
        # version.txt comes last but for the game's start, which takes a moment.
        wait_for(lambda: os.path.exists(os.path.join(folder, "game_online", "version.txt")), 90,
                 "the launcher did not finish the update after the hold", 0.2)
        time.sleep(2)
        idle = max(idle, cpu_percent(pid))
        shutil.rmtree(source)
        why = []
        if self.kept_tick and sweep > self.kept_tick / 0.35:
            why.append("the paint itself is %.2f %% (the kept-scene tick above); the other "
                       "%.1f %% is the timer, RedrawWindow and Wine's window surface update to "
                       "X11 for each tick" % (self.kept_tick / 0.35,
                                              sweep - self.kept_tick / 0.35))
        self.targets += [("CPU while the bar sweeps (launcher process)", "%.1f %%" % sweep,
                          "<= 1 %", sweep <= 1.0, why),
                         ("CPU while idle (launcher process)", "%.1f %%" % idle, "0 %",
                          idle == 0.0, ["the launcher used CPU with no run and no input"])]
        return ["The real launcher on Xvfb, over 10 s from /proc/<pid>/stat, in % of one core:"
                ] + table([["state", "launcher"],
                           ["idle, before the click and after the update", "%.1f %%" % idle],
                           ["bar sweeping, the archive held", "%.1f %%" % sweep]])

    def bench_size(self):
        def objdump(option):
            return subprocess.run(["x86_64-w64-mingw32-objdump", option, self.release_exe],
                                  check=True, capture_output=True, text=True, timeout=60).stdout
        sections = re.findall(r"^\s*\d+\s+(\.\S+)\s+([0-9a-f]+)", objdump("-h"), re.M)
        dlls = sorted(set(re.findall(r"DLL Name: (\S+)", objdump("-p"))))
        exe_bytes = os.path.getsize(self.release_exe)
        self.targets.append(("release .exe with its assets", "%.2f MiB" % (exe_bytes / MIB),
                             "<= 2 MiB", exe_bytes <= 2 * MIB, []))
        return ["VornLauncher.exe: %d bytes (linked with -s)." % exe_bytes,
                "Sections: " + ", ".join("%s %d KiB" % (name, int(length, 16) // 1024)
                                         for name, length in sections
                                         if int(length, 16) >= 1024) + ".",
                "Imports: " + ", ".join(dlls) + "."]

    def run(self):
        """Each measurement made and reported in turn; one failing does not hide the others."""
        self.prepare()
        for key, title, action in SECTIONS:
            if self.args.only and key not in self.args.only:
                continue
            action = getattr(self, action)
            try:
                lines = action()
            except Exception as error:
                detail = "".join(traceback.format_exception_only(type(error), error)).strip()
                self.failures.append("%s: %s" % (action.__name__, detail))
                say("!!! %s failed: %s" % (action.__name__, detail))
                if not isinstance(error, Failed):
                    traceback.print_exc()
                lines = ["  not measured (see the failures below)"]
            self.sections += [title, ""] + lines + [""]

    def write_report(self, started, finished):
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f
                          if line.startswith("model name")), "?")

        def output_of(*command):
            return subprocess.run(command, capture_output=True, text=True).stdout.strip()
        out = ["Vorn launcher bench", "",
               "Machine: %d cores (%s), Linux %s, %s, files on %s; shared with other work while "
               "measured." % (os.cpu_count(), model, platform.release(),
                              output_of("wine", "--version"),
                              output_of("findmnt", "-n", "-o", "FSTYPE", "-T", self.out_dir)),
               "Run: %s, %.1f minutes, build folder %s; the update's figures are the best of %d "
               "rounds."
               % (started.strftime("%Y-%m-%d %H:%M"), (finished - started).total_seconds() / 60,
                  self.build, self.args.rounds), ""] + self.sections
        out += ["Targets", ""] + table([["target", "figure", "wanted", "result"]] + [
            [what, figure, wanted, "met" if met else "NOT MET"]
            for what, figure, wanted, met, _ in self.targets]) + [""]
        for what, _, _, met, why in self.targets:
            if not met:
                out += ["Missed: %s. Why:" % what] + ["  - " + line for line in why] + [""]
        out += (["Failures (the bench exits non-zero):"] + ["  - " + f for f in self.failures]
                if self.failures else ["Every measurement was made."])
        text = "\n".join(out) + "\n"
        with open(os.path.join(self.out_dir, "report.txt"), "w", encoding="utf-8") as f:
            f.write(text)
        return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("build_dir")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--files", type=int, default=2400)
    parser.add_argument("--memory-mib", default="256,2048")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--link-rtt-ms", default="10,50,150")
    parser.add_argument("--link-mbit", type=float, default=50)
    parser.add_argument("--only", default="", help="sections by key, comma-separated: " +
                        ",".join(key for key, _, _ in SECTIONS))
    parser.add_argument("--keep", action="store_true", help="keep the big files")
    args = parser.parse_args()
    args.memory_mib = [int(x) for x in args.memory_mib.split(",") if x]
    args.link_rtt_ms = [float(x) for x in args.link_rtt_ms.split(",") if x]
    args.only = [x for x in args.only.split(",") if x]
    unknown = set(args.only) - {key for key, _, _ in SECTIONS}
    if unknown:
        parser.error("no section %s" % ", ".join(sorted(unknown)))
    bench = Bench(args)
    started = datetime.datetime.now()
    try:
        bench.run()
    except (Failed, KeyboardInterrupt) as error:
        bench.failures.append(str(error) or "interrupted")
        say("!!! %s" % bench.failures[-1])
    finally:
        bench.rig.close()
        if not args.keep:
            shutil.rmtree(bench.run_dir, ignore_errors=True)
    say()
    say(bench.write_report(started, datetime.datetime.now()))
    return 1 if bench.failures else 0


if __name__ == "__main__":
    sys.exit(main())
