// The window's paint path with the launcher's real resources (InitUi loads them
// from this program's copy of launcher.rc): the whole scene, and a timer tick of
// the sweeping bar drawing the whole scene, clipped or not, and as the launcher
// paints it, over the kept scene.

#include "bench/Bench.h"

#include "app/LauncherApp.h"
#include "platform/Guards.h"

#include <functional>

namespace {

const int kClientWidth = 680;
const int kClientHeight = 470;
const int kWarmUpFrames = 20;
const int kSweepStep = 18; // what one timer tick adds

// The mean time of a frame in milliseconds, the warm-up's frames left out.
double Measure(int frames, const std::function<void()>& frame) {
    double total = 0;
    for (int i = -kWarmUpFrames; i < frames; ++i) {
        const double start = NowSeconds();
        frame();
        GdiFlush();
        if (i >= 0)
            total += NowSeconds() - start;
    }
    return 1000 * total / frames;
}

// A buffer the size of the client area, selected into its own DC.
struct Buffer {
    DcGuard dc;
    GdiObjectGuard bitmap;
    SelectGuard select;
    explicit Buffer(HDC windowDc)
        : dc(CreateCompatibleDC(windowDc)),
          bitmap(CreateCompatibleBitmap(windowDc, kClientWidth, kClientHeight)),
          select(dc.Get(), bitmap.Get()) {}
};

} // namespace

int RunPaintFrames(const std::wstring& outPath, int frames) {
    OleInitialize(nullptr);
    LauncherApp app;
    app.instance = GetModuleHandleW(nullptr);
    // A popup has no frame: its client area is the launcher's. It is never shown.
    app.window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_CLIPCHILDREN, 0, 0, kClientWidth,
                                 kClientHeight, nullptr, nullptr, app.instance, nullptr);
    if (app.window == nullptr)
        return 1;
    app.InitUi();
    app.progress = -1;
    const HDC windowDc = GetDC(app.window);
    const RECT& bar = app.progressRect;
    Buffer canvas(windowDc);
    const HDC dc = canvas.dc.Get();
    auto drawScene = [&](HDC target) {
        app.DrawWindowBackground(target);
        app.DrawHeaderTexts(target);
        app.DrawProgressBar(target);
    };
    const double scene = Measure(frames, [&] {
        app.marqueeOffset += kSweepStep;
        drawScene(dc);
    });
    // One timer tick as WM_PAINT does it for the invalidated bar, buffer
    // included; clipped to the bar as the launcher paints it, or not.
    auto measureTicks = [&](bool clipped) {
        return Measure(frames, [&] {
            app.marqueeOffset += kSweepStep;
            Buffer buffer(windowDc);
            if (clipped)
                IntersectClipRect(buffer.dc.Get(), bar.left, bar.top, bar.right, bar.bottom);
            drawScene(buffer.dc.Get());
            BitBlt(windowDc, bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top,
                   buffer.dc.Get(), bar.left, bar.top, SRCCOPY);
        });
    };
    const double tick = measureTicks(false);
    const double clippedTick = measureTicks(true);
    // And as the launcher paints now, with the scene behind the bar kept
    // from one paint to the next.
    RECT client = {0, 0, kClientWidth, kClientHeight};
    app.PaintWindow(windowDc, client);
    const double keptTick = Measure(frames, [&] {
        app.marqueeOffset += kSweepStep;
        app.PaintWindow(windowDc, bar);
    });
    ReleaseDC(app.window, windowDc);
    // What InitUi made goes with the process, which ends now.
    return Figures()
        .Add("frames", frames)
        .Add("scene", scene)
        .Add("timerTick", tick)
        .Add("timerTickClipped", clippedTick)
        .Add("timerTickKept", keptTick)
        .Write(outPath, app.backgroundPicture != nullptr && app.fontResource != nullptr);
}
