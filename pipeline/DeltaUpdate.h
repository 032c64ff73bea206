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
// index and the archive's directory are fetched and the installed files are
// compared, then the percentage of the bytes fetched) and "Установка ...";
// no archive digest is checked here, so none is announced. checkRoom gets the
// bytes to fetch and the build's unpacked size before anything is fetched,
// and may raise.
//
// The index must describe the very archive the manifest names: it is bound
// to the archive's own central directory, fetched by Range from its end
// (every entry once, with its offset, sizes and CRC-32; paths compared as
// Windows compares them). An installed file is reused only when its size,
// CRC-32 and SHA-256 agree and it is still the file compared (its identity
// and last write time) when it is linked into the new build.
//
// False, with the extract folder removed, when the whole archive must be
// downloaded instead: no index in the manifest, an index that cannot be
// fetched, is longer than its archive's directory allows, whose digest
// differs from the manifest's, that is not bound to the archive's directory
// or does not describe a build with the executable at its top, an archive of
// more than 65,535 entries, changed entries above the share above, a server
// that answers a Range request with anything but that range of an archive of
// the index's size, fetched entries that do not unpack to the index's files,
// or an installed file changed since it was compared. Raises DownloadTimedOut
// when a server did not answer in time: the whole archive is not asked then.
bool AssembleChangedBuild(
    const Manifest& manifest, const std::wstring& installFolder, const std::wstring& workFolder,
    const std::wstring& extractFolder, const std::wstring& label, const RunReports& reports,
    const std::function<void(unsigned long long fetch, unsigned long long unpacked)>& checkRoom);
