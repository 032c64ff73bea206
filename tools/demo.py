#!/usr/bin/env python3
"""make demo: the demo launcher installs, starts and updates a real game build.

    tools/demo.py BUILD_DIR [--headless]

Sets up BUILD_DIR/demo-run/ afresh: a local HTTPS update server on the demo
port, the test CA trusted in the build's Wine prefix, a launcher folder with
VornLauncherDemo.exe, and version 1.0.0 of the demo game published for both
builds with tools/publish, through a throttled URL so that the download and
its progress bar can be watched.

With a display (and without --headless) the launcher opens there for you to
click; each build gets version 1.1.0 once its game has been started, so that
the next click shows an update that keeps the saves.

Without a display it runs on Xvfb and plays the player itself with the real
pointer: installs and starts the online build, updates it to 1.1.0, checks
that the game was replaced and the save of the first start survived, then
starts the official build. Screenshots go to BUILD_DIR/demo-run/screenshots/.
Exits non-zero when the game did not start or a save was lost.
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
PUBLISH = os.path.join(HERE, "publish")
HARNESS = os.path.join(REPO, "tests", "harness")

SCREEN = "1280x1024x24"
IN_XVFB = "VORN_DEMO_IN_XVFB"
# A folder name with blanks, as players' folders often have.
LAUNCHER_FOLDER = "Vorn RPG Online"
LAUNCHER_TITLE = "^Vorn RPG Online$"
GAME_TITLE = "демо-игра"
ERROR_TITLE = "^Ошибка$"
SAVE_FILE = os.path.join("Save", "demo_save.txt")
# Client-area points of the launcher's buttons and of the game's close button.
ONLINE_BUTTON = (340, 260)
OFFICIAL_BUTTON = (340, 314)
GAME_CLOSE_BUTTON = (525, 220)
# How long the throttled archive download should take, in seconds.
DOWNLOAD_SECONDS = 6
WAIT_FOR_GAME = 180
WAIT_FOR_WINDOW = 90

BUILDS = {
    "online": {"manifest": "version.json", "folder": "game_online",
               "button": ONLINE_BUTTON, "label": "Онлайн версия"},
    "official": {"manifest": "version_offline.json", "folder": "game_offline",
                 "button": OFFICIAL_BUTTON, "label": "Официальная версия"},
}


class DemoFailed(Exception):
    pass


def say(text=""):
    print(text, flush=True)


def step(text):
    say("==> " + text)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_cache_value(build_dir, name):
    with open(os.path.join(build_dir, "CMakeCache.txt"), encoding="utf-8") as f:
        for line in f:
            match = re.match(r"%s:[A-Z]+=(.*)$" % re.escape(name), line.strip())
            if match:
                return match.group(1)
    raise DemoFailed("%s is not in %s/CMakeCache.txt; run `make build` first" % (name, build_dir))


class Demo:
    def __init__(self, build_dir):
        self.build_dir = os.path.abspath(build_dir)
        self.run_dir = os.path.join(self.build_dir, "demo-run")
        self.www = os.path.join(self.run_dir, "www")
        self.manifests = os.path.join(self.www, "Launcher")
        self.staging = os.path.join(self.run_dir, "builds")
        self.shots_dir = os.path.join(self.run_dir, "screenshots")
        self.launcher_dir = os.path.join(self.run_dir, LAUNCHER_FOLDER)
        self.wine_run = os.path.join(self.build_dir, "wine-run.sh")
        self.prefix = os.path.join(self.build_dir, "wineprefix")
        self.launcher_exe = os.path.join(self.build_dir, "demo", "VornLauncherDemo.exe")
        self.game_exe = os.path.join(self.build_dir, "demo", "game-build", "Game.exe")
        self.trust_ca = os.path.join(self.build_dir, "tests", "bin", "trust_ca.exe")
        self.server = None
        self.launcher = None
        self.shots = []
        self.report = []
        self.published = {}

    # --- Set-up. ---

    def prepare(self):
        for path in (self.wine_run, self.launcher_exe, self.game_exe, self.trust_ca):
            if not os.path.isfile(path):
                raise DemoFailed("%s is missing; run `make build BUILD_DIR=%s` first"
                                 % (path, self.build_dir))
        self.port = int(read_cache_value(self.build_dir, "VORN_DEMO_PORT"))
        self.stop_stale_server()
        shutil.rmtree(self.run_dir, ignore_errors=True)
        for folder in (self.manifests, self.staging, self.shots_dir, self.launcher_dir):
            os.makedirs(folder)

        step("certificates for https://localhost:%d, CA trusted in %s" % (self.port, self.prefix))
        certs = os.path.join(self.run_dir, "certs")
        subprocess.run([os.path.join(HARNESS, "make_test_certs.sh"), certs], check=True)
        result = subprocess.run([self.wine_run, self.trust_ca,
                                 windows_path(os.path.join(certs, "ca.der"))],
                                capture_output=True, text=True)
        if result.returncode != 0:
            raise DemoFailed("trust_ca.exe failed: %s" % (result.stdout + result.stderr).strip())

        step("update server on https://localhost:%d serving %s" % (self.port, self.www))
        port_file = os.path.join(self.run_dir, "server.port")
        self.server_out = open(os.path.join(self.run_dir, "server.out"), "w")
        self.server = subprocess.Popen(
            [sys.executable, os.path.join(HARNESS, "update_server.py"), "--root", self.www,
             "--certfile", os.path.join(certs, "server.pem"),
             "--keyfile", os.path.join(certs, "server.key"), "--port", str(self.port),
             "--port-file", port_file, "--log", os.path.join(self.run_dir, "requests.log"),
             "--pid-file", os.path.join(self.run_dir, "server.pid")],
            stdout=self.server_out, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 30
        while not os.path.exists(port_file):
            if self.server.poll() is not None or time.monotonic() > deadline:
                self.server_out.flush()
                with open(self.server_out.name) as f:
                    raise DemoFailed("the update server did not start:\n" + f.read())
            time.sleep(0.1)

        shutil.copy2(self.launcher_exe, self.launcher_dir)
        for build in BUILDS:
            self.publish(build, "1.0.0")

    def stop_stale_server(self):
        """A server left by an interrupted run would hold the port."""
        try:
            with open(os.path.join(self.run_dir, "server.pid")) as f:
                pid = int(f.read().strip())
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read()
        except (OSError, ValueError):
            return
        if b"update_server.py" in cmdline and self.run_dir.encode() in cmdline:
            os.kill(pid, signal.SIGTERM)
            time.sleep(1)

    def make_build(self, version):
        """A game build: our Game.exe and some data; 1.0.0 and 1.1.0 differ in
        their files, so the update can be seen to replace the build."""
        folder = os.path.join(self.staging, version)
        if os.path.isdir(folder):
            return folder
        os.makedirs(os.path.join(folder, "Data"))
        shutil.copy2(self.game_exe, folder)
        # Incompressible, so the archive is big enough to watch it arrive.
        world = random.Random(version).randbytes(2 * 1024 * 1024)
        with open(os.path.join(folder, "Data", "world.dat"), "wb") as f:
            f.write(world)
        with open(os.path.join(folder, "Data", "readme.txt"), "w", encoding="utf-8") as f:
            f.write("Vorn RPG Online, демо-сборка %s\n" % version)
        extra = "intro-1.0.txt" if version == "1.0.0" else "quests-%s.txt" % version
        with open(os.path.join(folder, "Data", extra), "w", encoding="utf-8") as f:
            f.write("only in %s\n" % version)
        return folder

    def publish(self, build, version):
        folder = self.make_build(version)
        size = sum(os.path.getsize(os.path.join(d, n))
                   for d, _, names in os.walk(folder) for n in names)
        rate = max(size // DOWNLOAD_SECONDS, 20000)
        archive = "game-%s-%s.zip" % (build, version)
        url = "https://localhost:%d/_slow/%d/Launcher/%s" % (self.port, rate, archive)
        manifest = os.path.join(self.manifests, BUILDS[build]["manifest"])
        command = [sys.executable, PUBLISH, folder, "--version", version, "--url", url,
                   "--out", self.manifests, "--manifest", BUILDS[build]["manifest"]]
        if os.path.exists(manifest):
            command += ["--previous", manifest]
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            raise DemoFailed("tools/publish failed: " + result.stderr.strip())
        step("published %s %s at %s (%d bytes/s)" % (build, version, url, rate))
        self.published[build] = (version, archive)

    def start_launcher(self):
        step("starting %s" % os.path.join(self.launcher_dir, "VornLauncherDemo.exe"))
        self.launcher_out = open(os.path.join(self.run_dir, "launcher.out"), "w")
        self.launcher = subprocess.Popen(
            [self.wine_run, os.path.join(self.launcher_dir, "VornLauncherDemo.exe")],
            cwd=self.launcher_dir, stdout=self.launcher_out, stderr=subprocess.STDOUT)

    def cleanup(self):
        env = dict(os.environ, WINEPREFIX=self.prefix)
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        if self.launcher is not None:
            try:
                self.launcher.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.launcher.kill()
        if self.server is not None and self.server.poll() is None:
            self.server.terminate()
            try:
                self.server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.server.kill()
        for log in (getattr(self, "server_out", None), getattr(self, "launcher_out", None)):
            if log is not None:
                log.close()

    # --- What the launcher and the game left on disk. ---

    def saves(self, build):
        path = os.path.join(self.launcher_dir, BUILDS[build]["folder"], SAVE_FILE)
        try:
            with open(path, "rb") as f:
                return [line for line in f.read().decode("utf-8").splitlines() if line.strip()]
        except FileNotFoundError:
            return []

    def installed_version(self, build):
        try:
            with open(os.path.join(self.launcher_dir, BUILDS[build]["folder"],
                                   "version.txt"), encoding="utf-8") as f:
                return f.read()
        except FileNotFoundError:
            return None

    # --- The X side: windows, pointer, screenshots. ---

    @staticmethod
    def xdotool(*args):
        result = subprocess.run(["xdotool"] + list(args), capture_output=True, text=True)
        return result.returncode, result.stdout

    def find_window(self, title):
        code, out = self.xdotool("search", "--onlyvisible", "--name", title)
        ids = out.split()
        return ids[0] if code == 0 and ids else None

    def geometry(self, window):
        code, out = self.xdotool("getwindowgeometry", "--shell", window)
        values = dict(line.split("=", 1) for line in out.split() if "=" in line)
        if code != 0 or not {"X", "Y", "WIDTH", "HEIGHT"} <= values.keys():
            return None
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def wait_for_window(self, title, what, timeout=WAIT_FOR_WINDOW):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.check_for_error_box()
            window = self.find_window(title)
            box = self.geometry(window) if window else None
            if box:
                return window, box
            time.sleep(0.2)
        raise DemoFailed("the %s window did not appear within %d s" % (what, timeout))

    def click(self, box, point):
        x, y = box[0] + point[0], box[1] + point[1]
        code, _ = self.xdotool("mousemove", "--sync", str(x), str(y), "click", "1")
        if code != 0:
            raise DemoFailed("xdotool could not click at %d,%d" % (x, y))

    def screenshot(self, name, box=None, note=""):
        path = os.path.join(self.shots_dir, name)
        command = ["import", "-window", "root"]
        if box:
            command += ["-crop", "%dx%d+%d+%d" % (box[2], box[3], box[0], box[1]), "+repage"]
        subprocess.run(command + [path], check=True)
        self.shots.append((path, note))
        return path

    def check_for_error_box(self):
        window = self.find_window(ERROR_TITLE)
        if window is None:
            return
        time.sleep(0.5)
        self.screenshot("failure-error-box.png", None, "the launcher's error message")
        raise DemoFailed("the launcher reported an error (see screenshots/failure-error-box.png)")

    def launcher_alive(self):
        if self.launcher.poll() is not None:
            raise DemoFailed("the launcher exited (status %s)" % self.launcher.returncode)

    # --- One click on a build's button, as a player makes it. ---

    def wait_for_request(self, archive, timeout):
        log = os.path.join(self.run_dir, "requests.log")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.launcher_alive()
            self.check_for_error_box()
            try:
                with open(log, encoding="utf-8") as f:
                    if any(archive in line for line in f):
                        return True
            except FileNotFoundError:
                pass
            time.sleep(0.1)
        return False

    def wait_for_save(self, build, count):
        deadline = time.monotonic() + WAIT_FOR_GAME
        while time.monotonic() < deadline:
            self.launcher_alive()
            self.check_for_error_box()
            if len(self.saves(build)) >= count:
                return
            time.sleep(0.2)
        self.screenshot("failure-%s-no-game.png" % build, None, "no game start")
        raise DemoFailed("the %s game did not start within %d s (see screenshots/)"
                         % (build, WAIT_FOR_GAME))

    def play(self, build, number, shot_prefix):
        """Clicks the build's button, watches the download, waits for the game
        to write its save, takes the pictures, closes the game."""
        version, archive = self.published[build]
        before = len(self.saves(build))
        step("clicking «%s» (%s %s is published)" % (BUILDS[build]["label"], build, version))
        self.click(self.launcher_box, BUILDS[build]["button"])

        if self.wait_for_request(archive, 60):
            time.sleep(DOWNLOAD_SECONDS * 0.4)
            self.screenshot("%s-downloading.png" % shot_prefix, self.launcher_box,
                            "%s %s downloading, progress bar" % (build, version))
        else:
            say("    (the launcher did not download %s)" % archive)
        self.wait_for_save(build, before + 1)
        game, game_box = self.wait_for_window(GAME_TITLE, "game")
        # The status line is set once the game has been started; let both paint.
        time.sleep(1.0)
        self.screenshot("%s-launched.png" % shot_prefix, self.launcher_box,
                        "launcher after the start: status «... запущена.»")
        self.screenshot("%s-game.png" % shot_prefix, game_box,
                        "the game window of %s %s" % (build, version))
        self.screenshot("%s-screen.png" % shot_prefix, None, "the whole screen")
        saves = self.saves(build)
        self.report.append("run %d: %s installed %r, save file: %s"
                           % (number, build, self.installed_version(build), " | ".join(saves)))

        step("closing the game with its «Выйти» button")
        self.click(game_box, GAME_CLOSE_BUTTON)
        deadline = time.monotonic() + 30
        while self.find_window(GAME_TITLE) is not None:
            if time.monotonic() > deadline:
                raise DemoFailed("the game window did not close")
            time.sleep(0.2)
        return saves

    # --- The two ways of running. ---

    def run_headless(self):
        self.start_launcher()
        self.launcher_window, self.launcher_box = self.wait_for_window(LAUNCHER_TITLE,
                                                                       "launcher")
        if self.launcher_box[2:] != (680, 470):
            raise DemoFailed("the launcher's client area is %dx%d, not 680x470"
                             % self.launcher_box[2:])
        time.sleep(1.0)
        self.screenshot("01-launcher.png", self.launcher_box, "the launcher, ready")

        first = self.play("online", 1, "02-online-1.0.0")
        self.expect(len(first) == 1 and "версия 1.0.0" in first[0],
                    "the first start wrote its save with version 1.0.0")
        self.expect(self.installed_version("online") == "1.0.0", "game_online\\version.txt is 1.0.0")

        self.publish("online", "1.1.0")
        second = self.play("online", 2, "03-online-1.1.0")
        online = os.path.join(self.launcher_dir, "game_online")
        self.expect(self.installed_version("online") == "1.1.0",
                    "game_online\\version.txt is 1.1.0 after the update")
        self.expect(os.path.isfile(os.path.join(online, "Data", "quests-1.1.0.txt"))
                    and not os.path.exists(os.path.join(online, "Data", "intro-1.0.txt")),
                    "the update replaced the build's files (1.1.0's in, 1.0.0's gone)")
        self.expect(second[:1] == first,
                    "the save written by the first run survived the update")
        self.expect(len(second) == 2 and second[1].startswith("сохранение 2: версия 1.1.0"),
                    "the updated game added its own save (сохранение 2, version 1.1.0)")

        third = self.play("official", 3, "04-official-1.0.0")
        self.expect(len(third) == 1 and "официальная версия" in third[0],
                    "the official build was installed and started in game_offline")
        self.expect(self.saves("online") == second, "the online build's saves were not touched")

    def run_interactive(self):
        self.start_launcher()
        say()
        say("The launcher is open on %s." % os.environ.get("DISPLAY"))
        say("  1. Click «Онлайн версия»: it downloads 1.0.0 (watch the bar), installs it")
        say("     and starts the demo game, which writes a save.")
        say("  2. Once the game runs, 1.1.0 is published. Close the game and click again:")
        say("     the launcher updates the build and the game lists the old save and a new one.")
        say("  «Официальная версия» does the same for the official build.")
        say("Close the launcher (and the game) to finish.")
        say()
        updated = set()
        while self.launcher.poll() is None or self.find_window(GAME_TITLE) is not None:
            for build in BUILDS:
                if build not in updated and self.saves(build):
                    updated.add(build)
                    self.publish(build, "1.1.0")
                    say("    %s 1.1.0 is out: close the game and click «%s» again"
                        % (build, BUILDS[build]["label"]))
            time.sleep(0.5)
        started = False
        for build in BUILDS:
            saves = self.saves(build)
            started = started or bool(saves)
            self.report.append("%s: installed %s, saves: %s"
                               % (build, self.installed_version(build) or "nothing",
                                  " | ".join(saves) or "none"))
            numbers = [int(m.group(1)) for m in
                       (re.match(r"сохранение (\d+):", line) for line in saves) if m]
            self.expect(numbers == list(range(1, len(saves) + 1)),
                        "%s: every save of every start is still there" % build)
        self.expect(started, "the game was started")

    def expect(self, condition, text):
        self.report.append(("ok     " if condition else "FAILED ") + text)
        if not condition:
            raise DemoFailed(text)

    def summary(self):
        say()
        say("What happened:")
        for line in self.report:
            say("  " + line)
        if self.shots:
            say("Screenshots:")
            for path, note in self.shots:
                say("  %s  (%s)" % (path, note))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("build_dir", nargs="?", default="build")
    parser.add_argument("--headless", action="store_true",
                        help="run on Xvfb and click by itself even when a display is there")
    args = parser.parse_args()

    inside_xvfb = os.environ.get(IN_XVFB) == "1"
    if (args.headless or not os.environ.get("DISPLAY")) and not inside_xvfb:
        command = ["xvfb-run", "-a", "-s", "-screen 0 " + SCREEN,
                   "env", IN_XVFB + "=1", sys.executable, os.path.abspath(__file__),
                   args.build_dir]
        # Its own process group, so that a stop reaches everything in it and
        # the inner run gets to clean up.
        child = subprocess.Popen(command, start_new_session=True)

        def forward(signum, _frame):
            try:
                os.killpg(child.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(signum, forward)
        return child.wait()

    # Stopping by a signal still runs the clean-up below.
    def stop(signum, _frame):
        raise SystemExit(128 + signum)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)

    demo = Demo(args.build_dir)
    status = 0
    try:
        demo.prepare()
        if inside_xvfb:
            demo.run_headless()
        else:
            demo.run_interactive()
    except (DemoFailed, subprocess.CalledProcessError, OSError) as e:
        say("demo: FAILED: %s" % e)
        status = 1
        if inside_xvfb and os.path.isdir(demo.shots_dir):
            try:
                demo.screenshot("failure-screen.png", None, "the screen when it failed")
            except (subprocess.CalledProcessError, OSError):
                pass
    except KeyboardInterrupt:
        say("demo: interrupted")
        status = 130
    except SystemExit as e:
        say("demo: stopped by a signal")
        status = e.code
    finally:
        demo.cleanup()
    demo.summary()
    if status == 0:
        say("demo: passed")
    return status


if __name__ == "__main__":
    sys.exit(main())
