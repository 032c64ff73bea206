#pragma once
// The measurements of vorn_bench, one per command. Each writes its figures to
// a file for bench/run_bench.py and returns the exit code (0: the work was done).

#include <windows.h>

#include <string>

// vorn_bench update OUT MANIFEST_URL BASE_FOLDER INSTALL_FOLDER LABEL: a full
// update as the window starts one, and when each of its reports arrived.
int RunUpdate(const std::wstring& outPath, const std::wstring& manifestUrl,
              const std::wstring& baseFolder, const std::wstring& installFolder,
              const std::wstring& label);
// vorn_bench steps OUT WORK_FOLDER BASE_FOLDER INSTALL_FOLDER: the install
// steps of an update one by one, in InstallOrUpdate's order.
int RunInstallSteps(const std::wstring& outPath, const std::wstring& workFolder,
                    const std::wstring& baseFolder, const std::wstring& installFolder);
// vorn_bench paint OUT FRAMES: the window's paint path on an off-screen DC.
int RunPaintFrames(const std::wstring& outPath, int frames);
// vorn_bench floor OUT copy-plain|copy-ours|delete-plain|delete-ours|unpack|flush-ours
// SOURCE TARGET: one copy or removal of a tree, by bare Win32 calls or by the
// launcher's function, the launcher's unpacking of the archive SOURCE into
// TARGET, or its flush of every file below TARGET to the disk.
int RunPlatformFloor(const std::wstring& outPath, const std::wstring& operation,
                     const std::wstring& sourceFolder, const std::wstring& targetFolder);
// vorn_bench fetch OUT URL FILE: one download by HttpDownloadToFile.
int RunFetch(const std::wstring& outPath, const std::wstring& url, const std::wstring& filePath);

// Seconds on the performance counter; only differences mean anything.
double NowSeconds();

// The figures of one measurement, one "name value" a line, in UTF-8.
struct Figures {
    std::string lines;
    Figures& Add(const char* name, double value);
    Figures& Add(const char* name, const std::wstring& text);
    // Writes the figures and "ok"; returns the exit code.
    int Write(const std::wstring& path, bool ok);
};
