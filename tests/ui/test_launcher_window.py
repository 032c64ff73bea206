#!/usr/bin/env python3
"""The real launcher executable in a real window on the test display.

Each case copies the test build of the launcher (built to talk to the local
test server) into a fresh folder, starts it under Wine, and drives it like a
player: the real pointer moves and clicks through xdotool, screenshots are
read pixel by pixel, and a small Windows helper (window_probe.exe) reads the
window's geometry and the text of its message boxes.

Environment (set by CTest): VORN_BUILD_DIR, VORN_TESTENV_DIR, VORN_TEST_PORT.
Screenshots are kept in $VORN_BUILD_DIR/screenshots/.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ["VORN_BUILD_DIR"]
TESTENV = os.environ["VORN_TESTENV_DIR"]
PORT = os.environ["VORN_TEST_PORT"]
WINE_RUN = os.path.join(BUILD, "wine-run.sh")
PROBE = os.path.join(BUILD, "tests", "bin", "window_probe.exe")
LAUNCHER = os.path.join(BUILD, "tests", "bin-ui", "VornLauncherTest.exe")
SHOTS = os.path.join(BUILD, "screenshots")
WWW = os.path.join(TESTENV, "www")

ONLINE, OFFICIAL, COMMUNITY = 1001, 1002, 1003
BUTTON_CENTRES = {ONLINE: (340, 260), OFFICIAL: (340, 314), COMMUNITY: (340, 368)}
BAR_ROW = 188


def rgb(hex_text):
    value = int(hex_text.lstrip("#"), 16)
    return (value >> 16, (value >> 8) & 0xFF, value & 0xFF)


def server_url(path):
    return "https://localhost:%s/%s" % (PORT, path)


def publish_manifest(name, version, build, behaviour=""):
    with open(os.path.join(WWW, "builds", build + ".sha256")) as f:
        digest = f.read().strip()
    os.makedirs(os.path.join(WWW, "Launcher"), exist_ok=True)
    manifest = {
        "version": version,
        "download_url": server_url(behaviour + "builds/" + build),
        "sha256": digest,
    }
    with open(os.path.join(WWW, "Launcher", name), "w") as f:
        json.dump(manifest, f)


def unpublish(name):
    try:
        os.remove(os.path.join(WWW, "Launcher", name))
    except FileNotFoundError:
        pass


def wait_for(condition, timeout=60.0, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = condition()
        if result:
            return result
        time.sleep(step)
    return None


class Screenshot:
    """The launcher's client area, read from the X display."""

    def __init__(self, origin, name):
        os.makedirs(SHOTS, exist_ok=True)
        self.path = os.path.join(SHOTS, name + ".png")
        root = self.path + ".root.png"
        subprocess.run(["import", "-window", "root", root], check=True)
        crop = "680x470+%d+%d" % tuple(origin)
        subprocess.run(["convert", root, "-crop", crop, "+repage", self.path], check=True)
        os.remove(root)
        ppm = subprocess.run(["convert", self.path, "ppm:-"], check=True,
                             stdout=subprocess.PIPE).stdout
        # Binary PPM: "P6\n680 470\n255\n" then RGB triples.
        header_end = 0
        for _ in range(3):
            header_end = ppm.index(b"\n", header_end) + 1
        self.pixels = ppm[header_end:]

    def at(self, x, y):
        i = (y * 680 + x) * 3
        return tuple(self.pixels[i:i + 3])

    def row(self, y, first, last):
        return [self.at(x, y) for x in range(first, last)]


class Launcher:
    """One copy of the launcher in a folder of its own."""

    def __init__(self, case, picture=None, prepare=None, expect_window=True, env=None,
                 subfolder="", folder=None, args=()):
        if folder:
            self.folder = folder
        else:
            top = tempfile.mkdtemp(prefix="launcher-", dir=TESTENV)
            case.addCleanup(shutil.rmtree, top, True)
            self.folder = os.path.join(top, subfolder)
            os.makedirs(self.folder, exist_ok=True)
            shutil.copy(LAUNCHER, self.folder)
        if picture:
            shutil.copy(picture, os.path.join(self.folder, "background2.jpg"))
        if prepare:
            prepare(self.folder)
        self.process = subprocess.Popen(
            [WINE_RUN, os.path.join(self.folder, "VornLauncherTest.exe")] + list(args),
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=dict(os.environ, **(env or {})))
        case.addCleanup(self.kill)
        if not expect_window:
            return
        # The window exists while it still makes its buttons.
        self.window = wait_for(self.info_with_buttons, timeout=60)
        if not self.window:
            raise AssertionError("the launcher window did not appear")
        self.origin = self.window["origin"]
        # The window is mapped before its first paint reaches the display; the
        # credit badge, which never changes, tells when it has.
        if not wait_for(lambda: self.screenshot("first-paint").at(100, 57) == rgb("#F4E9F8"),
                        timeout=20, step=0.2):
            raise AssertionError("the launcher window was never painted")

    def probe(self, *args):
        # Only the windows of this folder's launcher: another may share the
        # desktop.
        folder = "Z:" + self.folder.rstrip("/").replace("/", "\\")
        result = subprocess.run([WINE_RUN, PROBE, "--in", folder] + list(args),
                                stdout=subprocess.PIPE)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def info(self):
        code, out = self.probe("info")
        return json.loads(out) if code == 0 and out.strip() else None

    def info_with_buttons(self):
        info = self.info()
        return info if info and len(info["buttons"]) == 3 else None

    def buttons_enabled(self):
        return {b["id"]: b["enabled"] for b in self.info()["buttons"]}

    def dialog(self, caption, keep=False):
        code, out = self.probe("dialog", caption, *(["keep"] if keep else []))
        return out if code == 0 else None

    def move_to(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(self.origin[0] + x),
                        str(self.origin[1] + y)], check=True)

    def click(self, button_id):
        self.move_to(*BUTTON_CENTRES[button_id])
        time.sleep(0.2)
        subprocess.run(["xdotool", "click", "1"], check=True)

    def screenshot(self, name):
        return Screenshot(self.origin, name)

    def path(self, *parts):
        return os.path.join(self.folder, *parts)

    def close(self):
        self.probe("close")
        try:
            return self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            return None

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class LauncherWindow(unittest.TestCase):
    def setUp(self):
        # Nothing of the pointer's last position may hover a button.
        subprocess.run(["xdotool", "mousemove", "5", "5"], check=False)

    def test_first_start_shows_the_scene_and_ends_with_code_zero(self):
        launcher = Launcher(self)
        self.assertTrue(os.path.isdir(launcher.path("game_online", "Save")))
        self.assertTrue(os.path.isdir(launcher.path("game_offline", "Save")))
        self.assertFalse(os.path.exists(launcher.path("backup")))

        info = launcher.window
        self.assertEqual(info["client"], [680, 470])
        frame = info["frame"]
        width, height = frame[2] - frame[0], frame[3] - frame[1]
        self.assertEqual(frame[0], (info["screen"][0] - width) // 2)
        self.assertEqual(frame[1], (info["screen"][1] - height) // 2)
        self.assertEqual([(b["id"], b["text"]) for b in info["buttons"]],
                         [(ONLINE, "Онлайн версия"), (OFFICIAL, "Официальная версия"),
                          (COMMUNITY, "Группа в ВК")])

        shot = launcher.screenshot("idle")
        self.assertEqual(shot.at(110, 260), rgb("#410009"))   # online button
        self.assertEqual(shot.at(110, 314), rgb("#FFFFFF"))   # official button
        self.assertEqual(shot.at(110, 368), rgb("#F8FBFF"))   # community button
        self.assertEqual(shot.at(100, BAR_ROW), rgb("#E6E7EB"))  # empty bar
        self.assertEqual(shot.at(100, 57), rgb("#F4E9F8"))    # credit badge
        # Outside the buttons' rounded corners the panel shows through.
        self.assertNotEqual(shot.at(92, 238), rgb("#410009"))
        self.assertEqual(launcher.close(), 0)

    def test_a_second_start_in_the_folder_brings_the_first_forward_and_ends(self):
        first = Launcher(self)
        # Another folder's launcher comes up in front of it.
        other = Launcher(self)
        self.assertTrue(wait_for(lambda: other.info()["foreground"], timeout=10))
        second = subprocess.Popen([WINE_RUN, first.path("VornLauncherTest.exe")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: second.poll() is None and second.kill())
        self.assertEqual(second.wait(timeout=60), 0)
        info = first.info()
        self.assertEqual(info["pid"], first.window["pid"])
        self.assertTrue(info["foreground"])
        self.assertEqual(first.close(), 0)
        # Once it has ended, the folder's launcher starts as usual.
        again = Launcher(self, folder=first.folder)
        self.assertEqual(again.close(), 0)

    def test_a_take_over_command_line_takes_over_nothing_but_a_hand_over(self):
        # Anyone can start the launcher with it; only the new launcher of a
        # hand-over, under its staged name, obeys it.
        top = tempfile.mkdtemp(prefix="victim-", dir=TESTENV)
        self.addCleanup(shutil.rmtree, top, True)
        victim = os.path.join(top, "VornLauncherTest.exe")
        with open(victim, "w") as f:
            f.write("the player's own file")
        target = "Z:" + victim.replace("/", "\\")
        launcher = Launcher(self, args=["--take-over", "1234", target])
        time.sleep(3)
        with open(victim, "rb") as f:
            self.assertEqual(f.read(), b"the player's own file")
        self.assertTrue(os.path.isfile(launcher.path("VornLauncherTest.exe")))
        self.assertEqual(launcher.close(), 0)

    def test_save_folder_that_cannot_be_made_ends_with_an_error_box(self):
        def block(folder):
            # A file where the online build's folder must go.
            with open(os.path.join(folder, "game_online"), "w") as f:
                f.write("not a folder")
        launcher = Launcher(self, prepare=block, expect_window=False)
        text = launcher.dialog("Ошибка")
        self.assertTrue(text.startswith("Не удалось создать папку '"), text)
        self.assertIn("game_online\\Save': ", text)
        self.assertEqual(launcher.process.wait(timeout=60), 1)

    def test_click_updates_the_online_build_and_starts_the_game(self):
        publish_manifest("version.json", "1.0", "v1_top.zip", "_slow/800000/")
        self.addCleanup(unpublish, "version.json")
        launcher = Launcher(self)
        launcher.click(ONLINE)
        self.assertTrue(wait_for(lambda: not launcher.buttons_enabled()[ONLINE], timeout=10))
        self.assertEqual(set(launcher.buttons_enabled().values()), {False})
        def part_way():
            shot = launcher.screenshot("run-percent")
            filled = shot.row(BAR_ROW, 94, 586).count(rgb("#410009"))
            return shot if 0 < filled < 492 else None
        shot = wait_for(part_way, timeout=20, step=0.2)
        self.assertIsNotNone(shot, "the bar shows part of the download")
        self.assertEqual(shot.at(110, 260), rgb("#E0E0E4"))  # disabled look

        record = launcher.path("game_online", "launched.txt")
        self.assertTrue(wait_for(lambda: os.path.exists(record), timeout=60))
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=10))
        shot = launcher.screenshot("run-done")
        self.assertEqual(shot.row(BAR_ROW, 94, 300).count(rgb("#410009")), 206)
        self.assertEqual(shot.at(580, BAR_ROW), rgb("#410009"))
        with open(launcher.path("game_online", "version.txt")) as f:
            self.assertEqual(f.read(), "1.0")
        self.assertEqual(launcher.close(), 0)

    def test_unknown_length_sweeps_the_bar(self):
        publish_manifest("version.json", "1.0", "v1_top.zip", "_nolength/_slow/500000/")
        self.addCleanup(unpublish, "version.json")
        launcher = Launcher(self)
        launcher.click(ONLINE)
        time.sleep(1.0)

        def segment(name):
            # The segment is out of sight for one tick in 34: look again then.
            bar = launcher.screenshot(name).row(BAR_ROW, 94, 586)
            return bar if 0 < bar.count(rgb("#410009")) <= 123 else None
        first = wait_for(lambda: segment("sweep"), timeout=5, step=0.05)
        self.assertIsNotNone(first, "a segment of at most 123 pixels on the bar")
        time.sleep(0.3)
        second = wait_for(lambda: segment("sweep-later"), timeout=5, step=0.05)
        self.assertIsNotNone(second)
        self.assertNotEqual(first, second, "the segment moves")
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=60))
        self.assertEqual(launcher.close(), 0)

    def test_closing_during_a_run_is_refused(self):
        hold = "window-close-%d" % os.getpid()
        publish_manifest("version.json", "1.0", "v1_top.zip", "_hold/%s/" % hold)
        self.addCleanup(unpublish, "version.json")
        launcher = Launcher(self)
        launcher.click(ONLINE)
        self.assertTrue(wait_for(lambda: not launcher.buttons_enabled()[ONLINE], timeout=10))
        launcher.probe("close")
        self.assertEqual(launcher.dialog("Подожди"),
                         "Сейчас идет обновление или запуск.\n"
                         "Закрой лаунчер после завершения операции.")
        self.assertIsNotNone(launcher.info(), "the window stays")

        os.makedirs(os.path.join(WWW, "_release"), exist_ok=True)
        with open(os.path.join(WWW, "_release", hold), "w") as f:
            f.write("go")
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=60))
        self.assertEqual(launcher.close(), 0)

    def test_keyboard_moves_between_the_buttons_and_presses_them(self):
        for name in ("version.json", "version_offline.json"):
            publish_manifest(name, "1.0", "v1_top.zip")
            self.addCleanup(unpublish, name)

        def keys(launcher, *names):
            # A click on the background gives the window the keyboard.
            launcher.move_to(20, 450)
            subprocess.run(["xdotool", "click", "1"], check=True)
            time.sleep(0.3)
            subprocess.run(["xdotool", "key", "--delay", "150"] + list(names), check=True)

        # Tab reaches the first button, Enter presses it.
        launcher = Launcher(self)
        keys(launcher, "Tab", "Return")
        self.assertTrue(wait_for(lambda: os.path.exists(
            launcher.path("game_online", "launched.txt")), timeout=60))
        self.assertFalse(os.path.exists(launcher.path("game_offline", "version.txt")))
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=10))
        self.assertEqual(launcher.close(), 0)
        # Three Tabs to the community button, Shift+Tab back, Space presses.
        launcher = Launcher(self)
        keys(launcher, "Tab", "Tab", "Tab", "shift+Tab", "space")
        self.assertTrue(wait_for(lambda: os.path.exists(
            launcher.path("game_offline", "launched.txt")), timeout=60))
        self.assertFalse(os.path.exists(launcher.path("game_online", "version.txt")))
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[OFFICIAL], timeout=10))
        self.assertEqual(launcher.close(), 0)

    def test_dlls_planted_beside_the_launcher_are_not_loaded(self):
        # Not version.dll or bcrypt.dll: Wine's own gdi32 and TLS take them
        # from the program's folder whatever the launcher does (the release
        # test holds the launcher to known DLLs at start).
        names = ("dwmapi.dll", "msimg32.dll", "wininet.dll", "wintrust.dll")
        publish_manifest("version.json", "1.0", "v1_top.zip")
        self.addCleanup(unpublish, "version.json")

        def plant(folder):
            for name in names:
                shutil.copy(os.path.join(BUILD, "tests", "bin", "planted_dll.dll"),
                            os.path.join(folder, name))
        # Wine prefers its own DLLs; this load order is Windows': the
        # program's folder before the system folder.
        launcher = Launcher(self, prepare=plant,
                            env={"VORN_DLLOVERRIDES": "dwmapi,msimg32,wininet,wintrust=n,b"})
        # An update loads WinINet; the panels have been blended by then.
        launcher.click(ONLINE)
        self.assertTrue(wait_for(lambda: os.path.exists(
            launcher.path("game_online", "launched.txt")), timeout=60))
        for name in names:
            self.assertFalse(os.path.exists(launcher.path(name + ".loaded")), name)
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=10))
        self.assertEqual(launcher.close(), 0)

    def test_a_wininet_that_cannot_load_is_an_error_not_a_crash(self):
        publish_manifest("version.json", "1.0", "v1_top.zip")
        self.addCleanup(unpublish, "version.json")
        launcher = Launcher(self, env={"VORN_DLLOVERRIDES": "wininet=d"})
        launcher.click(ONLINE)
        text = launcher.dialog("Ошибка")
        self.assertIsNotNone(text)
        self.assertTrue(text.startswith("Ошибка: Не удалось скачать файл через PowerShell."
                                        "\nНе удалось загрузить wininet.dll: "), text)
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[ONLINE], timeout=10))
        self.assertEqual(launcher.close(), 0)

    def test_failed_run_shows_the_error_box(self):
        unpublish("version_offline.json")
        launcher = Launcher(self)
        launcher.click(OFFICIAL)
        text = launcher.dialog("Ошибка", keep=True)
        self.assertEqual(text, "Ошибка: Не удалось скачать файл через PowerShell."
                               "\nОшибка скачивания: сервер ответил HTTP 404")
        launcher.screenshot("error")
        launcher.dialog("Ошибка")
        self.assertTrue(wait_for(lambda: launcher.buttons_enabled()[OFFICIAL], timeout=10))
        shot = launcher.screenshot("error-after")
        self.assertEqual(shot.at(100, BAR_ROW), rgb("#E6E7EB"))  # the bar is back at 0
        self.assertEqual(launcher.close(), 0)

    def test_pointer_over_a_button_repaints_it_hovered(self):
        launcher = Launcher(self)
        launcher.move_to(*BUTTON_CENTRES[OFFICIAL])
        self.assertTrue(wait_for(
            lambda: launcher.screenshot("hover").at(110, 314) == rgb("#F7F7FA"), timeout=5))
        launcher.move_to(20, 20)
        self.assertTrue(wait_for(
            lambda: launcher.screenshot("hover-left").at(110, 314) == rgb("#FFFFFF"), timeout=5))
        self.assertEqual(launcher.close(), 0)

    def test_community_button_opens_the_page_in_the_browser(self):
        log = os.path.join(TESTENV, "browser-%d.txt" % os.getpid())
        recorder = os.path.join(TESTENV, "record-url.sh")
        with open(recorder, "w") as f:
            f.write('#!/bin/sh\nprintf "%%s" "$1" > "%s"\n' % log)
        os.chmod(recorder, 0o755)
        subprocess.run([WINE_RUN, "reg", "add", r"HKCU\Software\Wine\WineBrowser", "/v",
                        "Browsers", "/d", recorder, "/f"], check=True,
                       stdout=subprocess.DEVNULL)
        self.addCleanup(lambda: os.path.exists(log) and os.remove(log))
        launcher = Launcher(self)
        launcher.click(COMMUNITY)
        self.assertTrue(wait_for(lambda: os.path.exists(log), timeout=30))
        with open(log) as f:
            self.assertEqual(f.read(), server_url("community"))
        self.assertEqual(launcher.close(), 0)

    def test_picture_beside_the_launcher_fills_the_panel(self):
        picture = os.path.join(os.path.dirname(__file__), "..", "..", "resources", "background",
                               "background.jpg")
        without = Launcher(self)
        plain = without.screenshot("panel-plain")
        self.assertEqual(without.close(), 0)
        launcher = Launcher(self, picture=picture)
        shot = launcher.screenshot("panel-picture")
        # The picture stretched over the panel differs from the translucent fill.
        differing = sum(1 for x in range(40, 640, 10) if shot.at(x, 396) != plain.at(x, 396))
        self.assertGreater(differing, 10)
        self.assertEqual(launcher.close(), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
