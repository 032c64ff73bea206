#pragma once
// A small update of an installed build: with the file index the manifest
// names, only the archive entries whose files differ from the installed ones
// are fetched (Range requests into the very archive a full update would
// download), and the unchanged files are taken from the install folder. The
// result is the whole new build in the extract folder, as unpacking the
// archive would leave it; the install folder is not touched.

#include "pipeline/Manifest.h"
#include "pipeline/RunReports.h"

#include <functional>
#include <string>

// The share of the archive above which the whole archive is downloaded
// instead: past half of it, fetching piecemeal saves little.
const unsigned long long kDeltaMostOfArchivePercent = 50;

// Reports as a whole download does: "Скачивание ..." (sweeping while the
// index is fetched and the installed files are compared, then the
// percentage of the bytes fetched), "Проверка SHA-256..." when the manifest
// has a digest, and "Установка ...". checkRoom gets the bytes to fetch and
// the build's unpacked size before anything is fetched, and may raise.
//
// False, with the extract folder removed, when the whole archive must be
// downloaded instead: no index in the manifest, an index that cannot be
// fetched, whose digest differs from the manifest's or that does not
// describe a build with the executable at its top, changed entries above
// the share above, a server that answers a Range request with anything but
// that range, or fetched entries that do not unpack to the index's files.
bool AssembleChangedBuild(
    const Manifest& manifest, const std::wstring& installFolder, const std::wstring& workFolder,
    const std::wstring& extractFolder, const std::wstring& label, const RunReports& reports,
    const std::function<void(unsigned long long fetch, unsigned long long unpacked)>& checkRoom);
