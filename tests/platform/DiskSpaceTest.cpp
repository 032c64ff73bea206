#include "platform/files/DiskSpace.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(FormatShortfall, RoundsUpInGigabytesWithADecimalCommaOrInMegabytes) {
    const unsigned long long mib = 1024ull * 1024;
    const unsigned long long gib = 1024 * mib;
    EXPECT_EQ(FormatShortfall(gib + gib / 5), L"1,2 ГБ");
    EXPECT_EQ(FormatShortfall(gib + 1), L"1,1 ГБ");
    EXPECT_EQ(FormatShortfall(gib), L"1,0 ГБ");
    EXPECT_EQ(FormatShortfall(12 * gib + gib / 2), L"12,5 ГБ");
    EXPECT_EQ(FormatShortfall(gib - 1), L"1,0 ГБ");
    EXPECT_EQ(FormatShortfall(gib - mib), L"1023 МБ");
    EXPECT_EQ(FormatShortfall(350 * mib), L"350 МБ");
    EXPECT_EQ(FormatShortfall(1), L"1 МБ");
}
