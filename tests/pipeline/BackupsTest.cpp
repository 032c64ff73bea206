// The player's saves, user data and nickname file across updates, and the
// rule that keeps the only good copy when an update stops half way.

#include "tests/pipeline/PipelineTest.h"

#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"

using Backups = PipelineTest;

TEST_F(Backups, BackupPathsFollowTheBuildFolderName) {
    EXPECT_EQ(app.GetSaveBackupDir(online), base / L"backup\\game_online\\Save");
    EXPECT_EQ(app.GetUserDataBackupDir(official), base / L"backup\\game_offline\\UserData");
    EXPECT_EQ(app.GetNicknameBackupFile(),
              base / L"backup\\game_online\\ModScripts\\multiplayer\\nickname.json");
    EXPECT_EQ(app.GetSaveBackupDir(base / L"GAME_ONLINE"), base / L"backup\\GAME_ONLINE\\Save");
}

TEST_F(Backups, OnlineUpdateKeepsSavesUserDataAndNickname) {
    InstallBuild(online, "0.9",
                 {{L"Save/slot1.sav", "mine 1"},
                  {L"Save/Deep/slot2.sav", "mine 2"},
                  {L"UserData/keys.cfg", "my keys"},
                  {L"ModScripts/multiplayer/nickname.json", "{\"nick\": \"Игрок\"}"},
                  {L"screenshot.png", "mine too, but not backed up"}});
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);

    // Each backed-up item is exactly the player's copy, replacing the archive's.
    EXPECT_EQ(TreeOf(online + L"\\Save"), TreeOf(base / L"backup\\game_online\\Save"));
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine 1");
    EXPECT_EQ(ReadBytes(online + L"\\Save\\Deep\\slot2.sav"), "mine 2");
    EXPECT_FALSE(Exists(online + L"\\Save\\shipped.sav"));
    EXPECT_EQ(ReadBytes(online + L"\\UserData\\keys.cfg"), "my keys");
    EXPECT_FALSE(Exists(online + L"\\UserData\\shipped.cfg"));
    EXPECT_EQ(ReadBytes(online + L"\\ModScripts\\multiplayer\\nickname.json"),
              "{\"nick\": \"Игрок\"}");
    EXPECT_FALSE(Exists(online + L"\\screenshot.png"));
    // The backups stay after a successful update.
    EXPECT_EQ(ReadBytes(app.GetNicknameBackupFile()), "{\"nick\": \"Игрок\"}");
    EXPECT_EQ(ReadBytes(base / L"backup\\game_online\\UserData\\keys.cfg"), "my keys");
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
}

TEST_F(Backups, OfficialUpdateLeavesTheNicknameFileAlone) {
    InstallBuild(official, "0.9",
                 {{L"Save/slot1.sav", "mine"},
                  {L"UserData/keys.cfg", "my keys"},
                  {L"ModScripts/multiplayer/nickname.json", "{\"nick\": \"official\"}"}});
    RunOfficial(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    EXPECT_EQ(ReadBytes(base / L"backup\\game_offline\\Save\\slot1.sav"), "mine");
    EXPECT_EQ(ReadBytes(base / L"backup\\game_offline\\UserData\\keys.cfg"), "my keys");
    EXPECT_FALSE(Exists(app.GetNicknameBackupFile()));
    EXPECT_FALSE(Exists(base / L"backup\\game_offline\\ModScripts"));
    EXPECT_EQ(ReadBytes(official + L"\\ModScripts\\multiplayer\\nickname.json"),
              "{\"nick\": \"shipped\"}");
    EXPECT_EQ(ReadBytes(official + L"\\Save\\slot1.sav"), "mine");
}

TEST_F(Backups, ItemsWithoutBackupKeepTheArchivesCopy) {
    // No UserData in the folder and none backed up: the archive's stays.
    RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    EXPECT_EQ(ReadBytes(online + L"\\UserData\\shipped.cfg"), "shipped config");
    EXPECT_FALSE(Exists(base / L"backup\\game_online\\UserData"));
    // An earlier user-data backup is restored into a build whose folder has none.
    EnsureDir(base / L"backup\\game_online\\UserData");
    WriteBytes(base / L"backup\\game_online\\UserData\\keys.cfg", "earlier");
    RemoveTreeWithRetries(online + L"\\UserData");
    RunOnline(server.PublishManifest(ManifestFor("1.1", L"v1_top.zip")));
    EXPECT_EQ(ReadBytes(online + L"\\UserData\\keys.cfg"), "earlier");
    EXPECT_FALSE(Exists(online + L"\\UserData\\shipped.cfg"));
}

namespace {

// The backup's save, locked for reading by another program from the moment
// the record is written: the restore then fails after the swap. Shared for
// writing only, so that nothing else notices. The seam only tells the moment.
HANDLE g_backupLock = INVALID_HANDLE_VALUE;
std::wstring g_backupSave;

DWORD LockTheBackupOnceRecorded(const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) == L"create-file" && g_backupLock == INVALID_HANDLE_VALUE &&
        path.size() > 15 && path.substr(path.size() - 15) == L"restore-pending")
        g_backupLock = CreateFileW(g_backupSave.c_str(), GENERIC_READ, FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return 0;
}

} // namespace

TEST_F(Backups, FailedRestoreThenRestartThenUpdateKeepsTheSaves) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine 1"}, {L"UserData/keys.cfg", "my keys"}});
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    g_backupSave = base / L"backup\\game_online\\Save\\slot1.sav";
    SetFileOperationHook(LockTheBackupOnceRecorded);
    const auto failed = RunOnline(manifest);
    SetFileOperationHook(nullptr);
    ASSERT_NE(g_backupLock, INVALID_HANDLE_VALUE);
    CloseHandle(g_backupLock);
    ExpectFailedRunEnd(failed, L"Не удалось записать '" + online +
                                   L"\\Save\\slot1.sav'. Файл занят другим процессом.");
    EXPECT_TRUE(IsFile(app.GetRestorePendingFile(online)));
    EXPECT_FALSE(Exists(online + L"\\Save\\slot1.sav"));

    // The launcher starts again: it makes an empty Save. The next update must
    // not take that empty folder for the player's saves.
    EnsureDir(online + L"\\Save");
    const auto messages = RunOnline(manifest);
    EXPECT_EQ(messages.back(), WorkerDone());
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine 1");
    EXPECT_EQ(ReadBytes(online + L"\\UserData\\keys.cfg"), "my keys");
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
    // Once restored, the next update backs up the folder again.
    WriteBytes(online + L"\\Save\\slot2.sav", "new game");
    RunOnline(server.PublishManifest(ManifestFor("1.1", L"v1_top.zip")));
    EXPECT_EQ(ReadBytes(base / L"backup\\game_online\\Save\\slot2.sav"), "new game");
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine 1");
}

TEST_F(Backups, FailureBeforeTheEmptyingOwesNoRestore) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine 1"}});
    const std::string json = "{\"version\": \"1.0\", \"download_url\": \"" +
                             ToUtf8(ServerUrl(L"builds/v1_top.zip")) + "\", \"sha256\": \"00\"}";
    RunOnline(server.PublishManifest(json));
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
    // The player plays on; the next update backs up the newer saves.
    WriteBytes(online + L"\\Save\\slot1.sav", "played since");
    RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "played since");
}

TEST_F(Backups, BuildFilesWhereThePlayersDataGoesGiveWay) {
    // The build ships files named Save and UserData and a folder named like
    // the nickname file.
    InstallBuild(online, "0.9",
                 {{L"Save/slot1.sav", "mine"},
                  {L"UserData/keys.cfg", "my keys"},
                  {L"ModScripts/multiplayer/nickname.json", "{\"nick\": \"me\"}"}});
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"data_files.zip")));
    EXPECT_EQ(messages[messages.size() - 2], Progress(100, L"онлайн-версии запущена."))
        << ToUtf8(Describe(messages));
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
    EXPECT_EQ(ReadBytes(online + L"\\UserData\\keys.cfg"), "my keys");
    EXPECT_EQ(ReadBytes(online + L"\\ModScripts\\multiplayer\\nickname.json"),
              "{\"nick\": \"me\"}");
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
}
