#!/usr/bin/env python3
"""The real launcher replacing itself, under Wine on the test display: a copy
of the test launcher in a folder of its own finds a later launcher published
on the test server, hands over to it, whose window opens where the old one
was, and is replaced; a later launcher that ends before its window exists is
rolled back and given up; one the system refuses to start, or one that cannot
rename itself over the launcher's file, is tried again at the next start from
the file kept beside the launcher; a run in progress is never cut short by
the hand-over.

Environment (set by CTest): VORN_BUILD_DIR, VORN_TESTENV_DIR, VORN_TEST_PORT.
"""

import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ui"))
from test_launcher_window import (BUILD, ONLINE, WINE_RUN, WWW, Launcher,  # noqa: E402
                                  publish_manifest, server_url, unpublish, wait_for)

BIN_UI = os.path.join(BUILD, "tests", "bin-ui")
NEXT = os.path.join(BIN_UI, "VornLauncherTestNext.exe")
BROKEN = os.path.join(BIN_UI, "broken_launcher.exe")
UNSTARTABLE = os.path.join(BIN_UI, "unstartable_launcher.exe")
HOLD_FILE = os.path.join(BUILD, "tests", "bin", "hold_file.exe")
RECORD = "launcher_update_failed.txt"


def project_version():
    """The launcher's version as CMakeLists.txt sets it."""
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                           "CMakeLists.txt")) as f:
        return re.search(r"project\(VornLauncher VERSION (\S+)", f.read()).group(1)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


def publish_launcher(exe, version="99.0.0.0", behaviour=""):
    """The launcher manifest on the test server, naming a copy of exe."""
    folder = os.path.join(WWW, "launcher-update")
    os.makedirs(folder, exist_ok=True)
    shutil.copy(exe, folder)
    manifest = {
        "version": version,
        "download_url": server_url(behaviour + "launcher-update/" + os.path.basename(exe)),
        "sha256": hashlib.sha256(read(exe)).hexdigest(),
    }
    with open(os.path.join(WWW, "Launcher", "launcher.json"), "w") as f:
        json.dump(manifest, f)


class LauncherSelfUpdate(unittest.TestCase):
    def setUp(self):
        os.makedirs(os.path.join(WWW, "Launcher"), exist_ok=True)
        self.addCleanup(unpublish, "launcher.json")

    def candidates(self, launcher):
        return glob.glob(launcher.path("VornLauncherTest.next-*.exe"))

    def took_over(self, launcher):
        """The launcher's file is the later one, the old process has ended and
        the later launcher's window answers."""
        self.assertTrue(wait_for(lambda: read(launcher.path("VornLauncherTest.exe")) == read(NEXT),
                                 timeout=90), "the launcher's file was not replaced")
        self.assertEqual(launcher.process.wait(timeout=30), 0)
        self.addCleanup(launcher.probe, "close")
        window = wait_for(launcher.info_with_buttons, timeout=30)
        self.assertTrue(window)
        self.assertEqual(self.candidates(launcher), [])
        return window

    def test_a_later_launcher_takes_over_and_replaces_the_file(self):
        self.addCleanup(self.unhold, "takeover-place")
        publish_launcher(NEXT, behaviour="_hold/takeover-place/")
        log = os.path.join(os.path.dirname(WWW), "requests.log")
        logged = os.path.getsize(log)
        launcher = Launcher(self)
        # The player has moved the window; the new one opens where it was.
        self.assertEqual(launcher.probe("move", "150", "120")[0], 0)
        self.release("takeover-place")
        window = self.took_over(launcher)
        self.assertEqual(window["frame"][:2], [150, 120])
        self.assertEqual(sorted(os.listdir(launcher.folder)),
                         ["VornLauncherTest.exe", "game_offline", "game_online"])
        # The launcher named its version to the server, beside its usual
        # User-Agent.
        with open(log, encoding="utf-8") as f:
            f.seek(logged)
            asked = [json.loads(line) for line in f if '"/Launcher/launcher.json"' in line]
        # (Test programs without a version, running meanwhile, send none.)
        self.assertIn(project_version(),
                      {request["headers"].get("X-Vorn-Launcher") for request in asked})
        self.assertEqual({request["headers"].get("User-Agent") for request in asked},
                         {"VornRPG Launcher"})

    def test_a_later_launcher_that_ends_before_its_window_is_given_up(self):
        publish_launcher(BROKEN)
        launcher = Launcher(self)
        record = launcher.path(RECORD)
        self.assertTrue(wait_for(lambda: read_text(record) == "99.0.0.0\n3\n", timeout=90))
        self.assertEqual(read(launcher.path("VornLauncherTest.exe")),
                         read(os.path.join(BIN_UI, "VornLauncherTest.exe")))
        self.assertEqual(self.candidates(launcher), [])
        self.assertIsNone(launcher.process.poll())
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=10))
        self.assertEqual(launcher.close(), 0)

    def test_a_launcher_the_system_refuses_to_start_is_tried_again_from_the_kept_file(self):
        publish_launcher(UNSTARTABLE)
        launcher = Launcher(self)
        record = launcher.path(RECORD)
        self.assertTrue(wait_for(lambda: read_text(record) == "99.0.0.0\n1\n", timeout=90))
        self.assertEqual(len(self.candidates(launcher)), 1)
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=10))
        self.assertEqual(launcher.close(), 0)
        # Gone from the server: the next start tries the kept file again.
        os.remove(os.path.join(WWW, "launcher-update", "unstartable_launcher.exe"))
        again = Launcher(self, folder=launcher.folder)
        self.assertTrue(wait_for(lambda: read_text(record) == "99.0.0.0\n2\n", timeout=90))
        self.assertEqual(len(self.candidates(again)), 1)
        self.assertEqual(again.close(), 0)

    def test_a_take_over_that_cannot_replace_the_file_is_tried_again_at_the_next_start(self):
        publish_launcher(NEXT)
        holder = []

        def hold(folder):
            # A scanner holds the launcher's file until after the take-over.
            path = "Z:" + os.path.join(folder, "VornLauncherTest.exe").replace("/", "\\")
            holder.append(subprocess.Popen([WINE_RUN, HOLD_FILE, path, "40000"],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            time.sleep(3)
        launcher = Launcher(self, prepare=hold)
        record = launcher.path(RECORD)
        self.assertTrue(wait_for(lambda: read_text(record) == "99.0.0.0\n1\n", timeout=90))
        self.assertEqual(launcher.process.wait(timeout=30), 0)
        self.assertEqual(read(launcher.path("VornLauncherTest.exe")),
                         read(os.path.join(BIN_UI, "VornLauncherTest.exe")))
        # The new launcher runs on under its staged name.
        self.assertEqual(len(self.candidates(launcher)), 1)
        self.assertTrue(launcher.info_with_buttons())
        launcher.probe("close")
        self.assertTrue(wait_for(lambda: launcher.info() is None, timeout=30))
        holder[0].wait(timeout=90)
        # Taken from the kept file at the next start, not fetched again.
        os.remove(os.path.join(WWW, "launcher-update", "VornLauncherTestNext.exe"))
        self.took_over(Launcher(self, folder=launcher.folder))

    def release(self, name):
        """Lets the responses held under _hold/<name>/ go on."""
        flag = os.path.join(WWW, "_release", name)
        os.makedirs(os.path.dirname(flag), exist_ok=True)
        with open(flag, "w") as f:
            f.write("go")

    def unhold(self, name):
        flag = os.path.join(WWW, "_release", name)
        if os.path.exists(flag):
            os.remove(flag)

    def test_a_run_in_progress_is_finished_before_the_hand_over(self):
        # The build's download and the later launcher's are held until let go.
        for name in ("selfupdate-build", "selfupdate-launcher"):
            flag = os.path.join(WWW, "_release", name)
            self.addCleanup(lambda f=flag: os.path.exists(f) and os.remove(f))
        publish_manifest("version.json", "1.0", "v1_top.zip", "_hold/selfupdate-build/")
        self.addCleanup(unpublish, "version.json")
        publish_launcher(NEXT, behaviour="_hold/selfupdate-launcher/")
        launcher = Launcher(self)
        launcher.click(ONLINE)
        self.assertTrue(wait_for(lambda: not launcher.buttons_enabled()[ONLINE], timeout=10))
        self.release("selfupdate-launcher")
        self.assertTrue(wait_for(lambda: self.candidates(launcher), timeout=60),
                        "the later launcher was not staged")
        time.sleep(3)
        self.assertIsNone(launcher.process.poll(), "the hand-over cut the run short")
        self.assertFalse(launcher.buttons_enabled()[ONLINE], "the run's window went")
        self.assertNotEqual(read(launcher.path("VornLauncherTest.exe")), read(NEXT))
        self.release("selfupdate-build")
        self.assertTrue(wait_for(lambda: os.path.exists(
            launcher.path("game_online", "launched.txt")), timeout=60))
        self.took_over(launcher)


if __name__ == "__main__":
    unittest.main(verbosity=2)
