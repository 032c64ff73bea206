#include "ui/ProgressBar.h"

#include "platform/Guards.h"
#include "ui/Dpi.h"
#include "ui/RoundRects.h"

#include <algorithm>

namespace {

RECT InnerRect(const RECT& barRect) {
    return {barRect.left + 2, barRect.top + 2, barRect.right - 2, barRect.bottom - 2};
}

} // namespace

RECT SweepSegmentRect(const RECT& barRect, int marqueeOffset) {
    const RECT inner = InnerRect(barRect);
    const int innerWidth = std::max<int>(inner.right - inner.left, 1);
    const int segment = std::min(std::max(innerWidth >> 2, 86), innerWidth);
    const int period = innerWidth + segment;
    const int offset = marqueeOffset % period;
    const int left = std::max<int>(inner.left + offset - segment, inner.left);
    const int right = std::min<int>(inner.left + offset, inner.right);
    if (left >= right)
        return RECT{0, 0, 0, 0};
    return RECT{left, inner.top, right, inner.bottom};
}

RECT SweepStepRect(const RECT& barRect, int fromOffset, int toOffset) {
    const RECT before = SweepSegmentRect(barRect, fromOffset);
    const RECT after = SweepSegmentRect(barRect, toOffset);
    RECT step{};
    UnionRect(&step, &before, &after);
    return step;
}

void DrawProgressBar(HDC dc, const ProgressBarLook& bar) {
    // Worked out in the layout, then mapped to the window's pixels.
    const UINT dpi = bar.dpi;
    const int line = ScaleToDpi(1, dpi);
    const int corner = ScaleToDpi(12, dpi);
    const int fillCorner = ScaleToDpi(10, dpi);
    const RECT& progressRect = bar.rect;
    const COLORREF shadowColor = RGB(0xEB, 0xEC, 0xF0);
    RECT shadow = progressRect;
    OffsetRect(&shadow, 0, 2);
    FillRoundRect(dc, ScaleRectToDpi(shadow, dpi), corner, shadowColor, shadowColor, line);
    FillRoundRect(dc, ScaleRectToDpi(progressRect, dpi), corner, RGB(0xE1, 0xE2, 0xE6),
                  bar.trackColor, line);

    const RECT inner = InnerRect(progressRect);
    int innerWidth = inner.right - inner.left;
    if (innerWidth <= 0)
        innerWidth = 1;

    wchar_t text[32] = {};
    if (bar.progress >= 0) {
        const int percent = std::min(bar.progress, 100);
        const int fillRight = inner.left + innerWidth * percent / 100;
        if (fillRight > inner.left) {
            const RECT fill = {inner.left, inner.top, fillRight, inner.bottom};
            FillRoundRect(dc, ScaleRectToDpi(fill, dpi), fillCorner, bar.fillColor, bar.fillColor,
                          line);
        }
        wsprintfW(text, L"%d%%", percent);
    } else {
        const RECT moving = SweepSegmentRect(progressRect, bar.marqueeOffset);
        if (!IsRectEmpty(&moving))
            FillRoundRect(dc, ScaleRectToDpi(moving, dpi), fillCorner, bar.fillColor,
                          bar.fillColor, line);
        lstrcpyW(text, L"Подготовка...");
    }

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0x49, 0x49, 0x50));
    SelectGuard selectFont(dc, bar.font);
    RECT textRect = ScaleRectToDpi(progressRect, dpi);
    DrawTextW(dc, text, -1, &textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}
