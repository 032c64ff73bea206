#!/usr/bin/env python3
"""Kills the launcher at every step of its replacement by a later one and
checks that the player's next start always gets a working launcher.

    launcher_kill_campaign.py [--seed N] [--kills N] [--verbose]

Each trial puts a fresh copy of the test launcher (version 0.2) in a folder of
its own under the test environment, with the launcher manifest on the test
server naming the later test launcher (version 99), served slowly enough that
its download is a step of its own. Every other trial also presses the online
button for a build whose download the server holds, so that the staged
launcher waits for the run. Trial i aims at one step in turn: it waits for
the step to show and kills at a seeded moment within its length as measured
in an unkilled replacement (before the first step: within the time to it).
Aimed at the take-over, a Windows program holds the launcher's file for 4
seconds, as a scanner would, so that the new launcher's rename retries and
then leaves the old file in place. The kill takes the old launcher, the new
one, or both, and the step the disk and the processes show is recorded:

    before       neither a download nor a new launcher yet (window, manifest)
    staging      a work folder beside the launcher (the download, its checks)
    staged       the new launcher beside the old one, not running yet
    starting     the new launcher running while the old one still runs
    taking-over  only the new launcher running, the old file still in place
    replaced     the launcher's file is the new launcher

After the kill every process of the folder is ended as a player's reboot
would. The launcher's file must then be whole (the old or the new program,
byte for byte), so must any new launcher beside it, and starting the file
must bring up a window with its three buttons: a failure to start is a
failure of the campaign.

Environment as for kill_campaign.py. Exit code 0 when every start after a
kill worked (and, from 12 kills on, every step met a kill), 1 otherwise, 2
when the campaign could not go on.
"""

import argparse
import glob
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from kill_campaign import (CampaignError, Paths, StartFailed, kill_all,  # noqa: E402
                           processes_under, read_bytes, tagged_processes, unix_to_windows)

STEPS = ("before", "staging", "staged", "starting", "taking-over", "replaced")
ONLINE_BUTTON = 1001
SLOW_BYTES_PER_SECOND = 1000000
START_LIMIT = 60.0


class Campaign:
    def __init__(self, args):
        self.args = args
        self.paths = Paths()
        self.rng = random.Random(args.seed)
        self.tag = "launcher-%d-%d" % (os.getpid(), args.seed)
        self.env = dict(os.environ, VORN_SOAK_RUN=self.tag)
        self.folder = os.path.join(self.paths.testenv, "soak-launcher")
        self.exe = os.path.join(self.folder, "VornLauncherTest.exe")
        bin_ui = os.path.join(self.paths.build, "tests", "bin-ui")
        self.old = read_bytes(os.path.join(bin_ui, "VornLauncherTest.exe"))
        self.new = read_bytes(os.path.join(bin_ui, "VornLauncherTestNext.exe"))
        self.rows = {step: {"kills": 0, "failures": 0} for step in STEPS}
        self.start_failures = 0
        self.paths.hold_file = os.path.join(self.paths.build, "tests", "bin", "hold_file.exe")

    # --- The server's side.
    def publish(self):
        served = os.path.join(self.paths.www, "soak-launcher")
        os.makedirs(served, exist_ok=True)
        with open(os.path.join(served, "next.exe"), "wb") as f:
            f.write(self.new)
        manifest = {"version": "99.0.0.0",
                    "download_url": self.paths.url("_slow/%d/soak-launcher/next.exe"
                                                   % SLOW_BYTES_PER_SECOND),
                    "sha256": hashlib.sha256(self.new).hexdigest()}
        os.makedirs(os.path.join(self.paths.www, "Launcher"), exist_ok=True)
        with open(os.path.join(self.paths.www, "Launcher", "launcher.json"), "w") as f:
            json.dump(manifest, f)
        with open(os.path.join(self.paths.www, "builds", "v1_top.zip.sha256")) as f:
            digest = f.read().strip()
        with open(self.paths.manifest, "w") as f:
            json.dump({"version": "1.0", "sha256": digest,
                       "download_url": self.paths.url("_hold/soak-launcher/builds/v1_top.zip")},
                      f)

    def cleanup(self):
        self.end_processes()
        for path in (os.path.join(self.paths.www, "Launcher", "launcher.json"),
                     self.paths.manifest,
                     os.path.join(self.paths.www, "_release", "soak-launcher")):
            if os.path.exists(path):
                os.remove(path)
        shutil.rmtree(os.path.join(self.paths.www, "soak-launcher"), ignore_errors=True)
        shutil.rmtree(self.folder, ignore_errors=True)

    # --- Processes.
    def start(self):
        return subprocess.Popen([self.paths.wine_run, self.exe], stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, env=self.env)

    def probe(self, *args):
        result = subprocess.run([self.paths.wine_run, self.paths.probe, "--exe",
                                 unix_to_windows(self.exe)] + list(args),
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                timeout=START_LIMIT, env=self.env)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def launchers(self):
        """Linux ids of the running launchers of the folder: the old one (the
        launcher's file) and new ones (run from beside it)."""
        old, new = [], []
        for pid in processes_under(self.folder):
            try:
                with open("/proc/%d/cmdline" % pid, "rb") as f:
                    argv0 = f.read().split(b"\0", 1)[0].decode(errors="replace").lower()
            except OSError:
                continue
            if ".next-" in argv0 and argv0.endswith(".exe"):
                new.append(pid)
            elif argv0.endswith("vornlaunchertest.exe"):
                old.append(pid)
        return old, new

    def end_processes(self):
        for _ in range(100):
            left = processes_under(self.folder) + tagged_processes(self.tag)
            if not left:
                return
            kill_all(left)
            time.sleep(0.05)

    # --- The disk.
    def step(self, old, new):
        if read_bytes(self.exe) == self.new:
            return "replaced"
        if new:
            return "starting" if old else "taking-over"
        if glob.glob(os.path.join(self.folder, "VornLauncherTest.next-*.exe")):
            return "staged"
        if glob.glob(os.path.join(self.folder, "vorn_update_*")):
            return "staging"
        return "before"

    def problems(self):
        found = []
        if read_bytes(self.exe) not in (self.old, self.new):
            found.append("the launcher's file is neither launcher")
        for candidate in glob.glob(os.path.join(self.folder, "VornLauncherTest.next-*.exe")):
            if read_bytes(candidate) != self.new:
                found.append("a new launcher beside it is not whole")
        return found

    def starts(self):
        """The launcher's file brings up its window with its three buttons. A
        start that ends before any window is tried again, as Wine under load
        sometimes cannot start a program; a file that is not a whole launcher
        fails every time."""
        for _ in range(3):
            process = self.start()
            deadline = time.monotonic() + START_LIMIT
            try:
                while time.monotonic() < deadline:
                    code, out = self.probe("info")
                    if code == 0 and out.strip() and len(json.loads(out)["buttons"]) == 3:
                        return True
                    if process.poll() is not None and not any(self.launchers()):
                        break
                    time.sleep(0.2)
                else:
                    return False
            finally:
                self.end_processes()
                process.wait()
            self.start_failures += 1
        return False

    # --- Trials.
    def fresh_folder(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        with open(self.exe, "wb") as f:
            f.write(self.old)
        release = os.path.join(self.paths.www, "_release", "soak-launcher")
        if os.path.exists(release):
            os.remove(release)

    def replace_once(self, press, aim=None, hold=False, shrink=0):
        """One replacement from a fresh folder, killed in the aimed step (None:
        run to its end). Returns the step the kill met, or "replaced", and the
        time each step was first seen. Aimed before the first step, the kill
        comes within the time to it, halved `shrink` times: a start quicker
        than the reference's has the first step sooner."""
        self.fresh_folder()
        process = self.start()
        started = time.monotonic()
        if press:
            subprocess.Popen([self.paths.wine_run, self.paths.probe, "--exe",
                              unix_to_windows(self.exe), "press", str(ONLINE_BUTTON)],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env)
        seen, released, held, kill_at = {}, False, False, None
        if aim == "before":
            kill_at = (self.rng.uniform(0.05, 0.9) * self.reference(press)["staging"]
                       * 0.5 ** shrink)
        while True:
            old, new = self.launchers()
            step = self.step(old, new)
            now = time.monotonic() - started
            seen.setdefault(step, now)
            if press and not released and step == "staged" and now - seen["staged"] > 2.0:
                # The run ends; the hand-over follows it.
                os.makedirs(os.path.join(self.paths.www, "_release"), exist_ok=True)
                with open(os.path.join(self.paths.www, "_release", "soak-launcher"), "w") as f:
                    f.write("go")
                released = True
            if hold and not held and step == "starting":
                # A scanner holds the launcher's file while the new launcher
                # would rename itself over it.
                subprocess.Popen([self.paths.wine_run, self.paths.hold_file,
                                  unix_to_windows(self.exe), "4000"], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, env=self.env)
                held = True
            if step == "before" and not (old or new) and (process.poll() is not None
                                                          or now > START_LIMIT):
                # Wine did not start the launcher: nothing of it has run.
                self.end_processes()
                process.wait()
                raise StartFailed("no launcher process after %.1f s" % now)
            if aim is not None and kill_at is None and step == aim:
                kill_at = now + self.rng.uniform(0.0, 0.8) * self.length(press, aim)
            if kill_at is not None and now >= kill_at:
                choice = self.rng.choice(("old", "new", "both"))
                kill_all({"old": old, "new": new, "both": old + new}[choice] or old + new)
                break
            if aim is None and step == "replaced":
                break
            if now > 180:
                code, text = self.probe("dialog", "Ошибка", "keep")
                raise CampaignError("a replacement took over 3 minutes (at %s; launchers %s; "
                                    "error box: %s)" % (step, (old, new),
                                                        text.strip() if code == 0 else "none"))
            time.sleep(0.02)
        self.end_processes()
        process.wait()
        return step, seen

    def reference(self, press):
        return self.references[press]

    def length(self, press, step):
        """How long the step lasted in the unkilled replacement."""
        if step == "taking-over":
            return 1.5  # the held file keeps it going for 2 s of retries
        times = self.reference(press)
        later = [t for name, t in times.items() if t > times[step]]
        return (min(later) if later else times[step] + 1.0) - times[step]

    def trial(self, i, press, aim, shrink):
        """One killed replacement and the start after it: the step the kill
        met, and 1 when the launcher was not whole or did not start."""
        step = None
        for _ in range(3):
            try:
                step, _ = self.replace_once(press, aim, hold=aim == "taking-over", shrink=shrink)
                break
            except StartFailed:
                self.start_failures += 1
        if step is None:
            raise CampaignError("Wine did not start the launcher three times in a row")
        found = self.problems()
        if not found and not self.starts():
            found.append("the launcher's file did not start")
        self.rows[step]["kills"] += 1
        if found:
            self.rows[step]["failures"] += 1
            print("trial %d (aimed at %s, killed in %s): %s" % (i, aim, step, "; ".join(found)),
                  flush=True)
            return step, 1
        if self.args.verbose:
            print("trial %d: aimed at %s, killed in %s, started again" % (i, aim, step),
                  flush=True)
        return step, 0

    def run(self):
        started = time.monotonic()
        print("launcher kill campaign: seed %d, %d kills" % (self.args.seed, self.args.kills),
              flush=True)
        self.publish()
        # One unkilled replacement of each kind gives the steps' lengths.
        self.references = {}
        for press in (False, True):
            _, self.references[press] = self.replace_once(press)
            if self.problems() or read_bytes(self.exe) != self.new:
                raise CampaignError("an unkilled replacement did not replace the launcher")
            print("reference replacement%s: %s" % (
                " waiting for a run" if press else "", ", ".join(
                    "%s %.1fs" % item for item in sorted(self.references[press].items(),
                                                        key=lambda item: item[1]))), flush=True)
        failures = 0
        for i in range(self.args.kills):
            aim = STEPS[i % len(STEPS)]
            # The staged launcher lasts while it waits for a run.
            press = aim == "staged" or (i // len(STEPS)) % 2 == 1
            # A kill aimed before the first step that met a later one (the
            # start was quicker than the reference's) counts where it met,
            # and is aimed again sooner, twice at most.
            for shrink in range(3):
                step, failed = self.trial(i, press, aim, shrink)
                failures += failed
                if aim != "before" or step == "before":
                    break
        print("%-12s %6s %9s" % ("step", "kills", "failures"))
        for name in STEPS:
            print("%-12s %6d %9d" % (name, self.rows[name]["kills"], self.rows[name]["failures"]))
        print("%-12s %6d %9d" % ("all", sum(row["kills"] for row in self.rows.values()),
                                 failures))
        if self.start_failures:
            print("Wine could not start the launcher %d times; started again"
                  % self.start_failures)
        print("seed %d, %.0fs" % (self.args.seed, time.monotonic() - started))
        empty = [name for name in STEPS if not self.rows[name]["kills"]]
        if empty and self.args.kills >= 2 * len(STEPS):
            print("no kill met: " + ", ".join(empty))
            return 1
        return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--kills", type=int, default=60)
    parser.add_argument("--verbose", action="store_true")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "big")
    if "DISPLAY" not in os.environ and shutil.which("xvfb-run"):
        os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24",
                               sys.executable, os.path.abspath(__file__), "--seed",
                               str(args.seed), "--kills", str(args.kills)]
                  + (["--verbose"] if args.verbose else []))
    campaign = Campaign(args)

    def on_signal(number, _frame):
        raise SystemExit(128 + number)

    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        return campaign.run()
    except CampaignError as e:
        print("launcher kill campaign (seed %d) could not go on: %s" % (args.seed, e))
        return 2
    finally:
        campaign.cleanup()


if __name__ == "__main__":
    sys.exit(main())
