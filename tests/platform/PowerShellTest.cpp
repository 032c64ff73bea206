#include "platform/Errors.h"
#include "platform/PowerShell.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <cwctype>

// The runner is exercised with helper programs of the test suite, since Wine's
// powershell.exe does nothing.

TEST(RunPowerShell, PassesTheExitCodeThrough) {
    EXPECT_EQ(RunPowerShell(L"exit_with.exe 0"), 0u);
    EXPECT_EQ(RunPowerShell(L"exit_with.exe 1"), 1u);
    EXPECT_EQ(RunPowerShell(L"exit_with.exe 7"), 7u);
    EXPECT_EQ(RunPowerShell(L"\"" + TestBinDir() + L"\\exit_with.exe\" 255"), 255u);
}

TEST(RunPowerShell, GivesTheChildTheCommandLineUnchanged) {
    const std::wstring record = TestBinDir() + L"\\launched.txt";
    DeleteFileW(record.c_str());
    const std::wstring commandLine =
        L"record_args.exe -NoProfile -Command \"Expand-Archive -LiteralPath 'C:\\a b''c'\"";
    EXPECT_EQ(RunPowerShell(commandLine), 0u);
    const std::string recorded = ReadBytes(record);
    DeleteFileW(record.c_str());
    EXPECT_EQ(FromUtf8(recorded.substr(0, recorded.find('\n'))), commandLine);
}

TEST(RunPowerShell, ProgramThatCannotStartIsAnError) {
    EXPECT_EQ(RaisedText([] { RunPowerShell(L"no_such_program_here.exe -Command x"); }),
              L"Не удалось запустить PowerShell: " + GetWinErrorMessage(ERROR_FILE_NOT_FOUND));
}

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
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring prefix =
        std::wstring(temp) + L"vorn_launcher_" + std::to_wstring(GetCurrentProcessId()) + L"_";

    const std::wstring name = GetTempFolderName();
    ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0) << "name: " << ToUtf8(name);
    const std::wstring tick = name.substr(prefix.size());
    ASSERT_FALSE(tick.empty());
    for (wchar_t digit : tick)
        EXPECT_TRUE(std::iswdigit(digit));
    EXPECT_FALSE(tick.size() > 1 && tick[0] == L'0');
    EXPECT_FALSE(Exists(name));
    EXPECT_FALSE(Exists(GetTempFolderName()));
}

TEST(PowerShellIsWineStub, WinesOwnPowerShellIsTheStub) {
    // No powershell.exe beside this program: CreateProcessW would start Wine's.
    if (!RunningUnderWine())
        GTEST_SKIP() << "only Wine has the stub";
    EXPECT_TRUE(PowerShellIsWineStub());
}
