// Starting the game: the exact command line, the current folder, and the
// start failures.

#include "platform/files/FileOps.h"
#include "tests/pipeline/PipelineTest.h"

#include "platform/Errors.h"

using GameLaunch = PipelineTest;

TEST_F(GameLaunch, QuotedPathWithoutArgumentsInTheBuildFolder) {
    const std::wstring folder = base / L"Мои игры\\game online";
    InstallBuild(folder, "1.0");
    app.LaunchGame(folder, L"Game.exe");
    const auto launch = WaitForLaunch(folder);
    ASSERT_EQ(launch.size(), 2u);
    EXPECT_EQ(launch[0], L"\"" + folder + L"\\Game.exe\"");
    EXPECT_EQ(launch[1], folder);
}

TEST_F(GameLaunch, ExecutableInASubfolderRunsInTheBuildFolder) {
    EnsureDir(online + L"\\bin");
    CopyFileW((TestEnvDir() + L"\\game.exe").c_str(), (online + L"\\bin\\Game.exe").c_str(), FALSE);
    app.LaunchGame(online, L"bin\\Game.exe");
    const auto launch = WaitForLaunch(online + L"\\bin");
    ASSERT_EQ(launch.size(), 2u);
    EXPECT_EQ(launch[1], online);
}

TEST_F(GameLaunch, MissingExecutableStillLeavesTheSaveFolder) {
    const std::wstring folder = base / L"fresh";
    EXPECT_EQ(RaisedText([&] { app.LaunchGame(folder, L"Game.exe"); }),
              L"Не найден файл запуска: " + folder + L"\\Game.exe");
    EXPECT_TRUE(IsFolder(folder + L"\\Save"));
    EXPECT_EQ(RaisedText([&] { app.LaunchGame(folder, L""); }),
              L"Не найден файл запуска: " + folder);
}

TEST_F(GameLaunch, FileThatIsNoProgramCannotBeStarted) {
    WriteBytes(online + L"\\Game.exe", "this is not a program");
    const std::wstring text = RaisedText([&] { app.LaunchGame(online, L"Game.exe"); });
    EXPECT_EQ(text, L"Не удалось запустить игру: " + GetWinErrorMessage(ERROR_BAD_EXE_FORMAT));
}

TEST_F(GameLaunch, SaveFolderThatCannotBeMadeIsTheError) {
    WriteBytes(base / L"file", "x");
    const std::wstring folder = base / L"file\\game_online";
    EXPECT_EQ(RaisedText([&] { app.LaunchGame(folder, L"Game.exe"); }),
              L"Не удалось создать папку '" + folder + L"': " +
                  GetWinErrorMessage(ERROR_PATH_NOT_FOUND));
}
