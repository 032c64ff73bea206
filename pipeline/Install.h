#pragma once
// Puts a new copy of a build into its install folder: download, verify,
// unpack beside the build (beside the folder a link leads to, for a build
// moved to another drive), locate the game, back up the player's data, set
// the old build aside, rename the new one into its place and put the
// player's data back.

#include "pipeline/Manifest.h"
#include "pipeline/RunReports.h"
#include "platform/files/WorkFolder.h"

#include <memory>
#include <string>

// Raises the launcher's error on any failure; the old build is backed up and
// steps aside only after the archive has been downloaded, verified, unpacked
// and examined, so that what the player saved meanwhile is kept.
// Returns the update's work folder, which holds the old build: it goes with
// the folder, once the caller has started the game.
std::unique_ptr<WorkFolder> InstallOrUpdate(const std::wstring& baseFolder,
                                            const Manifest& manifest,
                                            const std::wstring& installFolder,
                                            const std::wstring& label, const RunReports& reports);

// Depth first in listing order: the folder that holds the executable (its name
// already lower-cased), or false.
bool FindGameRootRecursive(const std::wstring& folder, const std::wstring& exeNameLower,
                           std::wstring& gameRoot);
