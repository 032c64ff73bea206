#pragma once
// One run of a build: fetch and read the manifest, decide between updating
// and only starting, update, record the version and start the game.

#include "pipeline/RunReports.h"

#include <string>
#include <vector>

// Reports every step; raises the launcher's error on any failure. With
// update keys, a manifest they do not verify ends the run before anything
// is downloaded, changed or started.
void RunBuild(const std::wstring& baseFolder, const std::wstring& label,
              const std::wstring& manifestUrl, const std::wstring& installFolder,
              const std::vector<std::string>& updateKeys, const RunReports& reports);
