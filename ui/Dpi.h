#pragma once
// The display's resolution and the one rule that maps the window's layout,
// drawn at 96 DPI, onto it: every coordinate and every length is multiplied
// by dpi / 96 and rounded to the nearest pixel, halves away from zero.
// Rectangles are mapped by their edges, so edges that meet at 96 DPI meet at
// every DPI.

#include <windows.h>

const UINT kLayoutDpi = 96;

int ScaleToDpi(int value, UINT dpi);
RECT ScaleRectToDpi(const RECT& rect, UINT dpi);

// The DPI the window is drawn for: the window's own where the system tells it
// (Windows 10 1607 and later), else the system's.
UINT WindowDpi(HWND window);

// The DPI of the monitor holding a point of the screen (Windows 8.1 and
// later), else the system's: the DPI a window placed there is drawn for.
UINT DpiAtPoint(POINT point);

// The window size, frame included, whose client area has the given size at
// that DPI.
SIZE WindowSizeForClient(SIZE client, DWORD style, UINT dpi);

// A system metric at a DPI (Windows 10 1607 and later), else at the system's.
int SystemMetricForDpi(int metric, UINT dpi);
