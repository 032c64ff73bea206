#include "platform/Errors.h"
#include "platform/PowerShell.h"
#include "platform/SystemLibraries.h"
#include "platform/files/SystemFolders.h"
#include "platform/files/WorkFolder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cwctype>
#include <memory>
#include <set>
#include <vector>

TEST(EscapeForPowerShellSingleQuoted, DoublesApostrophesOnly) {
    EXPECT_EQ(EscapeForPowerShellSingleQuoted(L""), L"");
    EXPECT_EQ(EscapeForPowerShellSingleQuoted(L"'''"), L"''''''");
    EXPECT_EQ(EscapeForPowerShellSingleQuoted(L"C:\\Users\\Игрок\\Temp\\game.zip"),
              L"C:\\Users\\Игрок\\Temp\\game.zip");
    EXPECT_EQ(EscapeForPowerShellSingleQuoted(L"C:\\Users\\O'Brien\\x"), L"C:\\Users\\O''Brien\\x");
    const std::wstring untouched = L"\"`$(x)\x2018\x2019\x201A\x201B";
    EXPECT_EQ(EscapeForPowerShellSingleQuoted(untouched), untouched);
}

TEST(GetTempFolderName, NamesAFreshFolderUnderTheTempFolderWithoutMakingIt) {
    // A temp folder longer than 260 characters, as a deep user profile has.
    TempDir base;
    const std::wstring temp = base / (std::wstring(120, L'a') + L"\\" + std::wstring(120, L'b'));
    ASSERT_TRUE(CreateDirectoryW((base / std::wstring(120, L'a')).c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
    wchar_t saved[1024] = {};
    GetEnvironmentVariableW(L"TMP", saved, 1024);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    const std::wstring name = GetTempFolderName();
    const std::wstring again = GetTempFolderName();
    SetEnvironmentVariableW(L"TMP", saved);

    const std::wstring prefix =
        temp + L"\\vorn_launcher_" + std::to_wstring(GetCurrentProcessId()) + L"_";
    ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0) << "name: " << ToUtf8(name);
    const std::wstring tick = name.substr(prefix.size());
    ASSERT_FALSE(tick.empty());
    for (wchar_t digit : tick)
        EXPECT_TRUE(std::iswdigit(digit));
    EXPECT_FALSE(tick.size() > 1 && tick[0] == L'0');
    EXPECT_FALSE(Exists(name));
    EXPECT_FALSE(Exists(again));
}

TEST(WorkFolder, FoldersMadeWithinOneTickOfTheClockAreTwo) {
    // The launcher's own update check and a run can each make one at once.
    std::vector<std::unique_ptr<WorkFolder>> made;
    std::set<std::wstring> paths;
    for (int i = 0; i < 30; ++i) {
        ASSERT_NO_THROW(made.push_back(std::make_unique<WorkFolder>())) << i;
        paths.insert(made.back()->Path());
    }
    EXPECT_EQ(paths.size(), 30u);
}

TEST(PowerShellIsWineStub, APowerShellInTheCurrentFolderIsNotTaken) {
    // Windows PowerShell is only the one in the system folder: a planted
    // powershell.exe where the player starts the launcher (a Downloads folder)
    // changes nothing, and Wine's is the stub.
    if (!RunningUnderWine())
        GTEST_SKIP() << "only Wine has the stub";
    TempDir folder;
    ASSERT_TRUE(CopyFileW((TestBinDir() + L"\\..\\bin-ps\\powershell.exe").c_str(),
                          (folder / L"powershell.exe").c_str(), FALSE));
    std::wstring previous(MAX_PATH * 4, L'\0');
    previous.resize(GetCurrentDirectoryW(static_cast<DWORD>(previous.size()), previous.data()));
    ASSERT_TRUE(SetCurrentDirectoryW(folder.Path().c_str()));
    const bool stub = PowerShellIsWineStub();
    SetCurrentDirectoryW(previous.c_str());
    EXPECT_TRUE(stub);
    EXPECT_EQ(PowerShellPath(), SystemFolder() + L"\\WindowsPowerShell\\v1.0\\powershell.exe");
}
