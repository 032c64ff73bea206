#pragma once
// The version an executable carries in its version resource.

#include <string>

// "a.b.c.d" from the file's fixed version information, or empty when the
// file has none or cannot be read.
std::string FileVersionOf(const std::wstring& path);
