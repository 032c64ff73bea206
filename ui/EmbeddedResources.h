#pragma once
// The pictures and the display font carried inside the launcher's executable.

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

const int kBackgroundResource = 201;
const int kLargeBackgroundResource = 202; // the same picture at twice the size
const int kFontResource = 301;

// The RCDATA picture decoded, or null.
IPicture* LoadPictureFromResource(HINSTANCE instance, int id);

// The RCDATA font made available to this process only, or null.
HANDLE AddFontFromResource(HINSTANCE instance, int id);
