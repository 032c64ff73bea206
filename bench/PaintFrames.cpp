// The window's paint path timed frame by frame: the three painters of
// WM_PAINT on an off-screen DC of the client's size, with the launcher's real
// resources (InitUi loads them from this program's own copy of launcher.rc).
// Also the whole WM_PAINT of a timer tick of the sweeping bar: buffer made,
// scene drawn, the bar's rectangle copied to the window, buffer freed; and
// where the background's time goes.

#include "bench/BenchOutput.h"
#include "bench/BenchPrograms.h"

#include "app/LauncherApp.h"
#include "platform/Guards.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

const wchar_t kClassName[] = L"VornBenchPaintWindow";
const int kClientWidth = 680;
const int kClientHeight = 470;
const int kWarmUpFrames = 20;
const int kSweepStep = 18; // what one timer tick adds

struct Series {
    std::vector<double> seconds;

    std::string Json() const {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        double total = 0;
        for (double value : sorted)
            total += value;
        const double mean = sorted.empty() ? 0 : total / static_cast<double>(sorted.size());
        const double median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
        const double low = sorted.empty() ? 0 : sorted.front();
        const double high = sorted.empty() ? 0 : sorted.back();
        return "{\"frames\": " + std::to_string(sorted.size()) +
               ", \"meanMs\": " + Number(mean * 1000) + ", \"medianMs\": " + Number(median * 1000) +
               ", \"minMs\": " + Number(low * 1000) + ", \"maxMs\": " + Number(high * 1000) + "}";
    }
};

// Frees what InitUi made; the window procedure does this at WM_DESTROY.
void ReleaseUi(LauncherApp& app) {
    for (HFONT* font : {&app.titleFont, &app.subtitleFont, &app.statusFont, &app.buttonFont}) {
        if (*font != nullptr)
            DeleteObject(*font);
        *font = nullptr;
    }
    if (app.backgroundPicture != nullptr)
        app.backgroundPicture->Release();
    app.backgroundPicture = nullptr;
    if (app.fontResource != nullptr)
        RemoveFontMemResourceEx(app.fontResource);
    app.fontResource = nullptr;
}

} // namespace

int RunPaintFrames(const std::wstring& outPath, int frames) {
    OleInitialize(nullptr);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kClassName;
    RegisterClassExW(&windowClass);
    // A popup has no frame: its client area is the launcher's, 680 x 470. It is never shown.
    const HWND window =
        CreateWindowExW(0, kClassName, L"", WS_POPUP | WS_CLIPCHILDREN, 0, 0, kClientWidth,
                        kClientHeight, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr)
        return 1;

    LauncherApp app;
    app.instance = GetModuleHandleW(nullptr);
    app.window = window;
    app.InitUi();
    const bool realResources = app.backgroundPicture != nullptr && app.fontResource != nullptr;

    const HDC windowDc = GetDC(window);
    Series scene;
    Series background;
    Series header;
    Series bar;
    Series timerTick;
    {
        DcGuard memory(CreateCompatibleDC(windowDc));
        GdiObjectGuard bitmap(CreateCompatibleBitmap(windowDc, kClientWidth, kClientHeight));
        SelectGuard selectBitmap(memory.Get(), bitmap.Get());
        app.progress = -1;
        for (int frame = 0; frame < kWarmUpFrames + frames; ++frame) {
            app.marqueeOffset += kSweepStep;
            const double start = NowSeconds();
            app.DrawWindowBackground(memory.Get());
            const double afterBackground = NowSeconds();
            app.DrawHeaderTexts(memory.Get());
            const double afterHeader = NowSeconds();
            app.DrawProgressBar(memory.Get());
            GdiFlush();
            const double end = NowSeconds();
            if (frame < kWarmUpFrames)
                continue;
            scene.seconds.push_back(end - start);
            background.seconds.push_back(afterBackground - start);
            header.seconds.push_back(afterHeader - afterBackground);
            bar.seconds.push_back(end - afterHeader);
        }
    }
    // One timer tick as WM_PAINT does it for the invalidated bar, buffer
    // included; clipped to the bar as the launcher paints it, or not.
    auto timeTicks = [&](bool clipped) {
        Series ticks;
        for (int frame = 0; frame < kWarmUpFrames + frames; ++frame) {
            app.marqueeOffset += kSweepStep;
            const double start = NowSeconds();
            {
                DcGuard memory(CreateCompatibleDC(windowDc));
                GdiObjectGuard bitmap(
                    CreateCompatibleBitmap(windowDc, kClientWidth, kClientHeight));
                SelectGuard selectBitmap(memory.Get(), bitmap.Get());
                const RECT& update = app.progressRect;
                if (clipped)
                    IntersectClipRect(memory.Get(), update.left, update.top, update.right,
                                      update.bottom);
                app.DrawWindowBackground(memory.Get());
                app.DrawHeaderTexts(memory.Get());
                app.DrawProgressBar(memory.Get());
                BitBlt(windowDc, update.left, update.top, update.right - update.left,
                       update.bottom - update.top, memory.Get(), update.left, update.top, SRCCOPY);
            }
            GdiFlush();
            if (frame >= kWarmUpFrames)
                ticks.seconds.push_back(NowSeconds() - start);
        }
        return ticks;
    };
    timerTick = timeTicks(false);
    // Where DrawWindowBackground's time goes: the picture stretched over the
    // client, and the shadow and panel built pixel by pixel and alpha-blended.
    Series picture;
    Series shadow;
    Series panel;
    {
        DcGuard memory(CreateCompatibleDC(windowDc));
        GdiObjectGuard bitmap(CreateCompatibleBitmap(windowDc, kClientWidth, kClientHeight));
        SelectGuard selectBitmap(memory.Get(), bitmap.Get());
        OLE_XSIZE_HIMETRIC pictureWidth = 0;
        OLE_YSIZE_HIMETRIC pictureHeight = 0;
        if (app.backgroundPicture != nullptr) {
            app.backgroundPicture->get_Width(&pictureWidth);
            app.backgroundPicture->get_Height(&pictureHeight);
        }
        RECT shadowRect = app.panelRect;
        OffsetRect(&shadowRect, 0, 6);
        for (int frame = 0; frame < kWarmUpFrames + frames; ++frame) {
            const double start = NowSeconds();
            if (app.backgroundPicture != nullptr)
                app.backgroundPicture->Render(memory.Get(), 0, 0, kClientWidth, kClientHeight, 0,
                                              pictureHeight, pictureWidth, -pictureHeight, nullptr);
            GdiFlush();
            const double afterPicture = NowSeconds();
            app.DrawRoundedAlphaRect(memory.Get(), shadowRect, 18, RGB(0x78, 0x78, 0x82), 36,
                                     RGB(0x78, 0x78, 0x82), 36);
            GdiFlush();
            const double afterShadow = NowSeconds();
            app.DrawRoundedAlphaRect(memory.Get(), app.panelRect, 18, app.panelFillColor,
                                     app.panelAlpha, app.panelBorderColor, 255);
            GdiFlush();
            const double end = NowSeconds();
            if (frame < kWarmUpFrames)
                continue;
            picture.seconds.push_back(afterPicture - start);
            shadow.seconds.push_back(afterShadow - afterPicture);
            panel.seconds.push_back(end - afterShadow);
        }
    }
    const Series clippedTick = timeTicks(true);
    // And with the scene behind the bar kept from one frame to the next: a
    // tick copies the bar's part of it back, draws the bar and shows it.
    Series cachedTick;
    {
        DcGuard scene(CreateCompatibleDC(windowDc));
        GdiObjectGuard sceneBitmap(CreateCompatibleBitmap(windowDc, kClientWidth, kClientHeight));
        SelectGuard selectScene(scene.Get(), sceneBitmap.Get());
        app.DrawWindowBackground(scene.Get());
        app.DrawHeaderTexts(scene.Get());
        DcGuard back(CreateCompatibleDC(windowDc));
        GdiObjectGuard backBitmap(CreateCompatibleBitmap(windowDc, kClientWidth, kClientHeight));
        SelectGuard selectBack(back.Get(), backBitmap.Get());
        RECT bar = app.progressRect;
        bar.bottom += 3; // the bar's shadow lies below it
        const int width = bar.right - bar.left;
        const int height = bar.bottom - bar.top;
        for (int frame = 0; frame < kWarmUpFrames + frames; ++frame) {
            app.marqueeOffset += kSweepStep;
            const double start = NowSeconds();
            BitBlt(back.Get(), bar.left, bar.top, width, height, scene.Get(), bar.left, bar.top,
                   SRCCOPY);
            app.DrawProgressBar(back.Get());
            BitBlt(windowDc, bar.left, bar.top, width, height, back.Get(), bar.left, bar.top,
                   SRCCOPY);
            GdiFlush();
            if (frame >= kWarmUpFrames)
                cachedTick.seconds.push_back(NowSeconds() - start);
        }
    }
    ReleaseDC(window, windowDc);

    ReleaseUi(app);
    DestroyWindow(window);
    OleUninitialize();

    const std::string json =
        "{\"ok\": " + std::string(realResources ? "true" : "false") +
        ", \"client\": [680, 470], \"scene\": " + scene.Json() +
        ", \"drawWindowBackground\": " + background.Json() +
        ", \"drawHeaderTexts\": " + header.Json() + ", \"drawProgressBar\": " + bar.Json() +
        ", \"timerTickPaint\": " + timerTick.Json() + ", \"backgroundPicture\": " + picture.Json() +
        ", \"panelShadow\": " + shadow.Json() + ", \"panel\": " + panel.Json() +
        ", \"timerTickPaintClipped\": " + clippedTick.Json() +
        ", \"timerTickPaintCached\": " + cachedTick.Json() + "}";
    if (!WriteJsonFile(outPath, json))
        return 1;
    return realResources ? 0 : 1;
}
