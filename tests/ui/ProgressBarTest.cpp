// The progress bar at percentages and the sweeping segment, on a canvas the
// size of the window with the initial bar rectangle (92, 182)-(588, 206).

#include "app/LauncherApp.h"
#include "tests/ui/Canvas.h"

#include <gtest/gtest.h>

namespace {

const COLORREF kFill = RGB(0x41, 0x00, 0x09);
const COLORREF kTrack = RGB(0xE6, 0xE7, 0xEB);
const int kRow = 188; // inside the bar, above the text

// The first and one-past-last x of the fill colour on the bar's row.
std::pair<int, int> FilledSpan(const Canvas& canvas) {
    int first = -1;
    int last = -1;
    for (int x = 92; x < 588; ++x) {
        if (canvas.ColorAt(x, kRow) == kFill) {
            if (first < 0)
                first = x;
            last = x + 1;
        }
    }
    return {first, last};
}

class ProgressBar : public ::testing::Test {
protected:
    std::pair<int, int> Paint(int progress, int marqueeOffset = 0) {
        app.progress = progress;
        app.marqueeOffset = marqueeOffset;
        app.DrawProgressBar(canvas.Dc());
        return FilledSpan(canvas);
    }
    Canvas canvas{680, 470, 0xFFFFFF};
    LauncherApp app;
};

} // namespace

TEST_F(ProgressBar, PercentageFillsTheInnerWidthProportionally) {
    // 42% of the inner width 492 is 206 pixels: x 94 to 300.
    EXPECT_EQ(Paint(42), std::make_pair(94, 300));
    EXPECT_EQ(canvas.ColorAt(301, kRow), kTrack);
    EXPECT_EQ(canvas.ColorAt(93, kRow), kTrack);
}

TEST_F(ProgressBar, FullAndOverfullFillTheWholeInnerWidth) {
    EXPECT_EQ(Paint(100), std::make_pair(94, 586));
    Canvas other(680, 470, 0xFFFFFF);
    app.progress = 150;
    app.DrawProgressBar(other.Dc());
    EXPECT_EQ(FilledSpan(other), std::make_pair(94, 586));
}

TEST_F(ProgressBar, ZeroDrawsNoFill) {
    EXPECT_EQ(Paint(0).first, -1);
    EXPECT_EQ(canvas.ColorAt(100, kRow), kTrack);
}

TEST_F(ProgressBar, ShadowAndTrackAreDrawn) {
    Paint(0);
    EXPECT_EQ(canvas.ColorAt(300, 207), RGB(0xEB, 0xEC, 0xF0)); // shadow below the bar
    EXPECT_EQ(canvas.ColorAt(300, 182), RGB(0xE1, 0xE2, 0xE6)); // track outline
    EXPECT_EQ(canvas.ColorAt(300, 209), RGB(0xFF, 0xFF, 0xFF));
}

TEST_F(ProgressBar, SweepEntersGrowsCrossesAndStartsAgain) {
    EXPECT_EQ(Paint(-1, 0).first, -1);
    EXPECT_EQ(Paint(-1, 18), std::make_pair(94, 112));
}

TEST_F(ProgressBar, SweepIsClippedAtTheRightEdge) {
    // Segment 123 long: offset 500 runs 471 to 594, clipped at 586.
    EXPECT_EQ(Paint(-1, 500), std::make_pair(471, 586));
}

TEST_F(ProgressBar, SweepRepeatsAfterItsPeriod) {
    // Period 492 + 123 = 615.
    EXPECT_EQ(Paint(-1, 615).first, -1);
    Canvas other(680, 470, 0xFFFFFF);
    app.progress = -1;
    app.marqueeOffset = 615 + 18;
    app.DrawProgressBar(other.Dc());
    EXPECT_EQ(FilledSpan(other), std::make_pair(94, 112));
}

TEST_F(ProgressBar, TextIsCentredOnTheBar) {
    // Some text pixels, darker than the track, around the bar's centre.
    Paint(0);
    int dark = 0;
    for (int y = 184; y < 204; ++y)
        for (int x = 300; x < 380; ++x)
            if (GetRValue(canvas.ColorAt(x, y)) < 0xC0)
                ++dark;
    EXPECT_GT(dark, 10);
}
