#include "platform/files/Paths.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(JoinPath, InsertsOneBackslashOnlyWhenNeeded) {
    EXPECT_EQ(JoinPath(L"C:\\Games\\", L"Save"), L"C:\\Games\\Save");
    EXPECT_EQ(JoinPath(L"C:/Games/", L"Save"), L"C:/Games/Save");
    EXPECT_EQ(JoinPath(L"C:\\Games", L"Save"), L"C:\\Games\\Save");
}

TEST(JoinPath, EmptyPartsAndSecondPartTakenUnchanged) {
    EXPECT_EQ(JoinPath(L"", L"Save"), L"Save");
    EXPECT_EQ(JoinPath(L"Save", L""), L"Save");
    EXPECT_EQ(JoinPath(L"", L""), L"");
    EXPECT_EQ(JoinPath(L"C:\\Games", L"\\Save"), L"C:\\Games\\\\Save");
    EXPECT_EQ(JoinPath(L"C:\\Games", L"D:\\x"), L"C:\\Games\\D:\\x");
}

TEST(ParentPath, EverythingBeforeTheLastSeparator) {
    EXPECT_EQ(ParentPath(L"C:\\Games\\game_online"), L"C:\\Games");
    EXPECT_EQ(ParentPath(L"C:\\Games\\game_online\\"), L"C:\\Games\\game_online");
    EXPECT_EQ(ParentPath(L"Game.exe"), L"");
    EXPECT_EQ(ParentPath(L"a/b\\c"), L"a/b");
    EXPECT_EQ(ParentPath(L"a\\b/c"), L"a\\b");
    EXPECT_EQ(ParentPath(L"C:\\"), L"C:");
    EXPECT_EQ(ParentPath(L"\\Games"), L"");
}

TEST(FileNameOf, EverythingAfterTheLastSeparator) {
    EXPECT_EQ(FileNameOf(L"C:\\Games\\game_online"), L"game_online");
    EXPECT_EQ(FileNameOf(L"C:\\Games\\game_online\\"), L"");
    EXPECT_EQ(FileNameOf(L"Game.exe"), L"Game.exe");
    EXPECT_EQ(FileNameOf(L"a\\b/c.txt"), L"c.txt");
}

TEST(ToLowerW, LowersLettersAndKeepsTheRest) {
    EXPECT_EQ(ToLowerW(L"GAME_Online"), L"game_online");
    EXPECT_EQ(ToLowerW(L"Game.EXE 09_-"), L"game.exe 09_-");
    EXPECT_EQ(ToLowerW(L"").size(), 0u);
}

TEST(IsPlainFileName, OnlyOneFileRightInsideTheFolder) {
    for (const wchar_t* good : {L"Game.exe", L"Vorn RPG.exe", L"игра.exe", L".hidden.exe",
                                L"CONSOLE.exe", L"COM0.exe", L"COM10.exe"})
        EXPECT_TRUE(IsPlainFileName(good)) << ToUtf8(good);
    for (const wchar_t* bad : {L"",
                               L".",
                               L"..",
                               L"...",
                               L" ",
                               L"..\\..\\tool.exe",
                               L"bin/Game.exe",
                               L"bin\\Game.exe",
                               L"C:Game.exe",
                               L"Game.exe:stream",
                               L"\\\\server\\share\\x.exe",
                               L"a<b.exe",
                               L"a|b.exe",
                               L"a?b.exe",
                               L"a*b.exe",
                               L"a\"b.exe",
                               L"tab\tname.exe",
                               L"CON",
                               L"nul.exe",
                               L"Com1.exe",
                               L"LPT9",
                               L"COM\u00B9.exe",
                               L"lpt\u00B2",
                               L"COM\u00B3 .exe"})
        EXPECT_FALSE(IsPlainFileName(bad)) << ToUtf8(bad);
}
