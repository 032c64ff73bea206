#!/usr/bin/python3
"""make bench: measures the launcher under Wine and writes a report.

    bench/run_bench.py BUILD_DIR [--size-mib 1024] [--files 2400] [--rounds 2]
                       [--memory-mib 256,2048] [--keep]

Everything runs in BUILD_DIR's Wine prefix against a local HTTPS update
server (tests/harness/update_server.py) on the bench's own loopback port, on
a private Xvfb display:

  1. a full update of a synthetic build through the real worker thread, timed
     phase by phase from its status messages, and its install steps timed
     one by one by vorn_bench.exe on the same data;
  2. the same work done by curl, sha256sum/openssl, unzip, rm and cp, and, to
     tell ours from Wine's, the copy and the emptying by bare Win32 calls and
     the download over plain HTTP;
  3. the launcher's peak memory during updates of a small and a large archive;
  4. the paint path's frame time, and the CPU the real launcher window uses
     while its bar sweeps and while it is idle;
  5. the size of the release executable.

The report goes to BUILD_DIR/bench/report.txt (and report.png when
matplotlib is there) and is printed at the end. Targets are reported, not
enforced: the exit code is non-zero only when a measurement could not be
made at all. The big files live in BUILD_DIR/bench/run and are removed at
the end (--keep leaves them). The bench wants the build folder's Wine prefix
to itself: it stops the prefix's wineserver when it is done.
"""

import argparse
import datetime
import hashlib
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
HARNESS = os.path.join(REPO, "tests", "harness")

MIB = 1024 * 1024
GIB = 1024 * MIB
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")

# Targets, as the report states them.
TARGET_UPDATE_RATIO = 1.15
TARGET_MEMORY_GROWTH = 8 * MIB
TARGET_SWEEP_CPU = 3.0
TARGET_IDLE_CPU = 0.0
TARGET_EXE_SIZE = 2 * MIB

LABEL = "онлайн-версии"
# Client-area point of the "Онлайн версия" button.
ONLINE_BUTTON = (340, 260)
# The bar's rectangle in the client area (LauncherApp::progressRect).
BAR_RECT = (92, 182, 588, 206)
MARQUEE_PERIOD_MS = 35
CPU_WINDOW = 10.0
# Upper bounds of every wait, so that nothing here can hang.
WINE_TIMEOUT = 1500
TOOL_TIMEOUT = 900
WINDOW_TIMEOUT = 90
FREE_SPACE_NEEDED = 14 * GIB


class BenchFailed(Exception):
    pass


def say(text=""):
    print(text, flush=True)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            match = re.match(r"%s:[A-Z]+=(.*)$" % re.escape(name), line.strip())
            if match:
                return match.group(1)
    raise BenchFailed("%s is not in %s/CMakeCache.txt; run `make build` first" % (name, build_dir))


def tree_stats(root):
    files = 0
    size = 0
    for folder, _, names in os.walk(root):
        for name in names:
            files += 1
            size += os.path.getsize(os.path.join(folder, name))
    return files, size


def fmt_mib(size):
    return "%.1f MiB" % (size / MIB)


def fmt_size(size):
    return "%.2f GiB" % (size / GIB) if size >= GIB else fmt_mib(size)


# --- Synthetic builds. ---

class Pools:
    """Random and text-like bytes that the files of a build are cut from.

    Deflate looks back 32 KiB only, so slices of one random pool stay
    incompressible and slices of one text pool compress like text."""

    def __init__(self, seed):
        rng = random.Random(seed)
        self.random = b"".join(rng.randbytes(MIB) for _ in range(64))
        words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz_") for _ in range(rng.randint(2, 11)))
                 for _ in range(6000)]
        lines = []
        size = 0
        while size < 16 * MIB:
            kind = rng.random()
            if kind < 0.5:
                line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14)))
            elif kind < 0.8:
                line = '<%s id="%d" value="%s"/>' % (rng.choice(words), rng.randint(0, 99999),
                                                    rng.choice(words))
            else:
                line = "%s = %d, %d, %d" % (rng.choice(words), rng.randint(0, 999),
                                            rng.randint(0, 999), rng.randint(0, 999))
            lines.append(line)
            size += len(line) + 1
        self.text = ("\n".join(lines) + "\n").encode("ascii")

    def cut(self, pool, size, rng):
        out = []
        while size > 0:
            start = rng.randrange(0, len(pool) - 1)
            piece = pool[start:start + size]
            out.append(piece)
            size -= len(piece)
        return b"".join(out)


def make_build(root, total, files, random_fraction, seed, game_exe, pools):
    """A game build under root/VornGame: Game.exe and `files` data files in
    nested folders, `total` bytes, random_fraction of them incompressible."""
    rng = random.Random(seed)
    game = os.path.join(root, "VornGame")
    os.makedirs(game)
    shutil.copy(game_exe, os.path.join(game, "Game.exe"))
    half = files // 2
    kinds = [("random", half, total * random_fraction), ("text", files - half,
                                                          total * (1 - random_fraction))]
    made = 0
    for kind, count, volume in kinds:
        weights = [2 ** rng.uniform(12, 23) for _ in range(count)]
        scale = volume / sum(weights)
        sizes = [max(1, int(w * scale)) for w in weights]
        sizes[-1] += int(volume) - sum(sizes)
        for i, size in enumerate(sizes):
            group = "pak%02d" % (made % 12)
            sub = "part%d" % ((made // 12) % 9)
            folder = os.path.join(game, "Data", group, sub)
            os.makedirs(folder, exist_ok=True)
            extension = ".pak" if kind == "random" else rng.choice([".txt", ".xml", ".lua"])
            name = "%s_%05d%s" % (kind, i, extension)
            pool = pools.random if kind == "random" else pools.text
            with open(os.path.join(folder, name), "wb") as f:
                f.write(pools.cut(pool, max(size, 1), rng))
            made += 1
    return game


def make_player_data(install, seed, pools):
    """Saves, user data and the nickname file of a player who has played."""
    rng = random.Random(seed)
    for i in range(320):
        folder = os.path.join(install, "Save", "slot%02d" % (i % 16))
        os.makedirs(folder, exist_ok=True)
        size = int(2 ** rng.uniform(10, 16.5))
        pool = pools.random if i % 3 == 0 else pools.text
        with open(os.path.join(folder, "save_%03d.sav" % i), "wb") as f:
            f.write(pools.cut(pool, size, rng))
    for i in range(40):
        folder = os.path.join(install, "UserData", "profile%d" % (i % 4))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "settings_%02d.cfg" % i), "wb") as f:
            f.write(pools.cut(pools.text, int(2 ** rng.uniform(10, 16)), rng))
    folder = os.path.join(install, "ModScripts", "multiplayer")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "nickname.json"), "w") as f:
        json.dump({"nickname": "Игрок"}, f, ensure_ascii=False)


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        while True:
            block = f.read(4 * MIB)
            if not block:
                return digest.hexdigest()
            digest.update(block)


# --- Processes. ---

def pids_of_prefix(prefix):
    """Every process of the Wine prefix (wineserver and Windows processes)."""
    marker = ("WINEPREFIX=%s" % prefix).encode()
    found = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % name, "rb") as f:
                if marker in f.read().split(b"\0"):
                    found.append(int(name))
        except OSError:
            pass
    return found


def windows_process(prefix, program_name):
    """Pids of Wine processes running the named program."""
    found = []
    for pid in pids_of_prefix(prefix):
        try:
            exe = os.readlink("/proc/%d/exe" % pid)
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read().decode("utf-8", "replace")
        except OSError:
            continue
        if "wine" in os.path.basename(exe) and "server" not in exe and program_name in cmdline:
            found.append(pid)
    return found


def process_name(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            words = f.read().split(b"\0")
        name = words[0].decode("utf-8", "replace").replace("\\", "/")
        return os.path.basename(name.strip()) or "?"
    except OSError:
        return "?"


def cpu_ticks(pid):
    """utime + stime of the process, in clock ticks, or None once it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError, ValueError):
        return None


def status_kib(pid, key):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith(key + ":"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


class MemoryWatch(threading.Thread):
    """Polls VmHWM and VmRSS of one Windows program's Wine process."""

    def __init__(self, prefix, program_name):
        super().__init__(daemon=True)
        self.prefix = prefix
        self.program_name = program_name
        self.stop = threading.Event()
        self.pid = None
        self.hwm_kib = 0
        self.rss_kib = 0
        self.samples = 0

    def run(self):
        while not self.stop.is_set():
            if self.pid is None:
                pids = windows_process(self.prefix, self.program_name)
                self.pid = pids[0] if pids else None
            if self.pid is not None:
                hwm = status_kib(self.pid, "VmHWM")
                rss = status_kib(self.pid, "VmRSS")
                if hwm is not None:
                    self.hwm_kib = max(self.hwm_kib, hwm)
                    self.samples += 1
                if rss is not None:
                    self.rss_kib = max(self.rss_kib, rss)
            self.stop.wait(0.05)


class Bench:
    def __init__(self, args):
        self.args = args
        self.build = os.path.abspath(args.build_dir)
        self.out_dir = os.path.join(self.build, "bench")
        self.run_dir = os.path.join(self.out_dir, "run")
        self.www = os.path.join(self.run_dir, "www")
        self.certs = os.path.join(self.out_dir, "certs")
        self.server_pid_file = os.path.join(self.out_dir, "server.pid")
        self.prefix = os.path.join(self.build, "wineprefix")
        self.wine_run = os.path.join(self.build, "wine-run.sh")
        self.bench_exe = os.path.join(self.out_dir, "bin", "vorn_bench.exe")
        self.game_exe = os.path.join(self.out_dir, "bin", "game", "Game.exe")
        self.launcher_exe = os.path.join(self.out_dir, "bin", "launcher", "VornLauncherBench.exe")
        self.release_exe = os.path.join(self.build, "VornLauncher.exe")
        self.trust_ca = os.path.join(self.build, "tests", "bin", "trust_ca.exe")
        self.probe = os.path.join(self.build, "tests", "bin", "window_probe.exe")
        self.xvfb = None
        self.server = None
        self.launcher = None
        self.env = dict(os.environ)
        self.failures = []
        self.results = {}
        self.notes = []

    # --- Set-up and tear-down. ---

    def prepare(self):
        for path in (self.wine_run, self.bench_exe, self.game_exe, self.launcher_exe,
                     self.release_exe, self.trust_ca, self.probe):
            if not os.path.isfile(path):
                raise BenchFailed("%s is missing; run `make build BUILD_DIR=%s` first"
                                  % (path, self.build))
        for tool, package in (("curl", "curl"), ("sha256sum", "coreutils"),
                              ("openssl", "openssl"), ("unzip", "unzip"), ("zip", "zip"),
                              ("Xvfb", "xvfb"), ("xdotool", "xdotool"),
                              ("import", "imagemagick")):
            if shutil.which(tool) is None:
                raise BenchFailed("%s is missing (Debian package %s)" % (tool, package))
        if not os.path.exists("/usr/bin/time"):
            say("==> /usr/bin/time is missing (Debian package time): no %M figure")
        self.port = int(read_cache_value(self.build, "VORN_BENCH_PORT"))
        self.stop_stale_server()
        shutil.rmtree(self.run_dir, ignore_errors=True)
        os.makedirs(self.run_dir)
        free = shutil.disk_usage(self.run_dir).free
        if free < FREE_SPACE_NEEDED:
            raise BenchFailed("%s free on %s; the bench needs %s"
                              % (fmt_size(free), self.run_dir, fmt_size(FREE_SPACE_NEEDED)))
        self.start_xvfb()
        say("==> Certificates, the test CA in the Wine prefix, the update server")
        subprocess.run([os.path.join(HARNESS, "make_test_certs.sh"), self.certs], check=True,
                       timeout=120)
        self.wine([self.trust_ca, windows_path(os.path.join(self.certs, "ca.der"))], timeout=300)
        self.start_server()

    def start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
             "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise BenchFailed("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number.strip().decode()
        say("==> Display %s (Xvfb)" % self.env["DISPLAY"])

    def stop_stale_server(self):
        # A server of an earlier bench that was killed before it could stop it.
        try:
            with open(self.server_pid_file) as f:
                pid = int(f.read().strip())
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                if b"update_server.py" in f.read():
                    os.kill(pid, signal.SIGTERM)
        except (OSError, ValueError):
            pass

    def start_server(self):
        os.makedirs(os.path.join(self.www, "builds"))
        os.makedirs(os.path.join(self.www, "Launcher"))
        port_file = os.path.join(self.run_dir, "server.port")
        self.server_log = os.path.join(self.run_dir, "requests.log")
        self.server = subprocess.Popen(
            [sys.executable, os.path.join(HARNESS, "update_server.py"), "--root", self.www,
             "--certfile", os.path.join(self.certs, "server.pem"),
             "--keyfile", os.path.join(self.certs, "server.key"), "--port", str(self.port),
             "--port-file", port_file, "--pid-file", self.server_pid_file,
             "--log", self.server_log],
            stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.run_dir, "server.err"), "w"))
        deadline = time.monotonic() + 20
        while not os.path.exists(port_file):
            if self.server.poll() is not None or time.monotonic() > deadline:
                raise BenchFailed("the update server did not start on port %d" % self.port)
            time.sleep(0.05)

    def url(self, path):
        return "https://localhost:%d/%s" % (self.port, path)

    def cleanup(self):
        if self.launcher is not None and self.launcher.poll() is None:
            self.launcher.kill()
            self.launcher.wait()
        if self.server is not None and self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
                self.server.wait()
        # Wine's services of this prefix are tied to our display; they go with it.
        subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=self.prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()
        if not self.args.keep:
            shutil.rmtree(self.run_dir, ignore_errors=True)

    # --- Running things. ---

    def wine(self, args, timeout=WINE_TIMEOUT, max_rss_file=None):
        """Runs a Windows program through wine-run.sh; returns (seconds, code, output)."""
        command = [self.wine_run] + args
        if max_rss_file is not None and os.path.exists("/usr/bin/time"):
            command = ["/usr/bin/time", "-f", "%M", "-o", max_rss_file] + command
        log = os.path.join(self.run_dir, "wine.out")
        start = time.monotonic()
        with open(log, "wb") as out:
            result = subprocess.run(command, env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                    stdin=subprocess.DEVNULL, timeout=timeout)
        seconds = time.monotonic() - start
        with open(log, "rb") as f:
            output = f.read().decode("utf-8", "replace")
        return seconds, result.returncode, output

    def tool(self, command, cwd=None):
        """Runs a Linux tool; returns its wall time in seconds."""
        start = time.perf_counter()
        subprocess.run(command, check=True, cwd=cwd, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, timeout=TOOL_TIMEOUT)
        return time.perf_counter() - start

    def publish_manifest(self, name, archive_name, digest, version="2.0", behaviour=""):
        manifest = {"version": version,
                    "download_url": self.url(behaviour + "builds/" + archive_name),
                    "exe": "Game.exe", "sha256": digest}
        with open(os.path.join(self.www, "Launcher", name), "w") as f:
            json.dump(manifest, f)
        return self.url("Launcher/" + name)

    def seed_install(self, game_folder, base, pools):
        """A player's install folder: the previous build plus their data."""
        install = os.path.join(base, "game_online")
        subprocess.run(["cp", "-r", game_folder, install], check=True, timeout=TOOL_TIMEOUT)
        make_player_data(install, 7, pools)
        with open(os.path.join(install, "version.txt"), "w") as f:
            f.write("1.0")
        return install

    def run_update(self, manifest_url, base, install, tag):
        """A full update by vorn_bench.exe, with its memory watched from Linux."""
        out = os.path.join(self.run_dir, tag + ".json")
        rss_file = os.path.join(self.run_dir, tag + ".maxrss")
        subprocess.run(["sync"], timeout=300)
        watch = MemoryWatch(self.prefix, "vorn_bench.exe")
        watch.start()
        try:
            seconds, code, output = self.wine(
                [self.bench_exe, "update", windows_path(out), manifest_url, windows_path(base),
                 windows_path(install), LABEL], max_rss_file=rss_file)
        finally:
            watch.stop.set()
            watch.join()
        if not os.path.exists(out):
            raise BenchFailed("vorn_bench update wrote nothing (exit %d): %s" % (code, output))
        with open(out, encoding="utf-8") as f:
            run = json.load(f)
        errors = [r["text"] for r in run["reports"] if r["message"] == "error"]
        if code != 0 or not run["ok"]:
            raise BenchFailed("the update did not complete (exit %d): %s" % (code, errors or output))
        max_rss = None
        try:
            with open(rss_file) as f:
                max_rss = int(f.read().split()[-1])
        except (OSError, ValueError, IndexError):
            pass
        run["linux"] = {"timeMaxRssKiB": max_rss, "vmHwmKiB": watch.hwm_kib or None,
                        "vmRssMaxKiB": watch.rss_kib or None, "samples": watch.samples,
                        "wallSeconds": seconds}
        return run

    def check_install(self, install, game_folder, version=True):
        """The new build and the player's data, both there in full."""
        want_files, want_size = tree_stats(game_folder)
        have_files = 0
        have_size = 0
        for entry in os.listdir(game_folder):
            files, size = (tree_stats(os.path.join(install, entry))
                           if os.path.isdir(os.path.join(install, entry)) else
                           (1, os.path.getsize(os.path.join(install, entry))))
            have_files += files
            have_size += size
        if (have_files, have_size) != (want_files, want_size):
            raise BenchFailed("%s holds %d files, %d bytes of the build; expected %d, %d"
                              % (install, have_files, have_size, want_files, want_size))
        saves = tree_stats(os.path.join(install, "Save"))
        if saves[0] < 320:
            raise BenchFailed("the player's saves are missing in %s" % install)
        if not version:
            return
        with open(os.path.join(install, "version.txt")) as f:
            if f.read().strip() != "2.0":
                raise BenchFailed("version.txt of %s is not the new version" % install)

    # --- 1 and 2: the full update, by the launcher and by the tools. ---

    def bench_update(self, pools):
        args = self.args
        say("==> Synthetic build: %d MiB in %d files, half random" % (args.size_mib, args.files))
        source = os.path.join(self.run_dir, "source")
        start = time.monotonic()
        game = make_build(source, args.size_mib * MIB, args.files, 0.5, 1, self.game_exe, pools)
        made = time.monotonic() - start
        archive_name = "bench-%d.zip" % args.size_mib
        archive = os.path.join(self.www, "builds", archive_name)
        say("==> Zipping it with Info-ZIP zip")
        start = time.monotonic()
        subprocess.run(["zip", "-r", "-q", "-X", archive, "VornGame"], cwd=source, check=True,
                       timeout=TOOL_TIMEOUT)
        zipped = time.monotonic() - start
        digest = sha256_of(archive)
        files, size = tree_stats(game)
        build = {"files": files, "bytes": size, "archiveBytes": os.path.getsize(archive),
                 "makeSeconds": made, "zipSeconds": zipped}
        self.results["build"] = build
        manifest_url = self.publish_manifest("bench.json", archive_name, digest)
        for key in ("update", "steps", "tools", "floor"):
            self.results[key] = []
        # Rounds alternate between the launcher and the tools, so that whatever
        # else the machine does weighs on both; the report takes each one's best.
        for round_number in range(1, args.rounds + 1):
            self.launcher_round(round_number, game, archive, manifest_url, pools)
            self.tools_round(round_number, game, archive_name, manifest_url, pools)
            self.floor_round(round_number, game)
        self.bench_download(archive_name)
        shutil.rmtree(source)
        os.remove(archive)

    def launcher_round(self, round_number, game, archive, manifest_url, pools):
        say("==> Round %d, launcher: full update through the worker thread" % round_number)
        base = os.path.join(self.run_dir, "launcher")
        os.makedirs(base)
        install = self.seed_install(game, base, pools)
        build = self.results["build"]
        build["saveFiles"], build["saveBytes"] = tree_stats(os.path.join(install, "Save"))
        run = self.run_update(manifest_url, base, install, "update-%d" % round_number)
        self.check_install(install, game)
        self.results["update"].append(run)
        say("    %.1f s" % run["end"])

        say("==> Round %d, launcher: the install steps one by one on the same data" % round_number)
        # The backup is made afresh, as in the run above.
        shutil.rmtree(os.path.join(base, "backup"))
        work = os.path.join(self.run_dir, "launcher-work")
        os.makedirs(work)
        shutil.copy(archive, os.path.join(work, "game.zip"))
        subprocess.run(["sync"], timeout=300)
        out = os.path.join(self.run_dir, "steps-%d.json" % round_number)
        seconds, code, output = self.wine([self.bench_exe, "steps", windows_path(out),
                                           windows_path(work), windows_path(base),
                                           windows_path(install)])
        if not os.path.exists(out):
            raise BenchFailed("vorn_bench steps wrote nothing (exit %d): %s" % (code, output))
        with open(out, encoding="utf-8") as f:
            steps = json.load(f)
        if code != 0 or not steps["ok"]:
            raise BenchFailed("the install steps failed: %s" % steps.get("failure"))
        # The steps stop where InstallOrUpdate does; the worker writes version.txt after it.
        self.check_install(install, game, version=False)
        self.results["steps"].append(steps)
        shutil.rmtree(base)

    def tools_round(self, round_number, game, archive_name, manifest_url, pools):
        say("==> Round %d, tools: curl, sha256sum, openssl, unzip, rm, cp" % round_number)
        ca = os.path.join(self.certs, "ca.pem")
        base = os.path.join(self.run_dir, "tools")
        os.makedirs(base)
        install = self.seed_install(game, base, pools)
        work = os.path.join(base, "work")
        backup = os.path.join(base, "backup", "game_online")
        zip_path = os.path.join(work, "game.zip")
        extract = os.path.join(work, "extract")
        nickname = os.path.join("ModScripts", "multiplayer", "nickname.json")
        subprocess.run(["sync"], timeout=300)
        tools = {}
        os.makedirs(work)
        tools["manifest"] = self.tool(["curl", "-sS", "--fail", "--cacert", ca, "-o",
                                       os.path.join(work, "response.txt"), manifest_url])
        os.makedirs(os.path.join(backup, "ModScripts", "multiplayer"))
        tools["backup"] = (
            self.tool(["cp", "-r", os.path.join(install, "Save"), os.path.join(backup, "Save")])
            + self.tool(["cp", "-r", os.path.join(install, "UserData"),
                         os.path.join(backup, "UserData")])
            + self.tool(["cp", os.path.join(install, nickname), os.path.join(backup, nickname)]))
        tools["download"] = self.tool(["curl", "-sS", "--fail", "--cacert", ca, "-o", zip_path,
                                       self.url("builds/" + archive_name)])
        tools["sha256"] = self.tool(["sha256sum", zip_path])
        tools["sha256_openssl"] = self.tool(["openssl", "dgst", "-sha256", zip_path])
        tools["unpack"] = self.tool(["unzip", "-q", zip_path, "-d", extract])
        entries = [os.path.join(install, name) for name in os.listdir(install)]
        tools["empty"] = self.tool(["rm", "-rf"] + entries)
        tools["copy"] = self.tool(["cp", "-r", os.path.join(extract, "VornGame") + "/.",
                                   install + "/"])
        tools["restore"] = (
            self.tool(["cp", "-r", os.path.join(backup, "Save"), os.path.join(install, "Save")])
            + self.tool(["cp", "-r", os.path.join(backup, "UserData"),
                         os.path.join(install, "UserData")])
            + self.tool(["mkdir", "-p", os.path.join(install, "ModScripts", "multiplayer")])
            + self.tool(["cp", os.path.join(backup, nickname), os.path.join(install, nickname)]))
        tools["cleanup"] = self.tool(["rm", "-rf", work])
        with open(os.path.join(install, "version.txt"), "w") as f:
            f.write("2.0")
        self.check_install(install, game)
        self.results["tools"].append(tools)
        shutil.rmtree(base)

    def floor_round(self, round_number, game):
        say("==> Round %d, bare Win32 copy and deletion beside the launcher's own" % round_number)
        work = os.path.join(self.run_dir, "floor")
        os.makedirs(work)
        copies = [("copy-new", "new", "copyPlainNew"), ("copy-always", "always", "copyPlainAlways"),
                  ("copy-ours", "ours", "copyOurs")]
        if round_number % 2 == 0:
            copies.reverse()
        plan = copies + [("get-attributes", "new", "getAttributes"),
                         ("set-attributes", "new", "setAttributes"),
                         ("delete-plain", "new", "deletePlain"),
                         ("delete-ours", "ours", "deleteOurs"),
                         ("delete-plain", "always", "deletePlainAgain")]
        floor = {"steps": {}}
        out = os.path.join(self.run_dir, "floor.json")
        for operation, folder, key in plan:
            # Each step starts with the disk settled, whatever the step before wrote.
            subprocess.run(["sync"], timeout=300)
            seconds, code, output = self.wine([self.bench_exe, "floor", windows_path(out),
                                               operation, windows_path(game),
                                               windows_path(os.path.join(work, folder))])
            if not os.path.exists(out):
                raise BenchFailed("vorn_bench floor %s wrote nothing (exit %d): %s"
                                  % (operation, code, output))
            with open(out) as f:
                step = json.load(f)
            os.remove(out)
            if code != 0 or not step["ok"]:
                raise BenchFailed("the bare Win32 step %s failed" % operation)
            floor["steps"][key] = step["seconds"]
            if operation == "copy-new":
                floor["files"], floor["folders"] = step["files"], step["folders"]
        shutil.rmtree(work)
        floor["ok"] = True
        self.results["floor"].append(floor)

    def bench_download(self, archive_name):
        """The archive over HTTPS and over plain HTTP, by the launcher's
        HttpDownloadToFile and by curl: what TLS under Wine costs."""
        say("==> Download: HTTPS against plain HTTP, launcher and curl")
        plain = subprocess.Popen(
            [sys.executable, "-u", "-m", "http.server", "--bind", "127.0.0.1", "0"],
            cwd=self.www, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        try:
            line = b""
            deadline = time.monotonic() + 20
            while b"port" not in line and time.monotonic() < deadline:
                line = plain.stdout.readline()
                if not line:
                    break
            match = re.search(rb"port (\d+)", line)
            if not match:
                raise BenchFailed("the plain HTTP server did not start")
            plain_url = "http://127.0.0.1:%s/builds/%s" % (match.group(1).decode(), archive_name)
            secure_url = self.url("builds/" + archive_name)
            target = os.path.join(self.run_dir, "fetched.zip")
            ca = os.path.join(self.certs, "ca.pem")
            download = {"launcherHttps": [], "launcherHttp": [], "curlHttps": [], "curlHttp": []}
            for _ in range(2):
                for key, url in (("launcherHttps", secure_url), ("launcherHttp", plain_url)):
                    if os.path.exists(target):
                        os.remove(target)
                    subprocess.run(["sync"], timeout=300)
                    out = os.path.join(self.run_dir, "fetch.json")
                    self.wine([self.bench_exe, "fetch", windows_path(out), url,
                               windows_path(target)])
                    with open(out) as f:
                        fetched = json.load(f)
                    if not fetched["ok"]:
                        raise BenchFailed("HttpDownloadToFile failed on %s" % url)
                    download[key].append(fetched)
                for key, url in (("curlHttps", secure_url), ("curlHttp", plain_url)):
                    os.remove(target)
                    subprocess.run(["sync"], timeout=300)
                    download[key].append({"seconds": self.tool(
                        ["curl", "-sS", "--fail", "--cacert", ca, "-o", target, url])})
            os.remove(target)
            self.results["download"] = download
        finally:
            plain.terminate()
            plain.wait(timeout=10)

    # --- 3: peak memory against the archive's size. ---

    def bench_memory(self, pools):
        self.results["memory"] = []
        for target_mib in self.args.memory_mib:
            say("==> Memory: full update of a %d MiB archive" % target_mib)
            source = os.path.join(self.run_dir, "memory-source")
            # Mostly random entries, stored (-n), so that the archive has the
            # size asked for and zip does not take minutes over it.
            random_fraction = 0.875
            content = int(target_mib * MIB / (random_fraction + (1 - random_fraction) * 0.45))
            game = make_build(source, content, 1000, random_fraction, target_mib, self.game_exe,
                              pools)
            archive_name = "memory-%d.zip" % target_mib
            archive = os.path.join(self.www, "builds", archive_name)
            subprocess.run(["zip", "-r", "-q", "-X", "-n", ".pak", archive, "VornGame"],
                           cwd=source, check=True, timeout=TOOL_TIMEOUT)
            files, size = tree_stats(game)
            shutil.rmtree(source)
            digest = sha256_of(archive)
            manifest_url = self.publish_manifest(archive_name + ".json", archive_name, digest)
            base = os.path.join(self.run_dir, "memory")
            install = os.path.join(base, "game_online")
            os.makedirs(install)
            make_player_data(install, 7, pools)
            run = self.run_update(manifest_url, base, install, "memory-%d" % target_mib)
            if not os.path.isfile(os.path.join(install, "Game.exe")):
                raise BenchFailed("the %d MiB update installed no Game.exe" % target_mib)
            self.results["memory"].append({
                "archiveBytes": os.path.getsize(archive), "files": files, "bytes": size,
                "seconds": run["end"], "windows": run["memory"], "linux": run["linux"]})
            shutil.rmtree(base)
            os.remove(archive)

    # --- 4: the window. ---

    def bench_paint(self):
        say("==> Paint path: frames on an off-screen DC")
        out = os.path.join(self.run_dir, "paint.json")
        seconds, code, output = self.wine([self.bench_exe, "paint", windows_path(out), "400"],
                                          timeout=600)
        if not os.path.exists(out):
            raise BenchFailed("vorn_bench paint wrote nothing (exit %d): %s" % (code, output))
        with open(out) as f:
            paint = json.load(f)
        if code != 0 or not paint["ok"]:
            raise BenchFailed("the paint bench did not find the launcher's resources")
        self.results["paint"] = paint

    def probe_info(self):
        _, code, output = self.wine([self.probe, "info"], timeout=60)
        if code != 0:
            return None
        try:
            return json.loads(output.strip().splitlines()[-1])
        except (ValueError, IndexError):
            return None

    def bar_pixels(self, origin):
        x = origin[0] + BAR_RECT[0]
        y = origin[1] + BAR_RECT[1]
        crop = "%dx%d+%d+%d" % (BAR_RECT[2] - BAR_RECT[0], BAR_RECT[3] - BAR_RECT[1], x, y)
        shot = subprocess.run(["import", "-window", "root", "-crop", crop, "rgb:-"], env=self.env,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60)
        return shot.stdout

    def sample_cpu(self, launcher_pid):
        """CPU of the launcher, of every process of the prefix and of Xvfb over
        CPU_WINDOW seconds, in percent of one core."""
        pids = set(pids_of_prefix(self.prefix)) | {launcher_pid}
        watched = {pid: cpu_ticks(pid) for pid in pids}
        xvfb_start = cpu_ticks(self.xvfb.pid)
        start = time.monotonic()
        time.sleep(CPU_WINDOW)
        elapsed = time.monotonic() - start
        per_process = {}
        for pid, before in watched.items():
            after = cpu_ticks(pid)
            if before is None or after is None:
                continue
            name = "%s[%d]" % (process_name(pid), pid)
            per_process[name] = 100.0 * (after - before) / CLOCK_TICKS / elapsed
        launcher_name = "%s[%d]" % (process_name(launcher_pid), launcher_pid)
        xvfb_end = cpu_ticks(self.xvfb.pid)
        return {"launcher": per_process.get(launcher_name), "wineTotal": sum(per_process.values()),
                "perProcess": per_process, "seconds": elapsed,
                "xvfb": 100.0 * (xvfb_end - xvfb_start) / CLOCK_TICKS / elapsed}

    def bench_window_cpu(self, pools):
        say("==> Window: CPU of the real launcher, idle and while the bar sweeps")
        # A tiny build behind a response that sends no length and holds: the
        # bar stays indeterminate until we let it go.
        source = os.path.join(self.run_dir, "sweep-source")
        make_build(source, 256 * 1024, 8, 0.5, 3, self.game_exe, pools)
        archive = os.path.join(self.www, "builds", "sweep.zip")
        subprocess.run(["zip", "-r", "-q", "-X", archive, "VornGame"], cwd=source, check=True,
                       timeout=120)
        self.publish_manifest("version.json", "sweep.zip", sha256_of(archive),
                              behaviour="_nolength/_hold/sweep/")
        release = os.path.join(self.www, "_release", "sweep")
        folder = os.path.join(self.run_dir, "window")
        os.makedirs(folder)
        exe = os.path.join(folder, os.path.basename(self.launcher_exe))
        shutil.copy(self.launcher_exe, exe)
        subprocess.run(["xdotool", "mousemove", "5", "5"], env=self.env, timeout=30)
        self.launcher = subprocess.Popen([self.wine_run, exe], env=self.env,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                         stdin=subprocess.DEVNULL)
        info = None
        deadline = time.monotonic() + WINDOW_TIMEOUT
        while info is None and time.monotonic() < deadline and self.launcher.poll() is None:
            info = self.probe_info()
        if info is None:
            raise BenchFailed("the launcher window did not appear")
        pids = windows_process(self.prefix, os.path.basename(exe))
        if len(pids) != 1:
            raise BenchFailed("cannot tell the launcher's Wine process: %s" % pids)
        pid = pids[0]
        origin = info["origin"]
        window = {}

        time.sleep(2)
        window["idleBefore"] = self.sample_cpu(pid)

        subprocess.run(["xdotool", "mousemove", str(origin[0] + ONLINE_BUTTON[0]),
                        str(origin[1] + ONLINE_BUTTON[1])], env=self.env, check=True, timeout=30)
        time.sleep(0.3)
        subprocess.run(["xdotool", "click", "1"], env=self.env, check=True, timeout=30)
        # Off the button again, so that no hover repaint mixes in.
        subprocess.run(["xdotool", "mousemove", "5", "5"], env=self.env, timeout=30)
        deadline = time.monotonic() + WINDOW_TIMEOUT
        while time.monotonic() < deadline:
            with open(self.server_log) as f:
                if "/_hold/sweep/builds/sweep.zip" in f.read():
                    break
            time.sleep(0.1)
        else:
            raise BenchFailed("the launcher did not ask for the held archive")
        time.sleep(1.0)
        first = self.bar_pixels(origin)
        time.sleep(0.3)
        second = self.bar_pixels(origin)
        if not first or first == second:
            raise BenchFailed("the bar does not sweep")
        window["sweep"] = self.sample_cpu(pid)

        os.makedirs(os.path.dirname(release), exist_ok=True)
        with open(release, "w"):
            pass
        version = os.path.join(folder, "game_online", "version.txt")
        deadline = time.monotonic() + WINDOW_TIMEOUT
        done = False
        while not done and time.monotonic() < deadline:
            info = self.probe_info()
            done = (info is not None and os.path.exists(version)
                    and all(b["enabled"] for b in info["buttons"]))
            time.sleep(0.2)
        if not done:
            raise BenchFailed("the launcher did not finish the update after the hold")
        time.sleep(2)
        window["idleAfter"] = self.sample_cpu(pid)

        self.wine([self.probe, "close"], timeout=60)
        try:
            self.launcher.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.launcher.kill()
            self.launcher.wait()
        self.results["window"] = window
        shutil.rmtree(source)

    # --- 5: the release executable. ---

    def bench_size(self):
        size = os.path.getsize(self.release_exe)
        stripped = os.path.join(self.run_dir, "stripped.exe")
        subprocess.run(["x86_64-w64-mingw32-strip", "-o", stripped, self.release_exe],
                       check=True, timeout=60)
        sections = {}
        headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-h", self.release_exe],
                                 check=True, stdout=subprocess.PIPE, timeout=60).stdout.decode()
        for line in headers.splitlines():
            parts = line.split()
            if len(parts) >= 3 and parts[0].isdigit() and parts[1].startswith("."):
                sections[parts[1]] = int(parts[2], 16)
        imports = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", self.release_exe],
                                 check=True, stdout=subprocess.PIPE, timeout=60).stdout.decode()
        dlls = sorted(set(re.findall(r"DLL Name: (\S+)", imports)))
        assets = {}
        for path in ("icon/icon.ico", "background/background.jpg", "font/BlockTermCyrFont.ttf",
                     "launcher.manifest"):
            assets[path] = os.path.getsize(os.path.join(REPO, "resources", path))
        self.results["size"] = {"bytes": size, "strippedBytes": os.path.getsize(stripped),
                                "sections": sections, "dlls": dlls, "assets": assets}
        os.remove(stripped)

    # --- The whole run. ---

    def run(self):
        self.started = datetime.datetime.now()
        self.prepare()
        say("==> Making the byte pools of the synthetic builds")
        pools = Pools(2024)
        for name, action in (("update", lambda: self.bench_update(pools)),
                             ("memory", lambda: self.bench_memory(pools)),
                             ("paint", self.bench_paint),
                             ("window", lambda: self.bench_window_cpu(pools)),
                             ("size", self.bench_size)):
            try:
                action()
            except Exception as error:  # one part failing must not hide the others
                detail = "".join(traceback.format_exception_only(type(error), error)).strip()
                self.failures.append("%s: %s" % (name, detail))
                say("!!! %s failed: %s" % (name, detail))
                if not isinstance(error, BenchFailed):
                    traceback.print_exc()
        self.finished = datetime.datetime.now()


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

    import bench_report  # beside this file

    bench = Bench(args)
    try:
        bench.run()
    except BenchFailed as error:
        bench.failures.append(str(error))
        say("!!! %s" % error)
    except KeyboardInterrupt:
        bench.failures.append("interrupted")
    finally:
        bench.cleanup()
    if not hasattr(bench, "finished"):
        bench.started = getattr(bench, "started", datetime.datetime.now())
        bench.finished = datetime.datetime.now()
    text = bench_report.write(bench)
    say()
    say(text)
    return 1 if bench.failures else 0


if __name__ == "__main__":
    # No __pycache__ in the source tree.
    sys.dont_write_bytecode = True
    sys.path.insert(0, HERE)
    sys.exit(main())
