#include "pipeline/Download.h"

#include "platform/DiskSpace.h"
#include "platform/FileOps.h"
#include "platform/HttpDownload.h"
#include "platform/Paths.h"
#include "platform/Text.h"

std::string DownloadArchive(const RunReports& reports, const std::string& downloadUrl,
                            const std::wstring& archivePath, const std::wstring& label,
                            const std::function<void(unsigned long long length)>& checkRoom,
                            unsigned long long signedSize) {
    const std::wstring text = L"Скачивание " + label + L"...";
    reports.status(text);
    const std::wstring url = Utf8ToWide(downloadUrl);
    EnsureDir(ParentPath(archivePath));

    HttpDownloadEvents events;
    events.onLength = checkRoom;
    events.exactBytes = signedSize;
    // Without an announced length the room is checked as the archive grows:
    // it unpacks to at least as much again, so it ends before the disk
    // cannot hold that.
    events.onGrowth = [&](unsigned long long written) { EnsureFreeSpace(archivePath, written); };
    events.onStart = [&](bool lengthKnown) {
        if (lengthKnown)
            reports.progress(0, text + L" 0%");
        else
            reports.progress(-1, text);
    };
    events.onPercent = [&](int percent) {
        reports.progress(percent, text + L" " + std::to_wstring(percent) + L"%");
    };
    const std::string digest = HttpDownloadToFile(url, archivePath, events);

    reports.progress(100, text + L" 100%");
    return digest;
}
