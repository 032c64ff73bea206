// The window's paint keeps the scene behind the bar between paints: what it
// shows must be, pixel for pixel, the scene drawn afresh, after ticks of the
// sweeping bar and after the status line changed under a partial repaint.
// And at every DPI each text of the scene fits its box.

#include "app/LauncherApp.h"
#include "tests/ui/Canvas.h"
#include "ui/Fonts.h"
#include "ui/ProgressBar.h"

#include <gtest/gtest.h>

namespace {

const int kWidth = 680;
const int kHeight = 470;

class PaintWindow : public ::testing::Test {
protected:
    void SetUp() override {
        app.instance = GetModuleHandleW(nullptr);
        // A popup has no frame: its client area is the launcher's.
        app.window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_CLIPCHILDREN, 0, 0, kWidth,
                                     kHeight, nullptr, nullptr, app.instance, nullptr);
        ASSERT_NE(app.window, nullptr);
        app.InitUi();
        ASSERT_NE(app.backgroundPicture, nullptr);
    }
    void TearDown() override { DestroyWindow(app.window); }

    // Paints update as WM_PAINT does, then compares the whole window with
    // the scene drawn afresh in one go.
    void ExpectPaintedAsWhole(const RECT& update) {
        app.PaintWindow(shown.Dc(), update);
        Canvas whole(kWidth, kHeight);
        app.DrawWindowBackground(whole.Dc());
        app.DrawHeaderTexts(whole.Dc());
        app.DrawProgressBar(whole.Dc());
        GdiFlush();
        int differing = 0;
        for (int y = 0; y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x)
                differing += shown.ColorAt(x, y) != whole.ColorAt(x, y);
        EXPECT_EQ(differing, 0);
    }

    LauncherApp app;
    Canvas shown{kWidth, kHeight};
};

} // namespace

TEST_F(PaintWindow, KeptSceneGivesThePixelsOfAFreshOne) {
    app.progress = -1;
    ExpectPaintedAsWhole(RECT{0, 0, kWidth, kHeight});
    // Ticks of the sweep repaint only where the segment was and is, through
    // a whole period (the segment leaves at the right and comes back).
    for (int tick = 0; tick < 40; ++tick) {
        const RECT step =
            SweepStepRect(app.progressRect, app.marqueeOffset, app.marqueeOffset + 18);
        app.marqueeOffset += 18;
        ExpectPaintedAsWhole(step);
    }
    // The status line changes and only its strip is repainted: the scene
    // behind the bar must follow it.
    app.statusText = L"Скачивание архива: 42%";
    const RECT status = {app.panelRect.left + 40, app.panelRect.top + 122, app.panelRect.right - 40,
                         app.panelRect.top + 156};
    ExpectPaintedAsWhole(status);
    app.progress = 42;
    ExpectPaintedAsWhole(app.progressRect);
}

TEST_F(PaintWindow, EveryTextFitsItsBoxAtEveryDpi) {
    for (UINT dpi : {96u, 120u, 144u, 192u}) {
        app.DeleteFonts();
        app.dpi = dpi;
        app.CreateFonts();
        GdiObjectGuard credit(
            CreateUiFont(ScaleToDpi(14, dpi), 600, app.displayFontFace, L"Segoe UI Variable Text"));
        const struct {
            HFONT font;
            const wchar_t* text;
            RECT box; // in the 96-DPI layout
        } texts[] = {
            {app.titleFont, L"Vorn RPG Online", {68, 76, 612, 122}},
            {app.subtitleFont,
             L"Удобный лаунчер для онлайн и официальной версии",
             {68, 124, 612, 152}},
            {app.statusFont, L"Готово. Выберите режим запуска.", {68, 150, 612, 182}},
            {static_cast<HFONT>(credit.Get()), L"by @Greyhallow", {54, 46, 222, 72}},
            {app.buttonFont, L"Официальная версия", {92, 292, 588, 336}},
            {app.statusFont, L"Подготовка...", {92, 182, 588, 206}},
        };
        for (const auto& text : texts) {
            SelectGuard selectFont(shown.Dc(), text.font);
            SIZE extent{};
            GetTextExtentPoint32W(shown.Dc(), text.text, lstrlenW(text.text), &extent);
            const RECT box = ScaleRectToDpi(text.box, dpi);
            EXPECT_LE(extent.cx, box.right - box.left) << dpi << " " << text.text;
            EXPECT_LE(extent.cy, box.bottom - box.top) << dpi << " " << text.text;
        }
    }
}
