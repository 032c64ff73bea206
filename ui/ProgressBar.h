#pragma once
// The progress bar: filled to a percentage with the percentage written on it,
// or, while the progress is unknown (-1), a segment sweeping from left to right.

#include <windows.h>

// The rectangles here are in the 96-DPI layout; the bar is drawn at dpi.
struct ProgressBarLook {
    RECT rect;
    int progress;      // 0 to 100, or -1 for the sweeping segment
    int marqueeOffset; // where the sweeping segment stands
    COLORREF trackColor;
    COLORREF fillColor;
    HFONT font;
    UINT dpi;
};

void DrawProgressBar(HDC dc, const ProgressBarLook& bar);

// The sweeping segment's rectangle at an offset (empty when it is out of sight).
RECT SweepSegmentRect(const RECT& barRect, int marqueeOffset);

// What a step of the sweep from one offset to the next changes: the old and
// the new segment together (the rest of the bar stays as it was).
RECT SweepStepRect(const RECT& barRect, int fromOffset, int toOffset);
