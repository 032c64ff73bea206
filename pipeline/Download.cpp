#include "pipeline/Download.h"

#include "app/Messages.h"
#include "pipeline/Manifest.h"
#include "platform/FileOps.h"
#include "platform/HttpDownload.h"
#include "platform/Paths.h"

void DownloadArchive(HWND window, const std::string& downloadUrl, const std::wstring& archivePath,
                     const std::wstring& label,
                     const std::function<void(unsigned long long length)>& checkRoom) {
    const std::wstring text = L"Скачивание " + label + L"...";
    PostTextMessage(window, WM_LAUNCHER_STATUS, 0, text);
    const std::wstring url = Utf8ToWide(downloadUrl);
    EnsureDir(ParentPath(archivePath));

    HttpDownloadEvents events;
    events.onLength = checkRoom;
    events.onStart = [&](bool lengthKnown) {
        if (lengthKnown)
            PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(0), text + L" 0%");
        else
            PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(-1), text);
    };
    events.onPercent = [&](int percent) {
        PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(percent),
                        text + L" " + std::to_wstring(percent) + L"%");
    };
    HttpDownloadToFile(url, archivePath, events, false);

    PostTextMessage(window, WM_LAUNCHER_PROGRESS, ProgressParam(100), text + L" 100%");
}
