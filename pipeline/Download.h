#pragma once

#include "pipeline/RunReports.h"

#include <functional>
#include <string>

// Downloads the build's archive to archivePath, reporting "Скачивание ..." with
// percentages (or an indeterminate bar when the server announces no length).
// When the server announces the length, checkRoom is called with it before
// anything is written, and may raise. Returns the archive's SHA-256 as lower-case
// hexadecimal, made while it was written. With a signed length (0: none), an
// archive announced with another length, or longer, fails at once.
std::string DownloadArchive(const RunReports& reports, const std::string& downloadUrl,
                            const std::wstring& archivePath, const std::wstring& label,
                            const std::function<void(unsigned long long length)>& checkRoom,
                            unsigned long long signedSize = 0);
