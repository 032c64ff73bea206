#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Guards.h"
#include "platform/PowerShell.h"
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
