// One run of a build: the decision between updating and only starting, the
// version file, the messages, and the failures that end a run before or
// after the install.

#include "tests/pipeline/PipelineTest.h"

#include "platform/Errors.h"
#include "platform/files/FileOps.h"

using ModeRun = PipelineTest;

TEST_F(ModeRun, FirstInstallUpdatesRecordsTheVersionAndStartsTheGame) {
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0.0", L"v1_top.zip"));
    const auto messages = RunOnline(manifest);
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0.0", true);

    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.0.0");
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v1");
    const auto launch = WaitForLaunch(online);
    ASSERT_EQ(launch.size(), 2u);
    EXPECT_EQ(launch[0], L"\"" + online + L"\\Game.exe\"");
    EXPECT_EQ(launch[1], online);
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(ModeRun, CurrentBuildIsOnlyStarted) {
    InstallBuild(online, "1.0.0", {{L"Save/slot1.sav", "mine"}});
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    const auto messages = RunOnline(manifest);
    const std::vector<RecordedMessage> expected = {
        EnableButtons(false),
        Status(L"Проверка обновлений онлайн-версии..."),
        Status(L"Запуск онлайн-версии..."),
        Progress(100, L"онлайн-версии запущена."),
        WorkerDone(),
    };
    EXPECT_EQ(messages, expected) << ToUtf8(Describe(messages));
    EXPECT_EQ(WaitForLaunch(online).size(), 2u);
    EXPECT_FALSE(Exists(online + L"\\data.txt"));
    EXPECT_FALSE(Exists(base / L"backup"));
}

TEST_F(ModeRun, NewerInstalledVersionCountsAsCurrent) {
    InstallBuild(official, "2.0.0.1");
    const auto messages = RunOfficial(server.PublishManifest(ManifestFor("2", L"v1_top.zip")));
    ASSERT_EQ(messages.size(), 5u) << ToUtf8(Describe(messages));
    EXPECT_EQ(messages[2], Status(L"Запуск официальной версии..."));
    EXPECT_EQ(messages[3], Progress(100, L"официальной версии запущена."));
}

TEST_F(ModeRun, MissingVersionFileIsVersionZero) {
    InstallBuild(online, "");
    DeleteFileW((online + L"\\version.txt").c_str());
    // Version 0 equals the fallback: only started.
    auto messages = RunOnline(server.PublishManifest(ManifestFor("0", L"v1_top.zip")));
    EXPECT_EQ(messages[2], Status(L"Запуск онлайн-версии...")) << ToUtf8(Describe(messages));
    EXPECT_FALSE(Exists(online + L"\\version.txt"));
    // Any non-zero group is newer.
    messages = RunOnline(server.PublishManifest(ManifestFor("0.0.1", L"v1_top.zip")));
    EXPECT_EQ(messages[2], Status(L"Обновление онлайн-версии до версии 0.0.1..."));
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "0.0.1");
}

TEST_F(ModeRun, MissingExecutableMeansUpdateEvenWithTheSameVersion) {
    WriteBytes(online + L"\\version.txt", "1.0.0");
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0.0", true);
}

TEST_F(ModeRun, ManifestExecutableNameDecidesAndIsStarted) {
    InstallBuild(online, "1.0.0"); // has Game.exe, but the manifest names Vorn.exe
    const auto messages = RunOnline(server.PublishManifest(
        ManifestFor("1.0.0", L"custom_exe.zip", true, ",\n  \"exe\": \"Vorn.exe\"")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0.0", true);
    const auto launch = WaitForLaunch(online);
    ASSERT_EQ(launch.size(), 2u);
    EXPECT_EQ(launch[0], L"\"" + online + L"\\Vorn.exe\"");
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.0.0");
}

TEST_F(ModeRun, VersionFileHoldsExactlyTheManifestText) {
    const auto messages =
        RunOnline(server.PublishManifest(ManifestFor("1.2-rc3 \\u0416", L"v1_top.zip")));
    EXPECT_EQ(messages[2], Status(L"Обновление онлайн-версии до версии 1.2-rc3 u0416..."));
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.2-rc3 u0416");
}

TEST_F(ModeRun, ManifestThatCannotBeFetchedStartsNothing) {
    InstallBuild(online, "1.0.0", {{L"Save/slot1.sav", "mine"}});
    const auto before = TreeOf(online);
    const auto messages = RunOnline(server.Url(L"missing.json"));
    const std::vector<RecordedMessage> expected = {
        EnableButtons(false),
        Status(L"Проверка обновлений онлайн-версии..."),
        Progress(0, L""),
        Error(L"Ошибка: Не удалось скачать файл через PowerShell.\nОшибка скачивания: сервер "
              L"ответил HTTP 404"),
        WorkerDone(),
    };
    EXPECT_EQ(messages, expected) << ToUtf8(Describe(messages));
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_FALSE(Exists(online + L"\\launched.txt"));
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(ModeRun, UnreachableServerFailsTheSameWay) {
    const std::wstring url = L"https://localhost:1/Launcher/version.json";
    const auto messages = RunOnline(url);
    // The cause on a second line: WinINet's own text for the refused connection.
    ExpectFailedRunEnd(messages,
                       L"Не удалось скачать файл через PowerShell.\nНе удалось открыть URL: " +
                           url + L": " + GetWinErrorMessage(12029));
}

TEST_F(ModeRun, ServerErrorStatusFailsTheFetch) {
    server.Publish(L"version.json", ManifestFor("9.9.9", L"v1_top.zip"));
    const auto messages = RunOnline(server.Url(L"version.json", L"_status/503/"));
    ExpectFailedRunEnd(messages, L"Не удалось скачать файл через PowerShell.\nОшибка скачивания: "
                                 L"сервер ответил HTTP 503");
    EXPECT_FALSE(Exists(online + L"\\Game.exe"));
}

TEST_F(ModeRun, ARedirectFromHttpsToPlainHttpIsRefused) {
    // The server's plain-HTTP listener serves the same files: followed, the
    // manifest would be read and the archive installed.
    InstallBuild(online, "1.0.0");
    server.Publish(L"version.json", ManifestFor("9.9.9", L"v1_top.zip"));
    const std::wstring manifest = server.Url(L"version.json", L"_tohttp/");
    auto messages = RunOnline(manifest);
    ASSERT_GE(messages.size(), 2u);
    const std::wstring refused = L"): сервер перенаправил защищённый запрос на незащищённый адрес.";
    std::wstring error = messages[messages.size() - 2].text;
    EXPECT_EQ(error.rfind(L"Ошибка: Не удалось скачать файл через PowerShell.\nНе удалось "
                          L"открыть URL: " +
                              manifest + L" (http://localhost:",
                          0),
              0u)
        << ToUtf8(error);
    EXPECT_EQ(error.substr(error.size() - refused.size()), refused);

    const std::string archive = ToUtf8(ServerUrl(L"_tohttp/builds/v1_top.zip"));
    messages = RunOnline(
        server.PublishManifest("{\"version\": \"9.9.9\", \"download_url\": \"" + archive + "\"}"));
    error = messages[messages.size() - 2].text;
    EXPECT_EQ(error.rfind(L"Ошибка: Не удалось открыть URL: " + FromUtf8(archive), 0), 0u)
        << ToUtf8(error);
    EXPECT_EQ(error.substr(error.size() - refused.size()), refused);
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.0.0");
    EXPECT_FALSE(Exists(online + L"\\launched.txt"));
}

TEST_F(ModeRun, AManifestLongerThan64KiBIsRefusedBeforeItFillsTheDisk) {
    // Endless, and a small gzip body that unpacks to megabytes.
    InstallBuild(online, "1.0.0");
    server.Publish(L"endless.json", std::string(8 << 20, ' '));
    for (const wchar_t* behaviour : {L"_nolength/", L"_gzip/"}) {
        SCOPED_TRACE(ToUtf8(behaviour));
        const auto messages = RunOnline(server.Url(L"endless.json", behaviour));
        ExpectFailedRunEnd(messages, L"Не удалось скачать файл через PowerShell.\nОшибка "
                                     L"скачивания: ответ сервера длиннее 65536 байт.");
        EXPECT_TRUE(LeftoverWorkFolders().empty());
    }
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.0.0");
}

TEST_F(ModeRun, ManifestWithoutTheRequiredFieldsIsRejected) {
    InstallBuild(online, "1.0.0");
    const std::wstring expected = L"В manifest должны быть поля: version и download_url";
    for (const std::string json : {"{\"version\": \"2.0\", \"download_url\": \"\"}",
                                   "{\"version\": 2, \"download_url\": \"x\"}",
                                   "<html><body>Service unavailable</body></html>", ""}) {
        const auto messages = RunOnline(server.PublishManifest(json));
        ASSERT_EQ(messages.size(), 5u) << ToUtf8(Describe(messages));
        ExpectFailedRunEnd(messages, expected);
    }
    // A version group too large for its number once wrapped round to a small
    // one: "4294967296.3" read as 0.3, a downgrade.
    const auto messages =
        RunOnline(server.PublishManifest(ManifestFor("4294967296.3", L"v1_top.zip")));
    ExpectFailedRunEnd(messages, L"Недопустимая версия в manifest: '4294967296.3': число в ней "
                                 L"больше 2147483647.");
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.0.0");
    EXPECT_FALSE(Exists(online + L"\\launched.txt"));
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(ModeRun, VersionFileThatCannotBeWrittenFailsWithoutStartingTheGame) {
    // The new build ships a folder where the version file goes.
    const auto messages =
        RunOnline(server.PublishManifest(ManifestFor("3.0", L"version_folder.zip")));
    ExpectFailedRunEnd(messages, L"Не удалось записать файл: " + online + L"\\version.txt");
    EXPECT_TRUE(IsFile(online + L"\\Game.exe"));
    Sleep(500);
    EXPECT_FALSE(Exists(online + L"\\launched.txt"));
}

TEST_F(ModeRun, MissingGameAfterInstallIsReportedAtStart) {
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"no_exe_many.zip")));
    ExpectFailedRunEnd(messages, L"Не найден файл запуска: " + online + L"\\Game.exe");
    // The version is recorded: the install itself succeeded.
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "1.0");
    EXPECT_EQ(messages[messages.size() - 4], Progress(100, L"онлайн-версии обновлена. Запуск..."));
}

TEST_F(ModeRun, ExecutableOutsideTheBuildFolderIsRefusedBeforeAnythingChanges) {
    // A program beside the build folders that the manifest tries to reach.
    InstallBuild(online, "1.0.0", {{L"Save/slot1.sav", "mine"}});
    EnsureDir(base / L"outside");
    CopyFileW((TestEnvDir() + L"\\game.exe").c_str(), (base / L"outside\\tool.exe").c_str(), FALSE);
    const auto before = TreeOf(online);
    for (const auto& [json, shown] : std::vector<std::pair<std::string, std::wstring>>{
             {"..\\\\outside\\\\tool.exe", L"..\\outside\\tool.exe"},
             {"../outside/tool.exe", L"../outside/tool.exe"},
             {"COM\xC2\xB9.exe", L"COM\u00B9.exe"}}) {
        const auto messages = RunOnline(server.PublishManifest(
            ManifestFor("1.0.0", L"v1_top.zip", true, ",\n  \"exe\": \"" + json + "\"")));
        ASSERT_EQ(messages.size(), 5u) << ToUtf8(Describe(messages));
        ExpectFailedRunEnd(messages,
                           L"Недопустимое имя файла запуска в manifest: '" + shown + L"'.");
    }
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_FALSE(Exists(base / L"outside\\launched.txt"));
    EXPECT_FALSE(Exists(online + L"\\launched.txt"));
}

// Manifests signed by the studio's keys (the test environment's signing
// folder: keys a and b built in, c a stranger's) over delta build 2.
namespace {

// The manifest with the first occurrence of a text replaced.
std::string Changed(std::string json, const std::string& from, const std::string& to) {
    const size_t at = json.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? json : json.replace(at, from.size(), to);
}

// The digest with its first hexadecimal digit changed.
std::string OneDigitOff(std::string digest) {
    digest[0] = digest[0] == '0' ? '1' : '0';
    return digest;
}

// A run that updated the build and started it, small update or whole.
void ExpectUpdatedAndStarted(const std::vector<RecordedMessage>& messages,
                             const std::wstring& label) {
    ASSERT_GE(messages.size(), 3u) << ToUtf8(Describe(messages));
    EXPECT_EQ(messages[messages.size() - 3], Progress(100, label + L" обновлена. Запуск..."))
        << ToUtf8(Describe(messages));
    EXPECT_EQ(messages[messages.size() - 2], Progress(100, label + L" запущена."));
}

const wchar_t kNotAuthentic[] = L"Обновление не прошло проверку подлинности: его подпись не от "
                                L"издателя игры. Ничего не скачано, установленная игра не "
                                L"изменена.";

} // namespace

TEST_F(ModeRun, ASignedManifestInstallsWithEitherBuiltInKey) {
    app.updateKeys = {UpdateKeyLine(L"a"), UpdateKeyLine(L"b")};
    server.Publish(L"version.json", SignedManifest(L"installed_a"));
    ExpectUpdatedAndStarted(RunOnline(server.Url(L"version.json")), L"онлайн-версии");
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v2");
    server.Publish(L"version_offline.json", SignedManifest(L"installed_official_b"));
    ExpectUpdatedAndStarted(RunOfficial(server.Url(L"version_offline.json")),
                            L"официальной версии");
    EXPECT_EQ(ReadBytes(official + L"\\version.txt"), "2");
    EXPECT_EQ(WaitForLaunch(official).size(), 2u);
}

TEST_F(ModeRun, AnOldSignedManifestReplayedNeverTakesTheBuildBack) {
    app.updateKeys = {UpdateKeyLine(L"a")};
    server.Publish(L"version.json", SignedManifest(L"installed_a"));
    ExpectUpdatedAndStarted(RunOnline(server.Url(L"version.json")), L"онлайн-версии");
    WaitForLaunch(online);
    DeleteFileW((online + L"\\launched.txt").c_str());
    const std::wstring refused = L"Сервер предлагает версию 1 онлайн-версии, а на этом компьютере "
                                 L"уже была версия 2. Старые версии не устанавливаются: сообщите "
                                 L"об этом в группу проекта. Установленная игра не изменена.";

    // Version 1 of the same build, signed long ago: the current game starts.
    server.Publish(L"version.json", SignedManifest(L"replayed_a"));
    auto messages = RunOnline(server.Url(L"version.json"));
    EXPECT_EQ(messages[messages.size() - 2], Progress(100, L"онлайн-версии запущена."));
    ASSERT_FALSE(WaitForLaunch(online).empty());

    // Naming an executable the build lacks, it would install: refused.
    const auto before = TreeOf(online);
    server.Publish(L"version.json", SignedManifest(L"replayed_exe_a"));
    ExpectFailedRunEnd(RunOnline(server.Url(L"version.json")), refused);
    EXPECT_EQ(TreeOf(online), before);

    // The game deleted: the record alone keeps version 1 out.
    DeleteFileW((online + L"\\Game.exe").c_str());
    DeleteFileW((online + L"\\version.txt").c_str());
    server.Publish(L"version.json", SignedManifest(L"replayed_a"));
    ExpectFailedRunEnd(RunOnline(server.Url(L"version.json")), refused);

    // The record lost, a restore owed: version.txt stands in for it.
    InstallBuild(online, "2");
    DeleteFileW((online + L"\\launched.txt").c_str());
    DeleteFileW((base / L"backup\\game_online\\highest-version.txt").c_str());
    WriteBytes(app.GetRestorePendingFile(online), "");
    ExpectFailedRunEnd(RunOnline(server.Url(L"version.json")), refused);
    EXPECT_FALSE(Exists(online + L"\\launched.txt"));
}

TEST_F(ModeRun, ASignedExpiryAndLengthAreHeldTo) {
    app.updateKeys = {UpdateKeyLine(L"a")};
    const auto before = TreeOf(online);
    // Past its time: the server went on serving what the studio stopped
    // signing.
    server.Publish(L"version.json", SignedManifest(L"expired_a"));
    ExpectFailedRunEnd(RunOnline(server.Url(L"version.json")),
                       L"Сервер обновлений устарел: описание обновления действовало до "
                       L"2020-01-01T00:00:00Z (UTC). Сообщите об этом в группу проекта. Ничего "
                       L"не скачано, установленная игра не изменена.");
    // An archive announced with another length than the signed one ends at
    // once.
    const unsigned long long size =
        ReadBytes(TestEnvDir() + L"\\www\\signed\\installed\\delta2.zip").size();
    server.Publish(L"version.json", SignedManifest(L"missized_a"));
    ExpectFailedRunEnd(RunOnline(server.Url(L"version.json")),
                       L"Ошибка скачивания: сервер объявил " + std::to_wstring(size) +
                           L" байт вместо " + std::to_wstring(size + 1) + L".");
    EXPECT_EQ(TreeOf(online), before);
    // Both signed and right: installed.
    server.Publish(L"version.json", SignedManifest(L"expiring_a"));
    ExpectUpdatedAndStarted(RunOnline(server.Url(L"version.json")), L"онлайн-версии");
}

TEST_F(ModeRun, AManifestTheKeysDoNotVerifyChangesNothing) {
    app.updateKeys = {UpdateKeyLine(L"b"), UpdateKeyLine(L"a")};
    InstallBuild(online, "1", {{L"Save/slot1.sav", "mine"}});
    const auto before = TreeOf(base.Path());
    const std::string good = SignedManifest(L"refused_a");
    const std::string digest = ReadBytes(TestEnvDir() + L"\\www\\builds\\delta2.zip.sha256");
    const std::string index = ReadBytes(TestEnvDir() + L"\\www\\builds\\delta2.zip.files.sha256");
    for (const std::string& json : {
             Changed(good, "\"2\"", "\"3\""),
             Changed(good, "delta2.zip\"", "delta3.zip\""),
             Changed(good, "\"Game.exe\"", "\"game.exe\""),
             Changed(good, digest, OneDigitOff(digest)),
             Changed(good, "delta2.zip.files\"", "delta3.zip.files\""),
             Changed(good, index, OneDigitOff(index)),
             SignedManifest(L"refused_official_a"),
             SignedManifest(L"refused_c"),
             Changed(good, "\"update_signature\"", "\"signature\""),
             SignedManifest(L"refused_nodigest_a"),
         }) {
        const auto messages = RunOnline(server.PublishManifest(json));
        ASSERT_EQ(messages.size(), 5u) << json << ToUtf8(Describe(messages));
        ExpectFailedRunEnd(messages, kNotAuthentic);
    }
    EXPECT_EQ(TreeOf(base.Path()), before);
    EXPECT_TRUE(RequestsFor(L"/signed/refused/").empty());
    EXPECT_TRUE(LeftoverWorkFolders().empty());

    // Built without keys, the launcher takes any of them as it always has.
    app.updateKeys.clear();
    ExpectUpdatedAndStarted(RunOnline(server.PublishManifest(SignedManifest(L"refused_c"))),
                            L"онлайн-версии");
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
}
