// A full update driven the way the launcher window drives it. The reports
// arrive at a hidden window of ours, which notes when each came: the phases
// of the run lie between them. And the install part of an update, which the
// window sees as one "Установка" phase, taken apart: the same calls as
// InstallOrUpdate in the same order on the same kind of data, each timed on
// its own. The backup comes first, as in a run, so that the restore has the
// player's data to put back.

#include "bench/Bench.h"

#include "app/LauncherApp.h"
#include "app/Messages.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/PowerShell.h"
#include "platform/Sha256.h"
#include "platform/Text.h"

#include <functional>
#include <memory>
#include <stdexcept>

namespace {

// A 2 GiB update under Wine takes minutes, not this long.
const double kRunLimitSeconds = 1200.0;
// By message, from WM_LAUNCHER_STATUS on.
const wchar_t* const kMessageNames[] = {L"status", L"progress", L"error", L"enable", L"done"};

struct Recorder {
    double start = 0;
    Figures figures;
    bool done = false;
    bool failed = false;
};

LRESULT CALLBACK RecorderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
        SetWindowLongPtrW(hwnd, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(
                              reinterpret_cast<const CREATESTRUCTW*>(lParam)->lpCreateParams));
    auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (recorder == nullptr || message < WM_LAUNCHER_STATUS || message > WM_LAUNCHER_WORKER_DONE)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    std::wstring text;
    // The texts travel as heap strings that the receiver frees.
    if (message <= WM_LAUNCHER_ERROR && lParam != 0)
        text = *std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
    recorder->figures.Add(
        "report", std::to_wstring(NowSeconds() - recorder->start) + L" " +
                      kMessageNames[message - WM_LAUNCHER_STATUS] + L" " +
                      std::to_wstring(static_cast<int>(static_cast<DWORD>(wParam))) + L" " + text);
    recorder->failed = recorder->failed || message == WM_LAUNCHER_ERROR;
    recorder->done = recorder->done || message == WM_LAUNCHER_WORKER_DONE;
    return 0;
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
    Recorder recorder;
    LauncherApp app;
    app.window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, windowClass.hInstance, &recorder);
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
    return recorder.figures.AddPeakMemory().Write(outPath, recorder.done && !recorder.failed);
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
    timed("sha256", [&] { check(ComputeFileSha256(archivePath).size() == 64); });
    timed("unpack", [&] {
        EnsureDir(extractFolder);
        check(ExpandArchive(archivePath, extractFolder) == 0);
    });
    timed("find",
          [&] { check(app.FindGameRootRecursive(extractFolder, L"game.exe", sourceFolder)); });
    timed("mark", [&] { app.MarkRestorePending(installFolder); });
    timed("empty", [&] { EmptyFolder(installFolder); });
    timed("copy", [&] { CopyDirectoryContents(sourceFolder, installFolder); });
    timed("restore", [&] { app.RestoreBackups(installFolder); });
    timed("clear", [&] { app.ClearRestorePending(installFolder); });
    timed("cleanup", [&] { RemoveTreeWithRetries(workFolder); });
    return figures.Add("ownExtractor", PowerShellIsWineStub() ? 1 : 0)
        .Add("failure", Utf8ToWide(failure))
        .Write(outPath, failure.empty());
}
