#include "ui/RoundRects.h"

#include "platform/Guards.h"
#include "platform/SystemLibraries.h"

#include <algorithm>

namespace {

using AlphaBlendFunction = BOOL(WINAPI*)(HDC, int, int, int, int, HDC, int, int, int, int,
                                         BLENDFUNCTION);

// msimg32's AlphaBlend, looked up once per process; the library stays loaded.
AlphaBlendFunction AlphaBlendOnce() {
    static bool looked = false;
    static AlphaBlendFunction function = nullptr;
    if (!looked) {
        looked = true;
        if (HMODULE library = LoadSystemLibrary(L"msimg32.dll"))
            function = reinterpret_cast<AlphaBlendFunction>(
                reinterpret_cast<void*>(GetProcAddress(library, "AlphaBlend")));
    }
    return function;
}

// Blue, green, red, alpha with the colour premultiplied by the opacity.
DWORD Premultiplied(COLORREF color, BYTE alpha) {
    const DWORD r = GetRValue(color) * alpha / 255;
    const DWORD g = GetGValue(color) * alpha / 255;
    const DWORD b = GetBValue(color) * alpha / 255;
    return (static_cast<DWORD>(alpha) << 24) | (r << 16) | (g << 8) | b;
}

// Whether (x, y) of a w x h box lies outside its corners of radius r.
bool OutsideCorner(int x, int y, int w, int h, int r) {
    if (r <= 0)
        return false;
    const bool left = x < r;
    const bool right = !left && x >= w - r;
    const bool top = y < r;
    const bool bottom = !top && y >= h - r;
    if (!(left || right) || !(top || bottom))
        return false;
    const int cx = left ? r - 1 : w - r;
    const int cy = top ? r - 1 : h - r;
    const int dx = x - cx;
    const int dy = y - cy;
    return dx * dx + dy * dy > r * r;
}

} // namespace

HPEN CreateLinePen(int width, COLORREF color) {
    return CreatePen(width > 1 ? PS_INSIDEFRAME : PS_SOLID, width, color);
}

void FillRoundRect(HDC dc, const RECT& rect, int corner, COLORREF penColor, COLORREF fillColor,
                   int penWidth) {
    GdiObjectGuard pen(CreateLinePen(penWidth, penColor));
    GdiObjectGuard brush(CreateSolidBrush(fillColor));
    SelectGuard selectPen(dc, pen.Get());
    SelectGuard selectBrush(dc, brush.Get());
    // A corner is never wider or taller than the box: Wine's RoundRect then
    // draws edge rows outside the box, and not the same from one call to the
    // next (the sweeping bar's narrow segment, entering or leaving, left
    // stray rows behind).
    const int fitted = std::min({corner, static_cast<int>(rect.right - rect.left),
                                 static_cast<int>(rect.bottom - rect.top)});
    RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, fitted, fitted);
}

void DrawRoundedAlphaRect(HDC dc, const RECT& rect, int radius, COLORREF fillColor, BYTE fillAlpha,
                          COLORREF borderColor, BYTE borderAlpha, int borderWidth) {
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    if (w < 1 || h < 1)
        return;

    // Only the part inside the DC's clip box can change a pixel, so only that
    // part is built and blended (a tick of the bar repaints just the bar).
    RECT visible = rect;
    RECT clip{};
    const int clipKind = GetClipBox(dc, &clip);
    if (clipKind == NULLREGION)
        return;
    if (clipKind != ERROR && !IntersectRect(&visible, &rect, &clip))
        return;
    const int vx = visible.left - rect.left;
    const int vy = visible.top - rect.top;
    const int vw = visible.right - visible.left;
    const int vh = visible.bottom - visible.top;

    DcGuard memory(CreateCompatibleDC(dc));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = vw;
    info.bmiHeader.biHeight = -vh; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    GdiObjectGuard bitmap(memory.Get() != nullptr
                              ? CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0)
                              : nullptr);
    if (memory.Get() == nullptr || bitmap.Get() == nullptr || bits == nullptr) {
        FillRoundRect(dc, rect, radius, borderColor, fillColor, borderWidth);
        return;
    }
    SelectGuard selectBitmap(memory.Get(), bitmap.Get());

    const DWORD fill = Premultiplied(fillColor, fillAlpha);
    const DWORD border = Premultiplied(borderColor, borderAlpha);
    // The fill is the box inset by the border, with its corners' radius
    // shrunk by as much.
    const int b = std::max(borderWidth, 1);
    const int outer = radius <= 0 ? 0 : std::min({radius, w / 2, h / 2});
    const int inner = radius - b <= 0 ? 0 : std::min({radius - b, (w - 2 * b) / 2, (h - 2 * b) / 2});

    // Only the columns next to the sides can meet a corner; the columns between
    // them take one value per row, written as a run.
    const int edge = std::max({outer, inner + b, b});
    const bool allBorder = w - 2 * b <= 0 || h - 2 * b <= 0;
    auto classify = [&](int x, int y) -> DWORD {
        if (OutsideCorner(x, y, w, h, outer))
            return 0;
        if (x < b || x >= w - b || y < b || y >= h - b || allBorder)
            return border;
        if (OutsideCorner(x - b, y - b, w - 2 * b, h - 2 * b, inner))
            return border;
        return fill;
    };
    const int left = std::min(edge, w);
    const int right = std::max(w - edge, left);
    const int first = vx;
    const int last = vx + vw; // one past the last visible column
    DWORD* pixels = static_cast<DWORD*>(bits);
    for (int y = vy; y < vy + vh; ++y) {
        DWORD* row = pixels + static_cast<size_t>(y - vy) * vw; // row[0] is column vx
        for (int x = first; x < std::min(left, last); ++x)
            row[x - vx] = classify(x, y);
        const bool edgeRow = y < b || y >= h - b || allBorder;
        const int runFrom = std::max(left, first);
        const int runTo = std::min(right, last);
        if (runFrom < runTo)
            std::fill(row + (runFrom - vx), row + (runTo - vx), edgeRow ? border : fill);
        for (int x = std::max(right, first); x < last; ++x)
            row[x - vx] = classify(x, y);
    }

    AlphaBlendFunction alphaBlend = AlphaBlendOnce();
    if (alphaBlend == nullptr) {
        FillRoundRect(dc, rect, radius, borderColor, fillColor, borderWidth);
        return;
    }
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    alphaBlend(dc, visible.left, visible.top, vw, vh, memory.Get(), 0, 0, vw, vh, blend);
}
