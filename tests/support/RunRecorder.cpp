#include "tests/support/RunRecorder.h"

#include "app/Messages.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

const wchar_t kClassName[] = L"VornRunRecorderWindow";
const DWORD kRunLimitMs = 120000;

bool IsLauncherMessage(UINT message) {
    return message >= WM_LAUNCHER_STATUS && message <= WM_LAUNCHER_WORKER_DONE;
}

} // namespace

RunRecorder::RunRecorder() {
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &RunRecorder::WindowProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass); // fails harmlessly when already registered
    window_ = CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), this);
    if (window_ == nullptr)
        throw std::runtime_error("cannot create the recording window");
}

RunRecorder::~RunRecorder() {
    DestroyWindow(window_);
    // Texts still queued for the window are freed with it.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_LAUNCHER_STATUS, WM_LAUNCHER_WORKER_DONE, PM_REMOVE))
        if (msg.message != WM_LAUNCHER_ENABLE_BUTTONS && msg.message != WM_LAUNCHER_WORKER_DONE)
            delete reinterpret_cast<std::wstring*>(msg.lParam);
}

LRESULT CALLBACK RunRecorder::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<RunRecorder*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr || !IsLauncherMessage(message))
        return DefWindowProcW(hwnd, message, wParam, lParam);

    RecordedMessage record;
    record.message = message;
    record.value = static_cast<int>(static_cast<DWORD>(wParam));
    const bool carriesText = message == WM_LAUNCHER_STATUS || message == WM_LAUNCHER_PROGRESS ||
                             message == WM_LAUNCHER_ERROR;
    if (carriesText && lParam != 0) {
        std::wstring* text = reinterpret_cast<std::wstring*>(lParam);
        record.hasText = true;
        record.text = *text;
        delete text;
    }
    if (self->onMessage)
        self->onMessage(record);
    self->messages_.push_back(record);
    if (message == WM_LAUNCHER_WORKER_DONE)
        self->done_ = true;
    return 0;
}

void RunRecorder::PumpUntil(bool (*done)(const RunRecorder&, const void*), const void* argument) {
    const DWORD start = GetTickCount();
    while (!done(*this, argument) && GetTickCount() - start < kRunLimitMs) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

std::vector<RecordedMessage> RunRecorder::Run(LauncherApp& app, const std::wstring& label,
                                              const std::wstring& manifestUrl,
                                              const std::wstring& installFolder) {
    app.window = window_;
    messages_.clear();
    done_ = false;
    app.StartMode(label, manifestUrl, installFolder);
    return WaitForDone(app);
}

std::vector<RecordedMessage> RunRecorder::RunCommand(LauncherApp& app, int commandId) {
    app.window = window_;
    messages_.clear();
    done_ = false;
    app.OnCommand(commandId);
    return WaitForDone(app);
}

std::vector<RecordedMessage> RunRecorder::WaitForDone(LauncherApp& app) {
    PumpUntil([](const RunRecorder& self, const void*) { return self.done_; }, nullptr);
    if (!done_) {
        ADD_FAILURE() << "the run did not end within two minutes";
        return messages_;
    }
    // The window clears busy when WORKER_DONE arrives.
    InterlockedExchange(&app.busy, 0);
    if (app.workerThread != nullptr) {
        WaitForSingleObject(app.workerThread, INFINITE);
        CloseHandle(app.workerThread);
        app.workerThread = nullptr;
    }
    return messages_;
}

bool RunRecorder::WaitForText(const std::wstring& text) {
    auto seen = [](const RunRecorder& self, const void* wanted) {
        for (const RecordedMessage& m : self.messages_)
            if (m.text == *static_cast<const std::wstring*>(wanted))
                return true;
        return self.done_;
    };
    PumpUntil(seen, &text);
    for (const RecordedMessage& m : messages_)
        if (m.text == text)
            return true;
    return false;
}

std::wstring Describe(const std::vector<RecordedMessage>& messages) {
    std::wstring out;
    for (const RecordedMessage& m : messages) {
        switch (m.message) {
        case WM_LAUNCHER_STATUS:
            out += L"STATUS";
            break;
        case WM_LAUNCHER_PROGRESS:
            out += L"PROGRESS " + std::to_wstring(m.value);
            break;
        case WM_LAUNCHER_ERROR:
            out += L"ERROR";
            break;
        case WM_LAUNCHER_ENABLE_BUTTONS:
            out += L"ENABLE " + std::to_wstring(m.value);
            break;
        case WM_LAUNCHER_WORKER_DONE:
            out += L"DONE";
            break;
        default:
            out += L"?";
            break;
        }
        if (m.hasText)
            out += L" [" + m.text + L"]";
        out += L"\n";
    }
    return out;
}

RecordedMessage Status(const std::wstring& text) {
    return RecordedMessage{WM_LAUNCHER_STATUS, 0, true, text};
}

RecordedMessage Progress(int value, const std::wstring& text) {
    return RecordedMessage{WM_LAUNCHER_PROGRESS, value, true, text};
}

RecordedMessage ProgressOnly(int value) {
    return RecordedMessage{WM_LAUNCHER_PROGRESS, value, false, L""};
}

RecordedMessage Error(const std::wstring& text) {
    return RecordedMessage{WM_LAUNCHER_ERROR, 0, true, text};
}

RecordedMessage EnableButtons(bool enable) {
    return RecordedMessage{WM_LAUNCHER_ENABLE_BUTTONS, enable ? 1 : 0, false, L""};
}

RecordedMessage WorkerDone() {
    return RecordedMessage{WM_LAUNCHER_WORKER_DONE, 0, false, L""};
}

bool operator==(const RecordedMessage& a, const RecordedMessage& b) {
    return a.message == b.message && a.value == b.value && a.hasText == b.hasText &&
           a.text == b.text;
}
