#pragma once
// Hands work to Windows PowerShell: runs a complete command line hidden and
// returns its exit code, quotes text for single-quoted script strings, and
// tells Wine's stub from the real program.

#include <windows.h>

#include <string>

// Windows PowerShell in the system folder: the only one the launcher starts,
// whatever lies beside it or in the current folder.
std::wstring PowerShellPath();

// Runs that program with the complete command line (program name first),
// without a console window, in a job that ends it (and whatever it started)
// if the launcher ends first. Waits up to the limit; past it the process is
// ended and WAIT_TIMEOUT returned. Otherwise returns its exit code. Raises
// only when the process cannot start.
DWORD RunPowerShell(const std::wstring& commandLine, DWORD limitMs);

// Doubles every apostrophe, so the text can stand between single quotes.
std::wstring EscapeForPowerShellSingleQuoted(const std::wstring& text);

// True when the launcher runs under Wine and PowerShellPath() is missing or is
// Wine's built-in stub, which does nothing and reports success. The launcher
// then does the two PowerShell steps itself.
bool PowerShellIsWineStub();
