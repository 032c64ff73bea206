// A full update driven the way the launcher window drives it. The reports
// arrive at a hidden window of ours, which notes when each came: the phases
// of the run lie between them.

#include "bench/BenchOutput.h"
#include "bench/BenchPrograms.h"

#include "app/LauncherApp.h"
#include "app/Messages.h"

#include <memory>
#include <string>
#include <vector>

namespace {

const wchar_t kClassName[] = L"VornBenchUpdateWindow";
// A 2 GiB update under Wine takes minutes, not this long.
const double kRunLimitSeconds = 1200.0;

struct Report {
    double seconds = 0;
    UINT message = 0;
    int value = 0;
    std::wstring text;
};

struct Recorder {
    double start = 0;
    std::vector<Report> reports;
    bool done = false;
    bool failed = false;
};

const char* MessageName(UINT message) {
    switch (message) {
    case WM_LAUNCHER_STATUS:
        return "status";
    case WM_LAUNCHER_PROGRESS:
        return "progress";
    case WM_LAUNCHER_ERROR:
        return "error";
    case WM_LAUNCHER_ENABLE_BUTTONS:
        return "enable";
    case WM_LAUNCHER_WORKER_DONE:
        return "done";
    default:
        return "other";
    }
}

LRESULT CALLBACK RecorderProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* recorder = reinterpret_cast<Recorder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (recorder == nullptr || message < WM_LAUNCHER_STATUS || message > WM_LAUNCHER_WORKER_DONE)
        return DefWindowProcW(hwnd, message, wParam, lParam);

    Report report;
    report.seconds = NowSeconds() - recorder->start;
    report.message = message;
    report.value = static_cast<int>(static_cast<DWORD>(wParam));
    const bool carriesText = message == WM_LAUNCHER_STATUS || message == WM_LAUNCHER_PROGRESS ||
                             message == WM_LAUNCHER_ERROR;
    if (carriesText && lParam != 0) {
        std::unique_ptr<std::wstring> text(reinterpret_cast<std::wstring*>(lParam));
        report.text = *text;
    }
    recorder->reports.push_back(report);
    if (message == WM_LAUNCHER_ERROR)
        recorder->failed = true;
    if (message == WM_LAUNCHER_WORKER_DONE)
        recorder->done = true;
    return 0;
}

std::string ReportsJson(const Recorder& recorder) {
    std::string json = "[";
    for (size_t i = 0; i < recorder.reports.size(); ++i) {
        const Report& report = recorder.reports[i];
        json += std::string(i == 0 ? "" : ",") + "\n  {\"t\": " + Number(report.seconds) +
                ", \"message\": \"" + MessageName(report.message) +
                "\", \"value\": " + std::to_string(report.value) +
                ", \"text\": " + JsonText(report.text) + "}";
    }
    return json + "]";
}

} // namespace

int RunUpdate(const std::wstring& outPath, const std::wstring& manifestUrl,
              const std::wstring& baseFolder, const std::wstring& installFolder,
              const std::wstring& label) {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &RecorderProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);
    Recorder recorder;
    const HWND window = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        GetModuleHandleW(nullptr), &recorder);
    if (window == nullptr)
        return 1;

    LauncherApp app;
    app.window = window;
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
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    const double end = NowSeconds() - recorder.start;
    // A worker still running past the limit is left to the end of the process.
    if (recorder.done && app.workerThread != nullptr) {
        WaitForSingleObject(app.workerThread, 60000);
        CloseHandle(app.workerThread);
        app.workerThread = nullptr;
    }

    const bool ok = recorder.done && !recorder.failed;
    const std::string json = "{\"ok\": " + std::string(ok ? "true" : "false") +
                             ", \"end\": " + Number(end) + ", \"memory\": " + MemoryCountersJson() +
                             ", \"reports\": " + ReportsJson(recorder) + "}";
    DestroyWindow(window);
    if (!WriteJsonFile(outPath, json))
        return 1;
    return ok ? 0 : 1;
}
