#include "platform/files/FileOps.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(ReadWholeFile, ReturnsTheBytesUnchanged) {
    TempDir temp;
    const std::string bytes = "\xEF\xBB\xBF{\"version\": \"1\"}\r\n\x00\xFF";
    WriteBytes(temp / L"response.txt", bytes);
    EXPECT_EQ(ReadWholeFile(temp / L"response.txt", "fallback"), bytes);
    WriteBytes(temp / L"empty.txt", "");
    EXPECT_EQ(ReadWholeFile(temp / L"empty.txt", "fallback"), "");
}

TEST(ReadWholeFile, MissingOrUnreadableGivesTheFallback) {
    TempDir temp;
    EXPECT_EQ(ReadWholeFile(temp / L"version.txt", "0.0.0"), "0.0.0");
    EXPECT_EQ(ReadWholeFile(temp.Path(), "0.0.0"), "0.0.0");
}

TEST(ReadWholeFile, ReadsUpTo64MiB) {
    TempDir temp;
    const size_t limit = 64u * 1024 * 1024;
    std::string bytes(limit, 'v');
    bytes[limit - 1] = 'z';
    WriteBytes(temp / L"limit.txt", bytes);
    const std::string read = ReadWholeFile(temp / L"limit.txt", "fallback");
    EXPECT_EQ(read.size(), limit);
    EXPECT_EQ(read.back(), 'z');

    bytes.push_back('!');
    WriteBytes(temp / L"over.txt", bytes);
    EXPECT_EQ(ReadWholeFile(temp / L"over.txt", "fallback"), "fallback");
}
