#pragma once
// The rounded rectangles of the interface: an opaque one with a one-pixel
// outline, and a per-pixel translucent one with a border (no anti-aliasing);
// borders are one pixel wide at 96 DPI and grow with it.

#include <windows.h>

// A solid pen of a line's width; one wider than a pixel is drawn inside the
// figure's rectangle.
HPEN CreateLinePen(int width, COLORREF color);

// RoundRect with a solid pen and brush of its own, released before it returns.
// A pen wider than one pixel is drawn inside the rectangle.
void FillRoundRect(HDC dc, const RECT& rect, int corner, COLORREF penColor, COLORREF fillColor,
                   int penWidth = 1);

// Blended with AlphaBlend (msimg32, looked up at run time); without it, drawn
// opaque with FillRoundRect. Only the part inside the DC's clip box is built.
void DrawRoundedAlphaRect(HDC dc, const RECT& rect, int radius, COLORREF fillColor, BYTE fillAlpha,
                          COLORREF borderColor, BYTE borderAlpha, int borderWidth = 1);
