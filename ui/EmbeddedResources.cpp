#include "ui/EmbeddedResources.h"

#include "platform/Guards.h"
#include "ui/Dpi.h"
#include "ui/Picture.h"

#include <cstring>

namespace {

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

} // namespace

IPicture* LoadPictureFromResource(HINSTANCE instance, int id) {
    DWORD size = 0;
    const void* bytes = LockRcData(instance, id, size);
    if (bytes == nullptr)
        return nullptr;
    GlobalMemoryGuard block(GlobalAlloc(GMEM_MOVEABLE, size));
    void* target = block.Get() != nullptr ? GlobalLock(block.Get()) : nullptr;
    if (target == nullptr)
        return nullptr;
    std::memcpy(target, bytes, size);
    GlobalUnlock(block.Get());
    return DecodePicture(block.Release(), static_cast<LONG>(size));
}

HANDLE AddFontFromResource(HINSTANCE instance, int id) {
    DWORD size = 0;
    const void* bytes = LockRcData(instance, id, size);
    if (bytes == nullptr)
        return nullptr;
    DWORD fonts = 0;
    return AddFontMemResourceEx(const_cast<void*>(bytes), size, nullptr, &fonts);
}

HICON LoadIconForDpi(HINSTANCE instance, int id, int metric, UINT dpi) {
    const int size = SystemMetricForDpi(metric, dpi);
    return static_cast<HICON>(
        LoadImageW(instance, MAKEINTRESOURCEW(id), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
}
