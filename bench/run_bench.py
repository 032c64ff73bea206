#!/usr/bin/python3
"""make bench: measures the launcher under Wine and writes BUILD_DIR/bench/report.txt.

    bench/run_bench.py BUILD_DIR [--size-mib 1024] [--files 2400] [--rounds 2]
                       [--memory-mib 256,2048] [--keep]

In the build folder's Wine prefix, against the local HTTPS update server on the
bench's own port, on a private Xvfb display. Targets are reported, not enforced:
the exit code is non-zero only when a measurement could not be made. The big
files live in BUILD_DIR/bench/run and go at the end unless --keep.
"""

import argparse
import datetime
import json
import os
import random
import re
import shutil
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tools")]
import bench_report  # noqa: E402
from winehelp import Failed, Rig, say, sha256_of, wait_for, windows_path, write_manifest  # noqa

MIB = 1024 * 1024
ONLINE_BUTTON = (340, 260)  # in the client area
BAR = (92, 182, 496, 24)  # LauncherApp::progressRect as x, y, width, height
TOOL_TIMEOUT = 900


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
        lines, size = [], 0
        while size < 16 * MIB:
            kind, word = rng.random(), lambda: rng.choice(words)
            if kind < 0.5:
                line = " ".join(word() for _ in range(rng.randint(4, 14)))
            elif kind < 0.8:
                line = '<%s id="%d" value="%s"/>' % (word(), rng.randint(0, 99999), word())
            else:
                line = "%s = %d, %d, %d" % (word(), rng.randint(0, 999), rng.randint(0, 999),
                                            rng.randint(0, 999))
            lines.append(line)
            size += len(line) + 1
        self.text = ("\n".join(lines) + "\n").encode("ascii")

    @staticmethod
    def cut(pool, size, rng):
        out = []
        while size > 0:
            start = rng.randrange(0, len(pool) - 1)
            out.append(pool[start:start + size])
            size -= len(out[-1])
        return b"".join(out)

    def write(self, path, text, size, rng):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(self.cut(self.text if text else self.random, size, rng))


def make_build(root, total, files, random_fraction, seed, game_exe, pools):
    """root/VornGame: Game.exe and `files` data files in nested folders,
    `total` bytes, random_fraction of them incompressible."""
    rng = random.Random(seed)
    game = os.path.join(root, "VornGame")
    os.makedirs(game)
    shutil.copy(game_exe, os.path.join(game, "Game.exe"))
    made = 0
    for kind, count, volume in (("random", files // 2, total * random_fraction),
                                ("text", files - files // 2, total * (1 - random_fraction))):
        weights = [2 ** rng.uniform(12, 23) for _ in range(count)]
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


def proc(pid, name):
    try:
        with open("/proc/%d/%s" % (pid, name), "rb") as f:
            return f.read()
    except (OSError, TypeError):
        return b""


def prefix_pids(prefix, program=""):
    """Processes of the Wine prefix: all, or the Wine processes running program."""
    marker = ("WINEPREFIX=%s" % prefix).encode()
    pids = [int(n) for n in os.listdir("/proc")
            if n.isdigit() and marker in proc(int(n), "environ").split(b"\0")]
    if not program:
        return pids

    def runs_program(pid):
        try:
            exe = os.readlink("/proc/%d/exe" % pid)
        except OSError:
            return False
        return ("wine" in os.path.basename(exe) and "server" not in exe
                and program.encode() in proc(pid, "cmdline"))
    return [pid for pid in pids if runs_program(pid)]


def cpu_ticks(pid):
    """utime + stime of the process, or None once it is gone."""
    fields = proc(pid, "stat").rsplit(b")", 1)[-1].split()
    return int(fields[11]) + int(fields[12]) if len(fields) > 12 else None


class MemoryWatch(threading.Thread):
    """The highest VmHWM and VmRSS of a program's Wine process, polled every 50 ms."""

    def __init__(self, prefix, program):
        super().__init__(daemon=True)
        self.prefix, self.program = prefix, program
        self.stop = threading.Event()
        self.kib = {"VmHWM": 0, "VmRSS": 0}

    def run(self):
        pid = None
        while not self.stop.wait(0.05):
            pid = pid or next(iter(prefix_pids(self.prefix, self.program)), None)
            for line in proc(pid, "status").decode().splitlines():
                key, _, value = line.partition(":")
                if key in self.kib:
                    self.kib[key] = max(self.kib[key], int(value.split()[0]))


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
        self.failures, self.results = [], {}
        self.rig = None

    def prepare(self):
        self.rig = Rig(self.build, self.out_dir, "VORN_BENCH_PORT")
        self.rig.need(self.bench_exe, self.game_exe, self.release_exe)
        for tool in ("curl", "sha256sum", "openssl", "unzip", "zip", "Xvfb", "xdotool", "import"):
            if shutil.which(tool) is None:
                raise Failed("%s is missing; `make bench` installs it" % tool)
        shutil.rmtree(self.run_dir, ignore_errors=True)
        for folder in ("builds", "Launcher", "_release"):
            os.makedirs(os.path.join(self.www, folder))
        if shutil.disk_usage(self.run_dir).free < 14 << 30:
            raise Failed("the bench needs 14 GiB free on %s" % self.run_dir)
        self.rig.start_screen()
        self.rig.start_server(self.www)
        say("==> Making the byte pools of the synthetic builds")
        self.pools = Pools(2024)

    def vorn(self, command, *args, time_file=None):
        """The figures of vorn_bench.exe COMMAND OUT ARGS..., once it made them."""
        out = os.path.join(self.run_dir, command + ".out")
        if os.path.exists(out):
            os.remove(out)
        _, code, output = self.rig.wine([self.bench_exe, command, windows_path(out)] + list(args),
                                        time_file=time_file)
        figures = {"reports": []}
        with open(out if os.path.exists(out) else os.devnull, encoding="utf-8") as f:
            for line in f:
                name, _, value = line.rstrip("\n").partition(" ")
                if name == "report":
                    t, message, number, text = value.split(" ", 3)
                    figures["reports"].append({"t": float(t), "message": message,
                                               "value": int(number), "text": text})
                else:
                    figures[name] = float(value) if re.match(r"-?[\d.]+(e-?\d+)?$", value) else value
        if code != 0 or not figures.get("ok"):
            errors = [r["text"] for r in figures["reports"] if r["message"] == "error"]
            raise Failed("vorn_bench %s %s failed (exit %d): %s" % (
                command, args[0], code, errors or figures.get("failure") or output))
        return figures

    @staticmethod
    def tool(*command):
        """Runs a Linux tool; returns its wall time in seconds."""
        start = time.perf_counter()
        subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       timeout=TOOL_TIMEOUT)
        return time.perf_counter() - start

    @staticmethod
    def settle():
        subprocess.run(["sync"], timeout=300)

    def zip_build(self, source, archive_name, *options):
        """source/VornGame zipped by Info-ZIP into www/builds."""
        archive = os.path.join(self.www, "builds", archive_name)
        subprocess.run(["zip", "-r", "-q", "-X", *options, archive, "VornGame"], cwd=source,
                       check=True, timeout=TOOL_TIMEOUT)
        return archive

    def publish(self, manifest_name, archive, behaviour=""):
        """The archive's manifest; returns the manifest's address."""
        write_manifest(os.path.join(self.www, "Launcher"), manifest_name,
                       self.rig.url(behaviour + "builds/" + os.path.basename(archive)),
                       sha256_of(archive))
        return self.rig.url("Launcher/" + manifest_name)

    def seed_install(self, game_folder, base):
        """A player's install folder: the previous build plus their data."""
        install = os.path.join(base, "game_online")
        subprocess.run(["cp", "-r", game_folder, install], check=True, timeout=TOOL_TIMEOUT)
        make_player_data(install, self.pools)
        with open(os.path.join(install, "version.txt"), "w") as f:
            f.write("1.0")
        return install

    def run_update(self, manifest_url, base, install, time_file=None):
        """A full update by vorn_bench.exe, the way the window starts one."""
        self.settle()
        return self.vorn("update", manifest_url, windows_path(base), windows_path(install),
                         "онлайн-версии", time_file=time_file)

    @staticmethod
    def check_install(install, game_folder, version="2.0"):
        """The new build and the player's data, both there in full."""
        have = [tree_stats(os.path.join(install, e)) if os.path.isdir(os.path.join(install, e))
                else (1, os.path.getsize(os.path.join(install, e))) for e in os.listdir(game_folder)]
        if tuple(map(sum, zip(*have))) != tree_stats(game_folder):
            raise Failed("%s does not hold the whole new build" % install)
        if tree_stats(os.path.join(install, "Save"))[0] < 320:
            raise Failed("the player's saves are missing in %s" % install)
        if version:
            with open(os.path.join(install, "version.txt")) as f:
                if f.read().strip() != version:
                    raise Failed("version.txt of %s is not the new version" % install)

    def bench_update(self):
        args = self.args
        say("==> Synthetic build: %d MiB in %d files, half random" % (args.size_mib, args.files))
        source = os.path.join(self.run_dir, "source")
        game = make_build(source, args.size_mib * MIB, args.files, 0.5, 1, self.game_exe,
                          self.pools)
        start = time.monotonic()
        archive = self.zip_build(source, "bench-%d.zip" % args.size_mib)
        build = self.results["build"] = {"zipSeconds": time.monotonic() - start,
                                         "archiveBytes": os.path.getsize(archive)}
        manifest_url = self.publish("bench.json", archive)
        build["files"], build["bytes"] = tree_stats(game)
        for key in ("update", "steps", "tools", "floor"):
            self.results[key] = []
        # Rounds alternate between the launcher and the tools, so that whatever
        # else the machine does weighs on both; the report takes each one's best.
        for number in range(1, args.rounds + 1):
            say("==> Round %d: the launcher, its install steps, the tools, bare Win32" % number)
            self.launcher_round(number, game, archive, manifest_url)
            self.tools_round(game, archive, manifest_url)
            self.floor_round(number, game)
        self.bench_download(os.path.basename(archive))
        shutil.rmtree(source)
        os.remove(archive)

    def launcher_round(self, number, game, archive, manifest_url):
        base = os.path.join(self.run_dir, "launcher")
        os.makedirs(base)
        install = self.seed_install(game, base)
        build = self.results["build"]
        build["saveFiles"], build["saveBytes"] = tree_stats(os.path.join(install, "Save"))
        self.results["update"].append(self.run_update(manifest_url, base, install))
        self.check_install(install, game)
        # The install steps one by one on the same data, the backup made afresh.
        shutil.rmtree(os.path.join(base, "backup"))
        work = os.path.join(self.run_dir, "launcher-work")
        os.makedirs(work)
        shutil.copy(archive, os.path.join(work, "game.zip"))
        self.settle()
        self.results["steps"].append(self.vorn("steps", *map(windows_path, (work, base, install))))
        # The steps stop where InstallOrUpdate does; the worker writes version.txt after it.
        self.check_install(install, game, version=None)
        shutil.rmtree(base)

    def tools_round(self, game, archive, manifest_url):
        base = os.path.join(self.run_dir, "tools")
        os.makedirs(base)
        install = self.seed_install(game, base)
        work, backup = os.path.join(base, "work"), os.path.join(base, "backup", "game_online")
        zip_path, extract = os.path.join(work, "game.zip"), os.path.join(work, "extract")
        nickname = os.path.join("ModScripts", "multiplayer", "nickname.json")
        os.makedirs(work)
        os.makedirs(os.path.dirname(os.path.join(backup, nickname)))
        curl = ("curl", "-sS", "--fail", "--cacert", self.rig.ca, "-o")

        def copy_player_data(source, target, make_folder):
            return (sum(self.tool("cp", "-r", os.path.join(source, name), os.path.join(target, name))
                        for name in ("Save", "UserData"))
                    + (self.tool("mkdir", "-p", os.path.dirname(os.path.join(target, nickname)))
                       if make_folder else 0)
                    + self.tool("cp", os.path.join(source, nickname), os.path.join(target, nickname)))
        self.settle()
        tools = {"manifest": self.tool(*curl, os.path.join(work, "response.txt"), manifest_url),
                 "backup": copy_player_data(install, backup, False),
                 "download": self.tool(*curl, zip_path, self.rig.url(
                     "builds/" + os.path.basename(archive))),
                 "sha256": self.tool("sha256sum", zip_path),
                 "sha256_openssl": self.tool("openssl", "dgst", "-sha256", zip_path),
                 "unpack": self.tool("unzip", "-q", zip_path, "-d", extract),
                 "empty": self.tool("rm", "-rf", *[os.path.join(install, name)
                                                   for name in os.listdir(install)]),
                 "copy": self.tool("cp", "-r", os.path.join(extract, "VornGame") + "/.",
                                   install + "/"),
                 "restore": copy_player_data(backup, install, True),
                 "cleanup": self.tool("rm", "-rf", work)}
        with open(os.path.join(install, "version.txt"), "w") as f:
            f.write("2.0")
        self.check_install(install, game)
        self.results["tools"].append(tools)
        shutil.rmtree(base)

    def floor_round(self, number, game):
        work = os.path.join(self.run_dir, "floor")
        os.makedirs(work)
        copies = [("copy-new", "new", "copyPlainNew"), ("copy-always", "always", "copyPlainAlways"),
                  ("copy-ours", "ours", "copyOurs")]
        floor = {"steps": {}}
        for operation, folder, key in copies[::1 if number % 2 else -1] + [
                ("get-attributes", "new", "getAttributes"),
                ("set-attributes", "new", "setAttributes"), ("delete-plain", "new", "deletePlain"),
                ("delete-ours", "ours", "deleteOurs")]:
            # Each step starts with the disk settled, whatever the step before wrote.
            self.settle()
            step = self.vorn("floor", operation, windows_path(game),
                             windows_path(os.path.join(work, folder)))
            floor["steps"][key] = step["seconds"]
            floor.setdefault("files", step["files"])
            floor.setdefault("folders", step["folders"])
        shutil.rmtree(work)
        self.results["floor"].append(floor)

    def bench_download(self, archive_name):
        """The archive over HTTPS and over plain HTTP, by the launcher's
        HttpDownloadToFile and by curl: what TLS under Wine costs."""
        say("==> Download: HTTPS against plain HTTP, launcher and curl")
        plain = subprocess.Popen([sys.executable, "-u", "-m", "http.server", "--bind",
                                  "127.0.0.1", "0"], cwd=self.www, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL)
        self.rig.children.append(plain)
        port = re.search(rb"port (\d+)", plain.stdout.readline())
        if not port:
            raise Failed("the plain HTTP server did not start")
        urls = {"Https": self.rig.url("builds/" + archive_name),
                "Http": "http://127.0.0.1:%s/builds/%s" % (port.group(1).decode(), archive_name)}
        target = os.path.join(self.run_dir, "fetched.zip")
        download = {client + kind: [] for client in ("launcher", "curl") for kind in urls}
        for _ in range(2):
            for client in ("launcher", "curl"):
                for kind, url in urls.items():
                    if os.path.exists(target):
                        os.remove(target)
                    self.settle()
                    download[client + kind].append(
                        self.vorn("fetch", url, windows_path(target)) if client == "launcher" else
                        {"seconds": self.tool("curl", "-sS", "--fail", "--cacert", self.rig.ca,
                                              "-o", target, url)})
        self.results["download"] = download
        plain.terminate()

    def bench_memory(self):
        self.results["memory"] = []
        for size_mib in self.args.memory_mib:
            say("==> Memory: full update of a %d MiB archive" % size_mib)
            source = os.path.join(self.run_dir, "memory-source")
            # Mostly random entries, stored (-n), so that the archive has the
            # size asked for and zip does not take minutes over it.
            game = make_build(source, int(size_mib * MIB / (0.875 + 0.125 * 0.45)), 1000, 0.875,
                              size_mib, self.game_exe, self.pools)
            files = tree_stats(game)[0]
            archive = self.zip_build(source, "memory-%d.zip" % size_mib, "-n", ".pak")
            manifest_url = self.publish("memory-%d.json" % size_mib, archive)
            shutil.rmtree(source)
            base = os.path.join(self.run_dir, "memory")
            install = os.path.join(base, "game_online")
            make_player_data(install, self.pools)
            # Its memory watched from Linux as well as by the process itself.
            time_file = os.path.join(self.run_dir, "memory.maxrss")
            watch = MemoryWatch(self.rig.prefix, "vorn_bench.exe")
            watch.start()
            try:
                run = self.run_update(manifest_url, base, install, time_file)
            finally:
                watch.stop.set()
                watch.join()
            try:
                with open(time_file) as f:
                    run["timeMaxRssKiB"] = int(f.read().split()[-1])
            except (OSError, ValueError, IndexError):  # no /usr/bin/time
                run["timeMaxRssKiB"] = None
            if not os.path.isfile(os.path.join(install, "Game.exe")):
                raise Failed("the %d MiB update installed no Game.exe" % size_mib)
            self.results["memory"].append(dict(
                run, archiveBytes=os.path.getsize(archive), files=files, reports=None,
                vmHwmKiB=watch.kib["VmHWM"] or None, vmRssMaxKiB=watch.kib["VmRSS"] or None))
            shutil.rmtree(base)
            os.remove(archive)

    def bench_paint(self):
        say("==> Paint path: frames on an off-screen DC")
        self.results["paint"] = self.vorn("paint", "400")

    def sample_cpu(self, launcher):
        """CPU of the launcher, of every process of the prefix and of Xvfb
        over 10 s, in percent of one core."""
        xvfb = self.rig.xvfb.pid
        before = {pid: cpu_ticks(pid) for pid in set(prefix_pids(self.rig.prefix)) | {launcher}}
        before[xvfb] = cpu_ticks(xvfb)
        start = time.monotonic()
        time.sleep(10.0)
        elapsed = time.monotonic() - start
        after = {pid: cpu_ticks(pid) for pid in before}
        used = {pid: 100.0 * (after[pid] - ticks) / os.sysconf("SC_CLK_TCK") / elapsed
                for pid, ticks in before.items() if None not in (ticks, after[pid])}
        wine = [pid for pid in used if pid != xvfb]
        return {"launcher": used.get(launcher), "wineTotal": sum(used[pid] for pid in wine),
                "wineserver": sum(used[pid] for pid in wine
                                  if b"wineserver" in proc(pid, "cmdline")),
                "xvfb": used.get(xvfb)}

    def bench_window_cpu(self):
        say("==> Window: CPU of the real launcher, idle and while the bar sweeps")
        # A tiny build behind a response that sends no length and holds: the
        # bar stays indeterminate until we let it go.
        source = os.path.join(self.run_dir, "sweep-source")
        make_build(source, 256 * 1024, 8, 0.5, 3, self.game_exe, self.pools)
        self.publish("version.json", self.zip_build(source, "sweep.zip"),
                     behaviour="_nolength/_hold/sweep/")
        folder = os.path.join(self.run_dir, "window")
        os.makedirs(folder)
        exe = shutil.copy(os.path.join(self.out_dir, "bin", "launcher", "VornLauncherBench.exe"),
                          folder)
        self.rig.xdotool("mousemove", 5, 5)
        launcher = self.rig.start([exe])
        box = wait_for(lambda: launcher.poll() is None and self.rig.find_window(
            "^Vorn RPG Online$"), 90, "the launcher window did not appear", 0.2)
        pids = prefix_pids(self.rig.prefix, os.path.basename(exe))
        if len(pids) != 1:
            raise Failed("cannot tell the launcher's Wine process: %s" % pids)
        time.sleep(2)
        window = {"idleBefore": self.sample_cpu(pids[0])}
        self.rig.click(box, ONLINE_BUTTON)
        self.rig.xdotool("mousemove", 5, 5)  # off the button: no hover repaint mixes in
        wait_for(lambda: self.rig.requested("/_hold/sweep/builds/sweep.zip"), 90,
                 "the launcher did not ask for the held archive")
        time.sleep(1.0)
        bar = (box[0] + BAR[0], box[1] + BAR[1]) + BAR[2:]
        first = self.rig.grab("rgb:-", bar)
        time.sleep(0.3)
        if not first or first == self.rig.grab("rgb:-", bar):
            raise Failed("the bar does not sweep")
        window["sweep"] = self.sample_cpu(pids[0])
        open(os.path.join(self.www, "_release", "sweep"), "w").close()
        # version.txt comes last but for the game's start, which takes a moment.
        wait_for(lambda: os.path.exists(os.path.join(folder, "game_online", "version.txt")), 90,
                 "the launcher did not finish the update after the hold", 0.2)
        time.sleep(2)
        window["idleAfter"] = self.sample_cpu(pids[0])
        self.results["window"] = window
        shutil.rmtree(source)

    def bench_size(self):
        stripped = os.path.join(self.run_dir, "stripped.exe")
        subprocess.run(["x86_64-w64-mingw32-strip", "-o", stripped, self.release_exe],
                       check=True, timeout=60)

        def objdump(option):
            return subprocess.run(["x86_64-w64-mingw32-objdump", option, self.release_exe],
                                  check=True, capture_output=True, text=True, timeout=60).stdout
        resources = os.path.join(os.path.dirname(HERE), "resources")
        self.results["size"] = {
            "bytes": os.path.getsize(self.release_exe), "strippedBytes": os.path.getsize(stripped),
            "sections": {m[1]: int(m[2], 16) for m in
                         re.finditer(r"^\s*\d+\s+(\.\S+)\s+([0-9a-f]+)", objdump("-h"), re.M)},
            "assets": {path: os.path.getsize(os.path.join(resources, path)) for path in (
                "icon/icon.ico", "background/background.jpg", "font/BlockTermCyrFont.ttf",
                "launcher.manifest")},
            "dlls": sorted(set(re.findall(r"DLL Name: (\S+)", objdump("-p"))))}

    def run(self):
        self.prepare()
        for name, action in (("update", self.bench_update), ("memory", self.bench_memory),
                             ("paint", self.bench_paint), ("window", self.bench_window_cpu),
                             ("size", self.bench_size)):
            try:
                action()
            except Exception as error:  # one part failing must not hide the others
                detail = "".join(traceback.format_exception_only(type(error), error)).strip()
                self.failures.append("%s: %s" % (name, detail))
                say("!!! %s failed: %s" % (name, detail))
                if not isinstance(error, Failed):
                    traceback.print_exc()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("build_dir")
    parser.add_argument("--size-mib", type=int, default=1024)
    parser.add_argument("--files", type=int, default=2400)
    parser.add_argument("--memory-mib", default="256,2048")
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--keep", action="store_true", help="keep the big files")
    args = parser.parse_args()
    args.memory_mib = [int(x) for x in args.memory_mib.split(",") if x]
    bench = Bench(args)
    bench.started = datetime.datetime.now()
    try:
        bench.run()
    except (Failed, KeyboardInterrupt) as error:
        bench.failures.append(str(error) or "interrupted")
        say("!!! %s" % bench.failures[-1])
    finally:
        if bench.rig is not None:
            bench.rig.close()
        if not args.keep:
            shutil.rmtree(bench.run_dir, ignore_errors=True)
    bench.finished = datetime.datetime.now()
    say()
    say(bench_report.write(bench))
    return 1 if bench.failures else 0


if __name__ == "__main__":
    sys.exit(main())
