#pragma once
// Text-only path helpers: they never touch the file system. Both '\' and '/'
// separate when a path is taken apart; only '\' is inserted when one is built.

#include <string>

std::wstring JoinPath(const std::wstring& first, const std::wstring& second);
std::wstring ParentPath(const std::wstring& path);
std::wstring FileNameOf(const std::wstring& path);
std::wstring ToLowerW(std::wstring text);

// CON, NUL, COM1 and the like (also COM¹ to COM³ and LPT¹ to LPT³) open
// devices instead of files, even with an extension or trailing spaces.
bool IsReservedDeviceName(const std::wstring& name);

// A name that stands for one file right inside a folder: not empty, no folder
// separators or drive colon, not only dots and spaces (".", ".."), nothing
// Windows forbids in a name, and not a device.
bool IsPlainFileName(const std::wstring& name);

// The key under which Windows finds a relative path: each part without its
// trailing dots and spaces (which Windows drops), upper-cased as file names
// are compared, parts joined with '\'; a trailing separator is dropped. Two
// paths with one key name one file.
std::wstring WindowsPathKey(const std::wstring& path);
