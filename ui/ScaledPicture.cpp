#include "ui/ScaledPicture.h"

#include <algorithm>
#include <cmath>

namespace {

BITMAPINFO TopDownInfo(SIZE size) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = -size.cy; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// The pixels of a bitmap picture (a decoded JPEG, BMP or GIF), or none.
bool ReadPixels(IPicture* picture, SIZE& size, std::vector<uint32_t>& pixels) {
    SHORT type = PICTYPE_UNINITIALIZED;
    OLE_HANDLE handle = 0;
    if (FAILED(picture->get_Type(&type)) || type != PICTYPE_BITMAP ||
        FAILED(picture->get_Handle(&handle)) || handle == 0)
        return false;
    const auto bitmap = reinterpret_cast<HBITMAP>(static_cast<UINT_PTR>(handle));
    BITMAP header{};
    if (GetObjectW(bitmap, sizeof(header), &header) == 0 || header.bmWidth <= 0 ||
        header.bmHeight <= 0)
        return false;
    size = {header.bmWidth, header.bmHeight};
    pixels.assign(static_cast<size_t>(size.cx) * size.cy, 0);
    BITMAPINFO info = TopDownInfo(size);
    const HDC screen = GetDC(nullptr);
    const int rows = GetDIBits(screen, bitmap, 0, static_cast<UINT>(size.cy), pixels.data(), &info,
                               DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    return rows == size.cy;
}

// For each pixel of the new size along one axis: the first old pixel it
// takes from, and the weights of that one and the following ones.
struct Taps {
    int first = 0;
    std::vector<float> weights;
};

std::vector<Taps> TapsFor(int from, int to) {
    const double ratio = static_cast<double>(from) / to;
    // At least a pixel either side: every centre lies within half a pixel
    // of an old pixel, so each new one takes from one at least.
    const double reach = std::max(ratio, 1.0);
    std::vector<Taps> all(static_cast<size_t>(to));
    for (int i = 0; i < to; ++i) {
        const double centre = (i + 0.5) * ratio - 0.5;
        const int first = std::max(static_cast<int>(std::floor(centre - reach)) + 1, 0);
        const int last = std::min(static_cast<int>(std::ceil(centre + reach)) - 1, from - 1);
        Taps& taps = all[static_cast<size_t>(i)];
        taps.first = first;
        double total = 0;
        for (int j = first; j <= last; ++j) {
            const double weight = std::max(0.0, 1.0 - std::fabs(j - centre) / reach);
            taps.weights.push_back(static_cast<float>(weight));
            total += weight;
        }
        for (float& weight : taps.weights)
            weight = static_cast<float>(weight / total);
    }
    return all;
}

uint32_t Channel(uint32_t pixel, int shift) {
    return (pixel >> shift) & 0xFF;
}

} // namespace

std::vector<uint32_t> ResamplePixels(const std::vector<uint32_t>& pixels, SIZE from, SIZE to) {
    if (from.cx == to.cx && from.cy == to.cy)
        return pixels;
    const std::vector<Taps> across = TapsFor(from.cx, to.cx);
    const std::vector<Taps> down = TapsFor(from.cy, to.cy);
    // Across first, into three channels per pixel, then down.
    std::vector<float> rows(static_cast<size_t>(to.cx) * from.cy * 3);
    for (int y = 0; y < from.cy; ++y) {
        const uint32_t* source = pixels.data() + static_cast<size_t>(y) * from.cx;
        float* target = rows.data() + static_cast<size_t>(y) * to.cx * 3;
        for (int x = 0; x < to.cx; ++x) {
            const Taps& taps = across[static_cast<size_t>(x)];
            float channels[3] = {0, 0, 0};
            for (size_t k = 0; k < taps.weights.size(); ++k) {
                const uint32_t pixel = source[taps.first + static_cast<int>(k)];
                for (int c = 0; c < 3; ++c)
                    channels[c] += taps.weights[k] * static_cast<float>(Channel(pixel, 8 * c));
            }
            for (int c = 0; c < 3; ++c)
                target[x * 3 + c] = channels[c];
        }
    }
    std::vector<uint32_t> result(static_cast<size_t>(to.cx) * to.cy);
    for (int y = 0; y < to.cy; ++y) {
        const Taps& taps = down[static_cast<size_t>(y)];
        for (int x = 0; x < to.cx; ++x) {
            float channels[3] = {0, 0, 0};
            for (size_t k = 0; k < taps.weights.size(); ++k) {
                const float* source =
                    rows.data() + (static_cast<size_t>(taps.first) + k) * to.cx * 3 + x * 3;
                for (int c = 0; c < 3; ++c)
                    channels[c] += taps.weights[k] * source[c];
            }
            uint32_t pixel = 0;
            for (int c = 0; c < 3; ++c) {
                const long value = std::clamp(std::lround(channels[c]), 0L, 255L);
                pixel |= static_cast<uint32_t>(value) << (8 * c);
            }
            result[static_cast<size_t>(y) * to.cx + x] = pixel;
        }
    }
    return result;
}

bool ScaledPicture::Draw(HDC dc, IPicture* picture, const RECT& rect) {
    const SIZE size = {rect.right - rect.left, rect.bottom - rect.top};
    if (picture == nullptr || size.cx <= 0 || size.cy <= 0)
        return false;
    if (picture != source_) {
        Clear();
        if (!ReadPixels(picture, sourceSize_, sourcePixels_)) {
            Clear();
            return false;
        }
        source_ = picture;
    }
    if (size.cx != size_.cx || size.cy != size_.cy) {
        pixels_ = ResamplePixels(sourcePixels_, sourceSize_, size);
        size_ = size;
    }
    BITMAPINFO info = TopDownInfo(size_);
    StretchDIBits(dc, rect.left, rect.top, size.cx, size.cy, 0, 0, size.cx, size.cy, pixels_.data(),
                  &info, DIB_RGB_COLORS, SRCCOPY);
    return true;
}

void ScaledPicture::Clear() {
    source_ = nullptr;
    sourceSize_ = {0, 0};
    sourcePixels_.clear();
    size_ = {0, 0};
    pixels_.clear();
}
