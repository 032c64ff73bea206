#pragma once
// The two steps the launcher hands to Windows PowerShell: fetching a manifest
// with Invoke-WebRequest and unpacking an archive with Expand-Archive. Where
// powershell.exe is only Wine's stub, the launcher does the same work itself
// at once.

#include <windows.h>

#include <string>

std::wstring BuildManifestFetchCommand(const std::wstring& url, const std::wstring& responsePath);
std::wstring BuildExpandArchiveCommand(const std::wstring& archivePath,
                                       const std::wstring& extractFolder);

// Each returns the step's exit code: 0 when the work was done. PowerShell goes
// first; where it cannot start, fails or runs past its time limit, the
// launcher does the same work itself (its WinINet download, its extractor),
// and only that failing fails the step. The fetch gives the cause of a
// failure when the launcher knows it (empty otherwise); a file of more than
// maxBytes fails it.
DWORD FetchManifestFile(const std::wstring& url, const std::wstring& responsePath,
                        unsigned long long maxBytes, std::wstring& cause);
DWORD ExpandArchive(const std::wstring& archivePath, const std::wstring& extractFolder);
