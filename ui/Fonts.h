#pragma once

#include <windows.h>

#include <string>

// A font of the interface: negative height (character height), no escapement,
// CLEARTYPE_QUALITY. Tries the display face first when it is not empty, then
// the fallback face, then "Segoe UI" (whose result is taken even when null).
HFONT CreateUiFont(int height, int weight, const std::wstring& displayFace,
                   const wchar_t* fallbackFace);
