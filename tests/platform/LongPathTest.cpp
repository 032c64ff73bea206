#include "platform/files/LongPath.h"

#include <gtest/gtest.h>

TEST(ExtendedLengthPath, GivesTheLongFormOfWhatWindowsWouldOpen) {
    EXPECT_EQ(ExtendedLengthPath(L"C:\\Games\\Vorn\\game.zip"),
              L"\\\\?\\C:\\Games\\Vorn\\game.zip");
    EXPECT_EQ(ExtendedLengthPath(L"C:/Games/./Vorn/../x.txt"), L"\\\\?\\C:\\Games\\x.txt");
    EXPECT_EQ(ExtendedLengthPath(L"\\\\server\\share\\a.txt"), L"\\\\?\\UNC\\server\\share\\a.txt");
    EXPECT_EQ(ExtendedLengthPath(L"\\\\?\\C:\\a/b"), L"\\\\?\\C:\\a/b");
    const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\f.txt";
    EXPECT_EQ(ExtendedLengthPath(deep), L"\\\\?\\" + deep);
}
