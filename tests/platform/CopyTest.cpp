#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

// source\Save\slot1.sav, source\Save\Deep\slot2.sav, source\top.txt
std::wstring MakeSourceTree(const TempDir& temp) {
    const std::wstring source = temp / L"source";
    EnsureDir(source + L"\\Save\\Deep");
    WriteBytes(source + L"\\top.txt", "top");
    WriteBytes(source + L"\\Save\\slot1.sav", "slot one");
    WriteBytes(source + L"\\Save\\Deep\\slot2.sav", std::string(70000, 's'));
    return source;
}

} // namespace

TEST(CopySingleFile, ReplacesAReadOnlyDestinationAndMakesItsFolders) {
    TempDir temp;
    WriteBytes(temp / L"nickname.json", "{\"nick\":\"new\"}");
    const std::wstring destination = temp / L"backup\\ModScripts\\multiplayer\\nickname.json";
    CopySingleFile(temp / L"nickname.json", destination);
    EXPECT_EQ(ReadBytes(destination), "{\"nick\":\"new\"}");

    WriteBytes(temp / L"nickname.json", "second");
    SetFileAttributesW(destination.c_str(), FILE_ATTRIBUTE_READONLY);
    CopySingleFile(temp / L"nickname.json", destination);
    EXPECT_EQ(ReadBytes(destination), "second");
}

TEST(CopySingleFile, MissingSourceOrFolderSourceIsSkipped) {
    TempDir temp;
    WriteBytes(temp / L"dest.txt", "old");
    EXPECT_EQ(RaisedText([&] { CopySingleFile(temp / L"missing.txt", temp / L"dest.txt"); }),
              L"<no error>");
    EnsureDir(temp / L"folder");
    CopySingleFile(temp / L"folder", temp / L"dest.txt");
    EXPECT_EQ(ReadBytes(temp / L"dest.txt"), "old");
}

TEST(CopySingleFile, FailureNamesBothPaths) {
    TempDir temp;
    WriteBytes(temp / L"source.txt", "x");
    EnsureDir(temp / L"folder");
    EXPECT_EQ(RaisedText([&] { CopySingleFile(temp / L"source.txt", temp / L"folder"); }),
              L"Не удалось скопировать '" + (temp / L"source.txt") + L"' -> '" +
                  (temp / L"folder") + L"': " + GetWinErrorMessage(ERROR_ACCESS_DENIED));
}

TEST(CopyDirectoryContents, CopiesTheTreeAndKeepsOtherContent) {
    TempDir temp;
    const std::wstring source = MakeSourceTree(temp);
    const std::wstring destination = temp / L"dest";
    EnsureDir(destination + L"\\Save");
    WriteBytes(destination + L"\\extra.txt", "extra");
    WriteBytes(destination + L"\\Save\\slot1.sav", "stale");
    SetFileAttributesW((destination + L"\\Save\\slot1.sav").c_str(), FILE_ATTRIBUTE_READONLY);

    CopyDirectoryContents(source, destination);
    EXPECT_EQ(ReadBytes(destination + L"\\top.txt"), "top");
    EXPECT_EQ(ReadBytes(destination + L"\\Save\\slot1.sav"), "slot one");
    EXPECT_EQ(ReadBytes(destination + L"\\Save\\Deep\\slot2.sav"), std::string(70000, 's'));
    EXPECT_EQ(ReadBytes(destination + L"\\extra.txt"), "extra");
    EXPECT_FALSE(Exists(destination + L"\\source"));
}

TEST(CopyDirectoryContents, MissingSourceIsAnError) {
    TempDir temp;
    EXPECT_EQ(RaisedText([&] { CopyDirectoryContents(temp / L"missing", temp / L"dest"); }),
              L"Не найдена папка источника: " + (temp / L"missing"));
    EXPECT_FALSE(Exists(temp / L"dest"));
}

TEST(CopyDirectoryContents, FailuresNameTheDestinationFile) {
    TempDir temp;
    const std::wstring source = MakeSourceTree(temp);
    const std::wstring destination = temp / L"dest";

    // A folder where the file must go.
    EnsureDir(destination + L"\\top.txt");
    EXPECT_EQ(RaisedText([&] { CopyDirectoryContents(source, destination); }),
              L"Нет доступа к '" + destination +
                  L"\\top.txt'.\nЗапусти лаунчер от имени администратора или перенеси игру из "
                  L"'Program Files'.");
    RemoveTreeWithRetries(destination + L"\\top.txt");

    // A destination file held open by another program.
    WriteBytes(destination + L"\\top.txt", "old");
    {
        HandleGuard held(CreateFileW((destination + L"\\top.txt").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                     nullptr));
        ASSERT_TRUE(held.Valid());
        EXPECT_EQ(RaisedText([&] { CopyDirectoryContents(source, destination); }),
                  L"Не удалось записать '" + destination +
                      L"\\top.txt'. Файл занят другим процессом.");
    }

    // A destination that is a file: its "folder" cannot hold anything.
    EnsureDir(temp / L"flat");
    WriteBytes(temp / L"flat\\top.txt", "top");
    WriteBytes(temp / L"plainfile", "x");
    EXPECT_EQ(RaisedText([&] { CopyDirectoryContents(temp / L"flat", temp / L"plainfile"); }),
              L"Не удалось записать '" + (temp / L"plainfile") + L"\\top.txt': " +
                  GetWinErrorMessage(ERROR_PATH_NOT_FOUND));
}

TEST(CopyFolder, ReplacesTheDestinationByAnExactCopy) {
    TempDir temp;
    const std::wstring source = MakeSourceTree(temp);
    const std::wstring destination = temp / L"backup\\game_online\\Save";
    EnsureDir(destination + L"\\Old");
    WriteBytes(destination + L"\\Old\\gone.sav", "old");
    SetFileAttributesW((destination + L"\\Old\\gone.sav").c_str(), FILE_ATTRIBUTE_READONLY);

    CopyFolder(source + L"\\Save", destination);
    EXPECT_FALSE(Exists(destination + L"\\Old"));
    EXPECT_EQ(ReadBytes(destination + L"\\slot1.sav"), "slot one");
    EXPECT_EQ(ReadBytes(destination + L"\\Deep\\slot2.sav"), std::string(70000, 's'));
}

TEST(CopyFolder, MissingSourceLeavesTheDestinationUntouched) {
    TempDir temp;
    EnsureDir(temp / L"dest");
    WriteBytes(temp / L"dest\\keep.sav", "keep");
    EXPECT_EQ(RaisedText([&] { CopyFolder(temp / L"missing", temp / L"dest"); }), L"<no error>");
    EXPECT_EQ(ReadBytes(temp / L"dest\\keep.sav"), "keep");
}

TEST(CopyFolder, EmptySourceGivesEmptyDestination) {
    TempDir temp;
    EnsureDir(temp / L"Save");
    CopyFolder(temp / L"Save", temp / L"backup\\Save");
    EXPECT_TRUE(IsFolder(temp / L"backup\\Save"));
    EXPECT_TRUE(ListDirectory(temp / L"backup\\Save").empty());
}

TEST(CopyFolder, LinksAreLeftOutNeverFollowed) {
    // The fixture: links\loop\Save holds slot.sav and "again", a symbolic
    // link to Save itself.
    const std::wstring save = TestEnvDir() + L"\\links\\loop\\Save";
    if (!Exists(save + L"\\again"))
        GTEST_SKIP() << "the link fixture is made by the test environment set-up";
    TempDir temp;
    const std::wstring backup = temp / L"backup\\Save";
    CopyFolder(save, backup);
    EXPECT_EQ(ReadBytes(backup + L"\\slot.sav"), "slot\n");
    EXPECT_FALSE(Exists(backup + L"\\again"));
}
