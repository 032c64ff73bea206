// The command buttons and the hand-off of a run to its worker thread.

#include "app/ServerUrls.h"
#include "tests/pipeline/PipelineTest.h"

using Commands = PipelineTest;

namespace {

// The built-in manifest URLs of the test build point at the local server.
// Published for one test and removed after it.
class BuiltInManifest {
public:
    BuiltInManifest(const std::wstring& file, const std::string& json)
        : path_(TestEnvDir() + L"\\www\\Launcher\\" + file) {
        CreateDirectoryW((TestEnvDir() + L"\\www\\Launcher").c_str(), nullptr);
        WriteBytes(path_, json);
    }
    ~BuiltInManifest() { DeleteFileW(path_.c_str()); }

private:
    std::wstring path_;
};

} // namespace

TEST_F(Commands, OnlineButtonUpdatesTheOnlineBuild) {
    EXPECT_EQ(std::wstring(OnlineManifestUrl()), ServerUrl(L"Launcher/version.json"));
    BuiltInManifest manifest(L"version.json", ManifestFor("1.0", L"v1_top.zip"));
    const auto messages = recorder.RunCommand(app, kOnlineButtonId);
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    EXPECT_EQ(WaitForLaunch(online).size(), 2u);
    EXPECT_FALSE(Exists(official + L"\\Game.exe"));
}

TEST_F(Commands, OfficialButtonUpdatesTheOfficialBuild) {
    EXPECT_EQ(std::wstring(OfficialManifestUrl()), ServerUrl(L"Launcher/version_offline.json"));
    BuiltInManifest manifest(L"version_offline.json", ManifestFor("2.0", L"v2_nested.zip"));
    const auto messages = recorder.RunCommand(app, kOfficialButtonId);
    ExpectUpdateRun(messages, L"официальной версии", L"2.0", true);
    EXPECT_EQ(ReadBytes(official + L"\\data.txt"), "v2");
    EXPECT_FALSE(Exists(online + L"\\Game.exe"));
}

TEST_F(Commands, NoRunStartsWhileBusyOrClosingOrForOtherIds) {
    app.window = recorder.Window();
    app.busy = 1;
    app.OnCommand(kOnlineButtonId);
    app.StartMode(L"онлайн-версии", ServerUrl(L"x.json"), online);
    EXPECT_EQ(app.workerThread, nullptr);
    app.busy = 0;
    app.closing = 1;
    app.OnCommand(kOfficialButtonId);
    EXPECT_EQ(app.workerThread, nullptr);
    EXPECT_EQ(app.busy, 0);
    app.closing = 0;
    app.OnCommand(0);
    app.OnCommand(1004);
    EXPECT_EQ(app.workerThread, nullptr);

    // Nothing was posted to the window.
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, recorder.Window(), 0, 0, PM_NOREMOVE));
}

TEST_F(Commands, EachRunStartsWithAnEmptyBarAndDisabledButtons) {
    InstallBuild(online, "5.0");
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    app.progress = 42;
    app.marqueeOffset = 500;
    app.window = recorder.Window();
    app.StartMode(L"онлайн-версии", manifest, online);
    EXPECT_EQ(app.busy, 1);
    EXPECT_EQ(app.progress, 0);
    EXPECT_EQ(app.marqueeOffset, 0);
    const auto messages = recorder.WaitForDone(app);
    EXPECT_EQ(messages.front(), EnableButtons(false));
    EXPECT_EQ(messages.back(), WorkerDone());
}

TEST_F(Commands, RunsFollowOneAnother) {
    InstallBuild(online, "5.0");
    const std::wstring manifest = server.PublishManifest(ManifestFor("1.0", L"v1_top.zip"));
    for (int run = 0; run < 3; ++run) {
        const auto messages = RunOnline(manifest);
        EXPECT_EQ(messages.size(), 5u) << ToUtf8(Describe(messages));
        EXPECT_EQ(messages[3], Progress(100, L"онлайн-версии запущена."));
        EXPECT_EQ(app.busy, 0);
    }
}
