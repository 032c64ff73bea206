#pragma once
// A 32-bit top-down memory bitmap that painters draw on, with direct access
// to its pixels (0x00RRGGBB plus alpha in the top byte).

#include <windows.h>

#include <cstdint>

class Canvas {
public:
    Canvas(int width, int height, uint32_t fill = 0);
    ~Canvas();
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    HDC Dc() const { return dc_; }
    uint32_t At(int x, int y) const { return pixels_[y * width_ + x]; }
    // The colour as a COLORREF, alpha dropped.
    COLORREF ColorAt(int x, int y) const;
    int Width() const { return width_; }

private:
    int width_;
    int height_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ previous_ = nullptr;
    uint32_t* pixels_ = nullptr;
};

// Colour channels within a tolerance (blending may round either way).
bool Near(COLORREF a, COLORREF b, int tolerance = 1);
