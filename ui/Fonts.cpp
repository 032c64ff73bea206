#include "ui/Fonts.h"

namespace {

HFONT CreateWithFace(int height, int weight, const wchar_t* face) {
    return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, face);
}

} // namespace

HFONT CreateUiFont(int height, int weight, const std::wstring& displayFace,
                   const wchar_t* fallbackFace) {
    if (!displayFace.empty()) {
        if (HFONT font = CreateWithFace(height, weight, displayFace.c_str()))
            return font;
    }
    if (HFONT font = CreateWithFace(height, weight, fallbackFace))
        return font;
    return CreateWithFace(height, weight, L"Segoe UI");
}
