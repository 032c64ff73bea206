#include "ui/Dpi.h"

#include "platform/Guards.h"
#include "platform/SystemLibraries.h"

namespace {

// The calls of user32 that Windows 7 lacks are looked up, so that the exe
// starts there.
void* User32Call(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 != nullptr ? reinterpret_cast<void*>(GetProcAddress(user32, name)) : nullptr;
}

UINT SystemDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSX) : 0;
    if (screen != nullptr)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<UINT>(dpi) : kLayoutDpi;
}

} // namespace

int ScaleToDpi(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), static_cast<int>(kLayoutDpi));
}

RECT ScaleRectToDpi(const RECT& rect, UINT dpi) {
    return {ScaleToDpi(rect.left, dpi), ScaleToDpi(rect.top, dpi), ScaleToDpi(rect.right, dpi),
            ScaleToDpi(rect.bottom, dpi)};
}

UINT WindowDpi(HWND window) {
    using GetDpiForWindowCall = UINT(WINAPI*)(HWND);
    const auto getDpiForWindow =
        reinterpret_cast<GetDpiForWindowCall>(User32Call("GetDpiForWindow"));
    const UINT dpi = getDpiForWindow != nullptr ? getDpiForWindow(window) : 0;
    return dpi != 0 ? dpi : SystemDpi();
}

UINT DpiAtPoint(POINT point) {
    using GetDpiForMonitorCall = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
    LibraryGuard shcore(LoadSystemLibrary(L"shcore.dll"));
    const auto getDpiForMonitor =
        shcore.Get() != nullptr ? reinterpret_cast<GetDpiForMonitorCall>(reinterpret_cast<void*>(
                                      GetProcAddress(shcore.Get(), "GetDpiForMonitor")))
                                : nullptr;
    UINT x = 0;
    UINT y = 0;
    const HMONITOR monitor = MonitorFromPoint(point, MONITOR_DEFAULTTOPRIMARY);
    if (getDpiForMonitor != nullptr && SUCCEEDED(getDpiForMonitor(monitor, 0, &x, &y)) && x != 0)
        return x; // 0: the effective DPI, the one windows are scaled by
    return SystemDpi();
}

SIZE WindowSizeForClient(SIZE client, DWORD style, UINT dpi) {
    using AdjustForDpiCall = BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT);
    const auto adjustForDpi =
        reinterpret_cast<AdjustForDpiCall>(User32Call("AdjustWindowRectExForDpi"));
    RECT frame = {0, 0, client.cx, client.cy};
    // The frame's own metrics grow with the DPI where the system can say so.
    if (adjustForDpi == nullptr || !adjustForDpi(&frame, style, FALSE, 0, dpi))
        AdjustWindowRectEx(&frame, style, FALSE, 0);
    return {frame.right - frame.left, frame.bottom - frame.top};
}

int SystemMetricForDpi(int metric, UINT dpi) {
    using GetSystemMetricsForDpiCall = int(WINAPI*)(int, UINT);
    const auto forDpi =
        reinterpret_cast<GetSystemMetricsForDpiCall>(User32Call("GetSystemMetricsForDpi"));
    return forDpi != nullptr ? forDpi(metric, dpi) : GetSystemMetrics(metric);
}
