// The translucent rounded rectangle's pixel rule, read back from a black
// canvas: blended over zero, each pixel is exactly the premultiplied source.

#include "app/LauncherApp.h"
#include "tests/ui/Canvas.h"
#include "ui/RoundRects.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const COLORREF kFill = RGB(0xFF, 0xF8, 0xFC);
const COLORREF kBorder = RGB(0xE0, 0xD6, 0xE2);

// One row as letters: '.' transparent, 'b' border, 'f' fill.
std::string Row(const Canvas& canvas, int y, int width, uint32_t fill, uint32_t border) {
    std::string row;
    for (int x = 0; x < width; ++x) {
        const uint32_t pixel = canvas.At(x, y);
        row += pixel == 0 ? '.' : pixel == fill ? 'f' : pixel == border ? 'b' : '?';
    }
    return row;
}

std::string Repeat(char c, int count) {
    return std::string(count, c);
}

// Premultiplied fill #FFF8FC at 222 and opaque border #E0D6E2.
const uint32_t kFillPixel = 0xDEDED7DB;
const uint32_t kBorderPixel = 0xFFE0D6E2;

} // namespace

TEST(DrawRoundedAlphaRect, PremultipliedFillAndOpaqueBorder) {
    Canvas canvas(40, 20);
    LauncherApp app;
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{0, 0, 40, 20}, 6, kFill, 222, kBorder, 255);
    // alpha 222, red 222, green 215, blue 219; the border keeps its colour.
    EXPECT_EQ(canvas.At(20, 10), kFillPixel);
    EXPECT_EQ(canvas.At(20, 0), kBorderPixel);
}

TEST(DrawRoundedAlphaRect, SmallBoxWithRadiusSix) {
    Canvas canvas(30, 16);
    LauncherApp app;
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{2, 2, 26, 14}, 6, kFill, 222, kBorder, 255);
    // The 24 x 12 box starts at (2, 2) on the canvas.
    auto row = [&](int y) {
        return Row(canvas, 2 + y, 30, kFillPixel, kBorderPixel).substr(2, 24);
    };
    EXPECT_EQ(row(0), std::string("..") + Repeat('b', 20) + "..");
    EXPECT_EQ(row(11), std::string("..") + Repeat('b', 20) + "..");
    EXPECT_EQ(row(1), std::string(".b") + Repeat('f', 20) + "b.");
    EXPECT_EQ(row(10), std::string(".b") + Repeat('f', 20) + "b.");
    for (int y = 2; y <= 9; ++y)
        EXPECT_EQ(row(y), std::string("b") + Repeat('f', 22) + "b") << "row " << y;
    // Nothing outside the box.
    EXPECT_EQ(canvas.At(1, 8), 0u);
    EXPECT_EQ(canvas.At(26, 8), 0u);
}

TEST(DrawRoundedAlphaRect, RadiusIsCutToHalfTheSmallerSide) {
    Canvas canvas(40, 30);
    LauncherApp app;
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{0, 0, 40, 30}, 18, kFill, 222, kBorder, 255);
    EXPECT_EQ(Row(canvas, 0, 40, kFillPixel, kBorderPixel),
              Repeat('.', 9) + Repeat('b', 22) + Repeat('.', 9));
}

TEST(DrawRoundedAlphaRect, RadiusZeroIsASquareRing) {
    Canvas canvas(10, 6);
    LauncherApp app;
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{0, 0, 10, 6}, 0, kFill, 222, kBorder, 255);
    EXPECT_EQ(Row(canvas, 0, 10, kFillPixel, kBorderPixel), Repeat('b', 10));
    EXPECT_EQ(Row(canvas, 3, 10, kFillPixel, kBorderPixel),
              std::string("b") + Repeat('f', 8) + "b");
    EXPECT_EQ(Row(canvas, 5, 10, kFillPixel, kBorderPixel), Repeat('b', 10));
}

TEST(DrawRoundedAlphaRect, AWiderBorderIsAWiderRing) {
    // Above 96 DPI the border grows: two pixels wide at 192.
    Canvas canvas(10, 8);
    ::DrawRoundedAlphaRect(canvas.Dc(), RECT{0, 0, 10, 8}, 0, kFill, 222, kBorder, 255, 2);
    for (int y : {0, 1, 6, 7})
        EXPECT_EQ(Row(canvas, y, 10, kFillPixel, kBorderPixel), Repeat('b', 10)) << y;
    for (int y = 2; y < 6; ++y)
        EXPECT_EQ(Row(canvas, y, 10, kFillPixel, kBorderPixel), "bb" + Repeat('f', 6) + "bb")
            << y;
}

TEST(DrawRoundedAlphaRect, TwoPixelsHighIsAllBorder) {
    Canvas canvas(12, 2);
    LauncherApp app;
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{0, 0, 12, 2}, 6, kFill, 222, kBorder, 255);
    // The corners are cut at radius 1, the rest is border.
    EXPECT_EQ(Row(canvas, 0, 12, kFillPixel, kBorderPixel), Repeat('b', 12));
    EXPECT_EQ(Row(canvas, 1, 12, kFillPixel, kBorderPixel), Repeat('b', 12));
}

TEST(DrawRoundedAlphaRect, EmptyRectangleDrawsNothing) {
    Canvas canvas(20, 20);
    LauncherApp app;
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{5, 5, 5, 15}, 6, kFill, 222, kBorder, 255);
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{5, 5, 15, 5}, 6, kFill, 222, kBorder, 255);
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{15, 5, 5, 15}, 6, kFill, 222, kBorder, 255);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
            ASSERT_EQ(canvas.At(x, y), 0u) << x << "," << y;
}

TEST(DrawRoundedAlphaRect, TranslucentShadowDarkensWhatIsBelow) {
    Canvas canvas(20, 20, 0xFFFFFF);
    LauncherApp app;
    app.DrawRoundedAlphaRect(canvas.Dc(), RECT{0, 0, 20, 20}, 18, RGB(0x78, 0x78, 0x82), 36,
                             RGB(0x78, 0x78, 0x82), 36);
    // 36/255 of #787882 over white.
    const COLORREF expected =
        RGB(0x78 * 36 / 255 + 255 * (255 - 36) / 255, 0x78 * 36 / 255 + 255 * (255 - 36) / 255,
            0x82 * 36 / 255 + 255 * (255 - 36) / 255);
    EXPECT_TRUE(Near(canvas.ColorAt(10, 10), expected, 2));
}

TEST(DrawRoundRectOutline, OpaqueFillAndBorder) {
    Canvas canvas(30, 20, 0xFFFFFF);
    LauncherApp app;
    app.DrawRoundRectOutline(canvas.Dc(), RECT{0, 0, 30, 20}, 10, RGB(0x41, 0x00, 0x09),
                             RGB(0x10, 0x20, 0x30));
    EXPECT_EQ(canvas.ColorAt(15, 10), RGB(0x41, 0x00, 0x09));
    EXPECT_EQ(canvas.ColorAt(15, 0), RGB(0x10, 0x20, 0x30));
    EXPECT_EQ(canvas.ColorAt(0, 0), RGB(0xFF, 0xFF, 0xFF)); // the corner is round
}

TEST(DrawRoundedAlphaRect, ClippedDrawingGivesTheSamePixelsInsideTheClip) {
    Canvas whole(60, 40, 0x336699);
    Canvas clipped(60, 40, 0x336699);
    LauncherApp app;
    app.DrawRoundedAlphaRect(whole.Dc(), RECT{5, 5, 55, 35}, 18, kFill, 222, kBorder, 255);
    // A clip box cutting through a corner, the border and the fill.
    IntersectClipRect(clipped.Dc(), 3, 2, 30, 20);
    app.DrawRoundedAlphaRect(clipped.Dc(), RECT{5, 5, 55, 35}, 18, kFill, 222, kBorder, 255);
    for (int y = 0; y < 40; ++y) {
        for (int x = 0; x < 60; ++x) {
            const bool inside = x >= 3 && x < 30 && y >= 2 && y < 20;
            ASSERT_EQ(clipped.At(x, y), inside ? whole.At(x, y) : 0x336699u) << x << "," << y;
        }
    }
}
