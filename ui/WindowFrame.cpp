#include "ui/WindowFrame.h"

#include "platform/Guards.h"
#include "platform/SystemLibraries.h"

namespace {

using DwmSetWindowAttributeFunction = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);

} // namespace

void ApplyWindows11Frame(HWND window) {
    LibraryGuard dwm(LoadSystemLibrary(L"dwmapi.dll"));
    if (dwm.Get() == nullptr)
        return;
    auto setAttribute = reinterpret_cast<DwmSetWindowAttributeFunction>(
        reinterpret_cast<void*>(GetProcAddress(dwm.Get(), "DwmSetWindowAttribute")));
    if (setAttribute == nullptr)
        return;
    const struct {
        DWORD attribute;
        DWORD value;
    } settings[] = {
        {20, 0},          // immersive dark mode off: a light frame
        {33, 2},          // rounded corners
        {38, 2},          // main-window backdrop
        {34, 0x00E6E1E1}, // border colour #E1E1E6
        {35, 0xFFFFFFFF}, // caption colour: the system's
        {36, 0xFFFFFFFF}, // caption text colour: the system's
    };
    for (const auto& setting : settings)
        setAttribute(window, setting.attribute, &setting.value, sizeof(setting.value));
}
