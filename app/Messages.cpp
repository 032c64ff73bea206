#include "app/Messages.h"

void PostTextMessage(HWND window, UINT message, WPARAM wParam, const std::wstring& text) {
    std::wstring* copy = new std::wstring(text);
    if (!PostMessageW(window, message, wParam, reinterpret_cast<LPARAM>(copy)))
        delete copy;
}

RunReports ReportsTo(HWND window) {
    RunReports reports;
    reports.status = [window](const std::wstring& text) {
        PostTextMessage(window, WM_LAUNCHER_STATUS, 0, text);
    };
    reports.progress = [window](int percent, const std::wstring& text) {
        PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(percent), text);
    };
    return reports;
}
