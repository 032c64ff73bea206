// Test helper that looks at the running launcher from outside, as another
// program on the same desktop:
//   window_probe info            the window's and buttons' geometry as JSON
//   window_probe close           asks the launcher window to close
//   window_probe dialog CAPTION [keep]
//                                waits for a message box with that caption,
//                                prints its text and presses OK (unless keep)
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

HWND FindLauncher() {
    for (int i = 0; i < 100; ++i) {
        if (HWND window = FindWindowW(L"VornRpgLauncherWindow", nullptr))
            return window;
        Sleep(100);
    }
    return nullptr;
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
    std::wstring json = L"{\"frame\": [" + std::to_wstring(frame.left) + L", " +
                        std::to_wstring(frame.top) + L", " + std::to_wstring(frame.right) + L", " +
                        std::to_wstring(frame.bottom) + L"], \"client\": [" +
                        std::to_wstring(client.right) + L", " + std::to_wstring(client.bottom) +
                        L"], \"origin\": [" + std::to_wstring(origin.x) + L", " +
                        std::to_wstring(origin.y) + L"], \"screen\": [" +
                        std::to_wstring(GetSystemMetrics(SM_CXSCREEN)) + L", " +
                        std::to_wstring(GetSystemMetrics(SM_CYSCREEN)) + L"], \"buttons\": [";
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
    for (int i = 0; i < 300; ++i) {
        if (HWND box = FindWindowW(L"#32770", caption)) {
            wchar_t text[1024] = {};
            GetDlgItemTextW(box, 0xFFFF, text, 1024);
            Print(text);
            if (!keep)
                PostMessageW(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
        Sleep(100);
    }
    return 3;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"info")
        return Info();
    if (command == L"close") {
        HWND window = FindLauncher();
        return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 2;
    }
    if (command == L"dialog" && argc > 2)
        return Dialog(argv[2], argc > 3 && std::wstring(argv[3]) == L"keep");
    std::fprintf(stderr, "usage: window_probe info | close | dialog CAPTION\n");
    return 2;
}
