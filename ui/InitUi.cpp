// Builds the window's long-lived interface objects once, at WM_CREATE: the
// background picture, the private display font, the four fonts and the three
// owner-drawn buttons with their rounded outlines. Whatever cannot be had is
// simply absent; the painters fall back.

#include "app/LauncherApp.h"

#include "platform/Guards.h"
#include "ui/Picture.h"
#include "ui/Fonts.h"

#include <cstring>

namespace {

const int kBackgroundResource = 201;
const int kFontResource = 301;

// The bytes of an RCDATA resource of the module, or null.
const void* LockRcData(HINSTANCE instance, int id, DWORD& size) {
    size = 0;
    HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10)); // RT_RCDATA
    if (found == nullptr)
        return nullptr;
    size = SizeofResource(instance, found);
    if (size == 0)
        return nullptr;
    HGLOBAL loaded = LoadResource(instance, found);
    return loaded != nullptr ? LockResource(loaded) : nullptr;
}

IPicture* LoadPictureFromResource(HINSTANCE instance, int id) {
    DWORD size = 0;
    const void* bytes = LockRcData(instance, id, size);
    if (bytes == nullptr)
        return nullptr;
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
    if (block == nullptr)
        return nullptr;
    void* target = GlobalLock(block);
    if (target == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    std::memcpy(target, bytes, size);
    GlobalUnlock(block);

    return DecodePicture(block, static_cast<LONG>(size));
}

struct ButtonSpec {
    int id;
    const wchar_t* caption;
    int top;
};

} // namespace

void LauncherApp::InitUi() {
    if (backgroundPicture != nullptr) {
        backgroundPicture->Release();
        backgroundPicture = nullptr;
    }
    backgroundPicture = LoadPictureFromResource(instance, kBackgroundResource);

    if (fontResource == nullptr) {
        DWORD size = 0;
        if (const void* bytes = LockRcData(instance, kFontResource, size)) {
            DWORD fonts = 0;
            fontResource = AddFontMemResourceEx(const_cast<void*>(bytes), size, nullptr, &fonts);
        }
    }

    titleFont = CreateUiFont(28, FW_BOLD, displayFontFace, L"Segoe UI Variable Display");
    subtitleFont = CreateUiFont(16, FW_NORMAL, displayFontFace, L"Segoe UI Variable Text");
    statusFont = CreateUiFont(16, FW_NORMAL, displayFontFace, L"Segoe UI Variable Text");
    buttonFont = CreateUiFont(18, FW_SEMIBOLD, displayFontFace, L"Segoe UI Variable Text");

    const ButtonSpec specs[] = {
        {kOnlineButtonId, L"Онлайн версия", 238},
        {kOfficialButtonId, L"Официальная версия", 292},
        {kCommunityButtonId, L"Группа в ВК", 346},
    };
    HWND* handles[] = {&onlineButton, &officialButton, &communityButton};
    for (int i = 0; i < 3; ++i) {
        *handles[i] = CreateWindowExW(
            0, L"BUTTON", specs[i].caption, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_OWNERDRAW, 92,
            specs[i].top, 496, 44, window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(specs[i].id)), instance, nullptr);
    }
    for (HWND* handle : handles) {
        if (*handle == nullptr)
            continue;
        // The button owns its region once it is handed over.
        if (HRGN region = CreateRoundRectRgn(0, 0, 497, 45, 24, 24))
            SetWindowRgn(*handle, region, TRUE);
    }
    for (HWND* handle : handles)
        SendMessageW(*handle, WM_SETFONT, reinterpret_cast<WPARAM>(buttonFont), TRUE);
    // The buttons pass their mouse moves on to the hover tracking; each keeps
    // its original procedure in its user data.
    for (HWND* handle : handles) {
        if (*handle == nullptr)
            continue;
        SetWindowLongPtrW(*handle, GWLP_USERDATA, GetWindowLongPtrW(*handle, GWLP_WNDPROC));
        SetWindowLongPtrW(*handle, GWLP_WNDPROC,
                          reinterpret_cast<LONG_PTR>(&LauncherApp::ButtonProcStatic));
    }
}
