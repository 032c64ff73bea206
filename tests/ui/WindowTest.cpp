// The real launcher window of this test program: its creation, its buttons,
// and how its procedure applies the worker's reports, hovering and closing.

#include "app/LauncherApp.h"
#include "app/Messages.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// Closes the next message box with this caption from another thread and
// keeps its text; the window procedure is blocked in it meanwhile.
class DialogCatcher {
public:
    explicit DialogCatcher(const wchar_t* caption)
        : thread_([this, caption] {
              for (int i = 0; i < 200 && !stop_; ++i) {
                  if (HWND box = FindWindowW(L"#32770", caption)) {
                      wchar_t text[512] = {};
                      GetDlgItemTextW(box, 0xFFFF, text, 512);
                      text_ = text;
                      owner_ = GetWindow(box, GW_OWNER);
                      icon_ = GetDlgItem(box, 0x14) != nullptr;
                      cancel_ = GetDlgItem(box, IDCANCEL) != nullptr &&
                                IsWindowVisible(GetDlgItem(box, IDCANCEL));
                      PostMessageW(box, WM_COMMAND, IDOK, 0);
                      return;
                  }
                  Sleep(50);
              }
          }) {}
    ~DialogCatcher() {
        stop_ = true;
        thread_.join();
    }
    std::wstring Text() {
        thread_.join();
        thread_ = std::thread([] {});
        return text_;
    }
    HWND Owner() const { return owner_; }

private:
    std::atomic<bool> stop_{false};
    std::wstring text_ = L"<no box>";
    HWND owner_ = nullptr;
    bool icon_ = false;
    bool cancel_ = false;
    std::thread thread_;
};

void Pump(DWORD milliseconds) {
    const DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(10);
    } while (GetTickCount() - start < milliseconds);
}

LPARAM NewText(const std::wstring& text) {
    return reinterpret_cast<LPARAM>(new std::wstring(text));
}

class Window : public ::testing::Test {
protected:
    Window() {
        // Each test starts like a first start in an empty folder.
        for (const wchar_t* name : {L"game_online", L"game_offline", L"backup"})
            ForceRemoveTree(TestBinDir() + L"\\" + name);
        created = app.Create(GetModuleHandleW(nullptr));
        if (created)
            ShowWindow(app.window, SW_SHOW);
    }
    ~Window() override {
        if (IsWindow(app.window)) {
            app.busy = 0;
            DestroyWindow(app.window);
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        UnregisterClassW(L"VornRpgLauncherWindow", GetModuleHandleW(nullptr));
    }

    LauncherApp app;
    bool created = false;
};

} // namespace

TEST_F(Window, CreationMakesTheBuildFoldersBesideTheLauncher) {
    ASSERT_TRUE(created);
    EXPECT_EQ(app.baseFolder, TestBinDir());
    EXPECT_TRUE(Exists(TestBinDir() + L"\\game_online\\Save"));
    EXPECT_TRUE(Exists(TestBinDir() + L"\\game_offline\\Save"));
    EXPECT_FALSE(Exists(TestBinDir() + L"\\backup"));
    EXPECT_FALSE(Exists(TestBinDir() + L"\\game_online\\version.txt"));
}

TEST_F(Window, ClientAreaIs680By470AndCentred) {
    ASSERT_TRUE(created);
    RECT client{};
    GetClientRect(app.window, &client);
    EXPECT_EQ(client.right - client.left, 680);
    EXPECT_EQ(client.bottom - client.top, 470);
    RECT frame{};
    GetWindowRect(app.window, &frame);
    EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXSCREEN) - (frame.right - frame.left)) / 2);
    EXPECT_EQ(frame.top, (GetSystemMetrics(SM_CYSCREEN) - (frame.bottom - frame.top)) / 2);

    wchar_t title[64] = {};
    GetWindowTextW(app.window, title, 64);
    EXPECT_STREQ(title, L"Vorn RPG Online");
    const LONG style = GetWindowLongW(app.window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN),
              WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0);
}

TEST_F(Window, ThreeRoundedOwnerDrawnButtonsTopToBottom) {
    ASSERT_TRUE(created);
    const struct {
        int id;
        const wchar_t* caption;
        int top;
    } expected[] = {{1001, L"Онлайн версия", 238},
                    {1002, L"Официальная версия", 292},
                    {1003, L"Группа в ВК", 346}};
    for (const auto& button : expected) {
        HWND handle = GetDlgItem(app.window, button.id);
        ASSERT_NE(handle, nullptr) << button.id;
        wchar_t caption[64] = {};
        GetWindowTextW(handle, caption, 64);
        EXPECT_STREQ(caption, button.caption);
        RECT rect{};
        GetWindowRect(handle, &rect);
        MapWindowPoints(nullptr, app.window, reinterpret_cast<POINT*>(&rect), 2);
        EXPECT_EQ(rect.left, 92);
        EXPECT_EQ(rect.top, button.top);
        EXPECT_EQ(rect.right, 588);
        EXPECT_EQ(rect.bottom, button.top + 44);
        EXPECT_EQ(GetWindowLongW(handle, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        ASSERT_EQ(GetWindowRgn(handle, region), COMPLEXREGION);
        RECT box{};
        GetRgnBox(region, &box);
        DeleteObject(region);
        EXPECT_EQ(box.right - box.left, 497 - 1); // GDI regions exclude the last pixel
        // The rounded corner leaves the top-left pixel out.
        HRGN probe = CreateRectRgn(0, 0, 0, 0);
        GetWindowRgn(handle, probe);
        EXPECT_FALSE(PtInRegion(probe, 0, 0));
        EXPECT_TRUE(PtInRegion(probe, 248, 22));
        DeleteObject(probe);
    }
    EXPECT_EQ(app.onlineButton, GetDlgItem(app.window, 1001));
    EXPECT_EQ(app.communityButton, GetDlgItem(app.window, 1003));
}

TEST_F(Window, MovingToAMonitorOfAnotherDpiRebuildsTheInterface) {
    ASSERT_TRUE(created);
    const HFONT oldFonts[] = {app.titleFont, app.subtitleFont, app.statusFont, app.buttonFont};
    auto moveTo = [this](UINT dpi) {
        SIZE size{};
        EXPECT_TRUE(SendMessageW(app.window, WM_GETDPISCALEDSIZE, dpi,
                                 reinterpret_cast<LPARAM>(&size)));
        RECT suggested = {40, 30, 40 + size.cx, 30 + size.cy};
        SendMessageW(app.window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
        // Where suggested, and the client area exactly the layout's.
        RECT frame{};
        GetWindowRect(app.window, &frame);
        EXPECT_EQ(frame.left, suggested.left) << dpi;
        EXPECT_EQ(frame.top, suggested.top) << dpi;
        RECT client{};
        GetClientRect(app.window, &client);
        EXPECT_EQ(client.right, MulDiv(680, dpi, 96)) << dpi;
        EXPECT_EQ(client.bottom, MulDiv(470, dpi, 96)) << dpi;
    };
    auto buttonPlace = [this](HWND button) {
        RECT rect{};
        GetWindowRect(button, &rect);
        MapWindowPoints(nullptr, app.window, reinterpret_cast<POINT*>(&rect), 2);
        HRGN region = CreateRectRgn(0, 0, 0, 0);
        GetWindowRgn(button, region);
        RECT box{};
        GetRgnBox(region, &box);
        DeleteObject(region);
        return std::make_pair(rect, box);
    };

    moveTo(144);
    // Every font is made anew for 144 DPI and the old ones are gone.
    for (HFONT font : oldFonts)
        EXPECT_EQ(GetObjectType(font), 0u);
    LOGFONTW font{};
    GetObjectW(app.titleFont, sizeof(font), &font);
    EXPECT_EQ(font.lfHeight, -42);
    // The buttons are where 144 DPI puts them, with regions of their size.
    const auto [online, region] = buttonPlace(app.onlineButton);
    EXPECT_EQ(online.left, 138);
    EXPECT_EQ(online.top, 357);
    EXPECT_EQ(online.right, 882);
    EXPECT_EQ(online.bottom, 423);
    EXPECT_EQ(region.right - region.left, 744);
    EXPECT_EQ(buttonPlace(app.communityButton).first.top, 519);

    // Back at 96 DPI everything is as at the start.
    moveTo(96);
    EXPECT_EQ(buttonPlace(app.officialButton).first.top, 292);
    GetObjectW(app.buttonFont, sizeof(font), &font);
    EXPECT_EQ(font.lfHeight, -18);

    // Where only the client area is scaled (per-monitor v1), the system
    // suggests the whole old window scaled, frame included: the client area
    // is still the layout's, and the icons are those of the new DPI.
    RECT frame{};
    GetWindowRect(app.window, &frame);
    RECT whole = {frame.left, frame.top, frame.left + (frame.right - frame.left) * 5 / 4,
                  frame.top + (frame.bottom - frame.top) * 5 / 4};
    SendMessageW(app.window, WM_DPICHANGED, MAKEWPARAM(120, 120), reinterpret_cast<LPARAM>(&whole));
    RECT client{};
    GetClientRect(app.window, &client);
    EXPECT_EQ(client.right, 850);
    EXPECT_EQ(client.bottom, 588);
    for (const auto& [which, size] :
         {std::make_pair(ICON_SMALL, 20), std::make_pair(ICON_BIG, 40)}) {
        ICONINFO icon{};
        ASSERT_TRUE(GetIconInfo(
            reinterpret_cast<HICON>(SendMessageW(app.window, WM_GETICON, which, 0)), &icon));
        BITMAP bitmap{};
        GetObjectW(icon.hbmColor, sizeof(bitmap), &bitmap);
        DeleteObject(icon.hbmColor);
        DeleteObject(icon.hbmMask);
        EXPECT_EQ(bitmap.bmWidth, size) << which;
    }
}

TEST_F(Window, EmbeddedPictureAndDisplayFontAreLoaded) {
    ASSERT_TRUE(created);
    EXPECT_NE(app.backgroundPicture, nullptr);
    EXPECT_NE(app.fontResource, nullptr);
    HDC dc = GetDC(app.window);
    HGDIOBJ previous = SelectObject(dc, app.titleFont);
    wchar_t face[LF_FACESIZE] = {};
    GetTextFaceW(dc, LF_FACESIZE, face);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, previous);
    ReleaseDC(app.window, dc);
    EXPECT_STREQ(face, L"BlockTermCyrFont");
    EXPECT_EQ(metrics.tmPitchAndFamily & TMPF_FIXED_PITCH, 0); // the bit means variable pitch
    LOGFONTW font{};
    GetObjectW(app.buttonFont, sizeof(font), &font);
    EXPECT_EQ(font.lfHeight, -18);
    EXPECT_EQ(font.lfWeight, 600);
}

TEST_F(Window, StatusAndProgressReportsChangeTheWindow) {
    ASSERT_TRUE(created);
    SendMessageW(app.window, WM_LAUNCHER_STATUS, 0,
                 NewText(L"Проверка обновлений онлайн-версии..."));
    EXPECT_EQ(app.statusText, L"Проверка обновлений онлайн-версии...");
    SendMessageW(app.window, WM_LAUNCHER_STATUS, 0, 0);
    EXPECT_EQ(app.statusText, L"Проверка обновлений онлайн-версии...");

    SendMessageW(app.window, WM_LAUNCHER_PROGRESS, static_cast<DWORD>(-1), 0);
    EXPECT_EQ(app.progress, -1);
    EXPECT_EQ(app.statusText, L"Проверка обновлений онлайн-версии...");
    Pump(400);
    EXPECT_GT(app.marqueeOffset, 0);
    EXPECT_EQ(app.marqueeOffset % 18, 0);

    SendMessageW(app.window, WM_LAUNCHER_PROGRESS, 42, NewText(L"Скачивание... 42%"));
    EXPECT_EQ(app.progress, 42);
    EXPECT_EQ(app.statusText, L"Скачивание... 42%");
    const int stopped = app.marqueeOffset;
    Pump(300);
    EXPECT_EQ(app.marqueeOffset, stopped);
}

TEST_F(Window, TimerTicksMoveOnlyTheIndeterminateBar) {
    ASSERT_TRUE(created);
    app.progress = 10;
    SendMessageW(app.window, WM_TIMER, 1, 0);
    EXPECT_EQ(app.marqueeOffset, 0);
    app.progress = -1;
    SendMessageW(app.window, WM_TIMER, 2, 0);
    EXPECT_EQ(app.marqueeOffset, 0);
    SendMessageW(app.window, WM_TIMER, 1, 0);
    SendMessageW(app.window, WM_TIMER, 1, 0);
    EXPECT_EQ(app.marqueeOffset, 36);
}

TEST_F(Window, ErrorReportShowsTheBoxAndKeepsTheBar) {
    ASSERT_TRUE(created);
    app.progress = 37;
    DialogCatcher catcher(L"Ошибка");
    SendMessageW(app.window, WM_LAUNCHER_ERROR, 0,
                 NewText(L"Ошибка: Не удалось скачать файл через PowerShell."));
    EXPECT_EQ(catcher.Text(), L"Ошибка: Не удалось скачать файл через PowerShell.");
    EXPECT_EQ(catcher.Owner(), app.window);
    EXPECT_EQ(app.statusText, L"Ошибка: Не удалось скачать файл через PowerShell.");
    EXPECT_EQ(app.progress, 37);
}

TEST_F(Window, ButtonsComeBackOnlyAfterTheRunsLastMessage) {
    ASSERT_TRUE(created);
    SendMessageW(app.window, WM_LAUNCHER_ENABLE_BUTTONS, 0, 0);
    for (HWND button : {app.onlineButton, app.officialButton, app.communityButton})
        EXPECT_FALSE(IsWindowEnabled(button));
    app.busy = 1;
    SendMessageW(app.window, WM_LAUNCHER_WORKER_DONE, 0, 0);
    EXPECT_EQ(app.busy, 0);
    EXPECT_FALSE(IsWindowEnabled(app.onlineButton));
    Pump(100);
    for (HWND button : {app.onlineButton, app.officialButton, app.communityButton})
        EXPECT_TRUE(IsWindowEnabled(button));
}

TEST_F(Window, HoverFollowsTheEnabledButtonUnderThePointer) {
    ASSERT_TRUE(created);
    SendMessageW(app.window, WM_MOUSEMOVE, 0, MAKELPARAM(300, 250));
    EXPECT_EQ(app.hoveredButton, 1001);
    EXPECT_TRUE(app.trackingMouse);
    SendMessageW(app.window, WM_MOUSEMOVE, 0, MAKELPARAM(300, 300));
    EXPECT_EQ(app.hoveredButton, 1002);
    SendMessageW(app.window, WM_MOUSEMOVE, 0, MAKELPARAM(20, 20));
    EXPECT_EQ(app.hoveredButton, 0);
    SendMessageW(app.window, WM_MOUSEMOVE, 0, MAKELPARAM(300, 360));
    EXPECT_EQ(app.hoveredButton, 1003);
    // Leaving the window clears the hover.
    SetCursorPos(0, 0);
    SendMessageW(app.window, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(app.hoveredButton, 0);
    EXPECT_FALSE(app.trackingMouse);

    EnableWindow(app.onlineButton, FALSE);
    SendMessageW(app.window, WM_MOUSEMOVE, 0, MAKELPARAM(300, 250));
    EXPECT_EQ(app.hoveredButton, 0);
}

TEST_F(Window, PointerMovingOntoAButtonHoversIt) {
    ASSERT_TRUE(created);
    // The parent's tracking reports leaving when the pointer enters a button;
    // the button under the pointer stays hovered.
    POINT onButton = {300, 314};
    ClientToScreen(app.window, &onButton);
    SetCursorPos(onButton.x, onButton.y);
    SendMessageW(app.window, WM_MOUSELEAVE, 0, 0);
    EXPECT_EQ(app.hoveredButton, 1002);
    // The button's own mouse moves are reported to the window.
    SendMessageW(app.communityButton, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10));
    EXPECT_EQ(app.hoveredButton, 1003);
}

TEST_F(Window, OnlyAPlainClickReachesTheCommands) {
    ASSERT_TRUE(created);
    // The run works in folders of its own, against a server without manifest.
    TempDir temp;
    app.baseFolder = temp.Path();
    app.onlineFolder = temp / L"game_online";
    DeleteFileW((TestEnvDir() + L"\\www\\Launcher\\version.json").c_str());
    // A focus notification of the online button starts nothing.
    SendMessageW(app.window, WM_COMMAND, MAKEWPARAM(1001, BN_SETFOCUS),
                 reinterpret_cast<LPARAM>(app.onlineButton));
    EXPECT_EQ(app.busy, 0);
    EXPECT_EQ(app.workerThread, nullptr);
    // A click starts a run.
    SendMessageW(app.window, WM_COMMAND, MAKEWPARAM(1001, BN_CLICKED),
                 reinterpret_cast<LPARAM>(app.onlineButton));
    EXPECT_EQ(app.busy, 1);
    EXPECT_NE(app.workerThread, nullptr);
    DialogCatcher catcher(L"Ошибка");
    for (int i = 0; i < 300 && app.busy != 0; ++i)
        Pump(50);
    EXPECT_EQ(app.busy, 0);
    EXPECT_EQ(catcher.Text(), L"Ошибка: Не удалось скачать файл через PowerShell."
                              L"\nОшибка скачивания: сервер ответил HTTP 404");
}

TEST_F(Window, ClosingIsRefusedDuringARun) {
    ASSERT_TRUE(created);
    app.busy = 1;
    {
        DialogCatcher catcher(L"Подожди");
        SendMessageW(app.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(catcher.Text(),
                  L"Сейчас идет обновление или запуск.\nЗакрой лаунчер после завершения операции.");
        EXPECT_EQ(catcher.Owner(), app.window);
    }
    EXPECT_TRUE(IsWindow(app.window));
    EXPECT_EQ(app.closing, 0);
}

TEST_F(Window, ClosingWhenIdleReleasesEverythingAndQuits) {
    ASSERT_TRUE(created);
    SendMessageW(app.window, WM_LAUNCHER_PROGRESS, static_cast<DWORD>(-1), 0);
    SendMessageW(app.window, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(app.window));
    EXPECT_EQ(app.closing, 1);
    EXPECT_EQ(app.backgroundPicture, nullptr);
    EXPECT_EQ(app.panelPicture, nullptr);
    EXPECT_EQ(app.fontResource, nullptr);
    EXPECT_EQ(app.titleFont, nullptr);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    // No run starts any more.
    app.StartMode(L"онлайн-версии", L"https://localhost:1/x.json", app.onlineFolder);
    EXPECT_EQ(app.workerThread, nullptr);
}
