#pragma once
// The launcher's one object: the window, its drawing state and the hand-off
// of a build's run to a worker thread. The worker reads only `window` and
// `baseFolder` and talks back by posted messages (app/Messages.h); every other
// field belongs to the window thread.

#include "app/ServerUrls.h"
#include "pipeline/LauncherUpdate.h"
#include "pipeline/Manifest.h"
#include "pipeline/ManifestSignature.h"
#include "platform/Guards.h"
#include "ui/Buttons.h"
#include "ui/Dpi.h"
#include "ui/ScaledPicture.h"

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <string>
#include <vector>

class LauncherApp;

// What StartMode hands to the worker thread; the worker owns and frees it.
struct WorkerParams {
    LauncherApp* owner = nullptr;
    std::wstring label;
    std::wstring manifestUrl;
    std::wstring installFolder;
    std::vector<std::string> updateKeys;
};

class LauncherApp {
public:
    // Lifecycle (app/Lifecycle.cpp).
    bool Create(HINSTANCE instance);

    // Commands and the worker hand-off (app/Commands.cpp).
    void OnCommand(int commandId);
    void StartMode(const std::wstring& label, const std::wstring& manifestUrl,
                   const std::wstring& installFolder);

    // Window procedure (app/WindowProc.cpp).
    static LRESULT CALLBACK WndProcStatic(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void RedrawStatusText();
    // Hover: the enabled button under a point of the client area, or none.
    void UpdateHoveredButton(POINT clientPoint);
    // The buttons' own mouse moves feed the hover too (app/WindowProc.cpp).
    static LRESULT CALLBACK ButtonProcStatic(HWND button, UINT message, WPARAM wParam,
                                             LPARAM lParam);

    // One run of a build (pipeline/ModeRun.cpp).
    static DWORD WINAPI WorkerThreadProc(LPVOID parameter);

    // The launcher's own update (app/SelfUpdate.cpp): the check in the
    // background at start, the hand-over to a staged launcher once no run is
    // going, its roll-back, and, in a launcher started by a hand-over, the
    // take-over of the launcher's file.
    void StartSelfUpdateCheck();
    static DWORD WINAPI SelfUpdateThreadProc(LPVOID parameter);
    void OnLauncherStaged(const StagedLauncher& staged);
    void HandOverWhenIdle();
    void OnHandOverTimer();
    void RollBackHandOver(LauncherFailure failure);
    void TakeOverFrom(DWORD oldProcessId, const std::wstring& oldLauncherPath);
    // Before its window shows, the new launcher of a hand-over puts it where
    // the old launcher's window is, at that monitor's DPI.
    void PlaceAsWindowOf(DWORD oldProcessId);

    // Install or update (pipeline/Install.cpp).
    void InstallOrUpdate(const Manifest& manifest, const std::wstring& installFolder,
                         const std::wstring& label);
    bool FindGameRootRecursive(const std::wstring& folder, const std::wstring& exeNameLower,
                               std::wstring& gameRoot);

    // Game start (pipeline/GameLaunch.cpp).
    void LaunchGame(const std::wstring& buildFolder, const std::wstring& exeName);

    // Player-data backups (pipeline/Backups.cpp).
    void PrepareBackups(const std::wstring& installFolder);
    void RestoreBackups(const std::wstring& installFolder);
    std::wstring GetSaveBackupDir(const std::wstring& installFolder) const;
    std::wstring GetUserDataBackupDir(const std::wstring& installFolder) const;
    std::wstring GetNicknameBackupFile() const;
    std::wstring GetRestorePendingFile(const std::wstring& installFolder) const;
    void MarkRestorePending(const std::wstring& installFolder);
    void ClearRestorePending(const std::wstring& installFolder);

    // Interface construction and painting (app/Interface.cpp, into ui/).
    void InitUi();
    void DrawWindowBackground(HDC dc);
    void DrawRoundedAlphaRect(HDC dc, const RECT& rect, int radius, COLORREF fillColor,
                              BYTE fillAlpha, COLORREF borderColor, BYTE borderAlpha);
    void DrawRoundRectOutline(HDC dc, const RECT& rect, int radius, COLORREF fillColor,
                              COLORREF borderColor);
    void DrawHeaderTexts(HDC dc);
    void ApplyWindows11Frame();
    void DrawButton(const DRAWITEMSTRUCT* item);
    void DrawProgressBar(HDC dc);
    // The window's paint (app/Paint.cpp): the kept scene and the bar over it.
    void PaintWindow(HDC dc, const RECT& update);
    // The interface at a DPI (app/Interface.cpp): the fonts made for it, the
    // buttons placed for it; and a move to a monitor of another DPI.
    void CreateFonts();
    void DeleteFonts();
    void ApplyDpi(UINT newDpi);
    void OnDpiChanged(UINT newDpi, const RECT& suggested);
    // The window's top-left corner there, its client area exactly the
    // layout's at the window's DPI.
    void PlaceWindow(int left, int top);
    // The title bar's and the taskbar's icons at the window's DPI.
    void SetWindowIcons();
    // A rectangle of the 96-DPI layout in the window's pixels.
    RECT ToWindowPixels(const RECT& layoutRect) const;

    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    HWND onlineButton = nullptr;
    HWND officialButton = nullptr;
    HWND communityButton = nullptr;
    IPicture* backgroundPicture = nullptr;
    // The same picture at twice the size, for displays above 96 DPI.
    IPicture* backgroundPictureLarge = nullptr;
    IPicture* panelPicture = nullptr;
    // The pictures as last drawn, resampled to their sizes.
    ScaledPicture backgroundImage;
    ScaledPicture panelImage;
    // The DPI the window is drawn for. The layout below (panelRect,
    // progressRect, the buttons' places) is that of 96 DPI.
    UINT dpi = kLayoutDpi;
    HANDLE fontResource = nullptr;
    std::wstring displayFontFace = L"BlockTermCyrFont";
    HFONT titleFont = nullptr;
    HFONT subtitleFont = nullptr;
    HFONT statusFont = nullptr;
    HFONT buttonFont = nullptr;
    IconGuard bigIcon;
    IconGuard smallIcon;
    std::wstring baseFolder;
    std::wstring onlineFolder;
    std::wstring officialFolder;
    // The public keys a manifest must be signed with; none: manifests are
    // taken unsigned.
    std::vector<std::string> updateKeys = SplitUpdateKeys(BuiltInUpdateKeys());
    // The program file the player starts: this one's, or the one this
    // launcher takes over.
    std::wstring launcherPath;
    StagedLauncher stagedLauncher;
    HANDLE newLauncher = nullptr;
    HANDLE handOverEvent = nullptr;
    ULONGLONG handOverDeadline = 0;
    bool errorBoxOpen = false;
    std::wstring statusText = L"Готово. Выберите режим запуска.";
    LONG busy = 0;
    LONG closing = 0;
    HANDLE workerThread = nullptr;
    int progress = 0;
    int marqueeOffset = 0;
    int hoveredButton = 0;
    BOOL trackingMouse = FALSE;
    RECT panelRect = {28, 28, 652, 402};
    RECT progressRect = {92, 182, 588, 206};
    COLORREF titleColor = RGB(0x18, 0x18, 0x1B);
    COLORREF subtitleColor = RGB(0x5A, 0x5A, 0x60);
    COLORREF statusColor = RGB(0x3A, 0x3A, 0x40);
    COLORREF windowFillColor = RGB(0xF3, 0xF3, 0xF5);
    COLORREF panelFillColor = RGB(0xFF, 0xF8, 0xFC);
    BYTE panelAlpha = 222;
    COLORREF panelBorderColor = RGB(0xE0, 0xD6, 0xE2);
    COLORREF progressTrackColor = RGB(0xE6, 0xE7, 0xEB);
    COLORREF progressFillColor = RGB(0x41, 0x00, 0x09);
    // The scene behind the bar (background, panel and texts) for the status
    // text and size it was drawn for, and the frame a paint composes in.
    GdiObjectGuard sceneBitmap;
    GdiObjectGuard frameBitmap;
    SIZE sceneSize = {0, 0};
    std::wstring sceneStatusText;
    bool sceneDrawn = false;
};

// The window: its style and its client area at 96 DPI.
const DWORD kLauncherWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
const SIZE kLayoutClientSize = {680, 470};

// The window's size, frame included, around its client area at a DPI
// (app/Interface.cpp).
SIZE LauncherWindowSize(UINT dpi);

// Timer 1 moves the indeterminate bar's segment.
const UINT_PTR kMarqueeTimerId = 1;
const UINT kMarqueeTimerPeriodMs = 35;
// Timer 2 watches a hand-over to a new launcher.
const UINT_PTR kHandOverTimerId = 2;
const UINT kHandOverTimerPeriodMs = 100;
