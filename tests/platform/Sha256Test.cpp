#include "platform/trust/Sha256.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

// The expected digests were computed outside Windows, with a reference SHA-256.

namespace {

// Bytes 0, 1, ..., 255, 0, 1, ... of the given length.
std::string Counting(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>(i & 0xFF);
    return bytes;
}

} // namespace

TEST(ComputeFileSha256, EmptyFile) {
    TempDir temp;
    WriteBytes(temp / L"empty", "");
    EXPECT_EQ(ComputeFileSha256(temp / L"empty"),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ComputeFileSha256, ShortText) {
    TempDir temp;
    WriteBytes(temp / L"abc", "abc");
    EXPECT_EQ(ComputeFileSha256(temp / L"abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(ComputeFileSha256, ExactlyOneChunkAndOneByteMore) {
    TempDir temp;
    WriteBytes(temp / L"one", Counting(262144));
    WriteBytes(temp / L"two", Counting(262145));
    EXPECT_EQ(ComputeFileSha256(temp / L"one"),
              "2312394bd99545d9de131c24efb781e765ac1aec243f2ed9347597a793a415e9");
    EXPECT_EQ(ComputeFileSha256(temp / L"two"),
              "c35991ad254f48ff8b02becb9f0cc56581e86a0b477b13e5ebb0030a3b91c848");
}

TEST(ComputeFileSha256, LargeFileOfManyChunks) {
    TempDir temp;
    WriteBytes(temp / L"large", Counting(5 * 1048576 + 17));
    EXPECT_EQ(ComputeFileSha256(temp / L"large"),
              "732df94bc2b263d03992bc8f8858ab72863d04ced999b95f3552fd2f48270a1d");
}

TEST(ComputeFileSha256, FolderOrMissingFileCannotBeOpened) {
    TempDir temp;
    EXPECT_EQ(RaisedText([&] { ComputeFileSha256(temp.Path()); }),
              L"Не удалось открыть файл для SHA-256: " + temp.Path());
    EXPECT_EQ(RaisedText([&] { ComputeFileSha256(temp / L"game.zip"); }),
              L"Не удалось открыть файл для SHA-256: " + (temp / L"game.zip"));
}

TEST(ComputeFileSha256, FileBeingWrittenCannotBeOpened) {
    // Read sharing only: a file another program holds open for writing is refused.
    TempDir temp;
    WriteBytes(temp / L"game.zip", "partial");
    HANDLE writer = CreateFileW((temp / L"game.zip").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const std::wstring text = RaisedText([&] { ComputeFileSha256(temp / L"game.zip"); });
    CloseHandle(writer);
    EXPECT_EQ(text, L"Не удалось открыть файл для SHA-256: " + (temp / L"game.zip"));
}
