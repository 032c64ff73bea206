#include "platform/Errors.h"

#include "platform/Text.h"

#include <gtest/gtest.h>

#include <algorithm>

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
    // The suite runs in the Russian locale of the players' Windows: the text
    // is the system's own for the code, in Cyrillic letters.
    if (PRIMARYLANGID(GetUserDefaultUILanguage()) != LANG_RUSSIAN)
        GTEST_SKIP() << "not running in the Russian locale";
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    ASSERT_GT(length, 0u);
    const std::wstring system(buffer, length);
    LocalFree(buffer);
    const std::wstring text = GetWinErrorMessage(ERROR_ACCESS_DENIED);
    EXPECT_EQ(text, TrimMessageEnd(system));
    EXPECT_TRUE(std::any_of(text.begin(), text.end(),
                            [](wchar_t unit) { return unit >= 0x0410 && unit <= 0x044F; }));
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

TEST(GetWinErrorMessage, NetworkCodesTakeWinInetsTextsOrNameTheCode) {
    HMODULE wininet = LoadLibraryW(L"wininet.dll");
    ASSERT_NE(wininet, nullptr);
    for (const DWORD code : {12002u, 12007u, 12029u, 12030u}) {
        wchar_t* buffer = nullptr;
        const DWORD length =
            FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           wininet, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
        ASSERT_GT(length, 0u) << code;
        const std::wstring expected = TrimMessageEnd(std::wstring(buffer, length));
        LocalFree(buffer);
        EXPECT_EQ(GetWinErrorMessage(code), expected) << code;
    }
    // Certificate and TLS codes without a text of the system's have ours.
    for (const DWORD code : {12057u, 12157u, 12175u}) {
        const std::wstring text = GetWinErrorMessage(code);
        EXPECT_EQ(text.find(L"Неизвестная"), std::wstring::npos) << code;
        EXPECT_TRUE(std::any_of(text.begin(), text.end(),
                                [](wchar_t unit) { return unit >= 0x0410 && unit <= 0x044F; }))
            << code;
    }
    // Neither table knows it.
    EXPECT_EQ(GetWinErrorMessage(12998), L"Неизвестная ошибка (код 12998)");
    FreeLibrary(wininet);
}
