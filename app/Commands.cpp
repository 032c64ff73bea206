// The three command buttons and the hand-off of a build's run to a worker.

#include "app/LauncherApp.h"

#include "app/Messages.h"
#include "app/ServerUrls.h"
#include "platform/Errors.h"

#include <shellapi.h>

void LauncherApp::OnCommand(int commandId) {
    switch (commandId) {
    case kOnlineButtonId:
        StartMode(L"онлайн-версии", OnlineManifestUrl(), onlineFolder);
        return;
    case kOfficialButtonId:
        StartMode(L"официальной версии", OfficialManifestUrl(), officialFolder);
        return;
    case kCommunityButtonId:
        // A page that cannot be opened is not worth a message.
        ShellExecuteW(window, L"open", CommunityPageUrl(), nullptr, nullptr, SW_SHOWNORMAL);
        return;
    case IDOK: {
        // Enter presses the button that has the keyboard focus.
        HWND focus = GetFocus();
        const int focusedId =
            focus != nullptr && GetParent(focus) == window && IsWindowEnabled(focus)
                ? GetDlgCtrlID(focus)
                : 0;
        if (focusedId == kOnlineButtonId || focusedId == kOfficialButtonId ||
            focusedId == kCommunityButtonId)
            OnCommand(focusedId);
        return;
    }
    default:
        return;
    }
}

void LauncherApp::StartMode(const std::wstring& label, const std::wstring& manifestUrl,
                            const std::wstring& installFolder) {
    if (busy != 0 || closing != 0)
        return;
    InterlockedExchange(&busy, 1);

    progress = 0;
    marqueeOffset = 0;
    KillTimer(window, kMarqueeTimerId);
    InvalidateRect(window, &progressRect, FALSE);
    PostMessageW(window, WM_LAUNCHER_ENABLE_BUTTONS, 0, 0);

    // The previous worker has posted its last message; let it finish returning.
    if (workerThread != nullptr) {
        WaitForSingleObject(workerThread, INFINITE);
        CloseHandle(workerThread);
        workerThread = nullptr;
    }

    WorkerParams* params = new WorkerParams{this, label, manifestUrl, installFolder, updateKeys};
    workerThread = CreateThread(nullptr, 0, &LauncherApp::WorkerThreadProc, params, 0, nullptr);
    if (workerThread != nullptr)
        return;

    const DWORD code = GetLastError();
    delete params;
    InterlockedExchange(&busy, 0);
    PostMessageW(window, WM_LAUNCHER_ENABLE_BUTTONS, 1, 0);
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось создать рабочий поток: " + systemText);
}
