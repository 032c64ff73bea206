// Installing a build from its archive: where the game is found inside it,
// what lands in the install folder, the digest check, and what the folders
// look like after each kind of failure.

#include "tests/pipeline/PipelineTest.h"

#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"

#include <algorithm>

using Install = PipelineTest;

namespace {

std::string Repeat(const std::string& piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i)
        text += piece;
    return text;
}

// The install folder's tree without the files the run itself adds.
std::vector<std::wstring> NamesOf(const std::wstring& folder) {
    std::vector<std::wstring> names;
    for (const auto& item : TreeOf(folder))
        if (item.first != L"launched.txt" && item.first != L"version.txt")
            names.push_back(item.first);
    return names;
}

// Moves and copies, through the file layer's seam; a move to the path
// g_failPath fails with access denied, g_failTimes times (-1: always).
std::vector<std::wstring> g_moves;
std::vector<std::wstring> g_copies;
std::wstring g_failPath;
int g_failTimes = 0;

DWORD RecordMovesAndCopies(const wchar_t* operation, const std::wstring& path) {
    if (std::wstring(operation) == L"copy")
        g_copies.push_back(path);
    if (std::wstring(operation) != L"move")
        return 0;
    g_moves.push_back(path);
    if (path != g_failPath || g_failTimes == 0)
        return 0;
    if (g_failTimes > 0)
        --g_failTimes;
    return ERROR_ACCESS_DENIED;
}

class InstallMoves : public PipelineTest {
protected:
    InstallMoves() {
        g_moves.clear();
        g_copies.clear();
        g_failPath.clear();
        g_failTimes = -1;
        SetFileOperationHook(RecordMovesAndCopies);
    }
    ~InstallMoves() override {
        SetFileOperationHook(nullptr);
        SetHeldFolderWaitForTests(0);
    }
};

// v1_top.zip installed over a player's slot1.sav.
const std::vector<std::wstring> kTopBuildWithSave = {L"Data/",
                                                     L"Data/Maps/",
                                                     L"Data/Maps/map.bin",
                                                     L"Data/blob.bin",
                                                     L"Game.exe",
                                                     L"ModScripts/",
                                                     L"ModScripts/multiplayer/",
                                                     L"ModScripts/multiplayer/nickname.json",
                                                     L"Save/",
                                                     L"Save/slot1.sav",
                                                     L"UserData/",
                                                     L"UserData/shipped.cfg",
                                                     L"data.txt"};

} // namespace

TEST_F(InstallMoves, BuildIsPutInPlaceByRenamesBesideIt) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    // The new backup takes the old one's place, the old build steps aside
    // into the work folder beside it, the new one takes its name: three
    // renames, and no file of the build copied.
    ASSERT_EQ(g_moves.size(), 3u);
    EXPECT_EQ(g_moves[0], base / L"backup\\game_online\\Save");
    EXPECT_EQ(g_moves[1].rfind(base / L"vorn_update_", 0), 0u) << ToUtf8(g_moves[1]);
    EXPECT_EQ(g_moves[1].substr(g_moves[1].size() - 4), L"\\old");
    EXPECT_EQ(g_moves[2], online);
    for (const std::wstring& copy : g_copies)
        EXPECT_NE(copy.rfind(online + L"\\Data", 0), 0u) << ToUtf8(copy);
    EXPECT_EQ(NamesOf(online), kTopBuildWithSave);
    EXPECT_EQ(ReadBytes(online + L"\\Data\\Maps\\map.bin"), Repeat("map", 1000));
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(InstallMoves, AScannerHoldingTheNewBuildIsWaitedForAndTheBuildNeverCopied) {
    // A scanner holds a file just unpacked for 3 s: the rename waits, says
    // so, and goes through.
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    g_failPath = online;
    g_failTimes = 12;
    auto messages = RunOnline(manifest);
    EXPECT_EQ(messages[messages.size() - 2], Progress(100, L"онлайн-версии запущена."))
        << ToUtf8(Describe(messages));
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        Status(L"Файлы онлайн-версии заняты другой программой (например, "
                               L"антивирусом). Ожидание до минуты...")),
              messages.end());
    EXPECT_EQ(NamesOf(online), kTopBuildWithSave);
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");

    // Held past the wait (shortened here; the seam sees only the rename's
    // destination, so the three refusals end before the old build's rename
    // back): the rename gives up, nothing of the build is copied (no room
    // for a second build was checked), the old build comes back whole and
    // owes nothing. What the player then saves in it is what the next
    // update keeps, not the backup of this run.
    WriteBytes(online + L"\\version.txt", "0.9");
    g_failTimes = 3;
    g_copies.clear();
    SetHeldFolderWaitForTests(400);
    messages = RunOnline(manifest);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2].text.rfind(L"Ошибка: Не удалось переименовать", 0), 0u)
        << ToUtf8(Describe(messages));
    for (const std::wstring& copy : g_copies)
        EXPECT_NE(copy.rfind(online, 0), 0u) << ToUtf8(copy);
    EXPECT_EQ(NamesOf(online), kTopBuildWithSave);
    EXPECT_FALSE(Exists(app.GetRestorePendingFile(online)));
    WriteBytes(online + L"\\Save\\slot1.sav", "played since");
    g_failPath.clear();
    RunOnline(manifest);
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "played since");
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(InstallMoves, WorkFolderThatCannotBeMadeStopsBeforeTheDownload) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const auto before = TreeOf(online);
    Manifest manifest;
    manifest.version = "1.0";
    manifest.download_url = ToUtf8(ServerUrl(L"builds/v1_top.zip"));
    // The work folder's own name is known only once it is asked for.
    SetFileOperationHook([](const wchar_t* operation, const std::wstring& path) -> DWORD {
        return std::wstring(operation) == L"create-folder" &&
                       path.find(L"\\vorn_update_") != std::wstring::npos
                   ? ERROR_ACCESS_DENIED
                   : 0;
    });
    const std::wstring text =
        RaisedText([&] { app.InstallOrUpdate(manifest, online, L"онлайн-версии"); });
    const std::wstring prefix = L"Не удалось создать папку '" + (base / L"vorn_update_");
    EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << ToUtf8(text);
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_FALSE(Exists(base / L"backup\\game_online\\Save"));
}

TEST_F(Install, TopLevelGameInstallsTheWholeArchive) {
    RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    WaitForLaunch(online);
    const std::vector<std::wstring> expected = {L"Data/",
                                                L"Data/Maps/",
                                                L"Data/Maps/map.bin",
                                                L"Data/blob.bin",
                                                L"Game.exe",
                                                L"ModScripts/",
                                                L"ModScripts/multiplayer/",
                                                L"ModScripts/multiplayer/nickname.json",
                                                L"Save/",
                                                L"Save/shipped.sav",
                                                L"UserData/",
                                                L"UserData/shipped.cfg",
                                                L"data.txt"};
    EXPECT_EQ(NamesOf(online), expected);
    EXPECT_EQ(ReadBytes(online + L"\\Data\\Maps\\map.bin"), Repeat("map", 1000));
    // The empty Save made at start holds nothing of the player's: the
    // archive's Save arrives.
    EXPECT_EQ(ReadBytes(online + L"\\Save\\shipped.sav"), "shipped save");
}

TEST_F(Install, OneTopFolderHoldingTheGameIsInstalledWithoutTheFolder) {
    const auto messages = RunOfficial(server.PublishManifest(ManifestFor("2.0", L"v2_nested.zip")));
    ExpectUpdateRun(messages, L"официальной версии", L"2.0", true);
    EXPECT_TRUE(IsFile(official + L"\\Game.exe"));
    EXPECT_EQ(ReadBytes(official + L"\\data.txt"), "v2");
    EXPECT_FALSE(Exists(official + L"\\VornRPG"));
}

TEST_F(Install, GameNameIsMatchedWithoutRegardToCase) {
    // Bin\GAME.EXE is found for "Game.exe": Bin's content is the build and the
    // readme beside Bin is left out.
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"caps.zip")));
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "caps");
    EXPECT_TRUE(IsFile(online + L"\\GAME.EXE"));
    EXPECT_FALSE(Exists(online + L"\\readme.txt"));
    EXPECT_EQ(messages.back(), WorkerDone());
}

TEST_F(Install, FolderNamedLikeTheGameIsSearchedNotTaken) {
    RunOnline(server.PublishManifest(ManifestFor("1.0", L"exe_folder.zip")));
    EXPECT_TRUE(IsFile(online + L"\\Game.exe"));
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "inside a folder named like the game");
}

TEST_F(Install, WithoutTheGameOneTopFolderOrEverythingIsInstalled) {
    auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"no_exe_one_folder.zip")));
    ExpectFailedRunEnd(messages, L"Не найден файл запуска: " + online + L"\\Game.exe");
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "one folder");
    EXPECT_TRUE(IsFile(online + L"\\Sub\\x.txt"));

    messages = RunOfficial(server.PublishManifest(ManifestFor("1.0", L"no_exe_many.zip")));
    EXPECT_EQ(ReadBytes(official + L"\\a.txt"), "a");
    EXPECT_EQ(ReadBytes(official + L"\\b\\c.txt"), "c");
}

TEST_F(Install, EmptyArchiveEmptiesTheFolderAndKeepsThePlayersData) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}, {L"old.dat", "old"}});
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"empty.zip")));
    ExpectFailedRunEnd(messages, L"Не найден файл запуска: " + online + L"\\Game.exe");
    const std::vector<std::wstring> expected = {L"Save/", L"Save/slot1.sav"};
    EXPECT_EQ(NamesOf(online), expected);
}

TEST_F(Install, DigestIsComparedWithoutRegardToLetterCase) {
    std::string digest = BuildSha256(L"v1_top.zip");
    std::transform(digest.begin(), digest.end(), digest.begin(), ::toupper);
    const std::string json = "{\"version\": \"1.0\", \"download_url\": \"" +
                             ToUtf8(ServerUrl(L"builds/v1_top.zip")) + "\", \"sha256\": \"" +
                             digest + "\"}";
    const auto messages = RunOnline(server.PublishManifest(json));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
}

TEST_F(Install, DigestWithABlankOrOfAnotherArchiveFailsAndKeepsTheOldBuild) {
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const auto before = TreeOf(online);
    for (const std::string& digest :
         {BuildSha256(L"v1_top.zip") + " ", std::string(" ").append(BuildSha256(L"v1_top.zip")),
          BuildSha256(L"caps.zip")}) {
        const std::string json = "{\"version\": \"1.0\", \"download_url\": \"" +
                                 ToUtf8(ServerUrl(L"builds/v1_top.zip")) + "\", \"sha256\": \"" +
                                 digest + "\"}";
        const auto messages = RunOnline(server.PublishManifest(json));
        ExpectFailedRunEnd(messages, L"SHA-256 скачанного архива не совпадает с manifest.");
        EXPECT_EQ(messages[messages.size() - 4], Status(L"Проверка SHA-256..."));
    }
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_FALSE(Exists(base / L"backup\\game_online\\Save"));
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(Install, WithoutDigestADamagedArchiveIsCaughtByTheUnpacking) {
    InstallBuild(online, "0.9");
    const auto before = TreeOf(online);
    // Half an archive, served whole.
    const std::string archive = ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip");
    server.Publish(L"half.zip", archive.substr(0, archive.size() / 2));
    std::string json =
        "{\"version\": \"1.0\", \"download_url\": \"" + ToUtf8(server.Url(L"half.zip")) + "\"}";
    auto messages = RunOnline(server.PublishManifest(json));
    ExpectFailedRunEnd(messages, L"PowerShell не смог распаковать ZIP-архив.");
    EXPECT_EQ(std::count(messages.begin(), messages.end(), Status(L"Проверка SHA-256...")), 0);
    EXPECT_EQ(messages[messages.size() - 4], Progress(-1, L"Установка онлайн-версии..."));

    // A page that is no archive, served as one.
    server.Publish(L"page.zip", "<html><body>Not found</body></html>");
    json = "{\"version\": \"1.0\", \"download_url\": \"" + ToUtf8(server.Url(L"page.zip")) + "\"}";
    messages = RunOnline(server.PublishManifest(json));
    ExpectFailedRunEnd(messages, L"PowerShell не смог распаковать ZIP-архив.");
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(Install, AnOldBackupHeldByAnotherProgramGivesWayToTheNewOne) {
    // A scanner holds the old backup's file: the new backup takes its place
    // by rename (Windows may refuse that while the file is open, and the
    // update then stops before anything changed), and the old one goes at
    // the next backup once it is free.
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const std::wstring backup = base / L"backup\\game_online\\Save";
    EnsureDir(backup);
    WriteBytes(backup + L"\\old.sav", "old");
    {
        HandleGuard held(CreateFileW((backup + L"\\old.sav").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(held.Valid());
        const auto messages =
            RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
        EXPECT_EQ(messages[messages.size() - 2], Progress(100, L"онлайн-версии запущена."))
            << ToUtf8(Describe(messages));
    }
    EXPECT_EQ(TreeOf(backup), (std::vector<std::pair<std::wstring, std::string>>{
                                  {L"slot1.sav", "mine"}}));
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
    RunOnline(server.PublishManifest(ManifestFor("1.1", L"v1_top.zip")));
    EXPECT_FALSE(Exists(backup + L".old"));
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(Install, FilesDeeperThan260CharactersInstallUpdateAndKeepTheSaves) {
    // The build's files, the player's saves and their backups, the temp
    // folder and the work folder's files all lie past 260 characters.
    const std::wstring level = L"\\" + std::wstring(40, L'l');
    const std::wstring deep = base.Path() + level + level;
    const std::wstring temp = deep + L"\\temp" + level + level + level + level;
    ASSERT_GT(temp.size(), 260u); // longer than GetTempPathW will give
    EnsureDir(temp);
    wchar_t saved[1024] = {};
    GetEnvironmentVariableW(L"TMP", saved, 1024);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    app.baseFolder = deep;
    online = deep + L"\\game_online";
    app.onlineFolder = online;
    const std::wstring save =
        L"Save\\" + std::wstring(90, L's') + L"\\" + std::wstring(90, L's') + L"\\slot.sav";
    InstallBuild(online, "0.9", {{save, "mine"}});
    const std::wstring deepFile = online + L"\\Data\\level0_" + std::wstring(54, L'x') +
                                  L"\\level1_" + std::wstring(54, L'x') + L"\\level2_" +
                                  std::wstring(54, L'x') + L"\\level3_" + std::wstring(54, L'x') +
                                  L"\\level4_" + std::wstring(54, L'x') + L"\\deep.bin";
    ASSERT_GT(deepFile.size(), 400u);

    auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"deep.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_EQ(ReadBytes(deepFile), "far below");
    EXPECT_EQ(ReadBytes(online + L"\\" + save), "mine");
    EXPECT_EQ(ReadBytes(deep + L"\\backup\\game_online\\" + save), "mine");
    // The next update empties the folder of the deep files and brings the
    // saves back again.
    WriteBytes(online + L"\\" + save, "mine, later");
    messages = RunOnline(server.PublishManifest(ManifestFor("2.0", L"deep.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"2.0", true);
    EXPECT_EQ(ReadBytes(deepFile), "far below");
    EXPECT_EQ(ReadBytes(online + L"\\" + save), "mine, later");
    EXPECT_TRUE(LeftoverWorkFolders().empty());
    EXPECT_TRUE(ListDirectory(temp).empty());
    SetEnvironmentVariableW(L"TMP", saved);
}
