"""Progress of a long step on stderr: the share done, the rate and the time
left. On a terminal one line is redrawn five times a second; otherwise
(a log, a CI job) a line is written every 5 seconds. A step that ends
before its first line shows nothing, and --quiet shows nothing at all."""

import sys
import time

TERMINAL_SECONDS = 0.2
LOG_SECONDS = 5.0


def amount(count):
    for unit, size in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if count >= size:
            return "%.1f %s" % (count / size, unit)
    return "%d bytes" % count


def duration(seconds):
    seconds = int(seconds + 0.5)
    if seconds >= 3600:
        return "%d:%02d:%02d" % (seconds // 3600, seconds // 60 % 60, seconds % 60)
    return "%d:%02d" % (seconds // 60, seconds % 60)


class Progress:
    """What a step has done of total bytes (None: not known)."""

    def __init__(self, label, total, out=None, clock=time.monotonic):
        self.label = label
        self.total = total
        self.out = out or sys.stderr
        self.clock = clock
        self.terminal = self.out.isatty()
        self.every = TERMINAL_SECONDS if self.terminal else LOG_SECONDS
        self.start = self.last = clock()
        self.done = 0
        self.shown = False

    def text(self, now):
        elapsed = max(now - self.start, 1e-6)
        rate = self.done / elapsed
        if self.total:
            text = "%s: %d%% of %s, %s/s" % (self.label, 100 * self.done // self.total,
                                            amount(self.total), amount(rate))
            if rate > 0 and self.done < self.total:
                text += ", %s left" % duration((self.total - self.done) / rate)
            return text
        return "%s: %s, %s/s" % (self.label, amount(self.done), amount(rate))

    def show(self, text, end):
        if self.terminal:
            self.out.write("\r%s\x1b[K%s" % (text, end))
        else:
            self.out.write(text + "\n")
        self.out.flush()
        self.shown = True

    def advance(self, count):
        self.done += count
        now = self.clock()
        if now - self.last >= self.every:
            self.last = now
            self.show(self.text(now), "")

    def finish(self):
        """The closing line, after a step that showed any."""
        if not self.shown:
            return
        now = self.clock()
        text = "%s: %s in %s" % (self.label, amount(self.done), duration(now - self.start))
        self.show(text, "\n")


class Silent:
    """A step's progress under --quiet."""

    def __init__(self, label=None, total=None):
        pass

    def advance(self, count):
        pass

    def finish(self):
        pass


def progress_for(quiet):
    """What makes a step's progress report from (label, total)."""
    return Silent if quiet else Progress
