// The window's paint. Everything behind the bar (background, picture, panel,
// title and status line) is drawn once into a kept bitmap, and again only
// when the status text or the window's size changes; a paint copies the
// invalidated part of it into the frame, draws the bar over that and shows
// it. A tick of the sweeping bar thus costs one small copy and the bar.

#include "app/LauncherApp.h"

namespace {

// A bitmap the size of the client area, compatible with the window's DC.
bool MakeBitmap(GdiObjectGuard& bitmap, HDC dc, SIZE size) {
    bitmap.Reset(CreateCompatibleBitmap(dc, size.cx, size.cy));
    return bitmap.Get() != nullptr;
}

} // namespace

void LauncherApp::PaintWindow(HDC dc, const RECT& update) {
    RECT client{};
    GetClientRect(window, &client);
    const SIZE size = {client.right - client.left, client.bottom - client.top};
    if (size.cx != sceneSize.cx || size.cy != sceneSize.cy || sceneBitmap.Get() == nullptr ||
        frameBitmap.Get() == nullptr) {
        sceneDrawn = false;
        sceneSize = size;
        if (!MakeBitmap(sceneBitmap, dc, size) || !MakeBitmap(frameBitmap, dc, size))
            sceneSize = {0, 0};
    }
    DcGuard sceneDc(CreateCompatibleDC(dc));
    DcGuard frameDc(CreateCompatibleDC(dc));
    if (sceneSize.cx == 0 || sceneDc.Get() == nullptr || frameDc.Get() == nullptr) {
        // Without off-screen bitmaps the scene goes straight to the window.
        DrawWindowBackground(dc);
        DrawHeaderTexts(dc);
        DrawProgressBar(dc);
        return;
    }
    SelectGuard selectScene(sceneDc.Get(), sceneBitmap.Get());
    if (!sceneDrawn || sceneStatusText != statusText) {
        DrawWindowBackground(sceneDc.Get());
        DrawHeaderTexts(sceneDc.Get());
        sceneStatusText = statusText;
        sceneDrawn = true;
    }
    SelectGuard selectFrame(frameDc.Get(), frameBitmap.Get());
    const int width = update.right - update.left;
    const int height = update.bottom - update.top;
    BitBlt(frameDc.Get(), update.left, update.top, width, height, sceneDc.Get(), update.left,
           update.top, SRCCOPY);
    // The bar is drawn only where the frame was refreshed.
    IntersectClipRect(frameDc.Get(), update.left, update.top, update.right, update.bottom);
    DrawProgressBar(frameDc.Get());
    BitBlt(dc, update.left, update.top, width, height, frameDc.Get(), update.left, update.top,
           SRCCOPY);
}
