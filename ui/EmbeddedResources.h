#pragma once
// The pictures and the display font carried inside the launcher's executable.

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

const int kBackgroundResource = 201;
const int kLargeBackgroundResource = 202; // the same picture at twice the size
const int kFontResource = 301;
const int kIconResource = 101;

// The RCDATA picture decoded, or null.
IPicture* LoadPictureFromResource(HINSTANCE instance, int id);

// The RCDATA font made available to this process only, or null.
HANDLE AddFontFromResource(HINSTANCE instance, int id);

// The icon at the size the system shows it at that DPI (SM_CXICON or
// SM_CXSMICON for the DPI where the system can say, else at its own DPI), or
// null. The caller destroys it.
HICON LoadIconForDpi(HINSTANCE instance, int id, int metric, UINT dpi);
