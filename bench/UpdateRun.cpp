// An update, whole and piece by piece. The full run is driven as the window does;
// its reports arrive at a hidden window of ours, which notes when each came.
// The install, one "Установка" phase to the window, is taken apart: the calls
// of InstallOrUpdate in its order, each timed, after the backup that gives the
// restore the player's data, and then the removal of the old build. Then bare Win32 loops under the install's copy and
// removal, and the download alone, to set HTTPS against plain HTTP.

#include "bench/Bench.h"

#include "app/LauncherApp.h"
#include "app/Messages.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/files/FileOps.h"
#include "platform/http/HttpDownload.h"
#include "platform/files/Paths.h"
#include "platform/Text.h"
#include "platform/zip/ZipExtract.h"

#include <psapi.h>

#include <functional>
#include <memory>
#include <stdexcept>

namespace {

// A 2 GiB update under Wine takes minutes, not this long.
const double kRunLimitSeconds = 1200.0;
// By message, from WM_LAUNCHER_STATUS on.
const wchar_t* const kMessageNames[] = {L"status", L"progress", L"error", L"enable", L"done"};

// What the hidden window has seen of the one run of this process.
struct Recorder {
    double start = 0;
    Figures figures;
    bool done = false;
    bool failed = false;
} recorder;

LRESULT CALLBACK RecorderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message < WM_LAUNCHER_STATUS || message > WM_LAUNCHER_WORKER_DONE)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    std::wstring text;
    // The texts travel as heap strings that the receiver frees.
    if (message <= WM_LAUNCHER_ERROR && lParam != 0)
        text = *std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
    recorder.figures.Add(
        "report", std::to_wstring(NowSeconds() - recorder.start) + L" " +
                      kMessageNames[message - WM_LAUNCHER_STATUS] + L" " +
                      std::to_wstring(static_cast<int>(static_cast<DWORD>(wParam))) + L" " + text);
    recorder.failed = recorder.failed || message == WM_LAUNCHER_ERROR;
    recorder.done = recorder.done || message == WM_LAUNCHER_WORKER_DONE;
    return 0;
}

// Copies a tree with nothing but CreateDirectoryW and CopyFileW. Failing if
// the target exists lets Wine open it with CREATE_NEW, the cheapest way there is.
bool CopyPlain(const std::wstring& source, const std::wstring& target) {
    if (!CreateDirectoryW(target.c_str(), nullptr))
        return false;
    for (const DirEntry& entry : ListDirectory(source)) {
        const std::wstring copy = JoinPath(target, entry.name);
        if (entry.isDirectory ? !CopyPlain(entry.fullPath, copy)
                              : !CopyFileW(entry.fullPath.c_str(), copy.c_str(), TRUE))
            return false;
    }
    return true;
}

// Removes a tree with nothing but DeleteFileW and RemoveDirectoryW.
bool DeletePlain(const std::wstring& folder) {
    for (const DirEntry& entry : ListDirectory(folder))
        if (entry.isDirectory ? !DeletePlain(entry.fullPath) : !DeleteFileW(entry.fullPath.c_str()))
            return false;
    return RemoveDirectoryW(folder.c_str()) != FALSE;
}

} // namespace

int RunUpdate(const std::wstring& outPath, const std::wstring& manifestUrl,
              const std::wstring& baseFolder, const std::wstring& installFolder,
              const std::wstring& label) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &RecorderProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VornBenchUpdateWindow";
    RegisterClassExW(&windowClass);
    LauncherApp app;
    app.window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, windowClass.hInstance, nullptr);
    if (app.window == nullptr)
        return 1;
    app.baseFolder = baseFolder;
    recorder.start = NowSeconds();
    try {
        app.StartMode(label, manifestUrl, installFolder);
    } catch (const std::exception&) {
        return 1;
    }
    while (!recorder.done && NowSeconds() - recorder.start < kRunLimitSeconds) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
    }
    recorder.figures.Add("end", NowSeconds() - recorder.start);
    // A worker still running past the limit is left to the end of the process.
    if (recorder.done && app.workerThread != nullptr) {
        WaitForSingleObject(app.workerThread, 60000);
        CloseHandle(app.workerThread);
    }
    DestroyWindow(app.window);
    // Wine reads the peak working set from the process's VmHWM.
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return recorder.figures.Add("peakWorkingSet", static_cast<double>(counters.PeakWorkingSetSize))
        .Write(outPath, recorder.done && !recorder.failed);
}

int RunInstallSteps(const std::wstring& outPath, const std::wstring& workFolder,
                    const std::wstring& baseFolder, const std::wstring& installFolder) {
    LauncherApp app;
    app.baseFolder = baseFolder;
    const std::wstring archivePath = JoinPath(workFolder, L"game.zip");
    const std::wstring extractFolder = JoinPath(workFolder, L"extract");
    std::wstring sourceFolder;
    Figures figures;
    std::string failure;
    auto timed = [&](const char* name, const std::function<void()>& action) {
        if (!failure.empty())
            return;
        const double start = NowSeconds();
        try {
            action();
        } catch (const std::exception& error) {
            failure = std::string(name) + ": " + error.what();
        }
        figures.Add(name, NowSeconds() - start);
    };
    auto check = [](bool done) {
        if (!done)
            throw std::runtime_error("failed");
    };
    timed("backup", [&] { app.PrepareBackups(installFolder); });
    timed("unpack", [&] {
        EnsureDir(extractFolder);
        check(ExpandArchive(archivePath, extractFolder) == 0);
    });
    timed("locate", [&] {
        check(app.FindGameRootRecursive(extractFolder, L"game.exe", sourceFolder));
        app.MarkRestorePending(installFolder);
    });
    // The old build aside into the work folder beside it, the new one into
    // its place: a rename each.
    timed("swap", [&] {
        RenameWithRetries(installFolder, JoinPath(workFolder, L"old"));
        RenameWithRetries(sourceFolder, installFolder);
    });
    timed("restore", [&] {
        app.RestoreBackups(installFolder);
        app.ClearRestorePending(installFolder);
    });
    // The launcher removes the old build and the work folder once the game
    // has started.
    timed("cleanup", [&] { RemoveTreeWithRetries(workFolder); });
    return figures.Add("failure", Utf8ToWide(failure)).Write(outPath, failure.empty());
}

int RunPlatformFloor(const std::wstring& outPath, const std::wstring& operation,
                     const std::wstring& sourceFolder, const std::wstring& targetFolder) {
    const double start = NowSeconds();
    bool ok = true;
    try {
        if (operation == L"copy-plain")
            ok = CopyPlain(sourceFolder, targetFolder);
        else if (operation == L"copy-ours")
            CopyDirectoryContents(sourceFolder, targetFolder);
        else if (operation == L"delete-plain")
            ok = DeletePlain(targetFolder);
        else if (operation == L"delete-ours")
            RemoveTreeWithRetries(targetFolder);
        else if (operation == L"unpack")
            ok = ExtractZipArchive(sourceFolder, targetFolder);
        else if (operation == L"flush-ours")
            FlushTree(targetFolder);
        else if (operation == L"swap") {
            // An install: the old build at the target steps aside, the source
            // takes its name.
            RenameWithRetries(targetFolder, targetFolder + L".old");
            RenameWithRetries(sourceFolder, targetFolder);
        }
        else
            return 2;
    } catch (const std::exception&) {
        ok = false;
    }
    return Figures().Add("seconds", NowSeconds() - start).Write(outPath, ok);
}

int RunFetch(const std::wstring& outPath, const std::wstring& url, const std::wstring& filePath) {
    const double start = NowSeconds();
    bool ok = true;
    try {
        HttpDownloadToFile(url, filePath, HttpDownloadEvents());
    } catch (const std::exception&) {
        ok = false;
    }
    return Figures().Add("seconds", NowSeconds() - start).Write(outPath, ok);
}
