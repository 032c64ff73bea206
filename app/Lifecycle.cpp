// The launcher's life: the folders beside it, the optional panel picture, the
// window class and window, the message loop, and the wait for the last worker.

#include "app/LauncherApp.h"

#include "app/Lifecycle.h"
#include "app/OneLauncherPerFolder.h"
#include "pipeline/Manifest.h"
#include "platform/Text.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "ui/EmbeddedResources.h"
#include "ui/Picture.h"
#include "platform/files/Paths.h"
#include "platform/files/SystemFolders.h"
#include "platform/files/LongPath.h"

#include <shellapi.h>

#include <algorithm>
#include <stdexcept>

namespace {

const wchar_t kClassName[] = L"VornRpgLauncherWindow";
const LONGLONG kMaxPanelPictureSize = 134217728; // 128 MiB
const DWORD kReadPiece = 1048576;

// The class's icon at the size the system shows it (SM_CXICON or
// SM_CXSMICON); the window's own follow its DPI.
HICON LoadLauncherIcon(HINSTANCE instance, int metric) {
    const int size = GetSystemMetrics(metric);
    return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                         size, size, LR_DEFAULTCOLOR));
}

// "background2.jpg" beside the launcher, decoded, or null. Every failure is
// silent: the panel is then drawn translucent.
IPicture* LoadPanelPicture(const std::wstring& path) {
    HandleGuard file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return nullptr;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart < 1 ||
        size.QuadPart > kMaxPanelPictureSize)
        return nullptr;
    const SIZE_T bytes = static_cast<SIZE_T>(size.QuadPart);
    GlobalMemoryGuard block(GlobalAlloc(GMEM_MOVEABLE, bytes));
    auto* target = block.Get() != nullptr ? static_cast<BYTE*>(GlobalLock(block.Get())) : nullptr;
    if (target == nullptr)
        return nullptr;
    SIZE_T total = 0;
    while (total < bytes) {
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(std::min<SIZE_T>(bytes - total, kReadPiece));
        if (!ReadFile(file.Get(), target + total, wanted, &read, nullptr) || read == 0) {
            GlobalUnlock(block.Get());
            return nullptr;
        }
        total += read;
    }
    file.Close();
    GlobalUnlock(block.Get());
    return DecodePicture(block.Release(), static_cast<LONG>(total));
}

} // namespace

bool LauncherApp::Create(HINSTANCE moduleInstance) {
    instance = moduleInstance;
    OleInitialize(nullptr);

    launcherPath = ModuleFilePath();
    baseFolder = ParentPath(launcherPath);

    panelImage.Clear();
    if (panelPicture != nullptr) {
        panelPicture->Release();
        panelPicture = nullptr;
    }
    panelPicture = LoadPanelPicture(JoinPath(baseFolder, L"background2.jpg"));

    onlineFolder = JoinPath(baseFolder, L"game_online");
    officialFolder = JoinPath(baseFolder, L"game_offline");
    EnsureDir(JoinPath(onlineFolder, L"Save"));
    EnsureDir(JoinPath(officialFolder, L"Save"));

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &LauncherApp::WndProcStatic;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadLauncherIcon(instance, SM_CXICON);
    if (windowClass.hIcon == nullptr)
        windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hIconSm = LoadLauncherIcon(instance, SM_CXSMICON);
    if (windowClass.hIconSm == nullptr)
        windowClass.hIconSm = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassExW(&windowClass))
        return false;

    // The client area is 680 x 470 at 96 DPI, scaled to the DPI of the
    // monitor in the middle of the main screen, whatever the frame metrics
    // are; the window is centred there.
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    const int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    dpi = DpiAtPoint({screenWidth / 2, screenHeight / 2});
    const SIZE planned = LauncherWindowSize(dpi);
    window = CreateWindowExW(0, kClassName, L"Vorn RPG Online",
                             WS_CLIPCHILDREN | kLauncherWindowStyle,
                             (screenWidth - planned.cx) / 2, (screenHeight - planned.cy) / 2,
                             planned.cx, planned.cy, nullptr, nullptr, instance, this);
    // WM_CREATE took the DPI the window is drawn for; were it another, the
    // window is sized for it.
    const SIZE size = LauncherWindowSize(dpi);
    if (window != nullptr && (size.cx != planned.cx || size.cy != planned.cy))
        SetWindowPos(window, nullptr, (screenWidth - size.cx) / 2, (screenHeight - size.cy) / 2,
                     size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    if (window != nullptr) {
        SetWindowIcons();
        ApplyWindows11Frame();
    }
    return window != nullptr;
}

namespace {

// Libraries load from the system folder only, never from the launcher's
// folder or the current one, where a planted DLL could wait.
// SetDefaultDllDirectories came to Windows 7 with an optional update
// (KB2533623): looked up, so that the exe starts without it. There the
// current folder at least leaves the search; the libraries the launcher
// loads itself come by their full path (platform/SystemLibraries.h).
void LimitDllSearchToSystemFolder() {
    using SetDefaultDllDirectoriesCall = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesCall>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    SetDllDirectoryW(L"");
}

// "--take-over <process id> <launcher path>": this launcher was started by
// that one's hand-over, and is that hand-over's new launcher. False for any
// other command line, or when it is not.
bool ReadTakeOver(DWORD& oldProcessId, std::wstring& oldLauncherPath) {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr)
        return false;
    bool found = false;
    if (count == 4 && std::wstring(arguments[1]) == L"--take-over") {
        oldProcessId = wcstoul(arguments[2], nullptr, 10);
        oldLauncherPath = arguments[3];
        found = oldProcessId != 0 && !oldLauncherPath.empty();
    }
    LocalFree(arguments);
    return found && IsHandOverFrom(oldProcessId, ModuleFilePath(), oldLauncherPath);
}

} // namespace

int RunLauncher(HINSTANCE instance) {
    LimitDllSearchToSystemFolder();
    DWORD oldProcessId = 0;
    std::wstring oldLauncherPath;
    const bool takeOver = ReadTakeOver(oldProcessId, oldLauncherPath);
    HANDLE folderClaim = nullptr;
    if (!ClaimLauncherFolder(ParentPath(ModuleFilePath()), kClassName, takeOver, folderClaim))
        return 0;
    HandleGuard claim(folderClaim);
    LauncherApp app;
    try {
        if (!app.Create(instance)) {
            MessageBoxW(nullptr, L"Не удалось создать окно лаунчера.", L"Ошибка", MB_ICONERROR);
            return 1;
        }
    } catch (const std::exception& error) {
        // A Save folder could not be made (a read-only folder, missing rights).
        MessageBoxW(nullptr, Utf8ToWide(error.what()).c_str(), L"Ошибка", MB_ICONERROR);
        return 1;
    }
    if (takeOver)
        app.PlaceAsWindowOf(oldProcessId);
    ShowWindow(app.window, SW_SHOW);
    UpdateWindow(app.window);
    if (takeOver)
        app.TakeOverFrom(oldProcessId, oldLauncherPath);
    else
        app.StartSelfUpdateCheck();

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // Tab and Shift+Tab move between the buttons, Space presses the
        // focused one; Enter comes back as IDOK.
        if (IsDialogMessageW(app.window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    // The window is gone: the folder is free for a new start. No run can be
    // going (closing is refused during one).
    claim.Close();
    // No worker may outlive the object it points to.
    if (app.workerThread != nullptr) {
        WaitForSingleObject(app.workerThread, INFINITE);
        CloseHandle(app.workerThread);
        app.workerThread = nullptr;
    }
    return static_cast<int>(message.wParam);
}
