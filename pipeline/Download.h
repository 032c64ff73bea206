#pragma once

#include <windows.h>

#include <string>

// Downloads the build's archive to archivePath, reporting "Скачивание ..." with
// percentages (or an indeterminate bar when the server announces no length)
// to the window. An HTTP error page is saved like any body: the digest check
// or the unpacking rejects it.
void DownloadArchive(HWND window, const std::string& downloadUrl, const std::wstring& archivePath,
                     const std::wstring& label);
