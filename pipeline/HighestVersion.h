#pragma once
// Never backwards: per build, the highest version installed or seen signed.
// A stolen server could otherwise replay an old signed manifest, and a player
// who has to install (a missing game, another executable, an owed restore)
// would get an old build with a known hole. The record is kept beside the
// build's backups, where the player's account can write, since the build's
// own folder is replaced by every update.

#include <string>

// The build's record, or its installed version.txt when that is higher, or
// the record is missing or damaged; "0" when neither says anything.
std::string HighestVersionOf(const std::wstring& baseFolder, const std::wstring& installFolder);

// Records the version when it is higher than the record; the record reaches
// the disk before it returns.
void RaiseHighestVersion(const std::wstring& baseFolder, const std::wstring& installFolder,
                         const std::string& version);
