// The window object's interface: its long-lived objects, made at WM_CREATE
// and again for a new DPI, and its painters, which hand the object's state
// to ui/.

#include "app/LauncherApp.h"

#include "ui/Background.h"
#include "ui/Buttons.h"
#include "ui/EmbeddedResources.h"
#include "ui/Fonts.h"
#include "ui/ProgressBar.h"
#include "ui/RoundRects.h"
#include "ui/WindowFrame.h"

namespace {

// The buttons' tops in the 96-DPI layout, top to bottom.
const int kButtonTops[] = {238, 292, 346};

} // namespace

SIZE LauncherWindowSize(UINT dpi) {
    const SIZE client = {ScaleToDpi(kLayoutClientSize.cx, dpi),
                         ScaleToDpi(kLayoutClientSize.cy, dpi)};
    return WindowSizeForClient(client, kLauncherWindowStyle, dpi);
}

void LauncherApp::InitUi() {
    // Whatever cannot be had is simply absent; the painters fall back.
    backgroundImage.Clear();
    if (backgroundPicture != nullptr) {
        backgroundPicture->Release();
        backgroundPicture = nullptr;
    }
    backgroundPicture = LoadPictureFromResource(instance, kBackgroundResource);
    if (backgroundPictureLarge == nullptr)
        backgroundPictureLarge = LoadPictureFromResource(instance, kLargeBackgroundResource);
    if (fontResource == nullptr)
        fontResource = AddFontFromResource(instance, kFontResource);

    CreateFonts();

    // The buttons pass their mouse moves on to the hover tracking.
    onlineButton =
        CreateCommandButton(window, instance, kOnlineButtonId, L"Онлайн версия", kButtonTops[0],
                            buttonFont, &LauncherApp::ButtonProcStatic, dpi);
    officialButton = CreateCommandButton(window, instance, kOfficialButtonId,
                                         L"Официальная версия", kButtonTops[1], buttonFont,
                                         &LauncherApp::ButtonProcStatic, dpi);
    communityButton =
        CreateCommandButton(window, instance, kCommunityButtonId, L"Группа в ВК", kButtonTops[2],
                            buttonFont, &LauncherApp::ButtonProcStatic, dpi);
}

void LauncherApp::CreateFonts() {
    titleFont = CreateUiFont(ScaleToDpi(28, dpi), FW_BOLD, displayFontFace,
                             L"Segoe UI Variable Display");
    subtitleFont = CreateUiFont(ScaleToDpi(16, dpi), FW_NORMAL, displayFontFace,
                                L"Segoe UI Variable Text");
    statusFont = CreateUiFont(ScaleToDpi(16, dpi), FW_NORMAL, displayFontFace,
                              L"Segoe UI Variable Text");
    buttonFont = CreateUiFont(ScaleToDpi(18, dpi), FW_SEMIBOLD, displayFontFace,
                              L"Segoe UI Variable Text");
}

void LauncherApp::DeleteFonts() {
    for (HFONT* font : {&titleFont, &subtitleFont, &statusFont, &buttonFont}) {
        if (*font != nullptr)
            DeleteObject(*font);
        *font = nullptr;
    }
}

void LauncherApp::ApplyDpi(UINT newDpi) {
    dpi = newDpi;
    // The buttons take the new font before the old ones go.
    const HFONT oldFonts[] = {titleFont, subtitleFont, statusFont, buttonFont};
    CreateFonts();
    const HWND buttons[] = {onlineButton, officialButton, communityButton};
    for (int i = 0; i < 3; ++i) {
        if (buttons[i] != nullptr)
            PlaceCommandButton(buttons[i], kButtonTops[i], buttonFont, dpi);
    }
    for (HFONT font : oldFonts) {
        if (font != nullptr)
            DeleteObject(font);
    }
    if (window != nullptr)
        SetWindowIcons();
    // The kept scene is drawn again, at the new size.
    sceneDrawn = false;
}

void LauncherApp::OnDpiChanged(UINT newDpi, const RECT& suggested) {
    ApplyDpi(newDpi);
    // Where the system suggests, but at the size of the layout: where only
    // the client area is scaled (per-monitor v1: Windows 8.1, Windows 10
    // before 1703), the suggestion is the whole old window scaled, frame
    // included, and would leave a strip unpainted or cut.
    PlaceWindow(suggested.left, suggested.top);
    InvalidateRect(window, nullptr, FALSE);
}

void LauncherApp::PlaceWindow(int left, int top) {
    const SIZE size = LauncherWindowSize(dpi);
    SetWindowPos(window, nullptr, left, top, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    // The frame's metrics may not be those the system gives for the DPI:
    // the client area is measured and the difference made up.
    RECT client{};
    GetClientRect(window, &client);
    const int dx = ScaleToDpi(kLayoutClientSize.cx, dpi) - client.right;
    const int dy = ScaleToDpi(kLayoutClientSize.cy, dpi) - client.bottom;
    if (dx != 0 || dy != 0)
        SetWindowPos(window, nullptr, 0, 0, size.cx + dx, size.cy + dy,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void LauncherApp::SetWindowIcons() {
    // The new icons are the window's before the old ones are destroyed.
    if (HICON big = LoadIconForDpi(instance, kIconResource, SM_CXICON, dpi)) {
        SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
        bigIcon.Reset(big);
    }
    if (HICON small = LoadIconForDpi(instance, kIconResource, SM_CXSMICON, dpi)) {
        SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small));
        smallIcon.Reset(small);
    }
}

RECT LauncherApp::ToWindowPixels(const RECT& layoutRect) const {
    return ScaleRectToDpi(layoutRect, dpi);
}

void LauncherApp::ApplyWindows11Frame() {
    ::ApplyWindows11Frame(window);
}

void LauncherApp::DrawWindowBackground(HDC dc) {
    RECT client{};
    GetClientRect(window, &client);
    // The large picture stays sharp above 96 DPI; at 96 the small one is
    // drawn pixel for pixel.
    IPicture* background =
        dpi > kLayoutDpi && backgroundPictureLarge != nullptr ? backgroundPictureLarge
                                                              : backgroundPicture;
    const BackgroundLook look{background,       panelPicture,    &backgroundImage, &panelImage,
                              panelRect,        windowFillColor, panelFillColor,   panelAlpha,
                              panelBorderColor, displayFontFace, dpi};
    ::DrawWindowBackground(dc, client, look);
}

void LauncherApp::DrawHeaderTexts(HDC dc) {
    const HeaderLook look{panelRect,  titleFont,     subtitleFont, statusFont,
                          titleColor, subtitleColor, statusColor,  dpi};
    ::DrawHeaderTexts(dc, look, statusText);
}

void LauncherApp::DrawRoundedAlphaRect(HDC dc, const RECT& rect, int radius, COLORREF fillColor,
                                       BYTE fillAlpha, COLORREF borderColor, BYTE borderAlpha) {
    ::DrawRoundedAlphaRect(dc, rect, radius, fillColor, fillAlpha, borderColor, borderAlpha);
}

void LauncherApp::DrawRoundRectOutline(HDC dc, const RECT& rect, int radius, COLORREF fillColor,
                                       COLORREF borderColor) {
    FillRoundRect(dc, rect, radius, borderColor, fillColor);
}

void LauncherApp::DrawButton(const DRAWITEMSTRUCT* item) {
    ::DrawButton(item, hoveredButton, buttonFont, dpi);
}

void LauncherApp::DrawProgressBar(HDC dc) {
    const ProgressBarLook bar{progressRect,       progress,          marqueeOffset,
                              progressTrackColor, progressFillColor, statusFont, dpi};
    ::DrawProgressBar(dc, bar);
}
