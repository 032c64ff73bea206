#pragma once
// Text-only path helpers: they never touch the file system. Both '\' and '/'
// separate when a path is taken apart; only '\' is inserted when one is built.

#include <string>

std::wstring JoinPath(const std::wstring& first, const std::wstring& second);
std::wstring ParentPath(const std::wstring& path);
std::wstring FileNameOf(const std::wstring& path);
std::wstring ToLowerW(std::wstring text);
