// The pictures' resampling: unchanged at their own size, and shrunk
// without aliasing.

#include "ui/ScaledPicture.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(ScaledPicture, ResamplingAveragesInsteadOfDroppingPixels) {
    // One-pixel black and white squares, the worst case for aliasing.
    const SIZE board = {64, 40};
    std::vector<uint32_t> pixels(64 * 40);
    for (int y = 0; y < board.cy; ++y)
        for (int x = 0; x < board.cx; ++x)
            pixels[y * 64 + x] = (x + y) % 2 != 0 ? 0xFFFFFF : 0;
    EXPECT_EQ(ResamplePixels(pixels, board, board), pixels);
    // Shrunk by 2 and by 1.6 (the large background at 120 DPI): every pixel
    // is near the squares' mean grey, never a black or white square that
    // happened to be picked.
    for (SIZE size : {SIZE{32, 20}, SIZE{40, 25}}) {
        const std::vector<uint32_t> scaled = ResamplePixels(pixels, board, size);
        ASSERT_EQ(scaled.size(), static_cast<size_t>(size.cx * size.cy));
        int offGrey = 0;
        for (int y = 1; y < size.cy - 1; ++y)
            for (int x = 1; x < size.cx - 1; ++x)
                offGrey += std::abs(static_cast<int>(scaled[y * size.cx + x] & 0xFF) - 128) > 40;
        EXPECT_EQ(offGrey, 0) << size.cx << "x" << size.cy;
    }
}
