"""What make demo and make bench share: the build folder's Wine prefix, a
private X screen, the local HTTPS update server with its CA trusted in the
prefix, the real pointer, screenshots, and manifests of published archives."""

import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import time

HARNESS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests",
                       "harness")


class Failed(Exception):
    pass


def say(text=""):
    print(text, flush=True)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wait_for(condition, timeout, what, interval=0.1):
    """Polls until condition() gives something true and returns it. On time
    out, fails with what, or gives None when what is None."""
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            if what is None:
                return None
            raise Failed("%s within %d s" % (what, timeout))
        time.sleep(interval)
    return result


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(4 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def write_manifest(folder, name, url, sha256, version="2.0"):
    with open(os.path.join(folder, name), "w") as f:
        json.dump({"version": version, "download_url": url, "exe": "Game.exe",
                   "sha256": sha256}, f)


def stop(process):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Rig:
    """One run in a build folder: its Wine prefix, and the screen, server and
    Windows programs the run starts, which close() ends. The run keeps its
    server's files in home."""

    def __init__(self, build_dir, home, port_setting):
        self.build, self.home = os.path.abspath(build_dir), os.path.abspath(home)
        self.prefix = os.path.join(self.build, "wineprefix")
        self.requests = os.path.join(self.home, "requests.log")
        self.env = dict(os.environ)
        self.server = self.xvfb = None
        self.children = []
        with open(os.path.join(self.build, "CMakeCache.txt"), encoding="utf-8") as f:
            port = re.search(r"^%s:\w+=(\d+)$" % port_setting, f.read(), re.M)
        if not port:
            raise Failed("%s is not in %s/CMakeCache.txt; run `make build` first"
                         % (port_setting, self.build))
        self.port = int(port.group(1))
        # A server left by an interrupted run would hold the port.
        try:
            with open(os.path.join(self.home, "server.pid")) as f:
                pid = int(f.read())
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                cmdline = f.read()
            if b"update_server.py" in cmdline and self.home.encode() in cmdline:
                os.kill(pid, signal.SIGTERM)
                wait_for(lambda: not os.path.exists("/proc/%d" % pid), 10, "a stale server")
        except (OSError, ValueError):
            pass

    def need(self, *paths):
        for path in (os.path.join(self.build, "wine-run.sh"),) + paths:
            if not os.path.isfile(path):
                raise Failed("%s is missing; run `make build BUILD_DIR=%s` first"
                             % (path, self.build))

    def start_screen(self):
        """An Xvfb of our own; -displayfd tells the number of a free display."""
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as f:
            number = f.readline().strip()
        if not number.isdigit():
            raise Failed("Xvfb did not start")
        self.env["DISPLAY"] = ":" + number.decode()
        say("==> display %s (Xvfb)" % self.env["DISPLAY"])

    def start_server(self, www):
        """Certificates for localhost, the CA trusted in the prefix, and the
        update server on our port serving www."""
        certs = os.path.join(self.home, "certs")
        self.ca = os.path.join(certs, "ca.pem")
        subprocess.run([os.path.join(HARNESS, "make_test_certs.sh"), certs], check=True,
                       timeout=120)
        _, code, output = self.wine([os.path.join(self.build, "tests", "bin", "trust_ca.exe"),
                                     windows_path(os.path.join(certs, "ca.der"))], timeout=300)
        if code != 0:
            raise Failed("trust_ca.exe failed: %s" % output.strip())
        port_file = os.path.join(self.home, "server.port")
        for stale in (port_file, self.requests):
            if os.path.exists(stale):
                os.remove(stale)
        with open(os.path.join(self.home, "server.out"), "w") as log:
            self.server = subprocess.Popen(
                [sys.executable, os.path.join(HARNESS, "update_server.py"), "--root", www,
                 "--certfile", os.path.join(certs, "server.pem"),
                 "--keyfile", os.path.join(certs, "server.key"), "--port", str(self.port),
                 "--port-file", port_file, "--log", self.requests,
                 "--pid-file", os.path.join(self.home, "server.pid")],
                stdout=log, stderr=subprocess.STDOUT)
        wait_for(lambda: os.path.exists(port_file) or self.server.poll() is not None, 30,
                 "the update server did not start")
        if self.server.poll() is not None:
            with open(log.name) as f:
                raise Failed("the update server did not start:\n" + f.read())
        say("==> update server on %s serving %s" % (self.url(""), www))

    def url(self, path):
        return "https://localhost:%d/%s" % (self.port, path)

    def requested(self, text):
        try:
            with open(self.requests, encoding="utf-8") as f:
                return text in f.read()
        except FileNotFoundError:
            return False

    def wine(self, args, timeout=1500, time_file=None):
        """Runs a Windows program to its end: (seconds, exit code, output).
        time_file gets /usr/bin/time's %M, the peak RSS in KiB."""
        command = [os.path.join(self.build, "wine-run.sh")] + args
        if time_file is not None and os.path.exists("/usr/bin/time"):
            command = ["/usr/bin/time", "-f", "%M", "-o", time_file] + command
        start = time.monotonic()
        result = subprocess.run(command, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                timeout=timeout)
        return (time.monotonic() - start, result.returncode,
                result.stdout.decode("utf-8", "replace"))

    def start(self, args, cwd=None, log=os.devnull):
        """A Windows program left running."""
        with open(log, "w") as out:
            child = subprocess.Popen([os.path.join(self.build, "wine-run.sh")] + args, cwd=cwd,
                                     env=self.env, stdout=out, stderr=subprocess.STDOUT,
                                     stdin=subprocess.DEVNULL)
        self.children.append(child)
        return child

    # --- The X side. Without a window manager a window's client area starts
    # at the window's position. ---

    def xdotool(self, *args):
        result = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env,
                                capture_output=True, text=True, timeout=60)
        return result.stdout if result.returncode == 0 else None

    def find_window(self, title):
        """(x, y, width, height) of the visible window with that title, or None."""
        windows = (self.xdotool("search", "--onlyvisible", "--name", title) or "").split()
        shell = (self.xdotool("getwindowgeometry", "--shell", windows[0]) or "") if windows else ""
        values = dict(line.split("=", 1) for line in shell.split() if "=" in line)
        keys = ("X", "Y", "WIDTH", "HEIGHT")
        return tuple(int(values[k]) for k in keys) if set(keys) <= values.keys() else None

    def click(self, box, point):
        x, y = box[0] + point[0], box[1] + point[1]
        if self.xdotool("mousemove", "--sync", x, y, "click", 1) is None:
            raise Failed("xdotool could not click at %d,%d" % (x, y))

    def grab(self, target, box=None):
        """The screen, or a box of it, into a file; "rgb:-" returns the pixels."""
        crop = ["-crop", "%dx%d+%d+%d" % (box[2:] + box[:2]), "+repage"] if box else []
        return subprocess.run(["import", "-window", "root"] + crop + [target],
                              env=self.env, check=True, timeout=60, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL).stdout

    def close(self):
        # Wine's services of this prefix are tied to the display; they go with it.
        subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=self.prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        for child in self.children + [self.server, self.xvfb]:
            stop(child)
