#pragma once
// Drives a build's run the way the window does: StartMode on this thread, the
// real worker thread, and a hidden window of the test that receives the
// posted messages, records them and frees their texts.

#include "app/LauncherApp.h"

#include <functional>
#include <string>
#include <vector>

struct RecordedMessage {
    UINT message = 0;
    int value = 0; // wParam as the window reads it: a signed 32-bit number
    bool hasText = false;
    std::wstring text;
};

class RunRecorder {
public:
    RunRecorder();
    ~RunRecorder();
    RunRecorder(const RunRecorder&) = delete;
    RunRecorder& operator=(const RunRecorder&) = delete;

    HWND Window() const { return window_; }

    // Called with each message as it arrives, while the run goes on.
    std::function<void(const RecordedMessage&)> onMessage;

    // Starts the run with StartMode and pumps messages until
    // WM_LAUNCHER_WORKER_DONE (or a two-minute safety limit), then joins the
    // worker. Returns every message of the run in posting order.
    std::vector<RecordedMessage> Run(LauncherApp& app, const std::wstring& label,
                                     const std::wstring& manifestUrl,
                                     const std::wstring& installFolder);

    // The same for a run started by a button's command.
    std::vector<RecordedMessage> RunCommand(LauncherApp& app, int commandId);

    // Pumps until WM_LAUNCHER_WORKER_DONE of a run already started.
    std::vector<RecordedMessage> WaitForDone(LauncherApp& app);

    // Pumps until a message with this text has arrived (or the limit).
    bool WaitForText(const std::wstring& text);

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void PumpUntil(bool (*done)(const RunRecorder&, const void*), const void* argument);

    HWND window_ = nullptr;
    std::vector<RecordedMessage> messages_;
    bool done_ = false;
};

// A compact readable form of a message sequence, for assertion output.
std::wstring Describe(const std::vector<RecordedMessage>& messages);

RecordedMessage Status(const std::wstring& text);
RecordedMessage Progress(int value, const std::wstring& text);
RecordedMessage ProgressOnly(int value);
RecordedMessage Error(const std::wstring& text);
RecordedMessage EnableButtons(bool enable);
RecordedMessage WorkerDone();

bool operator==(const RecordedMessage& a, const RecordedMessage& b);
