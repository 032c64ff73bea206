#pragma once
// Starts the chosen build's game as an independent process and returns at
// once; the launcher neither waits for it nor keeps a handle.

#include <string>

void LaunchGame(const std::wstring& buildFolder, const std::wstring& exeName);
