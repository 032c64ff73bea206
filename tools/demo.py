#!/usr/bin/env python3
"""make demo: the demo launcher installs, starts and updates a real game build.

    tools/demo.py BUILD_DIR [--headless]

Serves the demo game, published with tools/publish, from a local HTTPS server
through a throttled URL, so that the download can be watched. With a display
(and without --headless) the launcher opens there for you to click; each build
gets 1.1.0 once its game has run. Without one it plays the player on Xvfb:
installs and starts the online build, updates it, checks that the build was
replaced and the first save survived, then starts the official build;
then it publishes launcher 0.3.0.0 and starts the launcher again, which
replaces itself with it; last it shows a long error at 96 DPI and, with the
display at 144 DPI, the window and the same error again. Everything lands in
BUILD_DIR/demo-run/, the screenshots in screenshots/.
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

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from winehelp import Failed, Rig, say, wait_for, windows_path  # noqa: E402

# A folder name with blanks, as players' folders often have.
LAUNCHER_FOLDER = "Vorn RPG Online"
GAME_TITLE = "демо-игра"
GAME_CLOSE_BUTTON = (525, 220)  # in the client area, as the buttons below
DOWNLOAD_SECONDS = 6  # how long the throttled archive download takes
BUILDS = {"online": ("version.json", "game_online", (340, 260), "Онлайн версия"),
          "official": ("version_offline.json", "game_offline", (340, 314), "Официальная версия")}


class Demo:
    def __init__(self, build_dir, headless):
        self.run_dir = os.path.join(os.path.abspath(build_dir), "demo-run")
        self.rig = Rig(build_dir, self.run_dir, "VORN_DEMO_PORT")
        self.headless = headless
        self.shots_dir = os.path.join(self.run_dir, "screenshots")
        self.launcher_dir = os.path.join(self.run_dir, LAUNCHER_FOLDER)
        self.www = os.path.join(self.run_dir, "www")
        self.launcher = None
        self.shots, self.report, self.published = [], [], {}

    def prepare(self):
        demo = os.path.join(self.rig.build, "demo")
        self.launcher_exe = os.path.join(demo, "VornLauncherDemo.exe")
        self.next_launcher_exe = os.path.join(demo, "VornLauncherDemoNext.exe")
        self.game_exe = os.path.join(demo, "game-build", "Game.exe")
        self.rig.need(self.launcher_exe, self.next_launcher_exe, self.game_exe)
        shutil.rmtree(self.run_dir, ignore_errors=True)
        for folder in (os.path.join(self.www, "Launcher"), os.path.join(self.www, "builds"),
                       self.shots_dir, self.launcher_dir):
            os.makedirs(folder)
        if self.headless:
            self.rig.start_screen()
        self.rig.start_server(self.www)
        for build in BUILDS:
            self.publish(build, "1.0.0")
        exe = shutil.copy2(self.launcher_exe, self.launcher_dir)
        self.launcher = self.rig.start([exe], self.launcher_dir,
                                       os.path.join(self.run_dir, "launcher.out"))

    def publish(self, build, version):
        """A game build of our Game.exe and some data, by tools/publish; 1.0.0
        and 1.1.0 differ in their files, so the update can be seen to replace
        the build."""
        folder = os.path.join(self.run_dir, "builds", version)
        if not os.path.isdir(folder):
            os.makedirs(os.path.join(folder, "Data"))
            shutil.copy2(self.game_exe, folder)
            extra = "intro-1.0.txt" if version == "1.0.0" else "quests-%s.txt" % version
            for name, text in (("readme.txt", "Vorn RPG Online, демо-сборка %s\n" % version),
                               (extra, "only in %s\n" % version)):
                with open(os.path.join(folder, "Data", name), "w", encoding="utf-8") as f:
                    f.write(text)
            # Incompressible, so the archive is big enough to watch it arrive.
            with open(os.path.join(folder, "Data", "world.dat"), "wb") as f:
                f.write(random.Random(version).randbytes(2 * 1024 * 1024))
        size = sum(os.path.getsize(os.path.join(d, n)) for d, _, names in os.walk(folder)
                   for n in names)
        rate = max(size // DOWNLOAD_SECONDS, 20000)
        archive = "game-%s-%s.zip" % (build, version)
        url = self.rig.url("_slow/%d/builds/%s" % (rate, archive))
        name = BUILDS[build][0]
        live = self.rig.url("Launcher/" + name)
        upload = os.path.join(self.run_dir, "upload", build + "-" + version)
        result = subprocess.run(
            [sys.executable, os.path.join(os.path.dirname(__file__), "publish"), folder,
             "--version", version, "--url", url, "--out", upload, "--ca-file", self.rig.ca]
            + (["--official"] if build == "official" else [])
            + (["--previous", live]
               if os.path.exists(os.path.join(self.www, "Launcher", name)) else ["--first"]),
            capture_output=True, text=True)
        if result.returncode != 0:
            raise Failed("tools/publish failed: " + result.stderr.strip())
        # Uploaded as the tool says, the archive and its index first and the
        # manifest last; the test server reads /_slow/<rate>/ as a throttle,
        # not a folder.
        for upload_name in (archive, archive + ".files"):
            shutil.copy2(os.path.join(upload, "_slow", str(rate), "builds", upload_name),
                         os.path.join(self.www, "builds"))
        shutil.copy2(os.path.join(upload, "Launcher", name), os.path.join(self.www, "Launcher"))
        say("==> published %s %s at %s (%d bytes/s)" % (build, version, url, rate))
        self.published[build] = (version, archive)

    def installed(self, build, path="version.txt"):
        """A file of the build's install folder, or None."""
        path = os.path.join(self.launcher_dir, BUILDS[build][1], path)
        if not os.path.isfile(path):
            return None
        with open(path, encoding="utf-8") as f:
            return f.read()

    def saves(self, build):
        text = self.installed(build, os.path.join("Save", "demo_save.txt")) or ""
        return [line for line in text.splitlines() if line.strip()]

    def screenshot(self, name, box, note):
        self.rig.grab(os.path.join(self.shots_dir, name), box)
        self.shots.append((os.path.join(self.shots_dir, name), note))

    def watch(self, condition):
        """condition, failing at once when the launcher exits or shows an error."""
        def check():
            if self.launcher.poll() is not None:
                raise Failed("the launcher exited (status %s)" % self.launcher.returncode)
            if self.rig.find_window("^Ошибка$"):
                time.sleep(0.5)
                self.screenshot("failure-error-box.png", None, "the launcher's error message")
                raise Failed("the launcher reported an error (see screenshots/)")
            return condition()
        return check

    def play(self, build, number, prefix):
        """Clicks the build's button, watches the download, waits for the game
        to write its save, takes the pictures, closes the game."""
        version, archive = self.published[build]
        before = len(self.saves(build))
        say("==> clicking «%s» (%s %s is published)" % (BUILDS[build][3], build, version))
        self.rig.click(self.box, BUILDS[build][2])
        wait_for(self.watch(lambda: self.rig.requested(archive)), 60,
                 "the launcher did not download %s" % archive)
        time.sleep(DOWNLOAD_SECONDS * 0.4)
        self.screenshot("%s-downloading.png" % prefix, self.box,
                        "%s %s downloading, progress bar" % (build, version))
        wait_for(self.watch(lambda: len(self.saves(build)) > before), 180,
                 "the %s game did not start" % build, 0.2)
        game = wait_for(self.watch(lambda: self.rig.find_window(GAME_TITLE)), 90,
                        "the game window did not appear", 0.2)
        time.sleep(1.0)  # the status line is set once the game has started; let both paint
        self.screenshot("%s-launched.png" % prefix, self.box,
                        "launcher after the start: status «... запущена.»")
        self.screenshot("%s-game.png" % prefix, game, "the game window of %s %s" % (build,
                                                                                   version))
        self.screenshot("%s-screen.png" % prefix, None, "the whole screen")
        saves = self.saves(build)
        self.report.append("run %d: %s installed %r, save file: %s"
                           % (number, build, self.installed(build), " | ".join(saves)))
        say("==> closing the game with its «Выйти» button")
        self.rig.click(game, GAME_CLOSE_BUTTON)
        wait_for(lambda: not self.rig.find_window(GAME_TITLE), 30, "the game did not close", 0.2)
        return saves

    def run_headless(self):
        self.box = wait_for(self.watch(lambda: self.rig.find_window("^Vorn RPG Online$")), 90,
                            "the launcher window did not appear", 0.2)
        self.expect(self.box[2:] == (680, 470), "the launcher's client area is 680x470")
        time.sleep(1.0)
        self.screenshot("01-launcher.png", self.box, "the launcher, ready")
        first = self.play("online", 1, "02-online-1.0.0")
        self.expect(len(first) == 1 and "версия 1.0.0" in first[0],
                    "the first start wrote its save with version 1.0.0")
        self.expect(self.installed("online") == "1.0.0", "game_online\\version.txt is 1.0.0")
        self.publish("online", "1.1.0")
        second = self.play("online", 2, "03-online-1.1.0")
        self.expect(self.installed("online") == "1.1.0",
                    "game_online\\version.txt is 1.1.0 after the update")
        self.expect(self.installed("online", "Data/quests-1.1.0.txt") is not None
                    and self.installed("online", "Data/intro-1.0.txt") is None,
                    "the update replaced the build's files (1.1.0's in, 1.0.0's gone)")
        self.expect(second[:1] == first, "the save written by the first run survived the update")
        self.expect(len(second) == 2 and second[1].startswith("сохранение 2: версия 1.1.0"),
                    "the updated game added its own save (сохранение 2, version 1.1.0)")
        third = self.play("official", 3, "04-official-1.0.0")
        self.expect(len(third) == 1 and "официальная версия" in third[0],
                    "the official build was installed and started in game_offline")
        self.expect(self.saves("online") == second, "the online build's saves were not touched")
        self.update_launcher()
        self.long_error(96, "06")
        self.close_launcher()
        say("==> the display at 144 DPI (150 %%): the launcher again")
        self.rig.use_dpi_prefix(144)
        self.launcher = self.rig.start([self.launcher_path()], self.launcher_dir,
                                       os.path.join(self.run_dir, "launcher-144dpi.out"))
        self.box = wait_for(self.watch(lambda: self.rig.find_window("^Vorn RPG Online$")), 90,
                            "the launcher window did not appear at 144 DPI", 0.2)
        self.expect(self.box[2:] == (1020, 705), "at 144 DPI the client area is 1020x705")
        time.sleep(1.0)
        self.screenshot("07-launcher-144dpi.png", self.box, "the launcher at 144 DPI, ready")
        self.long_error(144, "08")

    def update_launcher(self):
        """Publishes launcher 0.3.0.0 with tools/publish launcher and starts the
        launcher again, as a player would the next day: it replaces itself."""
        url = self.rig.url("launcher/VornLauncherDemo-0.3.0.0.exe")
        upload = os.path.join(self.run_dir, "upload", "launcher-0.3.0.0")
        result = subprocess.run(
            [sys.executable, os.path.join(os.path.dirname(__file__), "publish"), "launcher",
             self.next_launcher_exe, "--version", "0.3.0.0", "--url", url, "--out", upload,
             "--ca-file", self.rig.ca],
            capture_output=True, text=True)
        if result.returncode != 0:
            raise Failed("tools/publish launcher failed: " + result.stderr.strip())
        os.makedirs(os.path.join(self.www, "launcher"))
        shutil.copy2(os.path.join(upload, "launcher", "VornLauncherDemo-0.3.0.0.exe"),
                     os.path.join(self.www, "launcher"))
        shutil.copy2(os.path.join(upload, "Launcher", "launcher.json"),
                     os.path.join(self.www, "Launcher"))
        say("==> published launcher 0.3.0.0; closing the launcher and starting it again")
        exe = os.path.join(self.launcher_dir, os.path.basename(self.launcher_exe))
        probe = os.path.join(self.rig.build, "tests", "bin", "window_probe.exe")
        self.rig.wine([probe, "--exe", windows_path(exe), "close"], timeout=120)
        self.launcher.wait(timeout=60)
        self.launcher = self.rig.start([exe], self.launcher_dir,
                                       os.path.join(self.run_dir, "launcher-2.out"))
        with open(self.next_launcher_exe, "rb") as f:
            later = f.read()

        def replaced():
            with open(exe, "rb") as f:
                return f.read() == later
        wait_for(replaced, 120, "the launcher did not replace itself", 0.2)
        self.launcher.wait(timeout=60)
        self.box = wait_for(lambda: self.rig.find_window("^Vorn RPG Online$"), 90,
                            "the new launcher's window did not appear", 0.2)
        time.sleep(1.0)
        self.screenshot("05-launcher-updated.png", self.box,
                        "the launcher after replacing itself: «Лаунчер обновлён до версии 0.3.0.0.»")
        self.expect(replaced() and not [name for name in os.listdir(self.launcher_dir)
                                        if ".next-" in name],
                    "the launcher replaced its own file with 0.3.0.0 and left nothing beside it")

    def launcher_path(self):
        return os.path.join(self.launcher_dir, os.path.basename(self.launcher_exe))

    def close_launcher(self):
        probe = os.path.join(self.rig.build, "tests", "bin", "window_probe.exe")
        self.rig.wine([probe, "--exe", windows_path(self.launcher_path()), "close"], timeout=120)
        self.launcher.wait(timeout=60)

    def long_error(self, dpi, number):
        """A manifest without its fields: the longest error the status line
        shows. Its first line stays on the status line, above the bar, ending
        in an ellipsis; the message box has the whole text."""
        def scaled(value):
            return (value * dpi + 48) // 96
        # The status strip below its first line, where a second line would be
        # cut through by the bar.
        below = (self.box[0] + scaled(68), self.box[1] + scaled(174),
                 scaled(612) - scaled(68), scaled(182) - scaled(174))
        before = self.rig.grab("rgb:-", below)
        manifest = os.path.join(self.www, "Launcher", "version.json")
        with open(manifest, "rb") as f:
            published = f.read()
        with open(manifest, "w") as f:
            f.write("{}")
        say("==> clicking «Онлайн версия» with a manifest that has no fields (%d DPI)" % dpi)
        self.rig.click(self.box, (scaled(340), scaled(260)))
        wait_for(lambda: self.rig.find_window("^Ошибка$"), 60, "no error box", 0.2)
        time.sleep(1.0)  # the status line is set before the box opens; let both paint
        self.screenshot("%s-long-error-%ddpi.png" % (number, dpi), self.box,
                        "a long error at %d DPI: its first line on the status line, "
                        "the whole text in the box" % dpi)
        self.expect(self.rig.grab("rgb:-", below) == before,
                    "at %d DPI the long error's status line stays above the bar" % dpi)
        probe = os.path.join(self.rig.build, "tests", "bin", "window_probe.exe")
        self.rig.wine([probe, "dialog", "Ошибка"], timeout=120)
        with open(manifest, "wb") as f:
            f.write(published)
        wait_for(lambda: not self.rig.find_window("^Ошибка$"), 30, "the error box stayed", 0.2)

    def run_interactive(self):
        say("\nThe launcher is open on %s.\n"
            "  1. Click «Онлайн версия»: it downloads 1.0.0 (watch the bar), installs it\n"
            "     and starts the demo game, which writes a save.\n"
            "  2. Once the game runs, 1.1.0 is published. Close the game and click again: the\n"
            "     launcher updates the build and the game lists the old save and a new one.\n"
            "  «Официальная версия» does the same for the official build.\n"
            "Close the launcher (and the game) to finish.\n" % os.environ.get("DISPLAY"))
        updated = set()
        while self.launcher.poll() is None or self.rig.find_window(GAME_TITLE):
            for build in set(BUILDS) - updated:
                if self.saves(build):
                    updated.add(build)
                    self.publish(build, "1.1.0")
                    say("    %s 1.1.0 is out: close the game and click «%s» again"
                        % (build, BUILDS[build][3]))
            time.sleep(0.5)
        for build in BUILDS:
            saves = self.saves(build)
            self.report.append("%s: installed %s, saves: %s" % (
                build, self.installed(build) or "nothing", " | ".join(saves) or "none"))
            numbers = [int(m.group(1)) for m in map(re.compile(r"сохранение (\d+):").match, saves)
                       if m]
            self.expect(numbers == list(range(1, len(saves) + 1)),
                        "%s: every save of every start is still there" % build)
        self.expect(any(self.saves(build) for build in BUILDS), "the game was started")

    def expect(self, condition, text):
        self.report.append(("ok     " if condition else "FAILED ") + text)
        if not condition:
            raise Failed(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("build_dir", nargs="?", default="build")
    parser.add_argument("--headless", action="store_true",
                        help="run on Xvfb and click by itself even when a display is there")
    args = parser.parse_args()

    def stop(signum, _frame):  # the clean-up below still runs
        raise SystemExit(128 + signum)
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)
    demo = Demo(args.build_dir, args.headless or not os.environ.get("DISPLAY"))
    status = 0
    try:
        demo.prepare()
        if demo.headless:
            demo.run_headless()
        else:
            demo.run_interactive()
    except (Failed, subprocess.CalledProcessError, OSError) as e:
        say("demo: FAILED: %s" % e)
        status = 1
        if demo.rig.xvfb and os.path.isdir(demo.shots_dir):
            try:
                demo.screenshot("failure-screen.png", None, "the screen when it failed")
            except (subprocess.CalledProcessError, OSError):
                pass
    except (KeyboardInterrupt, SystemExit) as e:
        say("demo: stopped")
        status = getattr(e, "code", 130)
    finally:
        demo.rig.close()
    say("\nWhat happened:\n" + "".join("  %s\n" % line for line in demo.report)
        + ("Screenshots:\n" if demo.shots else "")
        + "".join("  %s  (%s)\n" % shot for shot in demo.shots))
    if status == 0:
        say("demo: passed")
    return status


if __name__ == "__main__":
    sys.exit(main())
