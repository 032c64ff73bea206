#pragma once
// Asks the desktop window manager for rounded corners, a light frame and the
// system backdrop; systems that do not know an attribute just refuse it.

#include <windows.h>

void ApplyWindows11Frame(HWND window);
