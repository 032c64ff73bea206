#pragma once
// Puts a new copy of a build into its install folder: back up the player's
// data, download, verify, unpack, locate the game, empty the folder, copy the
// new build in and put the player's data back.

#include "pipeline/Manifest.h"
#include "pipeline/RunReports.h"

#include <string>

// Raises the launcher's error on any failure; the folder is emptied only after
// the archive has been downloaded, verified, unpacked and examined.
void InstallOrUpdate(const std::wstring& baseFolder, const Manifest& manifest,
                     const std::wstring& installFolder, const std::wstring& label,
                     const RunReports& reports);

// Depth first in listing order: the folder that holds the executable (its name
// already lower-cased), or false.
bool FindGameRootRecursive(const std::wstring& folder, const std::wstring& exeNameLower,
                           std::wstring& gameRoot);
