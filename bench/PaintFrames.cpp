// The window's paint path timed frame by frame with the launcher's real
// resources (InitUi loads them from this program's own copy of launcher.rc):
// the three painters of WM_PAINT on an off-screen DC of the client's size,
// where the background's time goes, and the whole WM_PAINT of a timer tick of
// the sweeping bar, as the launcher does it and as it could.

#include "bench/Bench.h"

#include "app/LauncherApp.h"
#include "platform/Guards.h"

#include <algorithm>
#include <functional>
#include <vector>

namespace {

const int kClientWidth = 680;
const int kClientHeight = 470;
const int kWarmUpFrames = 20;
const int kSweepStep = 18; // what one timer tick adds

// The frame is drawn kWarmUpFrames + frames times and calls lap() at the end
// of each part it times. In milliseconds over the frames after the warm-up:
struct Timing {
    std::vector<double> partMeans;
    std::vector<double> sortedFrames; // each frame's whole time
};

using Frame = std::function<void(const std::function<void()>& lap)>;

Timing Measure(int frames, const Frame& frame) {
    Timing timing;
    for (int i = -kWarmUpFrames; i < frames; ++i) {
        const double start = NowSeconds();
        double last = start;
        size_t part = 0;
        frame([&] {
            const double now = NowSeconds();
            timing.partMeans.resize(std::max(timing.partMeans.size(), part + 1));
            timing.partMeans[part++] += i < 0 ? 0 : 1000 * (now - last) / frames;
            last = now;
        });
        if (i >= 0)
            timing.sortedFrames.push_back(1000 * (last - start));
    }
    std::sort(timing.sortedFrames.begin(), timing.sortedFrames.end());
    return timing;
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
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"VornBenchPaintWindow";
    RegisterClassExW(&windowClass);
    LauncherApp app;
    app.instance = windowClass.hInstance;
    // A popup has no frame: its client area is the launcher's. It is never shown.
    app.window =
        CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP | WS_CLIPCHILDREN, 0, 0,
                        kClientWidth, kClientHeight, nullptr, nullptr, app.instance, nullptr);
    if (app.window == nullptr)
        return 1;
    app.InitUi();
    app.progress = -1;
    const HDC windowDc = GetDC(app.window);
    const RECT& bar = app.progressRect;
    Buffer scene(windowDc);
    const Timing painters = Measure(frames, [&](const auto& lap) {
        app.marqueeOffset += kSweepStep;
        app.DrawWindowBackground(scene.dc.Get());
        lap();
        app.DrawHeaderTexts(scene.dc.Get());
        lap();
        app.DrawProgressBar(scene.dc.Get());
        GdiFlush();
        lap();
    });
    // One timer tick as WM_PAINT does it for the invalidated bar, buffer
    // included; clipped to the bar as the launcher paints it, or not.
    auto measureTicks = [&](bool clipped) {
        return Measure(frames, [&](const auto& lap) {
            app.marqueeOffset += kSweepStep;
            {
                Buffer buffer(windowDc);
                if (clipped)
                    IntersectClipRect(buffer.dc.Get(), bar.left, bar.top, bar.right, bar.bottom);
                app.DrawWindowBackground(buffer.dc.Get());
                app.DrawHeaderTexts(buffer.dc.Get());
                app.DrawProgressBar(buffer.dc.Get());
                BitBlt(windowDc, bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top,
                       buffer.dc.Get(), bar.left, bar.top, SRCCOPY);
            }
            GdiFlush();
            lap();
        });
    };
    const Timing tick = measureTicks(false);
    // Where DrawWindowBackground's time goes: the picture stretched over the
    // client, and the shadow and panel built pixel by pixel and alpha-blended.
    OLE_XSIZE_HIMETRIC pictureWidth = 0;
    OLE_YSIZE_HIMETRIC pictureHeight = 0;
    if (app.backgroundPicture != nullptr) {
        app.backgroundPicture->get_Width(&pictureWidth);
        app.backgroundPicture->get_Height(&pictureHeight);
    }
    RECT shadowRect = app.panelRect;
    OffsetRect(&shadowRect, 0, 6);
    const HDC dc = scene.dc.Get();
    const Timing background = Measure(frames, [&](const auto& lap) {
        if (app.backgroundPicture != nullptr)
            app.backgroundPicture->Render(dc, 0, 0, kClientWidth, kClientHeight, 0, pictureHeight,
                                          pictureWidth, -pictureHeight, nullptr);
        GdiFlush();
        lap();
        app.DrawRoundedAlphaRect(dc, shadowRect, 18, RGB(0x78, 0x78, 0x82), 36,
                                 RGB(0x78, 0x78, 0x82), 36);
        GdiFlush();
        lap();
        app.DrawRoundedAlphaRect(dc, app.panelRect, 18, app.panelFillColor, app.panelAlpha,
                                 app.panelBorderColor, 255);
        GdiFlush();
        lap();
    });
    const Timing clippedTick = measureTicks(true);
    // And with the scene behind the bar kept from one frame to the next: a
    // tick copies the bar's part of it back, draws the bar and shows it.
    app.DrawWindowBackground(dc);
    app.DrawHeaderTexts(dc);
    Buffer back(windowDc);
    const int width = bar.right - bar.left;
    const int height = bar.bottom - bar.top + 3; // the bar's shadow lies below it
    const Timing keptTick = Measure(frames, [&](const auto& lap) {
        app.marqueeOffset += kSweepStep;
        BitBlt(back.dc.Get(), bar.left, bar.top, width, height, dc, bar.left, bar.top, SRCCOPY);
        app.DrawProgressBar(back.dc.Get());
        BitBlt(windowDc, bar.left, bar.top, width, height, back.dc.Get(), bar.left, bar.top,
               SRCCOPY);
        GdiFlush();
        lap();
    });
    ReleaseDC(app.window, windowDc);
    // What InitUi made goes with the process, which ends now.
    const std::vector<double>& whole = painters.sortedFrames;
    return Figures()
        .Add("frames", static_cast<double>(whole.size()))
        .Add("scene", painters.partMeans[0] + painters.partMeans[1] + painters.partMeans[2])
        .Add("sceneMedianMs", whole[whole.size() / 2])
        .Add("sceneMinMs", whole.front())
        .Add("sceneMaxMs", whole.back())
        .Add("drawWindowBackground", painters.partMeans[0])
        .Add("drawHeaderTexts", painters.partMeans[1])
        .Add("drawProgressBar", painters.partMeans[2])
        .Add("timerTickPaint", tick.partMeans[0])
        .Add("backgroundPicture", background.partMeans[0])
        .Add("panelShadow", background.partMeans[1])
        .Add("panel", background.partMeans[2])
        .Add("timerTickPaintClipped", clippedTick.partMeans[0])
        .Add("timerTickPaintCached", keptTick.partMeans[0])
        .Write(outPath, app.backgroundPicture != nullptr && app.fontResource != nullptr);
}
