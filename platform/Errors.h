#pragma once
// The launcher's one error type is std::runtime_error carrying a UTF-8
// sentence. Every raising site composes its wide message and throws
// MakeError(message).

#include <windows.h>

#include <stdexcept>
#include <string>

std::runtime_error MakeError(const std::wstring& message);

// The system's explanation of a Win32 error code, without the trailing line
// break; WinINet's codes (12000 to 12999) are looked up in wininet.dll too.
// Without a text: "Неизвестная ошибка", with " (код N)" for WinINet's codes.
std::wstring GetWinErrorMessage(DWORD code);

// Removes trailing line feeds, carriage returns and spaces (nothing else).
std::wstring TrimMessageEnd(std::wstring text);
