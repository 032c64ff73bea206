#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

TEST(EnsureDir, CreatesEveryMissingLevel) {
    TempDir temp;
    const std::wstring deep = temp / L"a\\b\\c\\d";
    EnsureDir(deep);
    EXPECT_TRUE(IsFolder(temp / L"a"));
    EXPECT_TRUE(IsFolder(temp / L"a\\b\\c"));
    EXPECT_TRUE(IsFolder(deep));
}

TEST(EnsureDir, AcceptsWhatAlreadyStands) {
    TempDir temp;
    EnsureDir(temp.Path());
    EnsureDir(L"");
    WriteBytes(temp / L"file.txt", "data");
    EXPECT_EQ(RaisedText([&] { EnsureDir(temp / L"file.txt"); }), L"<no error>");
    EXPECT_TRUE(IsFile(temp / L"file.txt"));
    EXPECT_EQ(ReadBytes(temp / L"file.txt"), "data");
}

TEST(EnsureDir, FailureNamesTheFolderAndTheSystemReason) {
    TempDir temp;
    WriteBytes(temp / L"file.txt", "data");
    const std::wstring underFile = temp / L"file.txt\\sub";
    EXPECT_EQ(RaisedText([&] { EnsureDir(underFile); }),
              L"Не удалось создать папку '" + underFile + L"': " +
                  GetWinErrorMessage(ERROR_PATH_NOT_FOUND));

    const std::wstring badName = temp / L"bad<name";
    EXPECT_EQ(RaisedText([&] { EnsureDir(badName); }), L"Не удалось создать папку '" + badName +
                                                           L"': " +
                                                           GetWinErrorMessage(ERROR_INVALID_NAME));
}

TEST(ListDirectory, ListsEntriesWithoutDotsAndKnowsFolders) {
    TempDir temp;
    EnsureDir(temp / L"Save");
    WriteBytes(temp / L"Game.exe", "MZ");
    WriteBytes(temp / L"скрытый.txt", "");
    SetFileAttributesW((temp / L"скрытый.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);

    std::vector<DirEntry> entries = ListDirectory(temp.Path());
    std::sort(entries.begin(), entries.end(),
              [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, L"Game.exe");
    EXPECT_EQ(entries[0].fullPath, temp / L"Game.exe");
    EXPECT_FALSE(entries[0].isDirectory);
    EXPECT_EQ(entries[1].name, L"Save");
    EXPECT_TRUE(entries[1].isDirectory);
    EXPECT_EQ(entries[2].name, L"скрытый.txt");
}

TEST(ListDirectory, MissingOrEmptyFolderGivesNothing) {
    TempDir temp;
    EXPECT_TRUE(ListDirectory(temp.Path()).empty());
    EXPECT_TRUE(ListDirectory(temp / L"missing").empty());
    WriteBytes(temp / L"file.txt", "x");
    EXPECT_TRUE(ListDirectory(temp / L"file.txt").empty());
}
