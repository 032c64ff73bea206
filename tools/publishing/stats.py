"""`publish stats ACCESS_LOG...`: which launcher versions the players run,
from the web server's access log. Each launcher names its version in an
X-Vorn-Launcher header; nginx records it with the log format the README
gives:

    log_format vorn '$remote_addr [$time_local] "$request" $status '
                    '$body_bytes_sent "$http_x_vorn_launcher"';
"""

import datetime
import functools
import gzip
import re

from publishing.launcher_rules import compare_versions

LINE = re.compile(r'^(?P<address>\S+) \[(?P<time>[^\]]+)\] "[^"]*" \d{3} \S+ "(?P<version>[^"]*)"$')
OLDER = "older (no X-Vorn-Launcher)"


def read_lines(path):
    opener = gzip.open if path.endswith(".gz") else open
    with opener(path, "rt", encoding="utf-8", errors="replace") as f:
        yield from f


def launchers_seen(paths, days):
    """(first time, last time, {version: addresses}, lines not in the format)
    over the last DAYS days of the logs, counted back from their newest
    line. An address counts once for each version it was seen with."""
    seen = []
    skipped = 0
    for path in paths:
        for line in read_lines(path):
            match = LINE.match(line.rstrip("\n"))
            if match is None:
                skipped += 1
                continue
            try:
                moment = datetime.datetime.strptime(match.group("time"), "%d/%b/%Y:%H:%M:%S %z")
            except ValueError:
                skipped += 1
                continue
            version = match.group("version")
            seen.append((moment, match.group("address"),
                         OLDER if version in ("", "-") else version))
    if not seen:
        return None, None, {}, skipped
    newest = max(moment for moment, _, _ in seen)
    start = newest - datetime.timedelta(days=days)
    versions = {}
    first = newest
    for moment, address, version in seen:
        if moment >= start:
            versions.setdefault(version, set()).add(address)
            first = min(first, moment)
    return first, newest, versions, skipped


def report(paths, days, out):
    """Prints the launchers seen by version, newest first; returns their number."""
    first, last, versions, skipped = launchers_seen(paths, days)
    if not versions:
        out.write("no request in the log format the README gives (log_format vorn)%s\n"
                  % (" (%d lines in another)" % skipped if skipped else ""))
        return 0
    total = sum(len(addresses) for addresses in versions.values())
    out.write("launchers seen from %s to %s, by address:\n"
              % (first.strftime("%Y-%m-%d %H:%M"), last.strftime("%Y-%m-%d %H:%M %z")))
    ordered = sorted((v for v in versions if v != OLDER), key=functools.cmp_to_key(compare_versions),
                     reverse=True) + (
        [OLDER] if OLDER in versions else [])
    width = max(len(v) for v in ordered)
    for version in ordered:
        count = len(versions[version])
        out.write("  %-*s  %6d  %5.1f %%\n" % (width, version, count, 100.0 * count / total))
    if skipped:
        out.write("%d lines in another format were left out\n" % skipped)
    return total

