#pragma once
// The measurements of vorn_bench, one per command. Each writes its figures to
// a file for bench/run_bench.py and returns the exit code (0: the work was done).

#include <windows.h>

#include <string>

// A full update as the window starts one, and when each of its reports arrived.
int RunUpdate(const std::wstring& outPath, const std::wstring& manifestUrl,
              const std::wstring& baseFolder, const std::wstring& installFolder,
              const std::wstring& label);
// The install steps of an update one by one, in InstallOrUpdate's order.
int RunInstallSteps(const std::wstring& outPath, const std::wstring& workFolder,
                    const std::wstring& baseFolder, const std::wstring& installFolder);
// The window's paint path on an off-screen DC, frame after frame.
int RunPaintFrames(const std::wstring& outPath, int frames);
// One copy or emptying step, by bare Win32 calls or by the launcher's own function.
int RunPlatformFloor(const std::wstring& outPath, const std::wstring& operation,
                     const std::wstring& sourceFolder, const std::wstring& targetFolder);
// One download by HttpDownloadToFile.
int RunFetch(const std::wstring& outPath, const std::wstring& url, const std::wstring& filePath);

// Seconds on the performance counter; only differences mean anything.
double NowSeconds();

// The figures of one measurement, one "name value" a line, in UTF-8.
struct Figures {
    std::string lines;
    Figures& Add(const char* name, double value);
    Figures& Add(const char* name, const std::wstring& text);
    Figures& AddPeakMemory();
    // Writes the figures and "ok"; returns the exit code.
    int Write(const std::wstring& path, bool ok);
};
