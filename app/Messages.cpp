#include "app/Messages.h"

void PostTextMessage(HWND window, UINT message, WPARAM wParam, const std::wstring& text) {
    std::wstring* copy = new std::wstring(text);
    if (!PostMessageW(window, message, wParam, reinterpret_cast<LPARAM>(copy)))
        delete copy;
}
