#pragma once
// The launcher's one error type is std::runtime_error carrying a UTF-8
// sentence. Every raising site composes its wide message and throws
// MakeError(message).

#include <windows.h>

#include <stdexcept>
#include <string>

std::runtime_error MakeError(const std::wstring& message);

// The system's explanation of a Win32 error code, without the trailing line
// break, or "Неизвестная ошибка" when the system has none.
std::wstring GetWinErrorMessage(DWORD code);

// Removes trailing line feeds, carriage returns and spaces (nothing else).
std::wstring TrimMessageEnd(std::wstring text);
