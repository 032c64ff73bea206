#!/usr/bin/env python3
"""The real launcher window on displays of 120, 144 and 192 DPI.

The display's DPI is set in a Wine prefix of these tests alone
(wineprefix-dpi), whose programs are restarted for each DPI. Each case starts
the test build of the launcher in a folder of its own and reads its window
from the X display: its size, the colours at the points the 96-DPI window
tests probe (scaled), and whether its title was drawn at the display's
resolution or is a 96-DPI picture stretched up.

Environment (set by CTest): VORN_BUILD_DIR, VORN_TESTENV_DIR, VORN_TEST_PORT.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from test_launcher_window import rgb, wait_for  # noqa: E402

BUILD = os.environ["VORN_BUILD_DIR"]
TESTENV = os.environ["VORN_TESTENV_DIR"]
WINE_RUN = os.path.join(BUILD, "wine-run-dpi.sh")
PREFIX = os.path.join(BUILD, "wineprefix-dpi")
PROBE = os.path.join(BUILD, "tests", "bin", "window_probe.exe")
LAUNCHER = os.path.join(BUILD, "tests", "bin-ui", "VornLauncherTest.exe")
SHOTS = os.path.join(BUILD, "screenshots")
WWW = os.path.join(TESTENV, "www")

# The client area at each DPI: 680 x 470 times dpi / 96, to the nearest pixel.
CLIENT = {96: (680, 470), 120: (850, 588), 144: (1020, 705), 192: (1360, 940)}
# Points of the 96-DPI layout and the colour each shows when idle.
PROBES = {(110, 260): "#410009",  # online button
          (110, 314): "#FFFFFF",  # official button
          (110, 368): "#F8FBFF",  # community button
          (100, 188): "#E6E7EB",  # empty bar
          (100, 57): "#F4E9F8"}   # credit badge
TITLE = (68, 76, 612, 122)
# The status line's strip down to the bar, and the part of it below the first
# line, where a second line would be cut by the bar.
STATUS = (68, 150, 612, 182)
BELOW_FIRST_LINE = 174


def scaled(value, dpi):
    """The launcher's rounding: to the nearest pixel, halves up."""
    return (value * dpi + 48) // 96


def scaled_box(box, dpi):
    return tuple(scaled(v, dpi) for v in box)


def wine(*args):
    result = subprocess.run([WINE_RUN] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def set_display_dpi(dpi):
    wine("reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t", "REG_DWORD",
         "/d", str(dpi), "/f")
    # Programs read the DPI when they start; the prefix's services too.
    subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=PREFIX),
                   stderr=subprocess.DEVNULL)
    time.sleep(1)


class Picture:
    """Pixels from ImageMagick: a file or a screen grab, cropped and resized."""

    def __init__(self, source, crop=None, resize=None, filter_name=None, gray=False, save=None):
        args = ["convert", source]
        if crop:
            args += ["-crop", "%dx%d+%d+%d" % crop, "+repage"]
        if filter_name:
            args += ["-filter", filter_name]
        if resize:
            args += ["-resize", "%dx%d!" % resize]
        if save:
            subprocess.run(args + [save], check=True)
        args += ["-colorspace", "gray", "pgm:-"] if gray else ["ppm:-"]
        data = subprocess.run(args, check=True, stdout=subprocess.PIPE).stdout
        header = data.split(b"\n", 3)
        self.width, self.height = map(int, header[1].split())
        self.pixels = header[3]
        self.depth = 1 if gray else 3

    def at(self, x, y):
        i = (y * self.width + x) * self.depth
        return tuple(self.pixels[i:i + self.depth])

    def rows(self):
        return [list(self.pixels[y * self.width:(y + 1) * self.width])
                for y in range(self.height)]


def drawn_at_display_resolution(text):
    """Whether a grey picture of a line of dark text on a light ground was
    drawn at its own resolution. A picture stretched up from a smaller one
    either repeats whole columns (nearest pixel: a third of them at 150 %) or
    has soft edges (interpolated: few steps from ground to ink within one
    pixel). Text drawn at the resolution repeats few columns (only within
    the flat middle of some strokes) and half its edge steps are hard."""
    rows = text.rows()
    width = len(rows[0])
    ground, ink = max(max(r) for r in rows), min(min(r) for r in rows)
    contrast = ground - ink
    inked = {x for x in range(width) if any(r[x] < ground - contrast // 3 for r in rows)}
    pairs = [x for x in inked if x + 1 in inked]
    repeated = sum(1 for x in pairs if all(r[x] == r[x + 1] for r in rows)) / len(pairs)
    steps = [abs(r[x + 1] - r[x]) for r in rows for x in range(width - 1)]
    steps = [s for s in steps if s >= 16]
    hard = sum(1 for s in steps if s >= contrast // 2) / len(steps)
    return repeated < 0.25 and hard > 0.35, "repeated columns %.2f, hard edges %.2f" % (
        repeated, hard)


class Launcher:
    def __init__(self, case, dpi):
        top = tempfile.mkdtemp(prefix="launcher-dpi-", dir=TESTENV)
        case.addCleanup(shutil.rmtree, top, True)
        shutil.copy(LAUNCHER, top)
        self.dpi = dpi
        self.process = subprocess.Popen([WINE_RUN, os.path.join(top, "VornLauncherTest.exe")],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        case.addCleanup(self.kill)
        self.info = wait_for(self.read_info, 60, 0.2)
        if not self.info:
            raise AssertionError("the launcher window did not appear at %d DPI" % dpi)
        badge = tuple(scaled(v, dpi) for v in (100, 57))
        if not wait_for(lambda: self.shot("first-paint").at(*badge) == rgb("#F4E9F8"), 20,
                        0.2):
            raise AssertionError("the launcher window was never painted at %d DPI" % dpi)

    def read_info(self):
        code, out = wine(PROBE, "info")
        info = json.loads(out) if code == 0 and out.strip() else None
        return info if info and len(info["buttons"]) == 3 else None

    def shot(self, name, crop=None, **kwargs):
        """The client area (or a box of it) as on the display, kept as a file."""
        os.makedirs(SHOTS, exist_ok=True)
        root = os.path.join(SHOTS, "dpi-root.png")
        subprocess.run(["import", "-window", "root", root], check=True)
        x, y = self.info["origin"]
        width, height = self.info["client"]
        if crop:
            x, y, width, height = x + crop[0], y + crop[1], crop[2] - crop[0], crop[3] - crop[1]
        path = os.path.join(SHOTS, "%s-%ddpi.png" % (name, self.dpi))
        picture = Picture(root, crop=(width, height, x, y), save=path, **kwargs)
        os.remove(root)
        return picture

    def close(self):
        wine(PROBE, "close")
        return self.process.wait(timeout=60)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


class WindowAtDisplayDpi(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        code, _ = wine(os.path.join(BUILD, "tests", "bin", "trust_ca.exe"),
                       "Z:" + os.path.join(TESTENV, "certs", "ca.der").replace("/", "\\"))
        assert code == 0, "trust_ca.exe failed"

    @classmethod
    def tearDownClass(cls):
        set_display_dpi(96)

    def setUp(self):
        # Nothing of the pointer's last position (another test's) may hover
        # a button.
        subprocess.run(["xdotool", "mousemove", "5", "5"], check=False)

    def test_the_scene_is_drawn_at_the_display_resolution(self):
        set_display_dpi(96)
        launcher = Launcher(self, 96)
        title_96 = os.path.join(SHOTS, "title-96dpi.png")
        launcher.shot("title", crop=TITLE, gray=True)
        self.assertEqual(launcher.close(), 0)

        for dpi in (120, 144, 192):
            with self.subTest(dpi=dpi):
                set_display_dpi(dpi)
                launcher = Launcher(self, dpi)
                self.assertEqual(tuple(launcher.info["client"]), CLIENT[dpi])
                shot = launcher.shot("idle")
                for (x, y), colour in PROBES.items():
                    self.assertEqual(shot.at(scaled(x, dpi), scaled(y, dpi)), rgb(colour),
                                     (x, y))
                # Outside the buttons' rounded corners the panel shows through.
                self.assertNotEqual(shot.at(scaled(92, dpi), scaled(238, dpi)), rgb("#410009"))

                box = scaled_box(TITLE, dpi)
                size = (box[2] - box[0], box[3] - box[1])
                sharp, figures = drawn_at_display_resolution(
                    launcher.shot("title", crop=box, gray=True))
                self.assertTrue(sharp, figures)
                # The check tells a stretched 96-DPI title from it.
                for filter_name in ("point", "triangle"):
                    stretched = Picture(title_96, resize=size, filter_name=filter_name, gray=True)
                    self.assertFalse(drawn_at_display_resolution(stretched)[0], filter_name)
                self.assertEqual(launcher.close(), 0)

    def test_a_long_error_stays_on_the_status_line(self):
        # A manifest without its fields gives the launcher's longest status
        # line, wider than its box at every DPI.
        os.makedirs(os.path.join(WWW, "Launcher"), exist_ok=True)
        manifest = os.path.join(WWW, "Launcher", "version.json")
        with open(manifest, "w") as f:
            f.write("{}")
        self.addCleanup(os.remove, manifest)
        for dpi in (96, 144):
            with self.subTest(dpi=dpi):
                set_display_dpi(dpi)
                launcher = Launcher(self, dpi)
                strip = scaled_box(STATUS, dpi)
                idle = launcher.shot("status-idle", crop=strip)
                wine(PROBE, "press", "1001")
                code, text = wine(PROBE, "dialog", "Ошибка")
                self.assertEqual(text,
                                 "Ошибка: В manifest должны быть поля: version и download_url")
                self.assertTrue(wait_for(lambda: launcher.read_info()["buttons"][0]["enabled"],
                                         10))
                after = launcher.shot("status-error", crop=strip)
                # The text changed the first line only: nothing of it below,
                # where the bar would cut a second line through.
                below = scaled(BELOW_FIRST_LINE, dpi) - strip[1]
                changed = [y for y in range(after.height)
                           if any(after.at(x, y) != idle.at(x, y) for x in range(after.width))]
                self.assertTrue(changed and max(changed) < below, changed)
                self.assertEqual(launcher.close(), 0)

if __name__ == "__main__":
    unittest.main(verbosity=2)
