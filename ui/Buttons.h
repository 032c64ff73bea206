#pragma once
// The three owner-drawn command buttons: their control ids, their making, and
// their normal, hovered, pressed, disabled and focused looks.

#include <windows.h>

const int kOnlineButtonId = 1001;
const int kOfficialButtonId = 1002;
const int kCommunityButtonId = 1003;

// One button of 496 x 44 at (92, top) in the 96-DPI layout, with its rounded
// 497 x 45 region and the font; its mouse moves go to the given procedure,
// which finds the original one in the button's user data.
HWND CreateCommandButton(HWND parent, HINSTANCE instance, int id, const wchar_t* caption, int top,
                         HFONT font, WNDPROC subclass, UINT dpi);

// Puts a button at its place and size for a DPI, with a rounded region to
// match, and gives it the font.
void PlaceCommandButton(HWND button, int top, HFONT font, UINT dpi);

// Paints a button; hoveredButton is the id of the button under the pointer.
void DrawButton(const DRAWITEMSTRUCT* item, int hoveredButton, HFONT font, UINT dpi);
