// The launcher's own update, seen from the window: a background check at
// start that never delays the window or a run and whose failures stay
// silent; the hand-over to a staged launcher once no run is going, watched
// by a timer until the new launcher's window exists; the roll-back when it
// does not come up; and, in the launcher that a hand-over started, the
// take-over of the launcher's file once the old one has ended.

#include "app/LauncherApp.h"

#include "app/Messages.h"
#include "app/ServerUrls.h"
#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/trust/FileVersion.h"
#include "platform/files/SystemFolders.h"
#include "platform/Text.h"

#include <exception>
#include <memory>

namespace {

// A new launcher that has no window this long after its start is ended and
// tried again at a later start. The first start of a new program is held for
// many seconds by antivirus cloud checks.
const ULONGLONG kNewLauncherStartMs = 120000;

struct SelfUpdateParams {
    HWND window = nullptr;
    LauncherUpdateSource source;
    std::wstring ownPath;
};

struct TakeOverParams {
    HWND window = nullptr;
    DWORD oldProcessId = 0;
    std::wstring ownPath;
    std::wstring launcherPath;
};

// Says "updated" only once the launcher's file is this program. When it
// cannot be (a scanner, another account running it, a policy), this
// launcher runs on under its staged name, the try counts as failed and the
// file stays hidden beside the launcher for the next start to try again.
DWORD WINAPI TakeOverThreadProc(LPVOID parameter) {
    std::unique_ptr<TakeOverParams> params(static_cast<TakeOverParams*>(parameter));
    const std::wstring version = Utf8ToWide(FileVersionOf(params->ownPath));
    const DWORD error =
        TakeOverLauncherFile(params->oldProcessId, params->ownPath, params->launcherPath);
    if (error == 0) {
        RemoveStaleLauncherCandidates(params->launcherPath, params->ownPath);
        PostTextMessage(params->window, WM_LAUNCHER_STATUS, 0,
                        L"Лаунчер обновлён до версии " + version + L".");
        return 0;
    }
    RecordFailedLauncherTry(params->launcherPath, WideToUtf8(version),
                            LauncherFailure::MayPassLater);
    PostTextMessage(params->window, WM_LAUNCHER_STATUS, 0,
                    L"Новая версия лаунчера не смогла заменить прежнюю: " +
                        GetWinErrorMessage(error));
    return 0;
}

// The top-level window of that process with the class given, or none.
struct OldWindowQuery {
    DWORD processId = 0;
    const wchar_t* className = nullptr;
    HWND found = nullptr;
};

BOOL CALLBACK MatchOldWindow(HWND candidate, LPARAM parameter) {
    auto* query = reinterpret_cast<OldWindowQuery*>(parameter);
    DWORD processId = 0;
    GetWindowThreadProcessId(candidate, &processId);
    wchar_t className[64] = {};
    if (processId != query->processId || GetClassNameW(candidate, className, 64) == 0 ||
        lstrcmpW(className, query->className) != 0)
        return TRUE;
    query->found = candidate;
    return FALSE;
}

// A thread nobody waits for: it holds only its own copies and posts to the
// window, which may be gone by then.
void StartDetachedThread(LPTHREAD_START_ROUTINE procedure, void* parameter,
                         void (*release)(void*)) {
    HANDLE thread = CreateThread(nullptr, 0, procedure, parameter, 0, nullptr);
    if (thread == nullptr)
        release(parameter);
    else
        CloseHandle(thread);
}

} // namespace

void LauncherApp::StartSelfUpdateCheck() {
    auto* params = new SelfUpdateParams;
    params->window = window;
    params->source.manifestUrl = LauncherManifestUrl();
    params->source.launcherPath = launcherPath;
    params->source.ownVersion = FileVersionOf(ModuleFilePath());
    params->source.updateKeys = updateKeys;
    params->ownPath = ModuleFilePath();
    StartDetachedThread(&LauncherApp::SelfUpdateThreadProc, params,
                        [](void* p) { delete static_cast<SelfUpdateParams*>(p); });
}

DWORD WINAPI LauncherApp::SelfUpdateThreadProc(LPVOID parameter) {
    std::unique_ptr<SelfUpdateParams> params(static_cast<SelfUpdateParams*>(parameter));
    try {
        auto staged = std::make_unique<StagedLauncher>(StageLauncherUpdate(params->source));
        if (!staged->path.empty() &&
            PostMessageW(params->window, WM_LAUNCHER_STAGED, 0,
                         reinterpret_cast<LPARAM>(staged.get())))
            staged.release();
    } catch (const std::exception&) {
        // No network, no update published, a file that fails a check, a
        // folder the player cannot write to: the running launcher stays.
    }
    // After the staging, which takes a launcher kept from an earlier try.
    RemoveStaleLauncherCandidates(params->source.launcherPath, params->ownPath);
    return 0;
}

void LauncherApp::OnLauncherStaged(const StagedLauncher& staged) {
    stagedLauncher = staged;
    HandOverWhenIdle();
}

void LauncherApp::HandOverWhenIdle() {
    if (stagedLauncher.path.empty() || newLauncher != nullptr || busy != 0 || closing != 0 ||
        errorBoxOpen)
        return;
    InterlockedExchange(&busy, 1);
    PostMessageW(window, WM_LAUNCHER_ENABLE_BUTTONS, 0, 0);
    statusText = L"Обновление лаунчера до версии " + Utf8ToWide(stagedLauncher.version) + L"...";
    RedrawStatusText();

    handOverEvent = CreateEventW(nullptr, TRUE, FALSE,
                                 HandOverEventName(GetCurrentProcessId()).c_str());
    if (handOverEvent != nullptr) {
        try {
            newLauncher = StartNewLauncher(stagedLauncher, launcherPath);
        } catch (const std::exception&) {
            // Rolled back below, as a launcher that does not come up.
        }
    }
    if (newLauncher == nullptr) {
        RollBackHandOver(LauncherFailure::MayPassLater);
        return;
    }
    handOverDeadline = GetTickCount64() + kNewLauncherStartMs;
    SetTimer(window, kHandOverTimerId, kHandOverTimerPeriodMs, nullptr);
}

void LauncherApp::OnHandOverTimer() {
    if (newLauncher == nullptr)
        return;
    if (WaitForSingleObject(handOverEvent, 0) == WAIT_OBJECT_0) {
        // The new launcher's window exists: it takes the file once this one
        // has ended.
        KillTimer(window, kHandOverTimerId);
        CloseHandle(newLauncher);
        newLauncher = nullptr;
        CloseHandle(handOverEvent);
        handOverEvent = nullptr;
        InterlockedExchange(&busy, 0);
        DestroyWindow(window);
        return;
    }
    if (WaitForSingleObject(newLauncher, 0) == WAIT_OBJECT_0)
        RollBackHandOver(LauncherFailure::EndedBeforeItsWindow);
    else if (GetTickCount64() >= handOverDeadline)
        RollBackHandOver(LauncherFailure::MayPassLater);
}

void LauncherApp::RollBackHandOver(LauncherFailure failure) {
    KillTimer(window, kHandOverTimerId);
    if (newLauncher != nullptr) {
        TerminateProcess(newLauncher, 1);
        WaitForSingleObject(newLauncher, 5000);
        CloseHandle(newLauncher);
        newLauncher = nullptr;
    }
    if (handOverEvent != nullptr) {
        CloseHandle(handOverEvent);
        handOverEvent = nullptr;
    }
    // Kept for the next try while there is one: checked again, not fetched.
    if (RecordFailedLauncherTry(launcherPath, stagedLauncher.version, failure)) {
        try {
            RemoveFileWithRetries(stagedLauncher.path);
        } catch (const std::exception&) {
            // Swept at a later start, once this process has ended.
        }
    }
    stagedLauncher = StagedLauncher();
    InterlockedExchange(&busy, 0);
    PostMessageW(window, WM_LAUNCHER_ENABLE_BUTTONS, 1, 0);
    statusText = L"Новая версия лаунчера не запустилась. Работает прежняя.";
    RedrawStatusText();
}

void LauncherApp::TakeOverFrom(DWORD oldProcessId, const std::wstring& oldLauncherPath) {
    launcherPath = oldLauncherPath;
    HandleGuard ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, HandOverEventName(oldProcessId).c_str()));
    if (ready.Valid())
        SetEvent(ready.Get());
    auto* params = new TakeOverParams{window, oldProcessId, ModuleFilePath(), oldLauncherPath};
    StartDetachedThread(&TakeOverThreadProc, params,
                        [](void* p) { delete static_cast<TakeOverParams*>(p); });
}

void LauncherApp::PlaceAsWindowOf(DWORD oldProcessId) {
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    OldWindowQuery query;
    query.processId = oldProcessId;
    query.className = className;
    EnumWindows(&MatchOldWindow, reinterpret_cast<LPARAM>(&query));
    RECT old{};
    if (query.found == nullptr || IsIconic(query.found) || !GetWindowRect(query.found, &old))
        return;
    const UINT there =
        DpiAtPoint({old.left + (old.right - old.left) / 2, old.top + (old.bottom - old.top) / 2});
    if (there != dpi)
        ApplyDpi(there);
    PlaceWindow(old.left, old.top);
}
