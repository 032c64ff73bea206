#include "pipeline/Download.h"

#include "platform/files/DiskSpace.h"
#include "platform/files/FileOps.h"
#include "platform/http/HttpDownload.h"
#include "platform/files/Paths.h"
#include "platform/files/LongPath.h"
#include "platform/Text.h"

namespace {

// Beside a kept beginning: the URL it came from and its answer's validator,
// a line each.
std::wstring KeptRecordOf(const std::wstring& keptPath) {
    return keptPath + L".txt";
}

// Moves the kept beginning of this URL's archive to the archive's path and
// returns its validator; empty when there is none. One of another URL, or
// without its record, is removed. Errors are dropped: the download then
// starts from zero.
std::wstring TakeKeptDownload(const std::wstring& keptPath, const std::string& url,
                              const std::wstring& archivePath) {
    if (keptPath.empty())
        return std::wstring();
    const std::wstring recordPath = KeptRecordOf(keptPath);
    const std::string record = ReadWholeFile(recordPath, std::string());
    const size_t end = record.find('\n');
    std::wstring validator;
    if (end != std::string::npos && record.substr(0, end) == url) {
        const size_t next = record.find('\n', end + 1);
        validator = Utf8ToWide(
            record.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1));
    }
    if (!validator.empty() &&
        !MoveFileExW(ExtendedLengthPath(keptPath).c_str(), ExtendedLengthPath(archivePath).c_str(),
                     MOVEFILE_REPLACE_EXISTING))
        validator.clear();
    DeleteFileW(ExtendedLengthPath(keptPath).c_str());
    DeleteFileW(ExtendedLengthPath(recordPath).c_str());
    return validator;
}

// Keeps what an interrupted download wrote, with its URL and validator, for
// the next run to go on from. Errors are dropped.
void KeepDownload(const std::wstring& archivePath, const std::wstring& keptPath,
                  const std::string& url, const std::wstring& validator) {
    try {
        if (keptPath.empty() || validator.empty() || !IsFile(archivePath) ||
            FileSize(archivePath) == 0)
            return;
        if (!MoveFileExW(ExtendedLengthPath(archivePath).c_str(),
                         ExtendedLengthPath(keptPath).c_str(), MOVEFILE_REPLACE_EXISTING))
            return;
        WriteWholeFile(KeptRecordOf(keptPath), url + "\n" + WideToUtf8(validator) + "\n", true);
    } catch (const std::exception&) {
        // Not kept: the next run starts from zero.
    }
}

} // namespace

std::string DownloadArchive(const RunReports& reports, const std::string& downloadUrl,
                            const std::wstring& archivePath, const std::wstring& label,
                            const std::function<void(unsigned long long length)>& checkRoom,
                            unsigned long long signedSize, const std::wstring& keptPath) {
    const std::wstring text = L"Скачивание " + label + L"...";
    reports.status(text);
    const std::wstring url = Utf8ToWide(downloadUrl);
    EnsureDir(ParentPath(archivePath));

    HttpDownloadEvents events;
    events.resumeValidator = TakeKeptDownload(keptPath, downloadUrl, archivePath);
    std::wstring validator;
    events.onValidator = [&](const std::wstring& value) { validator = value; };
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
    std::string digest;
    try {
        digest = HttpDownloadToFile(url, archivePath, events);
    } catch (const DownloadInterrupted&) {
        // Cut or stalled on the network: the next click goes on from here.
        KeepDownload(archivePath, keptPath, downloadUrl, validator);
        throw;
    }

    reports.progress(100, text + L" 100%");
    return digest;
}

void RemoveKeptDownload(const std::wstring& keptPath) {
    DeleteFileW(ExtendedLengthPath(keptPath).c_str());
    DeleteFileW(ExtendedLengthPath(KeptRecordOf(keptPath)).c_str());
}
