// What keeps the player's data through faults and power cuts: a restore that
// is owed is never skipped, the backup reaches the disk before anything of
// the player's is deleted, work folders of killed runs are given back, and an
// update that does not fit on the disk stops before it touches anything.

#include "tests/pipeline/PipelineTest.h"

#include "platform/files/DiskSpace.h"
#include "platform/Errors.h"
#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/files/Paths.h"
#include "platform/zip/ZipExtract.h"

#include <algorithm>
#include <functional>

namespace {

// The seam's record of one run: every file operation in order.
std::vector<std::pair<std::wstring, std::wstring>> g_operations;
// An operation on a path that ends so fails with the code, the given number
// of times (-1: always).
std::wstring g_failOperation;
std::wstring g_failPathEnd;
int g_failTimes = 0;
DWORD g_failCode = 0;

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           ToLowerW(text.substr(text.size() - end.size())) == ToLowerW(end);
}

// What the player (or another program) does at an operation of the run.
std::function<void(const std::wstring& operation, const std::wstring& path)> g_meanwhile;

DWORD RecordOperation(const wchar_t* operation, const std::wstring& path) {
    g_operations.emplace_back(operation, path);
    if (g_meanwhile)
        g_meanwhile(operation, path);
    if (g_failTimes != 0 && operation == g_failOperation && EndsWith(path, g_failPathEnd)) {
        if (g_failTimes > 0)
            --g_failTimes;
        return g_failCode;
    }
    return 0;
}

void FailOperation(const std::wstring& operation, const std::wstring& pathEnd, int times,
                   DWORD code = ERROR_ACCESS_DENIED) {
    g_failOperation = operation;
    g_failPathEnd = pathEnd;
    g_failTimes = times;
    g_failCode = code;
}

class Durability : public PipelineTest {
protected:
    Durability() {
        g_operations.clear();
        g_meanwhile = nullptr;
        FailOperation(L"", L"", 0);
        SetFileOperationHook(RecordOperation);
        // A folder held for good is given up in half a second, not a minute.
        SetHeldFolderWaitForTests(500);
    }
    ~Durability() override {
        SetFileOperationHook(nullptr);
        SetHeldFolderWaitForTests(0);
    }

    // Index of the first operation matching, from a position on; npos if none.
    size_t Find(const std::wstring& operation, const std::wstring& path, size_t from = 0) const {
        for (size_t i = from; i < g_operations.size(); ++i)
            if (g_operations[i].first == operation &&
                ToLowerW(g_operations[i].second) == ToLowerW(path))
                return i;
        return std::wstring::npos;
    }
};

const std::vector<std::pair<std::wstring, std::string>> kPlayerFiles = {
    {L"Save/slot1.sav", "mine 1"},
    {L"Save/Deep/slot2.sav", "mine 2"},
    {L"UserData/keys.cfg", "my keys"},
    {L"ModScripts/multiplayer/nickname.json", "{\"nick\": \"me\"}"},
};

} // namespace

TEST_F(Durability, OwedRestoreIsNeverSkippedForABuildWithItsOwnVersionFile) {
    // The build ships version.txt "9.9.9" and a default save. The restore
    // fails (as a kill would stop it) once the build is copied in: the folder
    // then holds the game and a version file newer than the manifest's.
    InstallBuild(online, "0.9", kPlayerFiles);
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"own_version.zip"));
    FailOperation(L"copy", online + L"\\Save\\slot1.sav", -1, ERROR_SHARING_VIOLATION);
    auto messages = RunOnline(manifest);
    ExpectFailedRunEnd(messages, L"Не удалось записать '" + online +
                                     L"\\Save\\slot1.sav'. Файл занят другим процессом.");
    ASSERT_EQ(ReadBytes(online + L"\\version.txt"), "9.9.9");
    ASSERT_TRUE(IsFile(online + L"\\Game.exe"));
    ASSERT_FALSE(Exists(online + L"\\Save\\slot1.sav"));

    // The next click meets the build held (the game started from a
    // shortcut, a scanner): that run wrote no record, so it takes none away.
    FailOperation(L"move", L"\\old", -1);
    messages = RunOnline(manifest);
    ExpectFailedRunEnd(messages, L"Файлы онлайн-версии открыты в игре или другой программе. "
                                 L"Закройте её и попробуйте снова.");
    ASSERT_TRUE(Exists(app.GetRestorePendingFile(online)));

    // The next click must not just start that build.
    FailOperation(L"", L"", 0);
    EnsureDir(online + L"\\Save");
    messages = RunOnline(manifest);
    EXPECT_EQ(messages[2], Status(L"Обновление онлайн-версии до версии 1.0..."))
        << ToUtf8(Describe(messages));
    EXPECT_EQ(messages.back(), WorkerDone());
    for (const auto& [name, bytes] : kPlayerFiles)
        EXPECT_EQ(ReadBytes(online + L"\\" + name), bytes) << ToUtf8(name);
    EXPECT_FALSE(Exists(online + L"\\Save\\default.sav"));
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.0");
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
}

TEST_F(Durability, WhatThePlayerSavesDuringTheDownloadIsKept) {
    // The old build played from a shortcut while the archive comes.
    InstallBuild(online, "0.9", kPlayerFiles);
    g_meanwhile = [&](const std::wstring& operation, const std::wstring& path) {
        if (operation == L"create-file" && EndsWith(path, L"\\game.zip")) {
            WriteBytes(online + L"\\Save\\slot1.sav", "saved while downloading");
            WriteBytes(online + L"\\Save\\slot3.sav", "new slot");
        }
    };
    RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    g_meanwhile = nullptr;
    ASSERT_FALSE(WaitForLaunch(online).empty());
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "saved while downloading");
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot3.sav"), "new slot");
    EXPECT_EQ(ReadBytes(online + L"\\Save\\Deep\\slot2.sav"), "mine 2");
}

// Players move a large game to another drive and leave a junction in its
// place; the test environment makes one: a link whose target is on T:, a
// drive of its own where the machine lets it mount one.
TEST_F(Durability, ABuildBehindALinkIsUpdatedOnItsOwnDriveAndKeepsTheLink) {
    const std::wstring target = L"T:\\Games\\game_online";
    if (!IsFolder(target))
        GTEST_SKIP() << "no second drive in the test environment";
    online = app.onlineFolder = TestEnvDir() + L"\\links\\moved\\game_online";
    EmptyFolder(online);
    InstallBuild(online, "0.9", kPlayerFiles);
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    ASSERT_FALSE(WaitForLaunch(target).empty());

    EXPECT_NE(GetFileAttributesW(online.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
    EXPECT_EQ(ReadBytes(target + L"\\data.txt"), "v1");
    for (const auto& [name, bytes] : kPlayerFiles)
        EXPECT_EQ(ReadBytes(target + L"\\" + name), bytes) << ToUtf8(name);
    // The work (and the room it takes) was beside the target, and is gone.
    const auto onT = std::find_if(g_operations.begin(), g_operations.end(), [](const auto& op) {
        return op.second.rfind(L"T:\\Games\\vorn_update_", 0) == 0;
    });
    EXPECT_NE(onT, g_operations.end());
    for (const auto& [operation, path] : g_operations)
        EXPECT_EQ(path.find(L"moved\\vorn_update_"), std::wstring::npos) << ToUtf8(path);
    const std::vector<DirEntry> games = ListDirectory(L"T:\\Games");
    ASSERT_EQ(games.size(), 1u);
    EXPECT_EQ(games[0].name, L"game_online");
    EXPECT_EQ(ListDirectory(ParentPath(online)).size(), 1u);
}

TEST_F(Durability, BackupReachesTheDiskBeforeAnyDeletionAndTheRestoreBeforeTheRecordGoes) {
    InstallBuild(online, "0.9", kPlayerFiles);
    RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ASSERT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine 1");

    // The old build set aside, or a deletion in its folder.
    size_t firstDeletion = std::wstring::npos;
    for (size_t i = 0; i < g_operations.size() && firstDeletion == std::wstring::npos; ++i) {
        const std::wstring path = ToLowerW(g_operations[i].second);
        if ((g_operations[i].first.rfind(L"delete", 0) == 0 &&
             path.rfind(ToLowerW(online), 0) == 0) ||
            (g_operations[i].first == L"move" && EndsWith(path, L"\\old")))
            firstDeletion = i;
    }
    ASSERT_NE(firstDeletion, std::wstring::npos);
    const std::wstring marker = app.GetRestorePendingFile(online);
    EXPECT_LT(Find(L"flush", marker), firstDeletion);
    const size_t markerGone = Find(L"delete-file", marker);
    ASSERT_NE(markerGone, std::wstring::npos);
    for (const auto& [name, bytes] : kPlayerFiles) {
        std::wstring relative = name;
        std::replace(relative.begin(), relative.end(), L'/', L'\\');
        SCOPED_TRACE(ToUtf8(relative));
        // Backed up beside the old backup and flushed, then put in its place,
        // all before the first deletion in the build folder.
        const size_t slash = relative.find(L'\\');
        const std::wstring made =
            base / (L"backup\\game_online\\" +
                    (slash == std::wstring::npos || relative.rfind(L"ModScripts", 0) == 0
                         ? relative + L".new"
                         : relative.substr(0, slash) + L".new" + relative.substr(slash)));
        const size_t backedUp = Find(L"copy", made);
        ASSERT_NE(backedUp, std::wstring::npos);
        const size_t flushed = Find(L"flush", made, backedUp);
        EXPECT_LT(flushed, firstDeletion);
        const std::wstring item =
            relative.rfind(L"ModScripts", 0) == 0 ? relative : relative.substr(0, slash);
        EXPECT_LT(Find(L"move", base / (L"backup\\game_online\\" + item), flushed),
                  firstDeletion);
        // Restored and flushed before the record is removed.
        const std::wstring restored = online + L"\\" + relative;
        const size_t copiedBack = Find(L"copy", restored, firstDeletion);
        ASSERT_NE(copiedBack, std::wstring::npos);
        EXPECT_LT(Find(L"flush", restored, copiedBack), markerGone);
    }
}

TEST_F(Durability, WorkFoldersOfKilledRunsAreRemovedAndThoseInUseKept) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring prefix =
        std::wstring(temp) + L"vorn_launcher_" + std::to_wstring(GetCurrentProcessId()) + L"_";
    // A killed run's: its lock is no longer held.
    const std::wstring killed = prefix + L"killed";
    EnsureDir(killed + L"\\extract\\Data");
    WriteBytes(killed + L"\\run.lock", "");
    WriteBytes(killed + L"\\game.zip", std::string(100000, 'z'));
    // A running launcher's: its lock is held open.
    const std::wstring running = prefix + L"running";
    EnsureDir(running);
    HandleGuard lock(CreateFileW((running + L"\\run.lock").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(lock.Valid());
    // Without a lock: kept while recent, removed after an hour untouched.
    const std::wstring recent = prefix + L"recent";
    const std::wstring old = prefix + L"old";
    EnsureDir(recent);
    EnsureDir(old);
    {
        HandleGuard folder(CreateFileW(old.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER ticks{{now.dwLowDateTime, now.dwHighDateTime}};
        ticks.QuadPart -= 2ull * 60 * 60 * 10000000;
        const FILETIME twoHoursAgo{ticks.LowPart, ticks.HighPart};
        ASSERT_TRUE(SetFileTime(folder.Get(), nullptr, nullptr, &twoHoursAgo));
    }

    InstallBuild(online, "1.0.0");
    RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    EXPECT_FALSE(Exists(killed));
    EXPECT_FALSE(Exists(old));
    EXPECT_TRUE(IsFile(running + L"\\run.lock"));
    EXPECT_TRUE(IsFolder(recent));
    lock.Close();
    ForceRemoveTree(running);
    ForceRemoveTree(recent);
}

TEST_F(Durability, UpdateThatDoesNotFitStopsBeforeAnythingIsTouched) {
    // S: is a 4 MiB drive made by the test environment.
    if (!IsFolder(L"S:\\"))
        GTEST_SKIP() << "no small drive: mounting one needs root";
    const std::wstring small = L"S:\\t" + std::to_wstring(GetCurrentProcessId());
    EnsureDir(small + L"\\temp");
    ScopeExit restoreTemp([&] {
        SetEnvironmentVariableW(L"TMP", nullptr);
        ForceRemoveTree(small);
    });
    // A full system drive does not stop the update of a game elsewhere: its
    // work is done beside the build.
    ASSERT_TRUE(SetEnvironmentVariableW(L"TMP", (small + L"\\temp").c_str()));
    InstallBuild(online, "0.9", kPlayerFiles);
    WriteBytes(small + L"\\temp\\full", std::string(4 * 1024 * 1024 - 64 * 1024, 'f'));
    auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v1");
    DeleteFileW((small + L"\\temp\\full").c_str());

    // The game on S: is refused there. The archive itself (3 MiB) and about as
    // much unpacked cannot fit: refused when the server announces the length,
    // before the archive is written.
    online = app.onlineFolder = small + L"\\game_online";
    InstallBuild(online, "0.9", kPlayerFiles);
    const auto before = TreeOf(online);
    const unsigned long long archive =
        ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip").size();
    uint64_t freeBytes = 0;
    ASSERT_TRUE(FreeBytesAt(small, freeBytes));
    messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectFailedRunEnd(messages, L"Недостаточно места на диске S: нужно ещё " +
                                     FormatShortfall(2 * archive - freeBytes) + L".");
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_TRUE(LeftoverWorkFolders().empty());
    EXPECT_EQ(ListDirectory(small).size(), 2u); // the game and the temporary folder

    // A small archive of 16 MiB of zeros: its directory shows it cannot fit.
    messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"zeros_build.zip")));
    ASSERT_GE(messages.size(), 3u);
    const std::wstring error = messages[messages.size() - 2].text;
    EXPECT_EQ(error.rfind(L"Ошибка: Недостаточно места на диске S: нужно ещё 1", 0), 0u)
        << ToUtf8(error);
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_EQ(ListDirectory(small).size(), 2u);

    // An archive without a length that never ends: stopped while the drive
    // could still hold it unpacked, not once the drive is full.
    server.Publish(L"endless.zip", std::string(8 << 20, 'e'));
    messages = RunOnline(server.PublishManifest("{\"version\": \"1.0\", \"download_url\": \"" +
                                                ToUtf8(server.Url(L"endless.zip", L"_nolength/")) +
                                                "\"}"));
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 2].text.rfind(
                  L"Ошибка: Недостаточно места на диске S: нужно ещё ", 0),
              0u)
        << ToUtf8(Describe(messages));
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_EQ(ListDirectory(small).size(), 2u);

    // The extractor refuses it too, before it fills the drive, and says so.
    const std::wstring refused = RaisedText([&] {
        ExtractZipArchive(TestEnvDir() + L"\\www\\builds\\zeros_build.zip",
                          small + L"\\extract");
    });
    EXPECT_EQ(refused.rfind(L"Недостаточно места на диске S: нужно ещё 1", 0), 0u)
        << ToUtf8(refused);
    EXPECT_TRUE(ListDirectory(small + L"\\extract").empty());
}

// Windows refuses to rename a folder while a file inside is open (the game
// still running, a scanner); Wine allows it, so the seam says what Windows
// says. The old build stays whole and playable.
TEST_F(Durability, ABuildInUseIsLeftWholeAndPlayable) {
    InstallBuild(online, "0.9", kPlayerFiles);
    HandleGuard running(CreateFileW((online + L"\\Game.exe").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(running.Valid());
    FailOperation(L"move", L"\\old", -1);
    const auto before = TreeOf(online);
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    auto messages = RunOnline(manifest);
    ExpectFailedRunEnd(messages, L"Файлы онлайн-версии открыты в игре или другой программе. "
                                 L"Закройте её и попробуйте снова.");
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
    EXPECT_TRUE(LeftoverWorkFolders().empty());

    // Closed, it updates.
    running.Close();
    FailOperation(L"", L"", 0);
    messages = RunOnline(manifest);
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v1");
    for (const auto& [name, bytes] : kPlayerFiles)
        EXPECT_EQ(ReadBytes(online + L"\\" + name), bytes) << ToUtf8(name);
}

TEST_F(Durability, ABackupThatCannotBeMadeWholeLeavesTheOldOneWhole) {
    // The player's saves now, and an older backup of them.
    const std::vector<std::pair<std::wstring, std::string>> saves = {
        {L"Save/slot1.sav", "mine now"}, {L"Save/Deep/slot2.sav", "mine now 2"}};
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    const std::wstring backup = base / L"backup\\game_online\\Save";
    struct Fault {
        const wchar_t* operation;
        const wchar_t* pathEnd;
        std::wstring error;
    } const faults[] = {
        // A Save folder on a share that drops for a moment cannot be listed.
        {L"list", L"game_online\\Save",
         L"Не удалось прочитать папку '" + online + L"\\Save': " +
             GetWinErrorMessage(ERROR_ACCESS_DENIED)},
        // The disk refuses the new backup's second file.
        {L"copy", L"Deep\\slot2.sav", L""},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(ToUtf8(fault.operation));
        ForceRemoveTree(online);
        ForceRemoveTree(base / L"backup");
        InstallBuild(online, "0.9", saves);
        EnsureDir(backup + L"\\Deep");
        WriteBytes(backup + L"\\slot1.sav", "older");
        WriteBytes(backup + L"\\Deep\\slot2.sav", "older 2");
        const auto before = TreeOf(online);
        FailOperation(fault.operation, fault.pathEnd, -1);
        const auto messages = RunOnline(manifest);
        FailOperation(L"", L"", 0);
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages[messages.size() - 2].text.rfind(L"Ошибка: " + fault.error, 0), 0u)
            << ToUtf8(Describe(messages));
        EXPECT_EQ(TreeOf(online), before);
        EXPECT_EQ(ReadBytes(backup + L"\\slot1.sav"), "older");
        EXPECT_EQ(ReadBytes(backup + L"\\Deep\\slot2.sav"), "older 2");
        EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
        // Once the fault is gone, the next click backs up and updates.
        RunOnline(manifest);
        ASSERT_FALSE(WaitForLaunch(online).empty());
        EXPECT_EQ(ReadBytes(backup + L"\\Deep\\slot2.sav"), "mine now 2");
        EXPECT_EQ(ReadBytes(online + L"\\Save\\Deep\\slot2.sav"), "mine now 2");
        EXPECT_FALSE(Exists(backup + L".new"));
        EXPECT_FALSE(Exists(backup + L".old"));
    }
}

TEST_F(Durability, AnOwedRestoreFromABackupThatCannotBeListedKeepsItsRecord) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    RunOnline(manifest);
    // An earlier update stopped after the emptying: the restore is owed.
    WriteBytes(app.GetRestorePendingFile(online), "");
    ForceRemoveTree(online + L"\\Save");
    EnsureDir(online + L"\\Save");
    FailOperation(L"list", L"backup\\game_online\\Save", -1);
    const auto messages = RunOnline(manifest);
    FailOperation(L"", L"", 0);
    ExpectFailedRunEnd(messages, L"Не удалось прочитать папку '" +
                                     (base / L"backup\\game_online\\Save") + L"': " +
                                     GetWinErrorMessage(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(Exists(app.GetRestorePendingFile(online)));
    RunOnline(manifest);
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
}

TEST_F(Durability, FlushesAreRetriedAndNeverFailAFinishedUpdate) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    // A scanner holds the new backup's file for a moment: the flush waits.
    FailOperation(L"flush", L"Save.new\\slot1.sav", 3);
    auto messages = RunOnline(manifest);
    EXPECT_EQ(messages.back(), WorkerDone());
    EXPECT_EQ(messages[messages.size() - 2], Progress(100, L"онлайн-версии запущена."))
        << ToUtf8(Describe(messages));
    // A sync client keeps the restored save: the data is written, the update done.
    FailOperation(L"flush", L"game_online\\Save\\slot1.sav", -1);
    messages = RunOnline(server.PublishManifest(ManifestFor("1.1", L"v1_top.zip")));
    EXPECT_EQ(messages[messages.size() - 2], Progress(100, L"онлайн-версии запущена."))
        << ToUtf8(Describe(messages));
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
}
