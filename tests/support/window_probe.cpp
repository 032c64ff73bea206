// Test helper that looks at the running launcher from outside, as another
// program on the same desktop:
//   window_probe info            the window's and buttons' geometry, whether
//                                it is the foreground window, and the
//                                launcher's process id as JSON
//   window_probe close           asks the launcher window to close
//   window_probe dialog CAPTION [keep]
//                                waits for a message box with that caption,
//                                prints its text and presses OK (unless keep)
//   window_probe press ID        clicks the button with that control id (posts
//                                the WM_COMMAND a click sends) and prints the
//                                launcher's process id; exit code 4 when the
//                                button is disabled
//   window_probe move X Y        moves the window's top-left corner there
// Each command may be preceded by "--exe PATH": then only windows of the
// process started from that executable count, so that a test can drive its
// own launcher while other launchers share the desktop; or by "--in FOLDER":
// then those of any program started from that folder (a launcher that took
// over from another runs under its staged name).
// Output is UTF-8.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Print(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()),
              &written, nullptr);
}

std::wstring Quoted(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\')
            out += L'\\';
        if (c == L'\n') {
            out += L"\\n";
            continue;
        }
        out += c;
    }
    return out + L"\"";
}

// The executable whose windows count, or the folder when ownerIsFolder;
// empty for any process.
std::wstring ownerExe;
bool ownerIsFolder = false;

std::wstring FullPathOf(const std::wstring& path) {
    wchar_t full[MAX_PATH * 2] = {};
    const DWORD size = GetFullPathNameW(path.c_str(), MAX_PATH * 2, full, nullptr);
    return size > 0 && size < MAX_PATH * 2 ? std::wstring(full) : path;
}

bool BelongsToOwner(HWND window) {
    if (ownerExe.empty())
        return true;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr)
        return false;
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const BOOL known = QueryFullProcessImageNameW(process, 0, image, &size);
    CloseHandle(process);
    std::wstring path = image;
    if (ownerIsFolder)
        path = path.substr(0, path.find_last_of(L'\\'));
    return known && CompareStringOrdinal(path.c_str(), -1, ownerExe.c_str(), -1, TRUE) == CSTR_EQUAL;
}

struct WindowQuery {
    const wchar_t* className;
    const wchar_t* caption; // null for any
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM parameter) {
    auto* query = reinterpret_cast<WindowQuery*>(parameter);
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    if (std::wstring(className) != query->className)
        return TRUE;
    if (query->caption != nullptr) {
        wchar_t caption[256] = {};
        GetWindowTextW(window, caption, 256);
        if (std::wstring(caption) != query->caption)
            return TRUE;
    }
    if (!BelongsToOwner(window))
        return TRUE;
    query->found = window;
    return FALSE;
}

// Waits up to `waitMs` milliseconds for a top-level window of the owner.
HWND FindOwnedWindow(const wchar_t* className, const wchar_t* caption, DWORD waitMs) {
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    for (;;) {
        WindowQuery query{className, caption, nullptr};
        EnumWindows(&MatchWindow, reinterpret_cast<LPARAM>(&query));
        if (query.found != nullptr || GetTickCount64() >= deadline)
            return query.found;
        Sleep(20);
    }
}

HWND FindLauncher() {
    return FindOwnedWindow(L"VornRpgLauncherWindow", nullptr, 10000);
}

int Info() {
    HWND window = FindLauncher();
    if (window == nullptr)
        return 2;
    RECT frame{};
    GetWindowRect(window, &frame);
    RECT client{};
    GetClientRect(window, &client);
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    std::wstring json =
        L"{\"pid\": " + std::to_wstring(processId) + L", \"frame\": [" +
        std::to_wstring(frame.left) + L", " + std::to_wstring(frame.top) + L", " +
        std::to_wstring(frame.right) + L", " + std::to_wstring(frame.bottom) + L"], \"client\": [" +
        std::to_wstring(client.right) + L", " + std::to_wstring(client.bottom) +
        L"], \"origin\": [" + std::to_wstring(origin.x) + L", " + std::to_wstring(origin.y) +
        L"], \"screen\": [" + std::to_wstring(GetSystemMetrics(SM_CXSCREEN)) + L", " +
        std::to_wstring(GetSystemMetrics(SM_CYSCREEN)) + L"], \"foreground\": " +
        (GetForegroundWindow() == window ? L"true" : L"false") + L", \"buttons\": [";
    bool first = true;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t text[256] = {};
        GetWindowTextW(child, text, 256);
        RECT rect{};
        GetWindowRect(child, &rect);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
        json += std::wstring(first ? L"" : L", ") + L"{\"id\": " +
                std::to_wstring(GetDlgCtrlID(child)) + L", \"text\": " + Quoted(text) +
                L", \"enabled\": " + (IsWindowEnabled(child) ? L"true" : L"false") +
                L", \"rect\": [" + std::to_wstring(rect.left) + L", " + std::to_wstring(rect.top) +
                L", " + std::to_wstring(rect.right) + L", " + std::to_wstring(rect.bottom) + L"]}";
        first = false;
    }
    Print(json + L"]}\n");
    return 0;
}

int Dialog(const wchar_t* caption, bool keep) {
    HWND box = FindOwnedWindow(L"#32770", caption, 30000);
    if (box == nullptr)
        return 3;
    wchar_t text[1024] = {};
    GetDlgItemTextW(box, 0xFFFF, text, 1024);
    Print(text);
    if (!keep)
        PostMessageW(box, WM_COMMAND, IDOK, 0);
    return 0;
}

// Posted, not sent: the launcher handles it on its own thread as it handles a
// click, and this helper never waits for the window.
int Press(int controlId) {
    HWND window = nullptr;
    HWND button = nullptr;
    // A window that has just appeared may still be making its buttons.
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (button == nullptr && GetTickCount64() < deadline) {
        window = FindOwnedWindow(L"VornRpgLauncherWindow", nullptr, 0);
        button = window != nullptr ? GetDlgItem(window, controlId) : nullptr;
        if (button == nullptr)
            Sleep(20);
    }
    if (button == nullptr)
        return 2;
    if (!IsWindowEnabled(button))
        return 4;
    // What the button itself sends its parent on a click; unlike BM_CLICK it
    // does not depend on mouse capture or focus, which a window that has just
    // appeared may not have.
    if (!PostMessageW(window, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
                      reinterpret_cast<LPARAM>(button)))
        return 2;
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    Print(std::to_wstring(processId) + L"\n");
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 2 && (std::wstring(argv[1]) == L"--exe" || std::wstring(argv[1]) == L"--in")) {
        ownerIsFolder = std::wstring(argv[1]) == L"--in";
        ownerExe = FullPathOf(argv[2]);
        argc -= 2;
        argv += 2;
    }
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"info")
        return Info();
    if (command == L"close") {
        HWND window = FindLauncher();
        return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 2;
    }
    if (command == L"dialog" && argc > 2)
        return Dialog(argv[2], argc > 3 && std::wstring(argv[3]) == L"keep");
    if (command == L"press" && argc > 2)
        return Press(_wtoi(argv[2]));
    if (command == L"move" && argc > 3) {
        HWND window = FindLauncher();
        return window != nullptr && SetWindowPos(window, nullptr, _wtoi(argv[2]), _wtoi(argv[3]), 0,
                                                 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE)
                   ? 0
                   : 2;
    }
    std::fprintf(stderr, "usage: window_probe [--exe PATH] info | close | dialog CAPTION [keep] | "
                         "press ID | move X Y\n");
    return 2;
}
