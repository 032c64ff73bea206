#pragma once
// The worker's reports to the window. A text travels as a new heap string in
// lParam; the window procedure copies it and deletes it.

#include "pipeline/RunReports.h"

#include <windows.h>

#include <string>

const UINT WM_LAUNCHER_STATUS = WM_APP + 1;
const UINT WM_LAUNCHER_PROGRESS = WM_APP + 2;
const UINT WM_LAUNCHER_ERROR = WM_APP + 3;
const UINT WM_LAUNCHER_ENABLE_BUTTONS = WM_APP + 4;
const UINT WM_LAUNCHER_WORKER_DONE = WM_APP + 5;
// A new launcher is staged: lParam is a heap StagedLauncher the window takes.
const UINT WM_LAUNCHER_STAGED = WM_APP + 6;

// Posts a copy of the text. When the post fails (the window is gone) the copy
// is freed here, so no text is ever left without an owner.
void PostTextMessage(HWND window, UINT message, WPARAM wParam, const std::wstring& text);

// The progress value travels in wParam as a signed 32-bit number.
inline WPARAM ProgressParam(int percent) {
    return static_cast<WPARAM>(static_cast<DWORD>(percent));
}

// A run's reports as posted messages to the window: status lines as
// WM_LAUNCHER_STATUS, progress as WM_LAUNCHER_PROGRESS.
RunReports ReportsTo(HWND window);
