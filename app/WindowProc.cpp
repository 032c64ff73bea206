// The launcher window's procedure: double-buffered painting, the buttons'
// clicks and hover looks, the sweeping bar's timer, the worker's reports,
// a move to a monitor of another DPI, the refusal to close during a run, and
// the tear-down.

#include "app/LauncherApp.h"
#include "ui/Background.h"
#include "ui/ProgressBar.h"

#include "app/Messages.h"
#include "platform/Text.h"
#include "platform/Guards.h"

#include <memory>
#include <stdexcept>

namespace {

// Repaints the rectangle before returning, without erasing it first.
void RepaintNow(HWND window, const RECT& rect) {
    RedrawWindow(window, &rect, nullptr, RDW_INVALIDATE | RDW_NOERASE | RDW_UPDATENOW);
}

void InvalidateButton(HWND window, int controlId) {
    if (HWND button = GetDlgItem(window, controlId))
        InvalidateRect(button, nullptr, TRUE);
}

// The posted text; the window owns it from here and frees it on return.
std::unique_ptr<std::wstring> TakeText(LPARAM lParam) {
    return std::unique_ptr<std::wstring>(reinterpret_cast<std::wstring*>(lParam));
}

} // namespace

LRESULT CALLBACK LauncherApp::WndProcStatic(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* app =
            static_cast<LauncherApp*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
        app->window = hwnd;
        return app->WndProc(hwnd, message, wParam, lParam);
    }
    auto* app = reinterpret_cast<LauncherApp*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (app == nullptr)
        return DefWindowProcW(hwnd, message, wParam, lParam);
    return app->WndProc(hwnd, message, wParam, lParam);
}

void LauncherApp::RedrawStatusText() {
    RepaintNow(window, ToWindowPixels(StatusRect(panelRect)));
}

void LauncherApp::UpdateHoveredButton(POINT clientPoint) {
    RECT client{};
    GetClientRect(window, &client);
    HWND child =
        PtInRect(&client, clientPoint)
            ? ChildWindowFromPointEx(window, clientPoint, CWP_SKIPINVISIBLE | CWP_SKIPDISABLED)
            : nullptr;
    int id = child != nullptr ? GetDlgCtrlID(child) : 0;
    if (id < kOnlineButtonId || id > kCommunityButtonId)
        id = 0;
    if (id == hoveredButton)
        return;
    const int previous = hoveredButton;
    hoveredButton = id;
    if (previous != 0)
        InvalidateButton(window, previous);
    if (id != 0)
        InvalidateButton(window, id);
}

// Mouse moves over a button go to the button, not to the launcher window, so
// each button reports them (and its own leaving) to the hover tracking.
LRESULT CALLBACK LauncherApp::ButtonProcStatic(HWND button, UINT message, WPARAM wParam,
                                               LPARAM lParam) {
    const auto original = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(button, GWLP_USERDATA));
    HWND parent = GetParent(button);
    auto* app = reinterpret_cast<LauncherApp*>(GetWindowLongPtrW(parent, GWLP_USERDATA));
    if (app != nullptr && (message == WM_MOUSEMOVE || message == WM_MOUSELEAVE)) {
        POINT point{};
        if (message == WM_MOUSEMOVE) {
            TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, button, 0};
            TrackMouseEvent(&track);
            point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
            MapWindowPoints(button, parent, &point, 1);
        } else {
            GetCursorPos(&point);
            ScreenToClient(parent, &point);
        }
        app->UpdateHoveredButton(point);
    }
    return CallWindowProcW(original, button, message, wParam, lParam);
}

LRESULT LauncherApp::WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        dpi = WindowDpi(hwnd);
        InitUi();
        ApplyWindows11Frame();
        return 0;

    case WM_GETDPISCALEDSIZE: {
        // The frame for the new DPI around the client area for it, so that
        // the move keeps the whole scene and nothing more.
        *reinterpret_cast<SIZE*>(lParam) = LauncherWindowSize(static_cast<UINT>(wParam));
        return TRUE;
    }

    case WM_DPICHANGED:
        OnDpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        return 0;

    case WM_PAINT: {
        PAINTSTRUCT paint{};
        const HDC dc = BeginPaint(hwnd, &paint);
        PaintWindow(dc, paint.rcPaint);
        EndPaint(hwnd, &paint);
        return 0;
    }

    case WM_ERASEBKGND:
        return 1; // the paint covers every pixel

    case WM_DRAWITEM:
        DrawButton(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return 1;

    case WM_COMMAND:
        if (HIWORD(wParam) == 0) {
            try {
                OnCommand(LOWORD(wParam));
            } catch (const std::exception& error) {
                // The worker thread could not be started: shown like a run's error.
                statusText = L"Ошибка: " + Utf8ToWide(error.what());
                RedrawStatusText();
                MessageBoxW(window, statusText.c_str(), L"Ошибка", MB_OK | MB_ICONERROR);
            }
        }
        return 0;

    case WM_TIMER:
        if (wParam == kHandOverTimerId) {
            OnHandOverTimer();
            return 0;
        }
        if (wParam == kMarqueeTimerId && progress < 0) {
            const RECT step =
                ToWindowPixels(SweepStepRect(progressRect, marqueeOffset, marqueeOffset + 18));
            marqueeOffset += 18;
            // Painted at once, and only where the segment was and is now.
            if (!IsRectEmpty(&step)) {
                if (const HDC dc = GetDC(window)) {
                    PaintWindow(dc, step);
                    ReleaseDC(window, dc);
                }
            }
        }
        return 0;

    case WM_MOUSEMOVE: {
        if (!trackingMouse) {
            TRACKMOUSEEVENT track{sizeof(TRACKMOUSEEVENT), TME_LEAVE, window, 0};
            if (TrackMouseEvent(&track))
                trackingMouse = TRUE;
        }
        UpdateHoveredButton(
            {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
        return 0;
    }

    case WM_MOUSELEAVE: {
        trackingMouse = FALSE;
        // The pointer left the client area, or went onto a button (a child
        // window, which the parent's tracking counts as leaving).
        POINT cursor{};
        GetCursorPos(&cursor);
        ScreenToClient(window, &cursor);
        UpdateHoveredButton(cursor);
        return 0;
    }

    case WM_CLOSE:
        if (busy != 0) {
            MessageBoxW(window,
                        L"Сейчас идет обновление или запуск.\nЗакрой лаунчер после завершения "
                        L"операции.",
                        L"Подожди", MB_OK | MB_ICONINFORMATION);
            return 0;
        }
        DestroyWindow(window);
        return 0;

    case WM_DESTROY:
        InterlockedExchange(&closing, 1);
        KillTimer(window, kMarqueeTimerId);
        DeleteFonts();
        backgroundImage.Clear();
        panelImage.Clear();
        for (IPicture** picture : {&backgroundPicture, &backgroundPictureLarge, &panelPicture}) {
            if (*picture != nullptr)
                (*picture)->Release();
            *picture = nullptr;
        }
        if (fontResource != nullptr) {
            RemoveFontMemResourceEx(fontResource);
            fontResource = nullptr;
        }
        OleUninitialize();
        PostQuitMessage(0);
        return 0;

    case WM_LAUNCHER_STATUS:
        if (lParam != 0) {
            statusText = *TakeText(lParam);
            RedrawStatusText();
        }
        return 0;

    case WM_LAUNCHER_PROGRESS:
        progress = static_cast<int>(static_cast<DWORD>(wParam));
        if (progress < 0)
            SetTimer(window, kMarqueeTimerId, kMarqueeTimerPeriodMs, nullptr);
        else
            KillTimer(window, kMarqueeTimerId);
        RepaintNow(window, ToWindowPixels(progressRect));
        if (lParam != 0) {
            statusText = *TakeText(lParam);
            RedrawStatusText();
        }
        return 0;

    case WM_LAUNCHER_ERROR:
        if (lParam != 0) {
            const std::unique_ptr<std::wstring> text = TakeText(lParam);
            statusText = *text;
            RedrawStatusText();
            errorBoxOpen = true;
            MessageBoxW(window, text->c_str(), L"Ошибка", MB_OK | MB_ICONERROR);
            errorBoxOpen = false;
            HandOverWhenIdle();
        }
        return 0;

    case WM_LAUNCHER_ENABLE_BUTTONS:
        for (HWND button : {onlineButton, officialButton, communityButton})
            EnableWindow(button, wParam != 0);
        for (int id : {kOnlineButtonId, kOfficialButtonId, kCommunityButtonId})
            InvalidateButton(window, id);
        return 0;

    case WM_LAUNCHER_WORKER_DONE:
        InterlockedExchange(&busy, 0);
        PostMessageW(window, WM_LAUNCHER_ENABLE_BUTTONS, 1, 0);
        HandOverWhenIdle();
        return 0;

    case WM_LAUNCHER_STAGED: {
        const std::unique_ptr<StagedLauncher> staged(reinterpret_cast<StagedLauncher*>(lParam));
        if (staged)
            OnLauncherStaged(*staged);
        return 0;
    }

    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
