#pragma once
// A picture drawn at any size with a filter that does not alias: its pixels
// are read once, resampled once for each new size, and copied at each paint.
// Each pixel of a shrunk picture averages the whole area it covers (a tent
// filter as wide as the shrink); an enlarged one is interpolated between its
// nearest pixels. At the picture's own size its pixels are copied unchanged.

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdint>
#include <vector>

class ScaledPicture {
public:
    // Draws the picture stretched over the rectangle, within the DC's clip.
    // False when the picture holds no bitmap whose pixels can be read.
    bool Draw(HDC dc, IPicture* picture, const RECT& rect);
    // Forgets the picture and its resampled copy (the picture is going away).
    void Clear();

private:
    IPicture* source_ = nullptr;
    SIZE sourceSize_ = {0, 0};
    std::vector<uint32_t> sourcePixels_;
    SIZE size_ = {0, 0};
    std::vector<uint32_t> pixels_;
};

// Resamples 32-bit pixels (blue, green, red, unused) from one size to another.
std::vector<uint32_t> ResamplePixels(const std::vector<uint32_t>& pixels, SIZE from, SIZE to);
