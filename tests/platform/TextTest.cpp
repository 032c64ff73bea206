#include "platform/Text.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(ReadWholeFileUtf8, ReturnsTheBytesUnchanged) {
    TempDir temp;
    const std::string bytes = "\xEF\xBB\xBF{\"version\": \"1\"}\r\n\x00\xFF";
    WriteBytes(temp / L"response.txt", bytes);
    EXPECT_EQ(ReadWholeFileUtf8(temp / L"response.txt", "fallback"), bytes);
    WriteBytes(temp / L"empty.txt", "");
    EXPECT_EQ(ReadWholeFileUtf8(temp / L"empty.txt", "fallback"), "");
}

TEST(ReadWholeFileUtf8, MissingOrUnreadableGivesTheFallback) {
    TempDir temp;
    EXPECT_EQ(ReadWholeFileUtf8(temp / L"version.txt", "0.0.0"), "0.0.0");
    EXPECT_EQ(ReadWholeFileUtf8(temp.Path(), "0.0.0"), "0.0.0");
}

TEST(ReadWholeFileUtf8, ReadsUpTo64MiB) {
    TempDir temp;
    const size_t limit = 64u * 1024 * 1024;
    std::string bytes(limit, 'v');
    bytes[limit - 1] = 'z';
    WriteBytes(temp / L"limit.txt", bytes);
    const std::string read = ReadWholeFileUtf8(temp / L"limit.txt", "fallback");
    EXPECT_EQ(read.size(), limit);
    EXPECT_EQ(read.back(), 'z');

    bytes.push_back('!');
    WriteBytes(temp / L"over.txt", bytes);
    EXPECT_EQ(ReadWholeFileUtf8(temp / L"over.txt", "fallback"), "fallback");
}

TEST(Utf8ToWide, ConvertsAndReplacesInvalidBytes) {
    EXPECT_EQ(Utf8ToWide("\xD0\x97\xD0\xB0\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA"), L"Запуск");
    EXPECT_EQ(Utf8ToWide("\xFF"), L"\xFFFD");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("1.2.3"), L"1.2.3");
}
