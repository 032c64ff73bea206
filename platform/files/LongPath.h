#pragma once
// Paths for the file API in the \\?\ form, which lifts the 260-character
// limit on Windows 10 and 11 without the registry switch.

#include <string>

// "C:\a\b" becomes "\\?\C:\a\b" and "\\server\share\a" becomes
// "\\?\UNC\server\share\a", after the same normalisation Windows gives a
// plain path (GetFullPathNameW: '/' to '\', "." and ".." resolved, trailing
// dots and spaces trimmed), so that both forms name the same file. Paths
// already in a \\?\ or \\.\ form, and any GetFullPathNameW refuses, come back
// unchanged.
std::wstring ExtendedLengthPath(const std::wstring& path);
