#include "platform/Errors.h"
#include "pipeline/Manifest.h"

#include <gtest/gtest.h>

TEST(MakeError, CarriesTheMessageAsUtf8) {
    const std::wstring message = L"Не удалось: Запуск";
    const std::runtime_error error = MakeError(message);
    // "Не" "удалось" "Запуск": 15 Cyrillic letters of two bytes, 3 ASCII units.
    EXPECT_EQ(std::string(error.what()).size(), 15u * 2 + 3);
    EXPECT_EQ(Utf8ToWide(error.what()), message);
}

TEST(MakeError, EmptyMessageGivesEmptyError) {
    EXPECT_STREQ(MakeError(L"").what(), "");
}

TEST(GetWinErrorMessage, SystemTextLosesOnlyItsTrailingLineBreak) {
    const std::wstring text = GetWinErrorMessage(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text, L"Неизвестная ошибка");
    EXPECT_EQ(text.back(), L'.');
    EXPECT_EQ(text.find(L'\n'), std::wstring::npos);
}

TEST(GetWinErrorMessage, SpeaksThePlayersLanguage) {
    // The suite runs in the Russian locale of the players' Windows.
    if (PRIMARYLANGID(GetUserDefaultUILanguage()) != LANG_RUSSIAN)
        GTEST_SKIP() << "not running in the Russian locale";
    EXPECT_EQ(GetWinErrorMessage(ERROR_ACCESS_DENIED), L"Доступ запрещён.");
}

TEST(GetWinErrorMessage, CodeWithoutSystemTextIsUnknown) {
    EXPECT_EQ(GetWinErrorMessage(0x2000FFFF), L"Неизвестная ошибка");
}

TEST(TrimMessageEnd, RemovesOnlyTrailingBreaksAndSpaces) {
    EXPECT_EQ(TrimMessageEnd(L"Отказано.\r\n"), L"Отказано.");
    EXPECT_EQ(TrimMessageEnd(L"Текст.\r\n\r\n  "), L"Текст.");
    EXPECT_EQ(TrimMessageEnd(L"Строка\tс\r\nпереносом\t"), L"Строка\tс\r\nпереносом\t");
    EXPECT_EQ(TrimMessageEnd(L"  начало"), L"  начало");
    EXPECT_EQ(TrimMessageEnd(L"\r\n \n"), L"");
    EXPECT_EQ(TrimMessageEnd(L"Неизвестная ошибка"), L"Неизвестная ошибка");
}
