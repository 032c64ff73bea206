#pragma once
// Where Windows keeps things, asked with buffers that grow to the answer: no
// path is cut at MAX_PATH.

#include <string>

// The full path of the launcher's own program file.
std::wstring ModuleFilePath();

// The system folder (C:\Windows\System32), without a trailing separator.
std::wstring SystemFolder();

// The user's temp folder, with its trailing separator as GetTempPathW gives it;
// also where GetTempPathW refuses one longer than MAX_PATH.
std::wstring TempFolder();

// <temp>\vorn_launcher_<pid>_<tick>; the folder is not created here.
std::wstring GetTempFolderName();
