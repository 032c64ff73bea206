#pragma once
// The scene behind the buttons and the bar: background picture, panel shadow,
// translucent (or picture) panel, credit badge, title, subtitle and status.

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include "ui/ScaledPicture.h"

#include <string>

// Rectangles are given in the 96-DPI layout; dpi is the one to draw at.
struct BackgroundLook {
    IPicture* backgroundPicture; // null: filled with windowFillColor
    IPicture* panelPicture;      // null: the translucent panel
    ScaledPicture* backgroundImage; // the pictures as drawn at their sizes
    ScaledPicture* panelImage;
    RECT panelRect;
    COLORREF windowFillColor;
    COLORREF panelFillColor;
    BYTE panelAlpha;
    COLORREF panelBorderColor;
    std::wstring displayFontFace;
    UINT dpi;
};

struct HeaderLook {
    RECT panelRect;
    HFONT titleFont;
    HFONT subtitleFont;
    HFONT statusFont;
    COLORREF titleColor;
    COLORREF subtitleColor;
    COLORREF statusColor;
    UINT dpi;
};

// Everything but the texts, over the whole client rectangle.
void DrawWindowBackground(HDC dc, const RECT& client, const BackgroundLook& look);

// Title, subtitle and the status line.
void DrawHeaderTexts(HDC dc, const HeaderLook& look, const std::wstring& statusText);

// The status line's strip in the 96-DPI layout.
RECT StatusRect(const RECT& panelRect);

// What the status line shows of a text: its first line (a cause on the next
// lines is left to the message box).
std::wstring StatusLineOf(const std::wstring& text);
