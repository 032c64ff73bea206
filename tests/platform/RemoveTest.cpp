#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/files/FileFaults.h"
#include "platform/SystemLibraries.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

const wchar_t* const kDeleteAccessTail =
    L"'.\nСкорее всего файл только для чтения или лаунчер запущен без прав администратора.\n"
    L"Запусти лаунчер от имени администратора или перенеси игру из 'Program Files'.";

// Holds a file open the way a running game does: others may read, nobody
// may delete it.
HANDLE HoldOpen(const std::wstring& path, DWORD share = FILE_SHARE_READ) {
    return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

} // namespace

TEST(RemoveFileWithRetries, MissingFileCountsAsRemoved) {
    TempDir temp;
    EXPECT_EQ(RaisedText([&] { RemoveFileWithRetries(temp / L"missing.txt"); }), L"<no error>");
    EXPECT_EQ(RaisedText([&] { RemoveFileWithRetries(temp / L"no\\such\\file.txt"); }),
              L"<no error>");
}

TEST(RemoveFileWithRetries, ReadOnlyFileIsRemoved) {
    TempDir temp;
    const std::wstring file = temp / L"readonly.txt";
    WriteBytes(file, "data");
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
    RemoveFileWithRetries(file);
    EXPECT_FALSE(Exists(file));
}

TEST(RemoveFileWithRetries, FileInUseIsTriedForTwoSecondsThenReported) {
    TempDir temp;
    const std::wstring file = temp / L"Game.exe";
    WriteBytes(file, "MZ");
    HandleGuard held(HoldOpen(file));
    ASSERT_TRUE(held.Valid());

    const DWORD start = GetTickCount();
    EXPECT_EQ(RaisedText([&] { RemoveFileWithRetries(file); }),
              L"Не удалось удалить '" + file + L"'. Файл используется другим процессом.");
    // Eight attempts with a 250 ms pause after each: at least 7 pauses passed.
    EXPECT_GE(GetTickCount() - start, 7u * 250u);
    EXPECT_TRUE(Exists(file));
}

TEST(RemoveFileWithRetries, FileReleasedDuringTheRetriesIsRemoved) {
    TempDir temp;
    const std::wstring file = temp / L"Game.exe";
    WriteBytes(file, "MZ");
    HANDLE held = HoldOpen(file);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread releaser([held] {
        Sleep(600);
        CloseHandle(held);
    });
    const std::wstring text = RaisedText([&] { RemoveFileWithRetries(file); });
    releaser.join();
    EXPECT_EQ(text, L"<no error>");
    EXPECT_FALSE(Exists(file));
}

TEST(RemoveFileWithRetries, FolderInPlaceOfFileIsAccessDenied) {
    TempDir temp;
    const std::wstring folder = temp / L"Save";
    EnsureDir(folder);
    EXPECT_EQ(RaisedText([&] { RemoveFileWithRetries(folder); }),
              L"Нет доступа к '" + folder + kDeleteAccessTail);
}

TEST(RemoveFileWithRetries, OtherFailuresCarryTheSystemText) {
    TempDir temp;
    const std::wstring bad = temp / L"bad<name";
    EXPECT_EQ(RaisedText([&] { RemoveFileWithRetries(bad); }),
              L"Не удалось удалить '" + bad + L"': " + GetWinErrorMessage(ERROR_INVALID_NAME));
}

TEST(RemoveTreeWithRetries, RemovesNestedReadOnlyContent) {
    TempDir temp;
    const std::wstring root = temp / L"game_online";
    EnsureDir(root + L"\\Data\\Maps\\Deep");
    WriteBytes(root + L"\\Game.exe", "MZ");
    WriteBytes(root + L"\\Data\\Maps\\Deep\\map.bin", std::string(1000, 'm'));
    SetFileAttributesW((root + L"\\Game.exe").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((root + L"\\Data\\Maps\\Deep\\map.bin").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((root + L"\\Data\\Maps").c_str(), FILE_ATTRIBUTE_READONLY);
    RemoveTreeWithRetries(root);
    EXPECT_FALSE(Exists(root));
}

TEST(RemoveTreeWithRetries, LeavesFilesAndMissingPathsAlone) {
    TempDir temp;
    WriteBytes(temp / L"file.txt", "keep");
    RemoveTreeWithRetries(temp / L"file.txt");
    EXPECT_EQ(ReadBytes(temp / L"file.txt"), "keep");
    EXPECT_EQ(RaisedText([&] { RemoveTreeWithRetries(temp / L"missing"); }), L"<no error>");
}

TEST(RemoveTreeWithRetries, StopsAtAFileInUse) {
    TempDir temp;
    const std::wstring root = temp / L"game";
    EnsureDir(root);
    WriteBytes(root + L"\\Game.exe", "MZ");
    HandleGuard held(HoldOpen(root + L"\\Game.exe"));
    EXPECT_EQ(RaisedText([&] { RemoveTreeWithRetries(root); }),
              L"Не удалось удалить '" + root + L"\\Game.exe'. Файл используется другим процессом.");
    EXPECT_TRUE(Exists(root + L"\\Game.exe"));
}

TEST(RemoveTreeWithRetries, FolderHeldOpenIsBusy) {
    TempDir temp;
    const std::wstring root = temp / L"game";
    EnsureDir(root);
    HandleGuard held(HoldOpen(root, FILE_SHARE_READ | FILE_SHARE_WRITE));
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(RaisedText([&] { RemoveTreeWithRetries(root); }),
              L"Не удалось удалить '" + root + L"'. Файл или папка заняты другим процессом.");
}

TEST(RemoveTreeWithRetries, FolderThatStaysNonEmptyIsBusy) {
    // A file deleted while another handle still has it open stays in the
    // folder until that handle closes, so the folder is not empty.
    TempDir temp;
    const std::wstring root = temp / L"game";
    EnsureDir(root);
    WriteBytes(root + L"\\log.txt", "x");
    HandleGuard held(CreateFileW((root + L"\\log.txt").c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held.Valid());
    EXPECT_EQ(RaisedText([&] { RemoveTreeWithRetries(root); }),
              L"Не удалось удалить '" + root + L"'. Файл или папка заняты другим процессом.");
}

TEST(RemoveTreeWithRetries, NeverDescendsIntoALinkToAnOutsideFolder) {
    // The fixture: links\tree holds sub\inner.txt and "link", a symbolic link
    // to links\outside, which holds precious.txt.
    const std::wstring links = TestEnvDir() + L"\\links";
    const std::wstring tree = links + L"\\tree";
    if (!Exists(tree + L"\\link"))
        GTEST_SKIP() << "the link fixture is made by the test environment set-up";
    ASSERT_TRUE(IsFolder(tree + L"\\link"));

    const std::wstring text = RaisedText([&] { RemoveTreeWithRetries(tree); });
    if (RunningUnderWine()) {
        // Wine 8 cannot delete a Unix link to a folder through any Win32 call,
        // so the link stays and is reported as busy.
        EXPECT_EQ(text, L"Не удалось удалить '" + tree +
                            L"\\link'. Файл или папка заняты другим процессом.");
    } else {
        EXPECT_EQ(text, L"<no error>");
        EXPECT_FALSE(Exists(tree));
    }
    EXPECT_EQ(ReadBytes(links + L"\\outside\\precious.txt"), "keep\n");
}

namespace {

// Fails every listing step and attribute read of one folder with access
// denied, as a share that dropped or a folder without the list right does.
std::wstring g_unreadable;
const wchar_t* g_unreadableStep = L"";

DWORD FailReadsOf(const wchar_t* operation, const std::wstring& path) {
    return path == g_unreadable && std::wstring(operation) == g_unreadableStep
               ? ERROR_ACCESS_DENIED
               : 0;
}

} // namespace

TEST(ListDirectory, AFolderThatCannotBeReadIsAnErrorNeverAnEmptyFolder) {
    TempDir temp;
    const std::wstring save = temp / L"Save";
    EnsureDir(save + L"\\Deep");
    WriteBytes(save + L"\\slot1.sav", "mine");
    WriteBytes(save + L"\\Deep\\slot2.sav", "mine too");
    SetFileOperationHook(FailReadsOf);
    ScopeExit unhook([] { SetFileOperationHook(nullptr); });
    const std::wstring listText =
        L"Не удалось прочитать папку '" + save + L"': " + GetWinErrorMessage(ERROR_ACCESS_DENIED);
    for (const wchar_t* step : {L"list", L"list-next"}) {
        SCOPED_TRACE(ToUtf8(step));
        g_unreadable = save;
        g_unreadableStep = step;
        EXPECT_EQ(RaisedText([&] { ListDirectory(save); }), listText);
        EXPECT_EQ(RaisedText([&] { FolderSize(save); }), listText);
        EXPECT_EQ(RaisedText([&] { CopyDirectoryContents(save, temp / L"copy"); }), listText);
        EXPECT_EQ(RaisedText([&] { RemoveTreeWithRetries(save); }), listText);
        EXPECT_EQ(ReadBytes(save + L"\\slot1.sav"), "mine");
    }
    g_unreadableStep = L"attributes";
    EXPECT_EQ(RaisedText([&] { IsFolder(save); }),
              L"Не удалось прочитать '" + save + L"': " + GetWinErrorMessage(ERROR_ACCESS_DENIED));
    EXPECT_EQ(RaisedText([&] { RemoveTreeWithRetries(save); }).rfind(L"Не удалось прочитать", 0),
              0u);
    EXPECT_TRUE(Exists(save + L"\\slot1.sav"));
    // Only an absent folder is empty.
    SetFileOperationHook(nullptr);
    EXPECT_TRUE(ListDirectory(temp / L"missing").empty());
    EXPECT_TRUE(ListDirectory(save + L"\\slot1.sav").empty());
    EXPECT_FALSE(IsFolder(temp / L"missing\\deeper"));
}

TEST(IsLinkToElsewhere, OnlyNameSurrogatesAreLinks) {
    // The find data Windows gives: attributes and, for a reparse point, its
    // tag. OneDrive keeps folders as cloud reparse points that hold real data.
    const DWORD folder = FILE_ATTRIBUTE_DIRECTORY;
    const DWORD reparse = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    struct Case {
        DWORD attributes;
        DWORD tag;
        bool link;
    } const cases[] = {
        {folder, 0, false},
        {folder, IO_REPARSE_TAG_SYMLINK, false}, // the tag counts only on a reparse point
        {reparse, IO_REPARSE_TAG_SYMLINK, true},
        {reparse, IO_REPARSE_TAG_MOUNT_POINT, true}, // a junction
        {reparse, 0x9000001A, false},                // IO_REPARSE_TAG_CLOUD (OneDrive)
        {reparse, 0x9000601A, false},                // IO_REPARSE_TAG_CLOUD_6
        {reparse, 0x80000021, false},                // IO_REPARSE_TAG_ONEDRIVE
        {reparse, 0x80000013, false},                // IO_REPARSE_TAG_DEDUP
        {FILE_ATTRIBUTE_REPARSE_POINT, 0x80000017, false}, // IO_REPARSE_TAG_WOF
        {reparse, 0, true}, // Wine's link to a Unix folder
    };
    for (const Case& item : cases)
        EXPECT_EQ(IsLinkToElsewhere(item.attributes, item.tag), item.link)
            << std::hex << item.attributes << " " << item.tag;
}

TEST(RemoveTreeWithRetries, RemovingHardLinksLeavesTheSharedFilesMarksAlone) {
    // A small update's work folder holds hard links of installed files;
    // read-only, hidden and system belong to the file, not the name.
    TempDir temp;
    const std::wstring installed = temp / L"game\\Data\\map.bin";
    EnsureDir(temp / L"game\\Data");
    WriteBytes(installed, "map");
    const DWORD marks = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    ASSERT_TRUE(SetFileAttributesW(installed.c_str(), marks));
    EnsureDir(temp / L"work\\Data");
    ASSERT_TRUE(CreateHardLinkW((temp / L"work\\Data\\map.bin").c_str(), installed.c_str(), nullptr));
    RemoveTreeWithRetries(temp / L"work");
    EXPECT_FALSE(Exists(temp / L"work"));
    EXPECT_EQ(GetFileAttributesW(installed.c_str()) & marks, marks);
    EXPECT_EQ(ReadBytes(installed), "map");
}
