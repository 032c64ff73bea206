#!/usr/bin/env python3
"""Kills the real launcher at every moment of an online update and checks that
the player's data survives every kill.

    kill_campaign.py [--seed N] [--kills N] [--verbose] [--launcher EXE]
    kill_campaign.py --seed N --trial I [--aim PHASE]     (replays one trial)

The launcher (the test build, which talks to the local test server) runs under
Wine in a folder of its own under the test environment. Each trial writes fresh
player data into game_online (saves, user data, the nickname file; every file
names its trial), publishes a newer version of one of two builds (two trials
in four with the archive's file index, for a small update), presses the
online button and SIGKILLs the launcher's Windows process at a chosen moment.
Right after the kill every player file must still exist, byte for byte, in the
install folder or in its backup. About one trial in five kills the recovery
run too, with the same check. A last recovery run must then start the game,
and the install folder must hold exactly the trial's player data beside the
new build, with the new version recorded.

The two builds alternate and share no file name but Game.exe and some shared
data, so the disk tells whose a file is. The second one ships its own version.txt (holding the
published version) and default Save, UserData and nickname files: the player's
data must replace them.

Phases, read from the disk after the kill (the launcher is dead, so the disk
stands still); the first rule that matches wins:
    done       no restore marker, every file of the new build outside the
               player's folders in place, no work folder of the run left and
               version.txt holding the new version
    finishing  as done, but a work folder remains or version.txt is not new
               yet (version.txt being written, the old build and the work
               folder removed)
    restoring  marker present and the new build in place; only the player's
               folders still change
    swapping   marker present and the new build not in place (the old build
               is being set aside and the new one renamed into its place)
    backup     no marker yet and the extract folder complete: the copy of the
               player's data into the backup, taken right before the swap
    checking   no work folder with an archive yet: the manifest check
    download   the work folder has game.zip (or, in a small update, the file
               index) but no extract folder (the download and its
               checksum; the index, the comparison of the installed files
               and the fetch of the changed ones)
    unpacking  the extract folder lacks part of the build
A recovery run starts from a changed disk, so for second kills the phase is
only a hint.

Kill moments are stratified: trial i aims at one phase in turn, every phase
once in each 8 trials, and each phase meets both builds, each with a whole
and a small update, within 32. Phase
lengths are measured by polling the disk, first in one unkilled reference run
per build and then in every run the campaign watches; a trial waits until its
phase shows on the disk and sleeps a seeded fraction of the phase's recent
length (the polling goes on meanwhile, so the launcher runs under the load it
was measured under; a kill that slips into a later phase shortens the lengths
used next). The phase is always recorded from the disk, whatever was aimed
at; when a phase whose turn has passed has had no kill, the next trial whose
own phase has been hit already aims at the missed one, early in it.

Everything random comes from the seed (printed first): `--seed S --trial I`
replays trial I of a campaign (its build, version, player data and kill plan,
after an install and four reference runs); `--aim` gives the phase it was aimed
at when that was not the planned one (the failure report prints the command).

After a trial that lost data the campaign removes a restore marker left
behind, so that one fault does not spoil the trials after it. Under Wine, a
game whose start is interrupted by the kill waits forever for its dead parent
and keeps Game.exe open; the campaign ends such processes as a player would
close the game. `--launcher` kills another test build of the launcher (one
built with the same server port), for instance an older one whose faults the
campaign must find; `--verbose` prints a line per trial.

Environment (set by CTest, otherwise derived from the build folder beside the
sources): VORN_BUILD_DIR, VORN_TESTENV_DIR, VORN_TEST_PORT. The update server
of the test environment must be running (`tests/harness/testenv.sh setup`).
Without DISPLAY the campaign runs itself under xvfb-run.

Exit code: 0 when no player data was lost and every phase got a trial; 1 when
data was lost, existed nowhere at some kill, a run failed or installed the
wrong files, or a phase got no trial; 2 when the campaign itself could not go
on (no server, no window).
"""

import argparse
import hashlib
import json
import os
import pwd
import random
import shutil
import signal
import socket
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from publishing.file_index import archive_entries, render_index  # noqa: E402

PHASES = ("checking", "download", "unpacking", "backup", "swapping", "restoring",
          "finishing", "done")
ONLINE_BUTTON = 1001
NICKNAME = "ModScripts/multiplayer/nickname.json"
SECOND_KILL_SHARE = 0.2
# Generous: a whole update takes a few seconds here.
RUN_LIMIT = 120.0
PROBE_LIMIT = 60.0


class CampaignError(Exception):
    """The campaign itself cannot go on (server gone, launcher never showed)."""


class RunFailed(Exception):
    """A run of the launcher ended without starting the game."""


class StartFailed(Exception):
    """The launcher ended before its window appeared. Under load Wine sometimes
    cannot give a new program its window ("The explorer process failed to
    start"); nothing of the launcher's own has run then."""


def is_player_path(rel):
    return rel.startswith("Save/") or rel.startswith("UserData/") or rel == NICKNAME


def unix_to_windows(path):
    return "Z:" + path.replace("/", "\\")


def read_bytes(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def write_file(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def files_under(root):
    """Relative path ('/'-separated) of every file below root."""
    found = []
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            found.append(os.path.relpath(full, root).replace(os.sep, "/"))
    return found


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    elif os.path.lexists(path):
        os.remove(path)


class Paths:
    def __init__(self):
        self.build = os.path.abspath(os.environ.get("VORN_BUILD_DIR",
                                                    os.path.join(SOURCE, "build")))
        self.testenv = os.path.abspath(os.environ.get("VORN_TESTENV_DIR",
                                                      os.path.join(self.build, "testenv")))
        self.port = os.environ.get("VORN_TEST_PORT") or self._port_from_cache()
        self.wine_run = os.path.join(self.build, "wine-run.sh")
        self.probe = os.path.join(self.build, "tests", "bin", "window_probe.exe")
        self.game = os.path.join(self.build, "tests", "bin", "record_args.exe")
        self.launcher_exe = os.path.join(self.build, "tests", "bin-ui", "VornLauncherTest.exe")
        self.www = os.path.join(self.testenv, "www")
        self.served = os.path.join(self.www, "soak-kills")
        self.manifest = os.path.join(self.www, "Launcher", "version.json")
        self.folder = os.path.join(self.testenv, "soak-kills")
        self.exe = os.path.join(self.folder, "VornLauncherTest.exe")
        self.install = os.path.join(self.folder, "game_online")
        self.backup = os.path.join(self.folder, "backup", "game_online")
        self.marker = os.path.join(self.backup, "restore-pending")
        user = pwd.getpwuid(os.getuid()).pw_name
        self.temp = os.path.join(self.build, "wineprefix", "drive_c", "users", user, "Temp")

    def _port_from_cache(self):
        with open(os.path.join(self.build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith("VORN_TEST_PORT:"):
                    return line.split("=", 1)[1].strip()
        raise CampaignError("VORN_TEST_PORT is not in the CMake cache")

    def url(self, path):
        return "https://localhost:%s/%s" % (self.port, path)


# ---------------------------------------------------------------------------
# Builds and player data


def make_builds(game):
    """Two builds of some two hundred files and 3.5 MB each of their own, with
    no file name in common but Game.exe and 4 MB of shared data, so that the
    disk tells which one a file is from, and a small update from one to the
    other fetches less than half of the archive. The second ships what makes
    an update risky: its own version.txt (added per publication, holding the
    published version) and default player data."""
    rng = random.Random("vorn soak builds")
    shared = {"Data/Shared/shared_%02d.bin" % i: rng.randbytes(100000) for i in range(40)}
    plain = dict(shared, **{"Game.exe": game,
                            "readme_plain.txt": b"Vorn RPG, plain build\r\n"})
    own = dict(shared, **{"Game.exe": game,
                          "readme_own.txt": b"Vorn RPG, build with its own saves\r\n",
                          "Save/default.sav": b"default save of the build",
                          "UserData/default_settings.cfg": b"volume=80\r\n",
                          NICKNAME: b'{"nick": "Player"}'})
    for build, prefix in ((plain, "p"), (own, "o")):
        # Incompressible maps and sounds for size, text for many small entries.
        for i in range(50):
            build["Data/Maps/%s_map_%03d.bin" % (prefix, i)] = rng.randbytes(
                rng.randrange(20000, 50000))
        for i in range(20):
            build["Data/Sounds/%s_sound_%02d.ogg" % (prefix, i)] = rng.randbytes(
                rng.randrange(60000, 100000))
        for i in range(100):
            words = " ".join(rng.choice(("vorn", "quest", "sword", "mage", "gold", "inn"))
                             for _ in range(rng.randrange(300, 900)))
            build["Data/Text/%s_text_%03d.txt" % (prefix, i)] = words.encode()
        for i in range(30):
            build["ModScripts/quests/%s_quest_%02d.lua" % (prefix, i)] = (
                "-- quest %d\r\nreturn {id = %d}\r\n" % (i, i)).encode() * 20
        build["ModScripts/multiplayer/%s_lobby.lua" % prefix] = b"return {port = 7777}\r\n"
    return {"plain": plain, "own-saves": own}


def write_zip(path, files):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for name in sorted(files):
            archive.writestr(name, files[name])


def player_data(tag, slug, rng):
    """A player's data, every file naming its owner: an old backup restored over
    it, or the build's defaults left in its place, shows as changed."""
    head = ("%s\n" % tag).encode()
    files = {}
    for k in range(1, 13):
        files["Save/slot%02d.sav" % k] = head + rng.randbytes(rng.randrange(30000, 90000))
    files["Save/quicksave.sav"] = head + rng.randbytes(40000)
    for k in range(3):
        files["Save/auto/autosave_%s_%d.sav" % (slug, k)] = head + rng.randbytes(60000)
    for k in range(6):
        files["Save/screens/%s_%d.bmp" % (slug, k)] = head + rng.randbytes(50000)
    files["Save/profile.dat"] = head + rng.randbytes(2000)
    files["UserData/settings.cfg"] = head + b"volume=%d\r\n" % rng.randrange(100)
    files["UserData/keybinds.cfg"] = head + rng.randbytes(3000)
    files["UserData/chat/%s.log" % slug] = head + rng.randbytes(20000)
    files["UserData/macros/macro1.txt"] = head + rng.randbytes(1000)
    files[NICKNAME] = json.dumps({"nick": "player-" + slug, "owner": tag}).encode()
    return files


def owner_of(data, build_files, rel):
    """Whose a player file's content is, for reports."""
    if data is None:
        return "nothing"
    if build_files.get(rel) == data:
        return "the build's own file"
    if data.startswith(b"{"):
        try:
            return "data of " + json.loads(data.decode())["owner"]
        except (ValueError, KeyError):
            return "other data"
    first = data.split(b"\n", 1)[0]
    if first.startswith((b"trial ", b"reference ")):
        return "data of " + first.decode()
    return "other data"


def summary(items, shown=4):
    items = sorted(items)
    text = ", ".join(items[:shown])
    return text + (" and %d more" % (len(items) - shown) if len(items) > shown else "")


# ---------------------------------------------------------------------------
# Processes


def wine_processes(exe):
    """Linux ids of the Wine processes started from this executable (argv[0] is
    the Unix path for them; the wine-run.sh shell has /bin/sh there)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv0 = f.read().split(b"\0", 1)[0].decode(errors="replace")
        except OSError:
            continue
        if argv0 == exe:
            found.append(int(entry))
    return found


def kill_all(pids):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def describe_process(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return "process %d, state %s, parent %s" % (pid, fields[0], fields[1])
    except (OSError, IndexError):
        return "process %d (gone)" % pid


def tagged_processes(tag):
    """Every process whose environment carries the campaign's tag: what the
    campaign started and everything those started in turn (Wine hands the
    environment on to Windows children, and to the console hosts it makes for
    them). Wine's own server and services are left alone, should one of ours
    have been the first to need them."""
    entry_text = b"VORN_SOAK_RUN=" + tag.encode() + b"\0"
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                environ = f.read()
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                argv0 = f.read().split(b"\0", 1)[0].lower()
        except OSError:
            continue
        if entry_text not in environ or b"wineserver" in argv0:
            continue
        if argv0.startswith(b"c:\\windows\\") and not argv0.endswith(b"conhost.exe"):
            continue
        found.append(int(entry))
    return found


def processes_under(folder):
    """Every process whose command line names something inside the folder."""
    unix, windows = folder.encode(), unix_to_windows(folder).encode().lower()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                cmdline = f.read()
        except OSError:
            continue
        if unix in cmdline or windows in cmdline.lower():
            found.append(int(entry))
    return found


class Launcher:
    """One start of the launcher copy with its online button pressed; at most
    one exists at a time."""

    def __init__(self, campaign):
        self.c = campaign
        paths = campaign.paths
        if wine_processes(paths.exe):
            raise CampaignError("a launcher is still running")
        # Work folders that were there before this start belong to others.
        self.existing = set(self.temp_names()) | set(self.update_names())
        self.first_seen = {}
        self.pid = None
        # What Wine says about the launcher, for a run that ends by itself.
        self.output = os.path.join(paths.folder, "launcher-output.txt")
        with open(self.output, "wb") as out:
            self.shell = subprocess.Popen([paths.wine_run, paths.exe], stdout=out,
                                          stderr=subprocess.STDOUT, env=campaign.child_env)
        campaign.shells.append(self.shell)
        self.presses = 0
        self.press()

    def press(self):
        """Started together with the launcher: the helper waits for the window
        itself, clicks and prints the launcher's Windows process id."""
        paths = self.c.paths
        self.presses += 1
        self.press_process = subprocess.Popen(
            [paths.wine_run, paths.probe, "--exe", unix_to_windows(paths.exe), "press",
             str(ONLINE_BUTTON)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            env=self.c.child_env)
        self.c.shells.append(self.press_process)

    def temp_names(self):
        return [name for name in os.listdir(self.c.paths.temp)
                if name.startswith("vorn_launcher_")]

    def update_names(self):
        """The update's work folders, beside the build."""
        return [name for name in os.listdir(self.c.paths.folder)
                if name.startswith("vorn_update_")]

    def probe(self, *args):
        paths = self.c.paths
        result = subprocess.run([paths.wine_run, paths.probe, "--exe", unix_to_windows(paths.exe)]
                                + list(args), stdout=subprocess.PIPE, timeout=PROBE_LIMIT,
                                env=self.c.child_env)
        return result.stdout.decode("utf-8", "replace") if result.returncode == 0 else None

    def pressed(self):
        """The launcher's Windows process id once the click has been posted,
        None before."""
        if self.pid is None:
            code = self.press_process.poll()
            if code is None:
                return None
            out = self.press_process.stdout.read().decode(errors="replace").strip()
            if code != 0 and not self.alive():
                raise StartFailed(self.ending())
            # Not one of the helper's own codes: Wine could not start it, so
            # nothing was clicked yet and it is started again.
            if code not in (0, 2, 3, 4) and self.presses < 3:
                self.press()
                return None
            if code != 0 or not out.isdigit():
                raise CampaignError("the online button could not be pressed (window_probe "
                                    "ended with %d: %s)" % (code, " ".join(out.split())[:300]))
            self.pid = int(out)
        return self.pid

    def scan(self):
        """Notes when each new work folder was first seen: the manifest check's
        folder lives only briefly, but marks the start of the run."""
        now = time.monotonic()
        for name in self.temp_names():
            if name not in self.existing:
                self.first_seen.setdefault(name, now)

    def started_at(self):
        prefix = "vorn_launcher_%d_" % self.pid
        times = [t for name, t in self.first_seen.items() if name.startswith(prefix)]
        return min(times) if times else None

    def own_work_folders(self):
        if self.pid is None:
            return []
        paths = self.c.paths
        return [os.path.join(folder, name)
                for folder, names, prefix in (
                    (paths.temp, self.temp_names(), "vorn_launcher_%d_" % self.pid),
                    (paths.folder, self.update_names(), "vorn_update_%d_" % self.pid))
                for name in names if name.startswith(prefix) and name not in self.existing]

    def alive(self):
        return self.shell.poll() is None

    def ending(self):
        """How the launcher's process ended, with what Wine said."""
        said = " ".join((read_bytes(self.output) or b"").decode(errors="replace").split())
        return "exit code %d%s" % (self.shell.returncode, ": " + said[-300:] if said else "")

    def kill(self):
        # Killed again while any remain: a process forked for the game just
        # before the kill carries the launcher's name until it runs the game.
        deadline = time.monotonic() + 30
        while True:
            left = wine_processes(self.c.paths.exe)
            if not left:
                break
            if time.monotonic() > deadline:
                raise CampaignError("the killed launcher did not go away: %s" % "; ".join(
                    describe_process(pid) for pid in left))
            kill_all(left)
            time.sleep(0.02)
        # Under Wine a game whose start the kill interrupted waits forever for
        # its dead parent, holding Game.exe open so that the next update cannot
        # replace it; a player would close it, the campaign ends it, and the
        # console host Wine made for it (and a click still waiting for a window
        # that will not come).
        kill_all(tagged_processes(self.c.tag))
        for shell in (self.shell, self.press_process):
            try:
                shell.wait(timeout=30)
            except subprocess.TimeoutExpired:
                shell.kill()
                shell.wait()

    def forget_work_folders(self):
        """A killed run cannot clean up after itself; its folders are removed so
        that a later process with the same id is not confused by them."""
        for folder in self.own_work_folders():
            shutil.rmtree(folder, ignore_errors=True)


class Watchdog:
    """Notices a run that ended without starting the game. A run takes a few
    seconds; only one that takes much longer is asked about, through the
    window, every few seconds."""

    QUIET = 10.0
    EVERY = 3.0

    def __init__(self, campaign, launcher):
        self.c = campaign
        self.launcher = launcher
        self.started = time.monotonic()
        self.next_look = self.started + self.QUIET

    def check(self):
        now = time.monotonic()
        launcher = self.launcher
        if not launcher.alive():
            if launcher.pid is None:
                # Whether the click got in first tells a launcher that died in
                # its run from one that never had a window.
                launcher.press_process.wait(timeout=PROBE_LIMIT)
                launcher.pressed()
            raise RunFailed("the launcher ended by itself with " + launcher.ending())
        if now > self.started + RUN_LIMIT:
            raise RunFailed("the game was not started within %ds" % RUN_LIMIT)
        if now < self.next_look:
            return
        self.next_look = now + self.EVERY
        if launcher.pressed() is None:
            return
        info = launcher.probe("info")
        launched = os.path.join(self.c.paths.install, "launched.txt")
        if not info or not all(b["enabled"] for b in json.loads(info)["buttons"]) \
                or os.path.exists(launched):
            return
        launcher.scan()
        if launcher.started_at() is None:
            raise RunFailed("the click started no run")
        text = launcher.probe("dialog", "Ошибка")
        lost = self.c.environment_lost()
        if lost:
            raise CampaignError(lost)
        raise RunFailed("the run ended without starting the game: %s"
                        % (" ".join(text.split()) if text else "no message"))


# ---------------------------------------------------------------------------
# Reading the disk


class Update:
    """What one publication installs: the build's files and the version."""

    def __init__(self, files, version, old_files):
        self.version = version
        self.files = files
        self.program = {rel: data for rel, data in files.items() if not is_player_path(rel)}
        old = old_files or {}
        self.new_only = [rel for rel in self.program if rel not in old and rel != "version.txt"]


def same(path, data, exact):
    if exact:
        return read_bytes(path) == data
    try:
        return os.stat(path).st_size == len(data)
    except OSError:
        return False


def tree_complete(root, files, exact):
    return all(same(os.path.join(root, rel), data, exact) for rel, data in files.items())


def classify(paths, launcher, update, exact):
    """The phase of the update the disk shows (see the rules at the top)."""
    marker = os.path.exists(paths.marker)
    program_in_place = tree_complete(paths.install, update.program, exact)
    folders = launcher.own_work_folders()
    if not marker and program_in_place:
        version = read_bytes(os.path.join(paths.install, "version.txt"))
        if not folders and version == update.version.encode():
            return "done"
        return "finishing"
    if marker:
        return "restoring" if program_in_place else "swapping"
    archive = [f for f in folders
               if os.path.exists(os.path.join(f, "game.zip"))
               or os.path.exists(os.path.join(f, "files.txt"))
               or os.path.isdir(os.path.join(f, "extract"))]
    if not archive:
        return "checking"
    extract = os.path.join(archive[0], "extract")
    if not os.path.isdir(extract):
        return "download"
    if not tree_complete(extract, update.files, exact):
        return "unpacking"
    return "backup"


def nowhere(paths, player):
    """Player files that are neither in the install folder nor in the backup."""
    missing = []
    for rel, data in player.items():
        if read_bytes(os.path.join(paths.install, rel)) == data:
            continue
        if read_bytes(os.path.join(paths.backup, rel)) == data:
            continue
        missing.append(rel)
    return missing


def final_problems(paths, update, player):
    """(losses, other problems) of the install folder after a full recovery, as
    short sentences."""
    missing, changed, extra, in_backup = [], [], [], 0
    present = set(files_under(paths.install))
    for rel, data in sorted(player.items()):
        held = read_bytes(os.path.join(paths.install, rel))
        if held == data:
            continue
        if read_bytes(os.path.join(paths.backup, rel)) == data:
            in_backup += 1
        if held is None:
            missing.append(rel)
        else:
            changed.append("%s (%s)" % (rel, "cut short" if data.startswith(held)
                                        else owner_of(held, update.files, rel)))
    for rel in sorted(present):
        if is_player_path(rel) and rel not in player:
            held = read_bytes(os.path.join(paths.install, rel))
            extra.append("%s (%s)" % (rel, owner_of(held, update.files, rel)))
    losses = []
    if missing:
        losses.append("%d of %d player files missing: %s" % (len(missing), len(player),
                                                             summary(missing)))
    if changed:
        losses.append("changed: " + summary(changed))
    if extra:
        losses.append("not the player's: " + summary(extra))
    if in_backup:
        losses.append("the backup still holds %d of them" % in_backup)

    problems = []
    wrong = [rel for rel, data in update.program.items()
             if rel != "version.txt" and read_bytes(os.path.join(paths.install, rel)) != data]
    if wrong:
        problems.append("build files missing or wrong: " + summary(wrong))
    stray = [rel for rel in present if not is_player_path(rel) and rel not in update.program
             and rel not in ("version.txt", "launched.txt")]
    if stray:
        problems.append("stray files: " + summary(stray))
    version = read_bytes(os.path.join(paths.install, "version.txt"))
    if version != update.version.encode():
        problems.append("version.txt holds %r, not %r" % (version, update.version))
    return losses, problems


# ---------------------------------------------------------------------------
# The campaign


class Plan:
    """Everything about trial i that the seed decides."""

    def __init__(self, seed, i):
        rng = random.Random("%d:%d" % (seed, i))
        self.index = i
        self.build = "plain" if i % 2 == 0 else "own-saves"
        # Two trials with a whole update, then two with a small one.
        self.small = (i // 2) % 2 == 1
        self.kind = kind_of(self.build, self.small)
        # After the first install and the four reference runs.
        self.version = "1.0.%d" % (i + 6)
        self.target = Plan.target_of(i)
        self.offset = rng.random()
        self.second_kill = rng.random() < SECOND_KILL_SHARE
        self.second_offset = rng.random()
        self.player = player_data("trial %d" % i, "t%d" % i, rng)

    @staticmethod
    def target_of(i):
        # Every phase once in each 8 trials; the kinds of run come round every
        # 4, and each round of 8 starts one phase later, so each phase meets
        # every kind within 32.
        return PHASES[(i + i // len(PHASES)) % len(PHASES)]


def kind_of(build, small):
    """Phase lengths differ between whole and small updates of a build."""
    return build + (" small" if small else "")


KINDS = [kind_of(build, small) for build in ("plain", "own-saves") for small in (False, True)]


class Stats:
    def __init__(self):
        self.rows = {phase: {"trials": 0, "second": 0, "losses": 0, "nowhere": 0, "errors": 0}
                     for phase in PHASES}
        self.failures = 0


class Campaign:
    def __init__(self, args):
        self.args = args
        self.seed = args.seed
        self.paths = Paths()
        if args.launcher:
            self.paths.launcher_exe = os.path.abspath(args.launcher)
        self.shells = []
        # Marks every process the campaign starts, so that all of them can be
        # found again.
        self.tag = "%d-%d" % (os.getpid(), self.seed)
        self.child_env = dict(os.environ, VORN_SOAK_RUN=self.tag)
        self.launcher = None
        self.builds = None
        self.installed = None  # files of the build in game_online
        # Observed phase lengths per build, and a whole update's length.
        self.lengths = {kind: {phase: [] for phase in PHASES} for kind in KINDS}
        self.shrink = {kind: {phase: 1.0 for phase in PHASES} for kind in KINDS}
        self.totals = {}
        self.hit = set()  # phases that a trial aimed at them has hit
        self.start_failures = 0
        self.stats = Stats()
        self.ok = False

    # -- environment ------------------------------------------------------

    def check_environment(self):
        p = self.paths
        for path in (p.wine_run, p.probe, p.game, p.launcher_exe):
            if not os.path.exists(path):
                raise CampaignError("missing %s (build the project first)" % path)
        if not os.path.isdir(p.temp):
            raise CampaignError("the prefix has no Temp folder at %s" % p.temp)
        if not os.path.isdir(p.www):
            raise CampaignError("no server folder %s (run tests/harness/testenv.sh setup)"
                                % p.www)
        try:
            socket.create_connection(("localhost", int(p.port)), timeout=5).close()
        except OSError:
            raise CampaignError("no update server on port %s (run tests/harness/testenv.sh "
                                "setup)" % p.port) from None

    def environment_lost(self):
        """Why the server side is gone, if it is: the test environment is shared,
        and another run's setup or cleanup replaces the server and its files."""
        p = self.paths
        if not os.path.exists(p.manifest) or not os.path.isdir(p.served):
            return "the published files were removed (another test run's testenv setup?)"
        try:
            socket.create_connection(("localhost", int(p.port)), timeout=5).close()
        except OSError:
            return "the update server went away (another test run's testenv cleanup?)"
        return None

    def prepare(self):
        p = self.paths
        # Left by a campaign that was itself killed.
        kill_all(processes_under(p.folder))
        # Wine's server and services, started now unless they run already, so
        # that they do not carry the tag of the launcher that would start them.
        subprocess.run([p.wine_run, p.probe], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=PROBE_LIMIT)
        remove(p.folder)
        remove(p.served)
        os.makedirs(p.folder)
        os.makedirs(p.served)
        shutil.copy(p.launcher_exe, p.folder)
        with open(p.game, "rb") as f:
            self.builds = make_builds(f.read())
        # Packed once; a publication copies the archive (and adds version.txt).
        self.archives = {}
        for name, files in self.builds.items():
            self.archives[name] = os.path.join(p.served, "base-%s.zip" % name)
            write_zip(self.archives[name], files)

    def cleanup(self):
        if self.launcher is not None:
            try:
                self.launcher.kill()
                self.launcher.forget_work_folders()
            except Exception:
                pass
            self.launcher = None
        kill_all(tagged_processes(self.tag))
        kill_all(processes_under(self.paths.folder))
        for shell in self.shells:
            if shell.poll() is None:
                shell.kill()
            shell.wait()
        remove(self.paths.manifest)
        remove(self.paths.served)
        if self.ok:
            remove(self.paths.folder)
        elif os.path.isdir(self.paths.folder):
            print("the launcher's folder is kept for a look: " + self.paths.folder)

    # -- publishing -------------------------------------------------------

    def publish(self, build, version, small=False):
        """Publishes a build under a version; the version-shipping build carries
        that same version in its own version.txt. A small update's manifest
        names the archive's file index."""
        p = self.paths
        files = dict(self.builds[build])
        for name in os.listdir(p.served):
            if name.startswith("release-"):
                os.remove(os.path.join(p.served, name))
        archive = os.path.join(p.served, "release-%s-%s.zip" % (build, version))
        shutil.copy(self.archives[build], archive)
        if build == "own-saves":
            with zipfile.ZipFile(archive, "a", zipfile.ZIP_DEFLATED) as z:
                z.writestr("version.txt", version.encode())
            files["version.txt"] = version.encode()
        with open(archive, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        manifest = {"version": version,
                    "download_url": p.url("soak-kills/" + os.path.basename(archive)),
                    "sha256": digest, "exe": "Game.exe"}
        if small:
            index = render_index(os.path.getsize(archive), archive_entries(archive)).encode()
            with open(archive + ".files", "wb") as f:
                f.write(index)
            manifest["delta_index"] = manifest["download_url"] + ".files"
            manifest["delta_index_sha256"] = hashlib.sha256(index).hexdigest()
        os.makedirs(os.path.dirname(p.manifest), exist_ok=True)
        tmp = p.manifest + ".soak.tmp"
        with open(tmp, "w") as f:
            json.dump(manifest, f)
        os.replace(tmp, p.manifest)
        return Update(files, version, self.installed)

    def write_player_data(self, player):
        p = self.paths
        for folder in ("Save", "UserData"):
            remove(os.path.join(p.install, folder))
        remove(os.path.join(p.install, NICKNAME))
        for rel, data in player.items():
            write_file(os.path.join(p.install, rel), data)

    # -- runs -------------------------------------------------------------

    def start(self):
        self.shells = [shell for shell in self.shells if shell.poll() is None]
        remove(os.path.join(self.paths.install, "launched.txt"))
        self.launcher = Launcher(self)
        return self.launcher

    def stop(self):
        """Ends the launcher (it is idle or meant to die) and its leftovers."""
        self.launcher.kill()
        self.launcher.forget_work_folders()
        self.launcher = None

    def launch(self):
        """Starts the launcher with its button pressed and returns when the run
        shows on the disk. A launcher that Wine could not give its window is
        started again."""
        for _ in range(3):
            launcher = self.start()
            try:
                return self.wait_started(launcher, Watchdog(self, launcher))
            except StartFailed as e:
                self.start_failures += 1
                failure = e
                self.stop()
        raise CampaignError("the launcher did not start three times in a row: %s" % failure)

    def wait_started(self, launcher, watchdog):
        """Waits until the click shows on the disk: the run's first work folder
        appears (the manifest check), or the game was started already."""
        launched = os.path.join(self.paths.install, "launched.txt")
        while True:
            launcher.scan()
            if launcher.pressed() is not None:
                started = launcher.started_at()
                if started is not None:
                    return started
                if os.path.exists(launched):
                    return time.monotonic()
            watchdog.check()
            time.sleep(0.001)

    def watch(self, update, target=None, offset=0.0):
        """Polls the disk from the start of the run and returns when each phase
        was first seen. With a target, returns (the phase) once the target
        phase has shown for `offset` seconds, or at once when a later phase
        shows; without, runs until the game is started. The polling goes on
        while waiting, so the launcher runs under the load it was measured
        under."""
        seen = {"checking": self.launch()}
        launcher = self.launcher
        watchdog = Watchdog(self, launcher)
        launched = os.path.join(self.paths.install, "launched.txt")
        aim = PHASES.index(target) if target else None
        while True:
            phase = classify(self.paths, launcher, update, exact=False)
            now = time.monotonic()
            seen.setdefault(phase, now)
            if aim is not None:
                at = PHASES.index(phase)
                if at > aim or (at == aim and now >= seen[phase] + offset):
                    return phase, seen
            elif os.path.exists(launched):
                seen["launched"] = now
                return None, seen
            watchdog.check()
            time.sleep(0.002)

    def learn(self, build, seen):
        """Phase lengths from a run's first-seen times; only a phase whose very
        next phase was seen too has a known length."""
        order = [phase for phase in PHASES if phase in seen]
        for k, phase in enumerate(order):
            if k + 1 < len(order):
                if PHASES.index(order[k + 1]) == PHASES.index(phase) + 1:
                    self.lengths[build][phase].append(seen[order[k + 1]] - seen[phase])
            elif phase == "done" and "launched" in seen:
                self.lengths[build][phase].append(seen["launched"] - seen[phase])

    def length(self, build, phase):
        """A short length of the phase of late: the kill offsets are fractions
        of it. The load of the machine changes the lengths, so a kill that
        slipped into a later phase shortens the next ones, and a hit lets them
        grow back."""
        recent = sorted(self.lengths[build][phase][-7:])
        short = recent[len(recent) // 3] if recent else 0.0
        return 0.9 * short * self.shrink[build][phase]

    def calibrate(self, build, aim, phase):
        if phase == aim:
            self.shrink[build][aim] = min(1.0, self.shrink[build][aim] * 1.1)
        elif PHASES.index(phase) > PHASES.index(aim):
            self.shrink[build][aim] *= 0.6

    def recover(self, update, learn=None):
        """A run to its end: the game must start. Returns an error text or None.
        With `learn` (a build) the run is a whole update from an intact
        install, and its phase lengths are noted."""
        launched = os.path.join(self.paths.install, "launched.txt")
        try:
            if learn:
                _, seen = self.watch(update)
                self.learn(learn, seen)
            else:
                self.launch()
            launcher = self.launcher
            watchdog = Watchdog(self, launcher)
            while not os.path.exists(launched):
                launcher.scan()
                launcher.pressed()
                watchdog.check()
                time.sleep(0.01)
        except RunFailed as e:
            self.stop()
            return str(e)
        self.stop()
        return None

    def reference_run(self, build, version, tag, small=False):
        """An update that nobody kills: measures the phases and checks the data."""
        player = player_data(tag, tag.replace(" ", ""), random.Random("%d:%s" % (self.seed, tag)))
        self.write_player_data(player)
        update = self.publish(build, version, small)
        kind = kind_of(build, small)
        try:
            _, seen = self.watch(update)
        except RunFailed as e:
            raise CampaignError("the update of %s failed: %s" % (tag, e)) from None
        self.stop()
        losses, problems = final_problems(self.paths, update, player)
        if losses or problems:
            print("FAIL %s (%s %s, not killed): %s" % (tag, build, version,
                                                       "; ".join(losses + problems)))
            self.stats.failures += 1
        self.installed = update.files
        self.learn(kind, seen)
        self.totals[kind] = seen["launched"] - seen["checking"]
        print("reference %-15s %s (%.2fs)" % (kind, " ".join(
            "%s %.0fms" % (phase, self.lengths[kind][phase][-1] * 1000)
            if self.lengths[kind][phase] else "%s -" % phase for phase in PHASES),
            self.totals[kind]), flush=True)

    def first_install(self, build, version):
        update = self.publish(build, version)
        error = self.recover(update)
        if error:
            raise CampaignError("the first install failed: " + error)
        self.installed = update.files

    # -- one trial --------------------------------------------------------

    def kill_and_check(self, launcher, update, player):
        """SIGKILL now, then the phase and the files that existed nowhere."""
        launcher.kill()
        phase = classify(self.paths, launcher, update, exact=True)
        lost = nowhere(self.paths, player)
        launcher.forget_work_folders()
        self.launcher = None
        return phase, lost

    def aim(self, plan):
        """The planned phase, unless a trial aimed at it has hit it already and
        a phase whose turn has passed has had no kill at all: such a spare
        trial makes up for a kill that slipped into the next phase."""
        if self.args.aim:
            return self.args.aim
        if self.args.trial or plan.target not in self.hit:
            return plan.target
        for turn, phase in enumerate(PHASES):
            if self.stats.rows[phase]["trials"] == 0 and turn < plan.index:
                return phase
        return plan.target

    def trial(self, plan):
        stats = self.stats
        self.write_player_data(plan.player)
        update = self.publish(plan.build, plan.version, plan.small)
        aim = self.aim(plan)

        pause = plan.offset * self.length(plan.kind, aim)
        if aim != plan.target:
            # Making up for a missed phase: early in it, to be sure of a kill.
            pause *= 0.25
        failed = None
        try:
            _, seen = self.watch(update, target=aim, offset=pause)
        except RunFailed as e:
            failed, seen = str(e), {"checking": time.monotonic()}
        killed_at = time.monotonic()
        phase, lost = self.kill_and_check(self.launcher, update, plan.player)
        self.learn(plan.kind, seen)
        self.calibrate(plan.kind, aim, phase)
        if phase == aim:
            self.hit.add(phase)
        row = stats.rows[phase]
        row["trials"] += 1
        notes = []
        if failed:
            row["errors"] += 1
            notes.append("the run failed before the kill: " + failed)
        if lost:
            row["nowhere"] += 1
            notes.append("after the kill in %s these existed nowhere: %s"
                         % (phase, summary(lost)))

        second = None
        if plan.second_kill:
            row["second"] += 1
            try:
                started = self.launch()
                time.sleep(max(0.0, started + plan.second_offset * self.totals[plan.kind]
                               - time.monotonic()))
            except RunFailed as e:
                row["errors"] += 1
                notes.append("the run failed before the second kill: %s" % e)
            second, lost2 = self.kill_and_check(self.launcher, update, plan.player)
            if lost2:
                row["nowhere"] += 1
                notes.append("after the second kill (in %s) these existed nowhere: %s"
                             % (second, summary(lost2)))

        # After an early kill the recovery is a whole update from an intact
        # install: its phases are worth measuring.
        intact = PHASES.index(phase) <= PHASES.index("unpacking") and not plan.second_kill
        error = self.recover(update, learn=plan.kind if intact else None)
        if error:
            row["errors"] += 1
            notes.append("recovery failed: " + error)
            if self.launcher is not None:
                self.stop()
            # One more run, so that the next trial starts from an installed build.
            again = self.recover(update)
            if again:
                raise CampaignError("trial %d: the install could not be repaired: %s"
                                    % (plan.index, again))
        losses, problems = final_problems(self.paths, update, plan.player)
        if losses:
            row["losses"] += 1
            notes.append("lost after recovery: " + "; ".join(losses))
        if problems:
            row["errors"] += 1
            notes.append("wrong install after recovery: " + "; ".join(problems))
        if os.path.exists(self.paths.marker):
            # Left behind by a faulty recovery; without clearing it every later
            # trial would have an old backup restored over its data.
            os.remove(self.paths.marker)
            notes.append("the restore marker was still there; cleared")
        self.installed = update.files
        if self.args.verbose:
            print("trial %d: %s %s, aimed at %s (+%.0fms), killed in %s at %.3fs%s" % (
                plan.index, plan.build, plan.version, aim, pause * 1000, phase,
                killed_at - seen["checking"],
                ", second kill in " + second if second else ""), flush=True)
        if notes:
            stats.failures += 1
            print("FAIL trial %d (seed %d, build %s %s, aimed at %s, killed in %s%s):"
                  % (plan.index, self.seed, plan.build, plan.version, aim, phase,
                     ", second kill in " + second if second else ""))
            for note in notes:
                print("    " + note)
            print("    replay: %s --seed %d --trial %d%s%s" % (
                os.path.relpath(os.path.abspath(__file__), SOURCE), self.seed, plan.index,
                " --aim " + aim if aim != plan.target else "",
                " --launcher " + self.args.launcher if self.args.launcher else ""))
        sys.stdout.flush()

    # -- the whole campaign -----------------------------------------------

    def run(self):
        started = time.monotonic()
        self.check_environment()
        print("kill campaign: seed %d, %s" % (
            self.seed, "trial " + " ".join(map(str, self.args.trial)) if self.args.trial
            else "%d kills" % self.args.kills), flush=True)
        self.prepare()
        indices = self.args.trial or list(range(self.args.kills))
        first = Plan(self.seed, indices[0])
        other = "own-saves" if first.build == "plain" else "plain"
        # The builds alternate: the first install and the second reference run
        # leave the build that the first trial does not publish.
        base = indices[0] + 1
        self.first_install(other, "1.0.%d" % base)
        self.reference_run(first.build, "1.0.%d" % (base + 1), "reference 1")
        self.reference_run(other, "1.0.%d" % (base + 2), "reference 2")
        self.reference_run(first.build, "1.0.%d" % (base + 3), "reference 3", small=True)
        self.reference_run(other, "1.0.%d" % (base + 4), "reference 4", small=True)

        for n, i in enumerate(indices):
            plan = Plan(self.seed, i)
            self.trial(plan)
            if (n + 1) % 25 == 0 and n + 1 < len(indices):
                print("... %d/%d trials, %.0fs" % (n + 1, len(indices),
                                                  time.monotonic() - started), flush=True)

        print(self.table(time.monotonic() - started))
        if self.start_failures:
            print("Wine could not give the launcher its window %d times; started again"
                  % self.start_failures)
        empty = [phase for phase in PHASES if self.stats.rows[phase]["trials"] == 0]
        if empty and not self.args.trial:
            print("no trial was killed in: " + ", ".join(empty))
            # A short campaign (make test's) can miss a phase of a few
            # milliseconds on a loaded machine; a long one must meet them all.
            if len(indices) >= 2 * len(PHASES):
                return 1
        return 1 if self.stats.failures else 0

    def table(self, seconds):
        lines = ["%-10s %6s %6s %6s %7s %6s" % ("phase", "trials", "2nd", "losses", "nowhere",
                                               "errors")]
        total = {"trials": 0, "second": 0, "losses": 0, "nowhere": 0, "errors": 0}
        for phase in PHASES:
            row = self.stats.rows[phase]
            for key in total:
                total[key] += row[key]
            lines.append("%-10s %6d %6d %6d %7d %6d" % (
                phase, row["trials"], row["second"], row["losses"], row["nowhere"],
                row["errors"]))
        lines.append("%-10s %6d %6d %6d %7d %6d" % (
            "all", total["trials"], total["second"], total["losses"], total["nowhere"],
            total["errors"]))
        lines.append("seed %d, %.0fs" % (self.seed, seconds))
        return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--kills", type=int, default=200,
                        help="trials, each killing one update (one in five kills its "
                             "recovery too)")
    parser.add_argument("--trial", type=int, action="append",
                        help="replay only this trial of the seed's campaign")
    parser.add_argument("--verbose", action="store_true", help="one line per trial")
    parser.add_argument("--launcher", help="another test build of the launcher to kill "
                        "(it must know the same server port)")
    parser.add_argument("--aim", choices=PHASES,
                        help="with --trial: the phase to aim at instead of the planned one")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "big")
    if args.kills < 1:
        parser.error("--kills must be at least 1")
    if args.trial:
        args.trial = sorted(set(args.trial))
        # Each trial updates from the build and version of the one before.
        if any(b - a != 1 for a, b in zip(args.trial, args.trial[1:])):
            parser.error("replayed trials must follow each other")
    if args.aim and not args.trial:
        parser.error("--aim needs --trial")

    if "DISPLAY" not in os.environ and shutil.which("xvfb-run"):
        os.execvp("xvfb-run", ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24",
                               sys.executable, os.path.abspath(__file__), "--seed",
                               str(args.seed), "--kills", str(args.kills)]
                  + sum((["--trial", str(t)] for t in args.trial or []), [])
                  + (["--aim", args.aim] if args.aim else [])
                  + (["--verbose"] if args.verbose else [])
                  + (["--launcher", os.path.abspath(args.launcher)] if args.launcher else []))

    campaign = Campaign(args)

    def on_signal(number, _frame):
        print("kill campaign (seed %d) stopped by signal %d" % (args.seed, number), flush=True)
        raise SystemExit(128 + number)

    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, on_signal)
    try:
        code = campaign.run()
        campaign.ok = code == 0
        return code
    except CampaignError as e:
        print("kill campaign (seed %d) could not go on: %s" % (args.seed, e))
        return 2
    finally:
        # A second signal must not cut the clean-up short.
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        campaign.cleanup()


if __name__ == "__main__":
    sys.exit(main())
