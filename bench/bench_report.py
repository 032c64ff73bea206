"""Turns the figures of bench/run_bench.py into report.txt and report.png.

Every figure is the best of the rounds (the least disturbed by whatever
else the machine was doing); the spread of the rounds is printed beside it.
"""

import json
import os
import platform
import subprocess

MIB = 1024 * 1024
GIB = 1024 * MIB

# Where the launcher's reports mark the phases of a run (texts of pipeline/).
MARK_UPDATE = "Обновление "
MARK_BACKUP = "Создание резервной копии"
MARK_DOWNLOAD = "Скачивание"
MARK_SHA = "Проверка SHA-256"
MARK_INSTALL = "Установка"
MARK_UPDATED = "обновлена. Запуск"
MARK_STARTED = "запущена."

PHASES = ["manifest", "backup", "download", "sha256", "unpack", "empty", "copy", "restore",
          "cleanup"]
PHASE_TITLES = {
    "manifest": "manifest", "backup": "backup", "download": "download", "sha256": "SHA-256",
    "unpack": "unpack", "locate": "locate game, mark", "empty": "empty", "copy": "copy",
    "restore": "restore", "cleanup": "cleanup",
}
TOOL_NAMES = {
    "manifest": "curl", "backup": "cp -r", "download": "curl", "sha256": "sha256sum",
    "unpack": "unzip", "empty": "rm -rf", "copy": "cp -r", "restore": "cp -r",
    "cleanup": "rm -rf",
}


def first(reports, predicate):
    for report in reports:
        if predicate(report):
            return report["t"]
    raise ValueError("a phase mark is missing from the run's reports")


def last(reports, predicate):
    found = None
    for report in reports:
        if predicate(report):
            found = report["t"]
    if found is None:
        raise ValueError("a phase mark is missing from the run's reports")
    return found


def run_phases(run):
    """Phase durations of one full update, from the times its reports arrived."""
    reports = run["reports"]
    status = lambda mark: (lambda r: r["message"] == "status" and r["text"].startswith(mark))
    t_update = first(reports, status(MARK_UPDATE))
    t_backup = first(reports, status(MARK_BACKUP))
    t_download = first(reports, status(MARK_DOWNLOAD))
    t_downloaded = last(reports, lambda r: r["message"] == "progress" and r["value"] == 100
                        and r["text"].startswith(MARK_DOWNLOAD))
    t_sha = first(reports, status(MARK_SHA))
    t_install = first(reports, lambda r: r["message"] == "progress" and r["value"] == -1
                      and r["text"].startswith(MARK_INSTALL))
    t_updated = first(reports, lambda r: r["message"] == "progress" and MARK_UPDATED in r["text"])
    t_started = first(reports, lambda r: r["message"] == "progress"
                      and r["text"].endswith(MARK_STARTED))
    return {"manifest": t_update, "backup": t_download - t_backup,
            "download": t_downloaded - t_download, "sha256": t_install - t_sha,
            "install": t_updated - t_install, "launch": t_started - t_updated,
            "total": t_updated}


def steps_phases(steps):
    named = {s["name"]: s["seconds"] for s in steps["steps"]}
    return {"backup": named["backup"], "sha256": named["sha256"], "unpack": named["unpack"],
            "locate": named["find"] + named["mark"], "empty": named["empty"],
            "copy": named["copy"], "restore": named["restore"] + named["clear"],
            "cleanup": named["cleanup"],
            "install": sum(named[k] for k in ("unpack", "find", "mark", "empty", "copy",
                                               "restore", "clear", "cleanup"))}


def best(values):
    values = [v for v in values if v is not None]
    return min(values) if values else None


def spread(values):
    values = [v for v in values if v is not None]
    if len(values) < 2:
        return ""
    return "%.2f-%.2f" % (min(values), max(values))


def ratio(a, b):
    return a / b if a is not None and b else None


def fmt_s(value):
    return "-" if value is None else "%.2f s" % value


def fmt_x(value):
    return "-" if value is None else "%.2fx" % value


def fmt_mib(value):
    return "-" if value is None else "%.1f MiB" % (value / MIB)


def fmt_size(size):
    return "%.2f GiB" % (size / GIB) if size >= GIB else "%.1f MiB" % (size / MIB)


def rate(size, seconds):
    return "-" if not seconds else "%.0f MB/s" % (size / 1e6 / seconds)


def table(rows, aligns=None):
    widths = [max(len(str(row[i])) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for n, row in enumerate(rows):
        cells = []
        for i, cell in enumerate(row):
            text = str(cell)
            cells.append(text.ljust(widths[i]) if i == 0 else text.rjust(widths[i]))
        lines.append("  " + "  ".join(cells).rstrip())
        if n == 0:
            lines.append("  " + "  ".join("-" * w for w in widths))
    return lines


def machine_lines(bench):
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    wine = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout.decode().strip()
    fs = subprocess.run(["findmnt", "-n", "-o", "FSTYPE", "-T", bench.out_dir],
                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode().strip()
    minutes = (bench.finished - bench.started).total_seconds() / 60
    return ["Machine: %d cores (%s), Linux %s, %s, files on %s; shared with other work while "
            "measured." % (os.cpu_count(), model, platform.release(), wine or "wine ?", fs or "?"),
            "Run: %s, %.1f minutes, build folder %s."
            % (bench.started.strftime("%Y-%m-%d %H:%M"), minutes, bench.build)]


class Report:
    def __init__(self, bench):
        self.bench = bench
        self.r = bench.results
        self.lines = []
        self.targets = []  # (what, figure, target, met, why)
        self.chart = None

    def add(self, *lines):
        self.lines.extend(lines)

    # --- 1 and 2. ---

    def update_section(self):
        r = self.r
        if not r.get("update") or not r.get("tools"):
            self.add("1. Full update: not measured (see the failures below).", "")
            return
        build = r["build"]
        runs = [run_phases(run) for run in r["update"]]
        steps = [steps_phases(s) for s in r["steps"]]
        tools = r["tools"]
        n = len(runs)
        size = build["archiveBytes"]

        launcher = {}
        for key in ("manifest", "backup", "download", "sha256", "total", "install", "launch"):
            launcher[key] = best(run[key] for run in runs)
        for key in ("unpack", "locate", "empty", "copy", "restore", "cleanup"):
            launcher[key] = best(s[key] for s in steps)
        steps_install = best(s["install"] for s in steps)
        tool = {key: best(t[key] for t in tools) for key in tools[0]}
        tools_totals = [sum(t[k] for k in PHASES) for t in tools]
        tool_total = best(tools_totals)
        tool_total_no_sha = best(tt - t["sha256"] for tt, t in zip(tools_totals, tools))
        launcher_no_sha = best(run["total"] - run["sha256"] for run in runs)

        self.add("1-2. Full update through the real pipeline, against standard tools", "")
        self.add(
            "Synthetic build: %s in %d files (half the bytes random .pak, half text-like "
            ".txt/.xml/.lua, and Game.exe)," % (fmt_size(build["bytes"]), build["files"]),
            "zipped by Info-ZIP zip -r into %s (%.0f s). The player's folder holds the previous "
            "build plus" % (fmt_size(size), build["zipSeconds"]),
            "Save (%d files, %s), UserData (40 files) and ModScripts/multiplayer/nickname.json."
            % (build.get("saveFiles", 0), fmt_mib(build.get("saveBytes", 0))),
            "Launcher: vorn_bench.exe update = LauncherApp::StartMode, the real worker thread, "
            "WinINet over HTTPS",
            "to tests/harness/update_server.py on localhost, CryptoAPI SHA-256 and the built-in "
            "extractor (Wine's",
            "powershell.exe is the stub: %s). Phases from the arrival times of its status "
            "messages; the install"
            % ("yes" if all(s.get("ownExtractor") for s in r["steps"]) else "NO"),
            "phases, which the run reports as one, from vorn_bench.exe steps: the same calls as "
            "InstallOrUpdate",
            "in the same order on the same data. Tools: the same work by curl --cacert, "
            "sha256sum, unzip, rm -rf",
            "and cp -r on a copy of the same folder, from the same server. Best of %d rounds "
            "each; the spread" % n,
            "of the rounds in the last column.", "")

        rows = [["phase", "launcher", "tools", "ratio", "tool", "rounds (launcher)"]]
        chart = []
        for key in PHASES:
            if key in ("manifest", "backup", "download", "sha256"):
                rounds = [run[key] for run in runs]
            else:
                rounds = [s[key] for s in steps]
            rows.append([PHASE_TITLES[key], fmt_s(launcher[key]), fmt_s(tool[key]),
                         fmt_x(ratio(launcher[key], tool[key])), TOOL_NAMES[key],
                         spread(rounds)])
            chart.append((PHASE_TITLES[key], launcher[key], tool[key]))
            if key == "unpack":
                rows.append([PHASE_TITLES["locate"], fmt_s(launcher["locate"]), "-", "-",
                             "(none)", spread(s["locate"] for s in steps)])
        rows.append(["total", fmt_s(launcher["total"]), fmt_s(tool_total),
                     fmt_x(ratio(launcher["total"], tool_total)), "",
                     spread(run["total"] for run in runs)])
        rows.append(["total without SHA-256", fmt_s(launcher_no_sha), fmt_s(tool_total_no_sha),
                     fmt_x(ratio(launcher_no_sha, tool_total_no_sha)), "",
                     spread(run["total"] - run["sha256"] for run in runs)])
        self.add(*table(rows))
        self.add(
            "",
            "The launcher's total runs from StartMode to \"%s обновлена. Запуск...\" (the "
            "game's start, %s more," % ("онлайн-версии", fmt_s(launcher["launch"])),
            "is left out on both sides). SHA-256 by openssl dgst -sha256: %s (%s); by the "
            "launcher's CryptoAPI: %s."
            % (fmt_s(tool["sha256_openssl"]), rate(size, tool["sha256_openssl"]),
               rate(size, launcher["sha256"])),
            "The install as the full run timed it (\"Установка\" to \"обновлена\"): %s; the "
            "same steps alone: %s."
            % (fmt_s(launcher["install"]), fmt_s(steps_install)),
            "Throughput: download %s (curl %s), SHA-256 %s (sha256sum %s), unpack %s of content "
            "(unzip %s)."
            % (rate(size, launcher["download"]), rate(size, tool["download"]),
               rate(size, launcher["sha256"]), rate(size, tool["sha256"]),
               rate(build["bytes"], launcher["unpack"]), rate(build["bytes"], tool["unpack"])),
            "")
        self.chart = chart

        # What of the difference is ours and what is Wine's.
        self.launcher_no_sha = launcher_no_sha
        self.tool_no_sha = tool_total_no_sha
        why = self.update_causes(launcher, tool, size)
        figure = ratio(launcher_no_sha, tool_total_no_sha)
        self.targets.append(("whole update vs the tools, SHA-256 excepted", fmt_x(figure),
                             "<= %.2fx" % 1.15, figure is not None and figure <= 1.15, why))

    @staticmethod
    def truncate_note(always, new):
        if always - new > max(0.1, 0.05 * new):
            return ("CopyFileW(..., FALSE) opens each target as CREATE_ALWAYS, with the "
                    "truncate-and-flush-on-close above: %s over TRUE here." % fmt_s(always - new))
        return ("FALSE against TRUE (CREATE_ALWAYS against CREATE_NEW) made no clear "
                "difference here (%s against %s)." % (fmt_s(always), fmt_s(new)))

    def update_causes(self, launcher, tool, size):
        r = self.r
        floors = r.get("floor") or []
        download = r.get("download")
        lines = []
        self.add("Where the difference comes from (launcher minus tools, per phase):")
        excess = []
        for key in PHASES:
            if key == "sha256" or launcher[key] is None or tool[key] is None:
                continue
            excess.append((launcher[key] - tool[key], key))
        excess.append((launcher["locate"] or 0.0, "locate"))
        excess.sort(reverse=True)
        self.add("  " + ", ".join("%s %+.2f s" % (PHASE_TITLES[k], d) for d, k in excess))
        self.add("")

        ours = 0.0
        fixes = []
        if download:
            https = best(d["seconds"] for d in download["launcherHttps"])
            http = best(d["seconds"] for d in download["launcherHttp"])
            tail = best(d["seconds"] - d["lastChunkSeconds"] for d in download["launcherHttps"])
            curl_https = best(d["seconds"] for d in download["curlHttps"])
            curl_http = best(d["seconds"] for d in download["curlHttp"])
            self.add(
                "Download, by the launcher's own HttpDownloadToFile alone (vorn_bench.exe "
                "fetch), same archive:",
                "  WinINet over HTTPS %s (%s), over plain HTTP %s (%s); curl over HTTPS %s (%s), "
                "over HTTP %s."
                % (fmt_s(https), rate(size, https), fmt_s(http), rate(size, http),
                   fmt_s(curl_https), rate(size, curl_https), fmt_s(curl_http)),
                "  The same code with the same 256 KiB chunks is %.0fx faster without TLS: the "
                "limit is TLS inside" % (https / http if http else 0),
                "  Wine (wininet -> secur32 schannel -> GnuTLS), not our loop. Connection and "
                "headers alone took",
                "  %s over HTTPS and %s over HTTP, which is also most of the manifest phase."
                % (fmt_s(best(d.get("headersSeconds") for d in download["launcherHttps"])),
                   fmt_s(best(d.get("headersSeconds") for d in download["launcherHttp"]))),
                "  Ours: %s between the last chunk and the return, which is the close of"
                % fmt_s(tail),
                "  the new archive file: CreateFileW(CREATE_ALWAYS) makes Wine open it with "
                "O_CREAT and then",
                "  ftruncate(0) (seen with strace on wineserver), and ext4 flushes a file "
                "truncated to 0 when it",
                "  is closed (auto_da_alloc). CREATE_NEW in the fresh work folder avoids it.",
                "")
            lines.append("download: TLS inside Wine (platform), %s of file close after "
                         "CREATE_ALWAYS (ours)" % fmt_s(tail))
            ours += tail or 0.0
            if tail and tail > 0.1:
                fixes.append("CREATE_NEW would avoid it in a fresh work folder; the launcher keeps "
                             "CREATE_ALWAYS, which also replaces an archive left by an earlier "
                             "run in a work folder of the same name (NTFS does not flush here)")
        if floors:
            f = {key: best(fl["steps"][key] for fl in floors) for key in floors[0]["steps"]}
            noise = {key: max(fl["steps"][key] for fl in floors)
                     - min(fl["steps"][key] for fl in floors) for key in f}
            files = floors[0]["files"]
            folders = floors[0]["folders"]

            def ours_over(mine, bare):
                """Our function over the bare calls, when it stands out of the rounds' spread."""
                difference = f[mine] - f[bare]
                margin = max(noise[mine], noise[bare], 0.05)
                return (difference if difference > margin else None), margin

            copy_extra, copy_margin = ours_over("copyOurs", "copyPlainNew")
            delete_extra, delete_margin = ours_over("deleteOurs", "deletePlain")
            set_attributes = 1000 * f["setAttributes"] / files
            self.add(
                "Copy and empty against bare Win32 calls on the same tree (%d files, %d folders), "
                "vorn_bench.exe floor," % (files, folders),
                "one operation a process after a sync, best of %d rounds:" % len(floors),
                "  copy:  CopyDirectoryContents %s | CopyFileW(..., FALSE) loop %s | "
                "CopyFileW(..., TRUE) loop %s | cp -r %s"
                % (fmt_s(f["copyOurs"]), fmt_s(f["copyPlainAlways"]), fmt_s(f["copyPlainNew"]),
                   fmt_s(tool["copy"])),
                "  empty: RemoveTreeWithRetries %s | DeleteFileW+RemoveDirectoryW loop %s | "
                "rm -rf %s"
                % (fmt_s(f["deleteOurs"]), fmt_s(f["deletePlain"]), fmt_s(tool["empty"])),
                "  per-file calls alone: SetFileAttributesW %.3f ms, GetFileAttributesW %.3f ms"
                % (set_attributes, 1000 * f["getAttributes"] / files))
            if copy_extra is None:
                self.add(
                    "  Copy: CopyDirectoryContents is no slower than the bare CopyFileW loop "
                    "beyond the rounds' spread",
                    "  (%s); its per-file EnsureDir(parent) and attribute reset on the target "
                    "are lost in Wine's" % fmt_s(copy_margin),
                    "  own per-file cost. %s"
                    % self.truncate_note(f["copyPlainAlways"], f["copyPlainNew"]))
            else:
                self.add(
                    "  Ours in copy, %s: per file CopyDirectoryContents adds EnsureDir(parent) "
                    "and an attribute reset" % fmt_s(copy_extra),
                    "  (ResetAttributes) on the target before its CopyFileW(..., FALSE). %s"
                    % self.truncate_note(f["copyPlainAlways"], f["copyPlainNew"]))
                lines.append("copy: %s ours (per-file EnsureDir and ResetAttributes around "
                             "CopyFileW), the rest Wine's per-file cost" % fmt_s(copy_extra))
                fixes.append("in CopyDirectoryContents skip EnsureDir(parent), which the loop "
                             "has already made, and reset a target's attributes only when "
                             "CopyFileW failed")
                ours += copy_extra
            if delete_extra is None:
                self.add(
                    "  Empty: RemoveTreeWithRetries is no slower than the bare loop beyond the "
                    "rounds' spread (%s)," % fmt_s(delete_margin),
                    "  although it resets attributes (ResetAttributes) before every DeleteFileW "
                    "(a SetFileAttributesW",
                    "  alone is %.2f ms, %s for %d files)."
                    % (set_attributes, fmt_s(f["setAttributes"]), files))
            else:
                self.add(
                    "  Ours in empty, %s: RemoveFileWithRetries resets attributes "
                    "(ResetAttributes) before every" % fmt_s(delete_extra),
                    "  DeleteFileW (a SetFileAttributesW alone is %.2f ms); the first delete of "
                    "a writable file needs none." % set_attributes)
                lines.append("empty: %s ours (the attribute reset before each DeleteFileW), the "
                             "rest Wine's" % fmt_s(delete_extra))
                fixes.append("reset attributes only after a delete failed with "
                             "ERROR_ACCESS_DENIED, not before every attempt")
                ours += delete_extra
            self.add(
                "  The bare calls against the tools are Wine's own cost, each CreateFileW, "
                "CloseHandle and DeleteFileW",
                "  a round trip to wineserver: %.2f ms a file, bytes included, for the bare "
                "copy against %.2f ms for cp;"
                % (1000 * f["copyPlainNew"] / files, 1000 * tool["copy"] / files),
                "  %.2f ms for the bare delete against %.2f ms for rm."
                % (1000 * f["deletePlain"] / files, 1000 * tool["empty"] / files),
                "  Backup and restore copy the player's %d files with the same CopyFolder -> "
                "CopyDirectoryContents:"
                % (self.r["build"].get("saveFiles", 0) + 41),
                "  with so few bytes, Wine's per-file cost is all there is.", "")
        if launcher["unpack"] is not None and tool["unpack"] and launcher["unpack"] <= tool["unpack"]:
            self.add("Unpack: the built-in extractor is faster than unzip (%s against %s)."
                     % (fmt_s(launcher["unpack"]), fmt_s(tool["unpack"])), "")
        if launcher["install"] and self.r.get("steps"):
            steps_install = best(steps_phases(s)["install"] for s in self.r["steps"])
            if launcher["install"] > 1.15 * steps_install:
                self.add(
                    "The full run's install took %s where the same steps alone took %s: in the "
                    "run they follow"
                    % (fmt_s(launcher["install"]), fmt_s(steps_install)),
                    "the download, the SHA-256 pass and the unpacking of 1 GiB straight away, "
                    "while ext4 is still",
                    "writing those bytes back (the steps alone start after a sync). That is the "
                    "disk's, not code.", "")
        total = launcher["total"]
        self.add("Of the launcher's %s, about %s is ours and avoidable (figures above); the rest "
                 "is Wine's TLS," % (fmt_s(total), fmt_s(ours)),
                 "its per-file round trips to wineserver and CryptoAPI's SHA-256.")
        if launcher["download"] is not None and tool["download"] and self.tool_no_sha:
            rest = self.launcher_no_sha - launcher["download"]
            rest_tools = self.tool_no_sha - tool["download"]
            self.add("Everything but the download and SHA-256: launcher %s, tools %s (%s)."
                     % (fmt_s(rest), fmt_s(rest_tools), fmt_x(rest / rest_tools)))
            download_excess = launcher["download"] - tool["download"]
            total_excess = self.launcher_no_sha - self.tool_no_sha
            share = ("more than" if download_excess > total_excess else
                     "%.0f %% of" % (100 * download_excess / total_excess))
            lines.append("download alone is %s over curl, %s the whole update's %s over "
                         "the tools; all the other phases together come to %s the tools"
                         % (fmt_s(download_excess), share, fmt_s(total_excess),
                            fmt_x(rest / rest_tools)))
        no_sha = self.launcher_no_sha
        if no_sha is not None and self.tool_no_sha:
            self.add("Without ours the update, SHA-256 excepted, would be about %s, %s the tools."
                     % (fmt_s(no_sha - ours), fmt_x((no_sha - ours) / self.tool_no_sha)))
            lines.append("without all of ours, still about %s the tools: the rest is the "
                         "platform's (TLS in Wine above all)"
                         % fmt_x((no_sha - ours) / self.tool_no_sha))
        if fixes:
            lines.append("ours: " + "; ".join(fixes))
        self.add("")
        return lines

    # --- 3. ---

    def memory_section(self):
        runs = self.r.get("memory") or []
        self.add("3. Peak memory of the launcher's process during a full update", "")
        if len(runs) < 2:
            self.add("  not measured (see the failures below)", "")
            return
        rows = [["archive", "files", "update", "PeakWorkingSetSize", "/usr/bin/time %M",
                 "VmHWM (polled)", "VmRSS max (polled)", "PeakPagefileUsage"]]
        for m in runs:
            linux = m["linux"]
            kib = lambda v: None if v is None else v * 1024
            rows.append([fmt_size(m["archiveBytes"]), str(m["files"]), fmt_s(m["seconds"]),
                         fmt_mib(m["windows"]["peakWorkingSet"]),
                         fmt_mib(kib(linux["timeMaxRssKiB"])), fmt_mib(kib(linux["vmHwmKiB"])),
                         fmt_mib(kib(linux["vmRssMaxKiB"])),
                         fmt_mib(m["windows"]["peakPagefileUsage"])])
        self.add(*table(rows))
        small, large = runs[0], runs[-1]
        growth = {
            "PeakWorkingSetSize": large["windows"]["peakWorkingSet"]
            - small["windows"]["peakWorkingSet"],
            "/usr/bin/time %M": 1024 * ((large["linux"]["timeMaxRssKiB"] or 0)
                                        - (small["linux"]["timeMaxRssKiB"] or 0)),
            "VmHWM": 1024 * ((large["linux"]["vmHwmKiB"] or 0) - (small["linux"]["vmHwmKiB"] or 0)),
        }
        worst = max(growth.values())
        update = self.r.get("update") or []
        self.add(
            "",
            "Growth from %s to %s: %s." % (fmt_size(small["archiveBytes"]),
                                           fmt_size(large["archiveBytes"]),
                                           ", ".join("%s %+.2f MiB" % (k, v / MIB)
                                                     for k, v in growth.items())),
            "The 1 GiB update above peaked at %s (PeakWorkingSetSize)." %
            (fmt_mib(best(u["memory"]["peakWorkingSet"] for u in update)) if update else "-"),
            "What each includes: all are the resident memory of the one Linux process (wine64) "
            "that runs",
            "vorn_bench.exe: Wine's ntdll and unix-side libraries (GnuTLS among them), the DLLs "
            "loaded, heaps,",
            "thread stacks and our fixed buffers (256 KiB download chunk, 256 KiB SHA-256 chunk, "
            "256 + 64 KiB",
            "extractor buffers and zlib's 32 KiB window). File data passes through the page "
            "cache, which no",
            "process is charged for. /usr/bin/time %M is ru_maxrss of the largest process that "
            "wine-run.sh waited",
            "for (that same process; Wine's services are not its children). VmHWM is the "
            "kernel's high-water mark,",
            "polled every 50 ms. GetProcessMemoryInfo's PeakWorkingSetSize agrees with them to "
            "the KiB: Wine reads",
            "it from the same VmHWM. PeakPagefileUsage always equals PagefileUsage here: Wine "
            "fills both from the",
            "current anonymous resident memory, so it is not a peak; PrivateUsage is left 0 by "
            "Wine.", "")
        self.targets.append(("peak memory growth, %s -> %s archive"
                             % (fmt_size(small["archiveBytes"]), fmt_size(large["archiveBytes"])),
                             "%+.2f MiB" % (worst / MIB), "<= 8 MiB", worst <= 8 * MIB, []))

    # --- 4. ---

    def window_section(self):
        self.add("4. The window", "")
        paint = self.r.get("paint")
        window = self.r.get("window")
        tick = None
        if paint:
            series = lambda key: paint[key]["meanMs"]
            # The launcher clips its paint to the update rectangle: the bar, on a tick.
            tick = series("timerTickPaintClipped")
            self.add(
                "One full frame of the paint path on an off-screen DC of 680 x 470 with the "
                "launcher's own resources",
                "(launcher.rc linked into vorn_bench.exe; mean of %d frames, bar sweeping):"
                % paint["scene"]["frames"],
                "  DrawWindowBackground + DrawHeaderTexts + DrawProgressBar: %.3f ms (median "
                "%.3f, min %.3f, max %.3f)"
                % (series("scene"), paint["scene"]["medianMs"], paint["scene"]["minMs"],
                   paint["scene"]["maxMs"]),
                "    DrawWindowBackground %.3f ms, of which the background picture's Render "
                "%.3f ms and the two"
                % (series("drawWindowBackground"), series("backgroundPicture")),
                "    DrawRoundedAlphaRect calls (shadow %.3f ms, panel %.3f ms, each 624 x 374: "
                "a DIB made and filled"
                % (series("panelShadow"), series("panel")),
                "    on every call, then AlphaBlend); DrawHeaderTexts %.3f ms; "
                "DrawProgressBar %.3f ms."
                % (series("drawHeaderTexts"), series("drawProgressBar")),
                "  One timer tick's WM_PAINT without clipping (buffer made, whole scene "
                "drawn, bar copied out): %.3f ms."
                % series("timerTickPaint"),
                "  The same clipped to the bar, as WindowProc does it: %.3f ms, i.e. %.1f %% "
                "of a core at one tick every 35 ms; with the scene behind the bar kept from the"
                % (tick, 100 * tick / 35.0),
                "    previous frame (copy the bar's part back, draw the bar, copy it out): %.3f ms."
                % series("timerTickPaintCached"), "")
        if window:
            self.add(
                "CPU of the real launcher (VornLauncherBench.exe, the launcher built for the "
                "bench's server) from",
                "/proc/<pid>/stat (utime + stime) over 10 s, in % of one core; Xvfb, no window "
                "manager. The sweep:",
                "\"Онлайн версия\" clicked with xdotool, the archive served with no length and "
                "held (_nolength/_hold),",
                "the bar checked to move between two screenshots before measuring.")
            rows = [["state", "launcher", "all of the prefix", "wineserver", "Xvfb"]]
            for key, title in (("idleBefore", "idle, before the click"), ("sweep", "bar sweeping"),
                               ("idleAfter", "idle, after the update")):
                sample = window.get(key)
                if not sample:
                    continue
                server = sum(v for k, v in sample["perProcess"].items()
                             if k.startswith("wineserver"))
                rows.append([title, "%.1f %%" % sample["launcher"],
                             "%.1f %%" % sample["wineTotal"], "%.1f %%" % server,
                             "%.1f %%" % sample["xvfb"]])
            self.add(*table(rows))
            self.add("")
            sweep = window.get("sweep")
            if sweep:
                why = []
                if sweep["launcher"] > 3.0 and paint:
                    alpha = series("panelShadow") + series("panel")
                    why = ["every 35 ms tick composes the scene behind the bar again, clipped "
                           "to the bar (%.2f ms a tick, %.1f %% of a core): background picture, "
                           "shadow and panel blended, texts drawn; the launcher's paint path "
                           "builds the whole scene on every paint by design"
                           % (tick, 100 * tick / 35.0),
                           "possible change (a design decision): keep the scene behind the bar "
                           "in a bitmap made once and draw just the bar on a tick: %.3f ms a "
                           "tick in the paint bench" % series("timerTickPaintCached")]
                    if sweep["launcher"] > 100 * tick / 35.0:
                        why.append("the rest of the launcher's figure is the timer, RedrawWindow "
                                   "and Wine's window surface update to X11 for each tick (the "
                                   "measured %.1f %% less the paint's %.1f %%)"
                                   % (sweep["launcher"], 100 * tick / 35.0))
                self.targets.append(("CPU while the bar sweeps (launcher process)",
                                     "%.1f %%" % sweep["launcher"], "<= 3 %",
                                     sweep["launcher"] <= 3.0, why))
            idle = [window[k]["launcher"] for k in ("idleBefore", "idleAfter") if k in window]
            if idle:
                worst = max(idle)
                self.targets.append(("CPU while idle (launcher process)", "%.1f %%" % worst,
                                     "0 %", worst == 0.0, [] if worst == 0.0 else
                                     ["the launcher process used CPU with no run and no input"]))
        elif paint is None:
            self.add("  not measured (see the failures below)", "")

    # --- 5. ---

    def size_section(self):
        size = self.r.get("size")
        self.add("5. The release executable", "")
        if not size:
            self.add("  not measured (see the failures below)", "")
            return
        assets = size["assets"]
        sections = size["sections"]
        self.add(
            "%s: %d bytes (%.2f MiB); stripped again with x86_64-w64-mingw32-strip: %d bytes "
            "(linked with -s)." % (os.path.relpath(self.bench.release_exe, self.bench.build),
                                   size["bytes"], size["bytes"] / MIB, size["strippedBytes"]),
            "Sections: " + ", ".join("%s %d KiB" % (k, v // 1024) for k, v in sections.items()
                                     if v >= 1024) + ".",
            "Its assets, inside .rsrc: " + ", ".join("%s %d KiB" % (k, v // 1024)
                                                     for k, v in assets.items()) + ".",
            "Imports: " + ", ".join(size["dlls"]) + ".", "")
        self.targets.append(("release .exe with its assets", "%.2f MiB" % (size["bytes"] / MIB),
                             "<= 2 MiB", size["bytes"] <= 2 * MIB, []))

    # --- Targets and the whole text. ---

    def target_section(self):
        self.add("Targets", "")
        rows = [["target", "figure", "wanted", "result"]]
        for what, figure, wanted, met, _ in self.targets:
            rows.append([what, figure, wanted, "met" if met else "NOT MET"])
        self.add(*table(rows))
        self.add("")
        for what, figure, wanted, met, why in self.targets:
            if met:
                continue
            self.add("Missed: %s (%s, wanted %s). Why:" % (what, figure, wanted))
            for line in why:
                self.add("  - " + line)
            self.add("")

    def text(self):
        self.add("Vorn launcher bench", "")
        self.add(*machine_lines(self.bench))
        self.add("")
        for section in (self.update_section, self.memory_section, self.window_section,
                        self.size_section):
            try:
                section()
            except (KeyError, ValueError, TypeError, IndexError) as error:
                self.bench.failures.append("report %s: %r" % (section.__name__, error))
        self.target_section()
        if self.bench.failures:
            self.add("Failures (the bench exits non-zero):")
            for failure in self.bench.failures:
                self.add("  - " + failure)
        else:
            self.add("Every measurement was made.")
        return "\n".join(self.lines) + "\n"


def plot(chart, path):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    names = [c[0] for c in chart]
    ours = [c[1] or 0 for c in chart]
    tools = [c[2] or 0 for c in chart]
    y = range(len(names))
    fig, ax = plt.subplots(figsize=(8, 4.5))
    ax.barh([i + 0.2 for i in y], ours, height=0.4, label="launcher under Wine", color="#410009")
    ax.barh([i - 0.2 for i in y], tools, height=0.4, label="Linux tools", color="#9a9aa5")
    ax.set_yticks(list(y))
    ax.set_yticklabels(names)
    ax.invert_yaxis()
    ax.set_xlabel("seconds (best of the rounds)")
    ax.set_title("Full update per phase: launcher against standard tools")
    ax.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def write(bench):
    os.makedirs(bench.out_dir, exist_ok=True)
    with open(os.path.join(bench.out_dir, "report.json"), "w") as f:
        json.dump({"results": bench.results, "failures": bench.failures}, f, indent=1,
                  ensure_ascii=False)
    report = Report(bench)
    text = report.text()
    png = os.path.join(bench.out_dir, "report.png")
    if os.path.exists(png):
        os.remove(png)
    if report.chart and plot(report.chart, png):
        text += "Chart: %s\n" % png
    with open(os.path.join(bench.out_dir, "report.txt"), "w", encoding="utf-8") as f:
        f.write(text)
    return text
