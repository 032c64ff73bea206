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
//
// What a download cut or stalled on the network wrote is kept at keptPath
// (empty: not kept), with its URL and validator beside it, and the next
// download of the same URL goes on from there with If-Range (from zero when
// the archive changed meanwhile); a kept one of another URL is removed.
std::string DownloadArchive(const RunReports& reports, const std::string& downloadUrl,
                            const std::wstring& archivePath, const std::wstring& label,
                            const std::function<void(unsigned long long length)>& checkRoom,
                            unsigned long long signedSize = 0,
                            const std::wstring& keptPath = std::wstring());

// Removes a kept beginning and its record (an update that came another way).
void RemoveKeptDownload(const std::wstring& keptPath);
