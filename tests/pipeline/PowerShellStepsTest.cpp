// The run's two PowerShell steps as Windows runs them: the exact command
// lines handed to powershell.exe, what its failures lead to, and the job that
// ends it with the launcher. These tests run in a Wine prefix of their own,
// where a stand-in takes the place of Windows PowerShell in the system folder:
// it records each command line and does the work, or misbehaves on request.

#include "pipeline/PowerShellSteps.h"
#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
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
        for (const wchar_t* name : {L"VORN_PS_LOG", L"VORN_PS_EXIT", L"VORN_PS_HANG",
                                    L"VORN_PS_PIDFILE", L"VORN_PS_HALF"})
            SetEnvironmentVariableW(name, nullptr);
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

// Takes the stand-in away for as long as it lives: no PowerShell at all.
class NoPowerShell {
public:
    NoPowerShell() : path_(PowerShellPath()) {
        EXPECT_TRUE(MoveFileW(path_.c_str(), (path_ + L".away").c_str()));
    }
    ~NoPowerShell() { MoveFileW((path_ + L".away").c_str(), path_.c_str()); }

private:
    std::wstring path_;
};

} // namespace

TEST_F(PowerShellSteps, StandInInTheSystemFolderIsRunInsteadOfTheBuiltInSteps) {
    EXPECT_FALSE(PowerShellIsWineStub());
}

TEST_F(PowerShellSteps, RunnerPassesTheCommandLineAndTheExitCodeThrough) {
    PowerShellLog log(base);
    const std::wstring commandLine =
        L"powershell.exe -NoProfile -Command \"Expand-Archive -LiteralPath 'C:\\a b''c'\"";
    SetEnvironmentVariableW(L"VORN_PS_EXIT", L"0");
    EXPECT_EQ(RunPowerShell(commandLine, 60000), 0u);
    EXPECT_EQ(log.Lines(), std::vector<std::wstring>{commandLine});
    SetEnvironmentVariableW(L"VORN_PS_EXIT", L"7");
    EXPECT_EQ(RunPowerShell(commandLine, 60000), 7u);
}

TEST_F(PowerShellSteps, PowerShellPastItsTimeLimitIsEnded) {
    PowerShellLog log(base);
    const std::wstring pidFile = base / L"powershell.pid";
    SetEnvironmentVariableW(L"VORN_PS_HANG", L"1");
    SetEnvironmentVariableW(L"VORN_PS_PIDFILE", pidFile.c_str());
    EXPECT_EQ(RunPowerShell(L"powershell.exe -Command x", 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    const DWORD pid = std::stoul(ReadBytes(pidFile));
    HandleGuard process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    EXPECT_TRUE(!process.Valid() || WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0);
}

TEST_F(PowerShellSteps, KilledLauncherLeavesNoPowerShellBehind) {
    PowerShellLog log(base);
    const std::wstring pidFile = base / L"powershell.pid";
    SetEnvironmentVariableW(L"VORN_PS_HANG", L"1");
    SetEnvironmentVariableW(L"VORN_PS_PIDFILE", pidFile.c_str());
    // A launcher of its own that waits for PowerShell without a limit.
    std::wstring commandLine = L"run_powershell.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                               nullptr, &startup, &started));
    HandleGuard launcherThread(started.hThread);
    HandleGuard launcher(started.hProcess);
    for (int i = 0; i < 300 && !IsFile(pidFile); ++i)
        Sleep(100);
    Sleep(200); // the line is written just after the file is made
    ASSERT_TRUE(IsFile(pidFile)) << "PowerShell did not start";
    HandleGuard powershell(
        OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, std::stoul(ReadBytes(pidFile))));
    ASSERT_TRUE(powershell.Valid());
    ASSERT_EQ(WaitForSingleObject(powershell.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    TerminateProcess(launcher.Get(), 9);
    EXPECT_EQ(WaitForSingleObject(powershell.Get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    TerminateProcess(powershell.Get(), 1); // whatever happened, it ends here
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

    // The archive unpacks beside the build, on its drive.
    const std::wstring updatePrefix =
        base / (L"vorn_update_" + std::to_wstring(GetCurrentProcessId()) + L"_");
    const std::wstring updateFolder = WorkFolderIn(lines[1], L"-LiteralPath '", L"\\game.zip'");
    EXPECT_EQ(updateFolder.compare(0, updatePrefix.size(), updatePrefix), 0) << ToUtf8(lines[1]);
    EXPECT_EQ(lines[1], kPrefix + L"$ProgressPreference='SilentlyContinue'; Expand-Archive "
                                  L"-LiteralPath '" +
                            updateFolder + L"\\game.zip' -DestinationPath '" + updateFolder +
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

TEST_F(PowerShellSteps, FailingPowerShellStepsFallBackToTheLaunchersOwn) {
    PowerShellLog log(base);
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    SetEnvironmentVariableW(L"VORN_PS_EXIT", L"1");
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v1");
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
}

TEST_F(PowerShellSteps, WhatAFailedExpandArchiveLeftIsNotInstalled) {
    PowerShellLog log(base);
    SetEnvironmentVariableW(L"VORN_PS_HALF", L"1");
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_EQ(log.Lines().size(), 2u);
    EXPECT_TRUE(IsFile(online + L"\\Game.exe"));
    EXPECT_FALSE(Exists(online + L"\\left-by-powershell.txt"));
}

TEST_F(PowerShellSteps, WithoutPowerShellTheLauncherDoesTheStepsItself) {
    PowerShellLog log(base);
    NoPowerShell away;
    EXPECT_EQ(RaisedText([] {
                  RunPowerShell(L"powershell.exe -Command x", 60000);
              }).rfind(L"Не удалось запустить PowerShell: ", 0),
              0u);
    const auto messages = RunOnline(server.PublishManifest(ManifestFor("1.0", L"v1_top.zip")));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(PowerShellSteps, ArchiveThatNeitherCanUnpackFailsTheInstall) {
    PowerShellLog log(base);
    InstallBuild(online, "0.9");
    // Half an archive, served whole: the stand-in's unpacking fails with exit
    // code 1.
    const std::string archive = ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip");
    server.Publish(L"half.zip", archive.substr(0, archive.size() / 2));
    const std::string json =
        "{\"version\": \"1.0\", \"download_url\": \"" + ToUtf8(server.Url(L"half.zip")) + "\"}";
    const auto messages = RunOnline(server.PublishManifest(json));
    // Expand-Archive fails, and so does the launcher's own extractor.
    ExpectFailedRunEnd(messages, L"PowerShell не смог распаковать ZIP-архив.");
    EXPECT_EQ(log.Lines().size(), 2u);
    EXPECT_EQ(ReadBytes(online + L"\\version.txt"), "0.9");
}
