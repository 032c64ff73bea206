// The run's two PowerShell steps as Windows runs them: the exact command
// lines handed to powershell.exe and what its exit codes mean. A stand-in
// powershell.exe beside this test program records each command line and does
// the work.

#include "pipeline/PowerShellSteps.h"
#include "platform/PowerShell.h"
#include "tests/pipeline/PipelineTest.h"

using PowerShellSteps = PipelineTest;

namespace {

const std::wstring kPrefix =
    L"powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -Command \"";

class PowerShellLog {
public:
    explicit PowerShellLog(const TempDir& folder) : path_(folder / L"powershell-calls.txt") {
        SetEnvironmentVariableW(L"VORN_PS_LOG", path_.c_str());
    }
    ~PowerShellLog() {
        SetEnvironmentVariableW(L"VORN_PS_LOG", nullptr);
        SetEnvironmentVariableW(L"VORN_PS_EXIT", nullptr);
    }
    std::vector<std::wstring> Lines() const {
        std::vector<std::wstring> lines;
        const std::wstring text = FromUtf8(ReadBytes(path_));
        size_t start = 0;
        for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }

private:
    std::wstring path_;
};

// The work folder named in a command line, checked for the launcher's shape.
std::wstring WorkFolderIn(const std::wstring& line, const std::wstring& before,
                          const std::wstring& after) {
    const size_t start = line.find(before);
    if (start == std::wstring::npos)
        return L"";
    const size_t from = start + before.size();
    const size_t end = line.find(after, from);
    return end == std::wstring::npos ? L"" : line.substr(from, end - from);
}

} // namespace

TEST_F(PowerShellSteps, StandInBesideTheLauncherIsRunInsteadOfTheBuiltInSteps) {
    EXPECT_FALSE(PowerShellIsWineStub());
}

TEST_F(PowerShellSteps, UpdateRunsTheTwoExactCommandLines) {
    PowerShellLog log(base);
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    const auto messages = RunOnline(manifest);
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v1");

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring workPrefix =
        std::wstring(temp) + L"vorn_launcher_" + std::to_wstring(GetCurrentProcessId()) + L"_";

    const std::wstring fetchFolder = WorkFolderIn(lines[0], L"-OutFile '", L"\\response.txt'");
    EXPECT_EQ(fetchFolder.compare(0, workPrefix.size(), workPrefix), 0) << ToUtf8(lines[0]);
    EXPECT_EQ(lines[0], kPrefix +
                            L"$ProgressPreference='SilentlyContinue'; Invoke-WebRequest "
                            L"-UseBasicParsing -Uri '" +
                            manifest + L"' -OutFile '" + fetchFolder + L"\\response.txt'\"");

    const std::wstring installFolder = WorkFolderIn(lines[1], L"-LiteralPath '", L"\\game.zip'");
    EXPECT_EQ(installFolder.compare(0, workPrefix.size(), workPrefix), 0) << ToUtf8(lines[1]);
    EXPECT_EQ(lines[1], kPrefix + L"Expand-Archive -LiteralPath '" + installFolder +
                            L"\\game.zip' -DestinationPath '" + installFolder +
                            L"\\extract' -Force\"");
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(PowerShellSteps, ApostrophesInTheUrlAreDoubled) {
    PowerShellLog log(base);
    server.Publish(L"it's.json", ManifestFor("1.0", L"v1_top.zip"));
    InstallBuild(online, "1.0");
    const auto messages = RunOnline(server.Url(L"it's.json"));
    EXPECT_EQ(messages[2], Status(L"Запуск онлайн-версии...")) << ToUtf8(Describe(messages));
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(L"-Uri '" + server.Url(L"it''s.json") + L"' -OutFile"),
              std::wstring::npos)
        << ToUtf8(lines[0]);
}

TEST_F(PowerShellSteps, NonZeroExitOfTheFetchIsADownloadFailure) {
    PowerShellLog log(base);
    SetEnvironmentVariableW(L"VORN_PS_EXIT", L"1");
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectFailedRunEnd(messages, L"Не удалось скачать файл через PowerShell.");
    EXPECT_EQ(log.Lines().size(), 1u);
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}

TEST_F(PowerShellSteps, NonZeroExitOfTheUnpackingFailsTheInstall) {
    PowerShellLog log(base);
    InstallBuild(online, "0.9");
    // Half an archive, served whole: the stand-in's unpacking fails with exit
    // code 1.
    const std::string archive = ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip");
    server.Publish(L"half.zip", archive.substr(0, archive.size() / 2));
    const std::string json =
        "{\"version\": \"1.0\", \"download_url\": \"" + ToUtf8(server.Url(L"half.zip")) + "\"}";
    const auto messages = RunOnline(server.PublishManifest(json));
    ExpectFailedRunEnd(messages, L"PowerShell не смог распаковать ZIP-архив.");
    EXPECT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "0.9");
}
