#pragma once
// Hands work to Windows PowerShell: runs a complete command line hidden and
// returns its exit code, quotes text for single-quoted script strings, and
// names the work folders the steps run in.

#include <windows.h>

#include <string>

// Runs the command line (program first) without a console window and waits
// for it without a time limit. Raises only when the process cannot start.
DWORD RunPowerShell(const std::wstring& commandLine);

// Doubles every apostrophe, so the text can stand between single quotes.
std::wstring EscapeForPowerShellSingleQuoted(const std::wstring& text);

// <temp>\vorn_launcher_<pid>_<tick>; the folder is not created here.
std::wstring GetTempFolderName();

// True when the process runs under Wine (ntdll exports wine_get_version).
bool RunningUnderWine();

// True when the launcher runs under Wine and the powershell.exe that
// CreateProcessW would start is missing or is Wine's built-in stub, which does
// nothing and reports success. The launcher then does the two PowerShell steps
// itself.
bool PowerShellIsWineStub();
