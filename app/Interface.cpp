// The window object's interface: its long-lived objects, made once at
// WM_CREATE, and its painters, which hand the object's state to ui/.

#include "app/LauncherApp.h"

#include "ui/Background.h"
#include "ui/Buttons.h"
#include "ui/EmbeddedResources.h"
#include "ui/Fonts.h"
#include "ui/ProgressBar.h"
#include "ui/RoundRects.h"
#include "ui/WindowFrame.h"

void LauncherApp::InitUi() {
    // Whatever cannot be had is simply absent; the painters fall back.
    if (backgroundPicture != nullptr) {
        backgroundPicture->Release();
        backgroundPicture = nullptr;
    }
    backgroundPicture = LoadPictureFromResource(instance, kBackgroundResource);
    if (fontResource == nullptr)
        fontResource = AddFontFromResource(instance, kFontResource);

    titleFont = CreateUiFont(28, FW_BOLD, displayFontFace, L"Segoe UI Variable Display");
    subtitleFont = CreateUiFont(16, FW_NORMAL, displayFontFace, L"Segoe UI Variable Text");
    statusFont = CreateUiFont(16, FW_NORMAL, displayFontFace, L"Segoe UI Variable Text");
    buttonFont = CreateUiFont(18, FW_SEMIBOLD, displayFontFace, L"Segoe UI Variable Text");

    // The buttons pass their mouse moves on to the hover tracking.
    onlineButton = CreateCommandButton(window, instance, kOnlineButtonId, L"Онлайн версия", 238,
                                       buttonFont, &LauncherApp::ButtonProcStatic);
    officialButton = CreateCommandButton(window, instance, kOfficialButtonId, L"Официальная версия",
                                         292, buttonFont, &LauncherApp::ButtonProcStatic);
    communityButton = CreateCommandButton(window, instance, kCommunityButtonId, L"Группа в ВК", 346,
                                          buttonFont, &LauncherApp::ButtonProcStatic);
}

void LauncherApp::ApplyWindows11Frame() {
    ::ApplyWindows11Frame(window);
}

void LauncherApp::DrawWindowBackground(HDC dc) {
    RECT client{};
    GetClientRect(window, &client);
    const BackgroundLook look{backgroundPicture, panelPicture, panelRect,        windowFillColor,
                              panelFillColor,    panelAlpha,   panelBorderColor, displayFontFace};
    ::DrawWindowBackground(dc, client, look);
}

void LauncherApp::DrawHeaderTexts(HDC dc) {
    const HeaderLook look{panelRect,  titleFont,     subtitleFont, statusFont,
                          titleColor, subtitleColor, statusColor};
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
    ::DrawButton(item, hoveredButton, buttonFont);
}

void LauncherApp::DrawProgressBar(HDC dc) {
    const ProgressBarLook bar{progressRect,       progress,          marqueeOffset,
                              progressTrackColor, progressFillColor, statusFont};
    ::DrawProgressBar(dc, bar);
}
