"""What make demo and make bench share: the build folder's Wine prefix, a
private X screen, the local HTTPS update server with its CA trusted in the
prefix, the real pointer and screenshots."""

import ctypes
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
    """Polls until condition() gives something true and returns it; on time out,
    fails with what."""
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise Failed("%s within %d s" % (what, timeout))
        time.sleep(interval)
    return result


def end_with_us():
    """Run in a child before it starts: the kernel sends it SIGTERM when we end,
    however we end, so that no server of ours outlives us holding its port."""
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class Rig:
    """One run in a build folder: its Wine prefix, and the screen, server and
    Windows programs the run starts, which close() ends. The run keeps its
    server's files in home, which it empties before start_server."""

    def __init__(self, build_dir, home, port_setting):
        self.build, self.home = os.path.abspath(build_dir), os.path.abspath(home)
        self.port_setting = port_setting
        self.prefix = os.path.join(self.build, "wineprefix")
        self.runner = os.path.join(self.build, "wine-run.sh")
        self.prefixes = [self.prefix]
        self.trust_ca = os.path.join(self.build, "tests", "bin", "trust_ca.exe")
        self.requests = os.path.join(self.home, "requests.log")
        self.env = dict(os.environ)
        self.server = self.xvfb = None
        self.children = []

    def need(self, *paths):
        """Our programs in the build folder, and those the run itself needs."""
        for path in (os.path.join(self.build, "wine-run.sh"), self.trust_ca) + paths:
            if not os.path.isfile(path):
                raise Failed("%s is missing; run `make build BUILD_DIR=%s` first"
                             % (path, self.build))

    def start_screen(self):
        """An Xvfb of our own; -displayfd tells the number of a free display."""
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten",
             "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=end_with_us)
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
        with open(os.path.join(self.build, "CMakeCache.txt"), encoding="utf-8") as f:
            port = re.search(r"^%s:\w+=(\d+)$" % self.port_setting, f.read(), re.M)
        if not port:
            raise Failed("%s is not in %s/CMakeCache.txt; run `make build` first"
                         % (self.port_setting, self.build))
        self.port = int(port.group(1))
        certs = os.path.join(self.home, "certs")
        self.ca = os.path.join(certs, "ca.pem")
        subprocess.run([os.path.join(HARNESS, "make_test_certs.sh"), certs], check=True,
                       timeout=120)
        code, output = self.wine([self.trust_ca, windows_path(os.path.join(certs, "ca.der"))],
                                 timeout=300)
        if code != 0:
            raise Failed("trust_ca.exe failed: %s" % output.strip())
        port_file = os.path.join(self.home, "server.port")
        with open(os.path.join(self.home, "server.out"), "w") as log:
            self.server = subprocess.Popen(
                [sys.executable, os.path.join(HARNESS, "update_server.py"), "--root", www,
                 "--certfile", os.path.join(certs, "server.pem"),
                 "--keyfile", os.path.join(certs, "server.key"), "--port", str(self.port),
                 "--port-file", port_file, "--log", self.requests],
                stdout=log, stderr=subprocess.STDOUT, preexec_fn=end_with_us)
        wait_for(lambda: os.path.exists(port_file) or self.server.poll() is not None, 30,
                 "the update server did not start")
        if self.server.poll() is not None:
            with open(log.name) as f:
                raise Failed("the update server did not start:\n" + f.read())
        say("==> update server on %s serving %s" % (self.url(""), www))

    def use_dpi_prefix(self, dpi):
        """Goes on in the build folder's prefix of the DPI tests, with the
        display at that DPI (programs read it when they start) and the
        server's CA trusted there too."""
        subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=self.prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        self.prefix = os.path.join(self.build, "wineprefix-dpi")
        self.runner = os.path.join(self.build, "wine-run-dpi.sh")
        self.prefixes.append(self.prefix)
        self.wine(["reg", "add", r"HKCU\Control Panel\Desktop", "/v", "LogPixels", "/t",
                   "REG_DWORD", "/d", str(dpi), "/f"], timeout=300)
        subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=self.prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        code, output = self.wine([self.trust_ca, windows_path(os.path.join(self.home, "certs",
                                                                           "ca.der"))],
                                 timeout=300)
        if code != 0:
            raise Failed("trust_ca.exe failed: %s" % output.strip())

    def url(self, path):
        return "https://localhost:%d/%s" % (self.port, path)

    def requested(self, text):
        """Whether a request for text has come; the server opens its log on start."""
        with open(self.requests, encoding="utf-8") as f:
            return text in f.read()

    def wine(self, args, timeout=1500):
        """Runs a Windows program to its end: (exit code, output)."""
        result = subprocess.run([self.runner] + args, env=self.env,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                stdin=subprocess.DEVNULL, timeout=timeout)
        return result.returncode, result.stdout.decode("utf-8", "replace")

    def start(self, args, cwd=None, log=os.devnull):
        """A Windows program left running."""
        with open(log, "w") as out:
            child = subprocess.Popen([self.runner] + args, cwd=cwd,
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
        # Wine's services of these prefixes are tied to the display; they go with it.
        for prefix in self.prefixes:
            subprocess.run(["wineserver", "-k"], env=dict(self.env, WINEPREFIX=prefix),
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        for child in self.children + [self.server, self.xvfb]:
            if child is not None and child.poll() is None:
                child.terminate()
                try:
                    child.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    child.kill()
                    child.wait()
