#include "platform/Text.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(Utf8ToWide, ConvertsAndReplacesInvalidBytes) {
    EXPECT_EQ(Utf8ToWide("\xD0\x97\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA"), L"Запуск");
    EXPECT_EQ(Utf8ToWide("\xFF"), L"\xFFFD");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("1.2.3"), L"1.2.3");
}
