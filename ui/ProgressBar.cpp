// The progress bar: filled to a percentage with the percentage written on it,
// or, while the progress is unknown, a segment sweeping from left to right.

#include "app/LauncherApp.h"

#include "platform/Guards.h"

#include <algorithm>

void LauncherApp::DrawProgressBar(HDC dc) {
    const COLORREF shadowColor = RGB(0xEB, 0xEC, 0xF0);
    RECT shadow = progressRect;
    OffsetRect(&shadow, 0, 2);
    {
        GdiObjectGuard pen(CreatePen(PS_SOLID, 1, shadowColor));
        GdiObjectGuard brush(CreateSolidBrush(shadowColor));
        SelectGuard selectPen(dc, pen.Get());
        SelectGuard selectBrush(dc, brush.Get());
        RoundRect(dc, shadow.left, shadow.top, shadow.right, shadow.bottom, 12, 12);
    }
    {
        GdiObjectGuard pen(CreatePen(PS_SOLID, 1, RGB(0xE1, 0xE2, 0xE6)));
        GdiObjectGuard brush(CreateSolidBrush(progressTrackColor));
        SelectGuard selectPen(dc, pen.Get());
        SelectGuard selectBrush(dc, brush.Get());
        RoundRect(dc, progressRect.left, progressRect.top, progressRect.right, progressRect.bottom,
                  12, 12);
    }

    const RECT inner = {progressRect.left + 2, progressRect.top + 2, progressRect.right - 2,
                        progressRect.bottom - 2};
    int innerWidth = inner.right - inner.left;
    if (innerWidth <= 0)
        innerWidth = 1;

    wchar_t text[32] = {};
    if (progress >= 0) {
        const int percent = std::min(progress, 100);
        const int fillRight = inner.left + innerWidth * percent / 100;
        if (fillRight > inner.left) {
            const RECT fill = {inner.left, inner.top, fillRight, inner.bottom};
            DrawRoundRectOutline(dc, fill, 10, progressFillColor, progressFillColor);
        }
        wsprintfW(text, L"%d%%", percent);
    } else {
        const int segment = std::min(std::max(innerWidth >> 2, 86), innerWidth);
        const int period = innerWidth + segment;
        const int offset = marqueeOffset % period;
        const int left = std::max<int>(inner.left + offset - segment, inner.left);
        const int right = std::min<int>(inner.left + offset, inner.right);
        if (left < right) {
            const RECT moving = {left, inner.top, right, inner.bottom};
            DrawRoundRectOutline(dc, moving, 10, progressFillColor, progressFillColor);
        }
        lstrcpyW(text, L"Подготовка...");
    }

    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0x49, 0x49, 0x50));
    SelectGuard selectFont(dc, statusFont);
    RECT textRect = progressRect;
    DrawTextW(dc, text, -1, &textRect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}
