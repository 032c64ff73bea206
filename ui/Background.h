#pragma once
// The scene behind the buttons and the bar: background picture, panel shadow,
// translucent (or picture) panel, credit badge, title, subtitle and status.

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <string>

struct BackgroundLook {
    IPicture* backgroundPicture; // null: filled with windowFillColor
    IPicture* panelPicture;      // null: the translucent panel
    RECT panelRect;
    COLORREF windowFillColor;
    COLORREF panelFillColor;
    BYTE panelAlpha;
    COLORREF panelBorderColor;
    std::wstring displayFontFace;
};

struct HeaderLook {
    RECT panelRect;
    HFONT titleFont;
    HFONT subtitleFont;
    HFONT statusFont;
    COLORREF titleColor;
    COLORREF subtitleColor;
    COLORREF statusColor;
};

// Everything but the texts, over the whole client rectangle.
void DrawWindowBackground(HDC dc, const RECT& client, const BackgroundLook& look);

// Title, subtitle and the status line.
void DrawHeaderTexts(HDC dc, const HeaderLook& look, const std::wstring& statusText);
