#pragma once
// A launcher folder of its own for each test, with both builds' Save folders
// as the launcher makes them at start, a folder on the update server, and the
// recorder that drives runs like the window does.

#include "app/LauncherApp.h"
#include "app/Messages.h"
#include "tests/support/RunRecorder.h"
#include "tests/support/TestServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class PipelineTest : public ::testing::Test {
protected:
    PipelineTest();
    ~PipelineTest() override;

    std::vector<RecordedMessage> RunOnline(const std::wstring& manifestUrl);
    std::vector<RecordedMessage> RunOfficial(const std::wstring& manifestUrl);

    // The started test game's record: its command line and current folder,
    // waiting up to 15 s for it to appear. Empty when the game never started.
    std::vector<std::wstring> WaitForLaunch(const std::wstring& folder);

    // Game work folders of this process left under the temporary folder.
    std::vector<std::wstring> LeftoverWorkFolders();

    // Puts an installed build in place: the test game, a version file and the
    // given player files (name -> bytes, '/' separated, relative to the folder).
    void InstallBuild(const std::wstring& folder, const std::string& version,
                      const std::vector<std::pair<std::wstring, std::string>>& files = {});

    TempDir base;
    LauncherApp app;
    RunRecorder recorder;
    ServedFolder server;
    std::wstring online;
    std::wstring official;
};

// The run's first message and the messages of an update up to the download.
void ExpectUpdateRun(const std::vector<RecordedMessage>& messages, const std::wstring& label,
                     const std::wstring& version, bool withDigest);

// A failed run ends with progress 0 and an empty text, the error, and DONE.
void ExpectFailedRunEnd(const std::vector<RecordedMessage>& messages, const std::wstring& error);

// File contents by path relative to a folder, for whole-tree comparisons.
std::vector<std::pair<std::wstring, std::string>> TreeOf(const std::wstring& folder);

// The test server's request log lines that hold the text, in order.
std::vector<std::string> RequestsFor(const std::wstring& path);
