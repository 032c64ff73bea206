"""Turns the figures of bench/run_bench.py into report.txt. Every figure is the
best of the rounds, the one least disturbed by other work on the machine."""

import os
import platform
import subprocess

MIB = 1024 * 1024
# Phase, title, the tool that does its work. The full run times the first
# four, the install steps one by one the others.
PHASES = [("manifest", "manifest", "curl"), ("backup", "backup", "cp -r"),
          ("download", "download", "curl"), ("sha256", "SHA-256", "sha256sum"),
          ("unpack", "unpack", "unzip"), ("locate", "locate game, mark", "(none)"),
          ("empty", "empty", "rm -rf"), ("copy", "copy", "cp -r"), ("restore", "restore", "cp -r"),
          ("cleanup", "cleanup", "rm -rf")]


def phases(run):
    """One full update's phases, from when its reports arrived (pipeline/'s texts)."""
    def at(kind, test, last=False):
        times = [r["t"] for r in run["reports"] if r["message"] == kind and test(r["text"], r)]
        if not times:
            raise ValueError("a phase mark is missing from the run's reports")
        return times[-1] if last else times[0]
    download = at("status", lambda t, r: t.startswith("Скачивание"))
    install = at("progress", lambda t, r: r["value"] == -1 and t.startswith("Установка"))
    updated = at("progress", lambda t, r: "обновлена. Запуск" in t)
    sha = install - at("status", lambda t, r: t.startswith("Проверка SHA-256"))
    return {"manifest": at("status", lambda t, r: t.startswith("Обновление ")),
            "backup": download - at("status", lambda t, r: t.startswith("Создание резервной")),
            "download": at("progress", lambda t, r: r["value"] == 100
                           and t.startswith("Скачивание"), True) - download,
            "sha256": sha, "install": updated - install, "total": updated, "no sha": updated - sha,
            "launch": at("progress", lambda t, r: t.endswith("запущена.")) - updated}


def steps(s):
    return {"unpack": s["unpack"], "locate": s["find"] + s["mark"], "empty": s["empty"],
            "copy": s["copy"], "restore": s["restore"] + s["clear"], "cleanup": s["cleanup"],
            "steps": sum(s[k] for k in ("unpack", "find", "mark", "empty", "copy", "restore",
                                        "clear", "cleanup"))}


def best(values):
    return min([v for v in values if v is not None], default=None)


def sec(value):
    return "-" if value is None else "%.2f s" % value


def times(a, b):
    return "-" if a is None or not b else "%.2fx" % (a / b)


def mib(value):
    return "-" if value is None else "%.1f MiB" % (value / MIB)


def size(value):
    return "%.2f GiB" % (value / 1024 / MIB) if value >= 1024 * MIB else mib(value)


def rate(amount, seconds):
    return "-" if not seconds else "%.0f MB/s" % (amount / 1e6 / seconds)


def table(rows):
    """Plain text: the first column to the left, the others to the right."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  " + "  ".join(c.ljust(w) if i == 0 else c.rjust(w)
                             for i, (c, w) in enumerate(zip(row, widths))).rstrip()
            for row in rows[:1] + [["-" * w for w in widths]] + rows[1:]]


def update(r, out, targets):
    build, tools, archive = r["build"], r["tools"], r["build"]["archiveBytes"]
    rounds = [phases(run) for run in r["update"]] + [steps(s) for s in r["steps"]]
    rounds = {k: [x[k] for x in rounds if k in x] for k in set().union(*rounds)}
    ours = {k: min(v) for k, v in rounds.items()}
    tool = {k: best(t[k] for t in tools) for k in tools[0]}
    totals = [sum(t[k] for k, _, _ in PHASES if k in t) for t in tools]
    tool["total"] = min(totals)
    tool["no sha"] = min(total - t["sha256"] for total, t in zip(totals, tools))
    notes, why, avoidable = causes(r, ours, tool, archive)
    out += ["Build: %s in %d files (half the bytes random .pak, half text-like, and Game.exe); "
            "zip -r: %s in %.0f s." % (size(build["bytes"]), build["files"], size(archive),
                                       build["zipSeconds"]),
            "The player's folder: the previous build, Save (%d files, %s), UserData (40 files), "
            "nickname.json." % (build["saveFiles"], mib(build["saveBytes"])),
            "Launcher: vorn_bench.exe update (StartMode, the worker thread, WinINet over HTTPS, "
            "CryptoAPI SHA-256, own extractor: %s);"
            % ("yes" if all(s["ownExtractor"] for s in r["steps"]) else "NO"),
            "phases from its status messages, the install's from vorn_bench.exe steps. Best of "
            "%d rounds; difference = launcher - tools." % len(r["update"]), ""]
    rows = [["phase", "launcher", "tools", "ratio", "difference", "tool", "throughput",
             "rounds (launcher)"]]

    def row(title, key, mine, theirs, difference=True, name="", amount=None, shown=True):
        spread = rounds.get(key, [])
        rows.append([title, sec(mine), sec(theirs) if shown else "", times(mine, theirs),
                     "%+.2f s" % (mine - (theirs or 0)) if difference else "", name,
                     "%s / %s" % (rate(amount, mine), rate(amount, theirs)) if amount else "",
                     "%.2f-%.2f" % (min(spread), max(spread)) if len(spread) > 1 else ""])
    amounts = {"download": archive, "sha256": archive, "unpack": build["bytes"]}
    for key, title, name in PHASES:
        # SHA-256 stays out of the differences, as it does out of the target.
        row(title, key, ours[key], tool.get(key), key != "sha256", name, amounts.get(key))
    row("total", "total", ours["total"], tool["total"], False)
    row("total without SHA-256", "no sha", ours["no sha"], tool["no sha"])
    row("all but download and SHA-256", "", ours["no sha"] - ours["download"],
        tool["no sha"] - tool["download"], False)
    row("without ours, SHA-256 excepted", "", ours["no sha"] - avoidable, tool["no sha"], False,
        shown=False)
    out += table(rows) + [
        "", "Also: the game's start after \"обновлена. Запуск...\" %s (out of both totals); "
        "openssl dgst -sha256 %s (%s);" % (sec(ours["launch"]), sec(tool["sha256_openssl"]),
                                           rate(archive, tool["sha256_openssl"])),
        "the install as the full run timed it %s, the same steps alone after a sync %s."
        % (sec(ours["install"]), sec(ours["steps"])), ""] + notes
    targets.append(("whole update vs the tools, SHA-256 excepted",
                    times(ours["no sha"], tool["no sha"]), "<= 1.15x",
                    ours["no sha"] <= 1.15 * tool["no sha"], why))


def causes(r, launcher, tool, archive):
    """What of the difference is ours and what is Wine's: notes, the reasons
    for a missed target, and the seconds that are ours."""
    notes, ours = [], 0.0
    excess = launcher["download"] - tool["download"], launcher["no sha"] - tool["no sha"]
    why = ["the download is %s the whole update's excess over the tools" % (
        "more than" if excess[0] > excess[1] else "%.0f %% of" % (100 * excess[0] / excess[1]))]
    if r.get("download"):
        d = {k: {f: best(x.get(f) for x in v) for f in ("seconds", "headersSeconds")}
             for k, v in r["download"].items()}
        ours = best(x["seconds"] - x["lastChunkSeconds"] for x in r["download"]["launcherHttps"])
        https, http = d["launcherHttps"]["seconds"], d["launcherHttp"]["seconds"]
        notes += table([
            ["download alone, the same archive", "HTTPS", "", "plain HTTP", "", "headers"],
            ["HttpDownloadToFile (vorn_bench.exe fetch)", sec(https), rate(archive, https),
             sec(http), rate(archive, http), "%s / %s" % (sec(d["launcherHttps"]["headersSeconds"]),
                                                          sec(d["launcherHttp"]["headersSeconds"]))],
            ["curl", sec(d["curlHttps"]["seconds"]), rate(archive, d["curlHttps"]["seconds"]),
             sec(d["curlHttp"]["seconds"]), "", ""]]) + [
            "TLS inside Wine, not our loop, is the limit: %.0fx faster without it. Ours: %s from the "
            "last chunk to the return," % (https / http, sec(ours)),
            "closing the file opened with CREATE_ALWAYS, which Wine truncates and ext4 then "
            "flushes (auto_da_alloc).", ""]
        why.append("download: TLS inside Wine (platform); closing the CREATE_ALWAYS file (ours)")
    floors = r["floor"]
    f = {k: min(fl["steps"][k] for fl in floors) for k in floors[0]["steps"]}
    spread = {k: max(fl["steps"][k] for fl in floors) - f[k] for k in f}
    files = floors[0]["files"]
    ms = {k: "%.3f ms" % (1000 * v / files) for k, v in list(f.items()) + [
        ("cp", tool["copy"]), ("rm", tool["empty"])]}
    rows = [["%d files, %d folders" % (files, floors[0]["folders"]), "launcher's function",
             "bare Win32 loop", "bare, a file", "tool, a file", "ours over bare"]]
    for what, mine, bare, tool_ms, doing in (
            ("copy", "copyOurs", "copyPlainNew", "cp", "per-file EnsureDir(parent) and "
             "ResetAttributes around CopyFileW"),
            ("empty", "deleteOurs", "deletePlain", "rm", "ResetAttributes before every "
             "DeleteFileW")):
        # Ours only where it stands out of the rounds' spread.
        margin = max(spread[mine], spread[bare], 0.05)
        extra = f[mine] - f[bare]
        rows.append([what, sec(f[mine]), sec(f[bare]), ms[bare], ms[tool_ms],
                     sec(extra) if extra > margin else "within %s" % sec(margin)])
        if extra > margin:
            why.append("%s: %s (ours), the rest Wine's per-file cost" % (what, doing))
            ours += extra
    truncate = f["copyPlainAlways"] - f["copyPlainNew"]
    notes += table(rows) + [
        "One operation a process after a sync; each call a round trip to wineserver. CopyFileW "
        "FALSE: %s, %+.2f s over TRUE%s." % (sec(f["copyPlainAlways"]), truncate, "" if truncate >
                                               max(0.1, 0.05 * f["copyPlainNew"])
                                               else ", no clear difference"),
        "A file: SetFileAttributesW %s (all %s), GetFileAttributesW %s. Backup and restore copy "
        "%d files: the same cost." % (ms["setAttributes"], sec(f["setAttributes"]),
                                      ms["getAttributes"], r["build"]["saveFiles"] + 41),
        "Ours and avoidable: about %s; the rest is Wine's TLS, per-file round trips and "
        "CryptoAPI's SHA-256." % sec(ours), ""]
    return notes, why + ["without ours, the rest is the platform's (TLS in Wine above all)"], ours


def memory(r, out, targets):
    runs = r["memory"]
    rows = [["archive", "files", "update", "PeakWorkingSetSize", "/usr/bin/time %M",
             "VmHWM (polled)", "VmRSS max (polled)", "PeakPagefileUsage"]]
    for m in runs:
        rows.append([size(m["archiveBytes"]), "%d" % m["files"], sec(m["end"]),
                     mib(m["peakWorkingSet"])] + [mib(m[k] and 1024 * m[k]) for k in (
                         "timeMaxRssKiB", "vmHwmKiB", "vmRssMaxKiB")] + [mib(m["peakPagefileUsage"])])
    small, large = runs[0], runs[-1]
    growth = {"PeakWorkingSetSize": large["peakWorkingSet"] - small["peakWorkingSet"]}
    for name, key in (("/usr/bin/time %M", "timeMaxRssKiB"), ("VmHWM", "vmHwmKiB")):
        growth[name] = 1024 * ((large[key] or 0) - (small[key] or 0))
    worst = max(growth.values())
    out += table(rows) + [
        "", "Growth from %s to %s: %s; the update of section 1 peaked at %s." % (
            size(small["archiveBytes"]), size(large["archiveBytes"]),
            ", ".join("%s %+.2f MiB" % (k, v / MIB) for k, v in growth.items()),
            mib(best(u["peakWorkingSet"] for u in r.get("update", [])))),
        "All are the resident memory of the wine64 process running vorn_bench.exe; file data "
        "stays in the page cache.", "Wine reads PeakWorkingSetSize from VmHWM; its "
        "PeakPagefileUsage is the current anonymous memory, not a peak.", ""]
    targets.append(("peak memory growth, %s -> %s archive" % (size(small["archiveBytes"]),
                                                               size(large["archiveBytes"])),
                    "%+.2f MiB" % (worst / MIB), "<= 8 MiB", worst <= 8 * MIB, []))


def window(r, out, targets):
    paint, cpu = r.get("paint"), r.get("window")
    if not paint and not cpu:
        raise KeyError("paint")
    if paint:
        p = {k: "%.3f" % v for k, v in paint.items() if isinstance(v, float)}
        tick = paint["timerTickPaintClipped"]
        out += ["The paint path on an off-screen DC of 680 x 470 with the launcher's resources, "
                "mean of %d frames:" % paint["frames"]] + table([
                    ["painted", "ms", ""],
                    ["DrawWindowBackground + DrawHeaderTexts + DrawProgressBar", p["scene"],
                     "median %s, min %s, max %s" % (p["sceneMedianMs"], p["sceneMinMs"],
                                                    p["sceneMaxMs"])],
                    ["  DrawWindowBackground", p["drawWindowBackground"], ""],
                    ["    the background picture's Render", p["backgroundPicture"], ""],
                    ["    DrawRoundedAlphaRect, shadow", p["panelShadow"],
                     "624 x 374: a DIB made and filled, then AlphaBlend"],
                    ["    DrawRoundedAlphaRect, panel", p["panel"], "the same"],
                    ["  DrawHeaderTexts", p["drawHeaderTexts"], ""],
                    ["  DrawProgressBar", p["drawProgressBar"], ""],
                    ["a timer tick's WM_PAINT", p["timerTickPaint"],
                     "buffer made, whole scene drawn, bar copied out"],
                    ["the same clipped to the bar", p["timerTickPaintClipped"],
                     "as WindowProc does it: %.1f %% of a core at a 35 ms tick" % (tick / 0.35)],
                    ["the scene behind the bar kept", p["timerTickPaintCached"],
                     "copy the bar's part back, draw the bar, copy it out"]]) + [""]
    if cpu:
        out += ["CPU over 10 s from /proc/<pid>/stat, in % of one core: the real launcher on Xvfb, "
                "the sweep with the archive held."] + table(
                    [["state", "launcher", "all of the prefix", "wineserver", "Xvfb"]]
                    + [[title] + ["%.1f %%" % cpu[key][k] for k in ("launcher", "wineTotal",
                                                                    "wineserver", "xvfb")]
                       for key, title in (("idleBefore", "idle, before the click"),
                                          ("sweep", "bar sweeping"),
                                          ("idleAfter", "idle, after the update"))]) + [""]
        sweep = cpu["sweep"]["launcher"]
        idle = max(cpu[k]["launcher"] for k in ("idleBefore", "idleAfter"))
        why = ["every 35 ms tick composes the scene behind the bar again (the clipped tick above), "
               "by design; kept in a bitmap made once, a tick would cost the kept-scene tick"]
        if paint and sweep > tick / 0.35:
            why.append("the other %.1f %% is the timer, RedrawWindow and Wine's window surface "
                       "update to X11 for each tick" % (sweep - tick / 0.35))
        targets += [("CPU while the bar sweeps (launcher process)", "%.1f %%" % sweep, "<= 3 %",
                     sweep <= 3.0, why),
                    ("CPU while idle (launcher process)", "%.1f %%" % idle, "0 %", idle == 0.0,
                     ["the launcher used CPU with no run and no input"])]


def release(r, out, targets):
    s = r["size"]
    out += ["VornLauncher.exe: %d bytes; stripped again: %d bytes (linked with -s)."
            % (s["bytes"], s["strippedBytes"]),
            "Sections: " + ", ".join("%s %d KiB" % (k, v // 1024)
                                     for k, v in s["sections"].items() if v >= 1024) + ".",
            "Its assets, inside .rsrc: " + ", ".join("%s %d KiB" % (k, v // 1024)
                                                     for k, v in s["assets"].items()) + ".",
            "Imports: " + ", ".join(s["dlls"]) + ".", ""]
    targets.append(("release .exe with its assets", "%.2f MiB" % (s["bytes"] / MIB), "<= 2 MiB",
                    s["bytes"] <= 2 * MIB, []))


def write(bench):
    failures, targets = bench.failures, []
    with open("/proc/cpuinfo") as f:
        model = next((line.split(":", 1)[1].strip() for line in f
                      if line.startswith("model name")), "?")

    def output_of(*command):
        return subprocess.run(command, capture_output=True, text=True).stdout.strip()
    out = ["Vorn launcher bench", "",
           "Machine: %d cores (%s), Linux %s, %s, files on %s; shared with other work while "
           "measured." % (os.cpu_count(), model, platform.release(), output_of("wine", "--version"),
                          output_of("findmnt", "-n", "-o", "FSTYPE", "-T", bench.out_dir)),
           "Run: %s, %.1f minutes, build folder %s." % (
               bench.started.strftime("%Y-%m-%d %H:%M"),
               (bench.finished - bench.started).total_seconds() / 60, bench.build), ""]
    for title, section in (
            ("1-2. Full update through the real pipeline, against standard tools", update),
            ("3. Peak memory of the launcher's process during a full update", memory),
            ("4. The window", window), ("5. The release executable", release)):
        out += [title, ""]
        try:
            section(bench.results, out, targets)
        except (LookupError, ValueError, TypeError, ZeroDivisionError) as error:
            out += ["  not measured (see the failures below)", ""]
            failures.append("report %s: %r" % (section.__name__, error))
    out += ["Targets", ""] + table([["target", "figure", "wanted", "result"]] + [
        [what, figure, wanted, "met" if met else "NOT MET"]
        for what, figure, wanted, met, _ in targets]) + [""]
    for what, _, _, met, why in targets:
        if not met:
            out += ["Missed: %s. Why:" % what] + ["  - " + line for line in why] + [""]
    out += (["Failures (the bench exits non-zero):"] + ["  - " + f for f in failures]
            if failures else ["Every measurement was made."])
    text = "\n".join(out) + "\n"
    with open(os.path.join(bench.out_dir, "report.txt"), "w", encoding="utf-8") as f:
        f.write(text)
    return text
