#include "ui/ProgressBar.h"

#include "platform/Guards.h"
#include "ui/RoundRects.h"

#include <algorithm>

void DrawProgressBar(HDC dc, const ProgressBarLook& bar) {
    const RECT& progressRect = bar.rect;
    const COLORREF shadowColor = RGB(0xEB, 0xEC, 0xF0);
    RECT shadow = progressRect;
    OffsetRect(&shadow, 0, 2);
    FillRoundRect(dc, shadow, 12, shadowColor, shadowColor);
    FillRoundRect(dc, progressRect, 12, RGB(0xE1, 0xE2, 0xE6), bar.trackColor);

    const RECT inner = {progressRect.left + 2, progressRect.top + 2, progressRect.right - 2,
                        progressRect.bottom - 2};
    int innerWidth = inner.right - inner.left;
    if (innerWidth <= 0)
        innerWidth = 1;

    wchar_t text[32] = {};
    if (bar.progress >= 0) {
        const int percent = std::min(bar.progress, 100);
        const int fillRight = inner.left + innerWidth * percent / 100;
        if (fillRight > inner.left) {
            const RECT fill = {inner.left, inner.top, fillRight, inner.bottom};
            FillRoundRect(dc, fill, 10, bar.fillColor, bar.fillColor);
        }
        wsprintfW(text, L"%d%%", percent);
    } else {
        const int segment = std::min(std::max(innerWidth >> 2, 86), innerWidth);
        const int period = innerWidth + segment;
        const int offset = bar.marqueeOffset % period;
        const int left = std::max<int>(inner.left + offset - segment, inner.left);
        const int right = std::min<int>(inner.left + offset, inner.right);
        if (left < right) {
            const RECT moving = {left, inner.top, right, inner.bottom};
            FillRoundRect(dc, moving, 10, bar.fillColor, bar.fillColor);
        }
        lstrcpyW(text, L"Подготовка...");
    }

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0x49, 0x49, 0x50));
    SelectGuard selectFont(dc, bar.font);
    RECT textRect = progressRect;
    DrawTextW(dc, text, -1, &textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}
