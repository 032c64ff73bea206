// The demo's stand-in for the game. It shows which build it is (from its
// folder's name) and which version (from version.txt in its current folder),
// and appends one line per start to Save\demo_save.txt, so that an update that
// loses the player's saves shows at once. It stays open until it is closed.

#include "platform/Guards.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

const wchar_t kClassName[] = L"VornDemoGameWindow";
const wchar_t kTitle[] = L"Vorn RPG Online — демо-игра";
const int kClientWidth = 600;
const int kClientHeight = 250;
// Above the launcher, which centres itself: both stay visible side by side.
const int kTop = 12;
const int kCloseButtonId = 1;
const size_t kShownSaveLines = 3;

struct GameState {
    std::wstring build;
    std::wstring version;
    std::wstring saveNote;
    std::vector<std::wstring> lastSaves;
    HFONT titleFont = nullptr;
    HFONT textFont = nullptr;
};

GameState state;

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int length = static_cast<int>(text.size());
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), size);
    return wide;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int length = static_cast<int>(text.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, narrow.data(), size, nullptr, nullptr);
    return narrow;
}

bool ReadWholeFile(const wchar_t* path, std::string& bytes) {
    HandleGuard file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    bytes.clear();
    char piece[4096];
    DWORD read = 0;
    while (ReadFile(file.Get(), piece, sizeof(piece), &read, nullptr) && read > 0)
        bytes.append(piece, read);
    return true;
}

std::wstring Trim(const std::wstring& text) {
    const size_t first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos)
        return std::wstring();
    return text.substr(first, text.find_last_not_of(L" \t\r\n") - first + 1);
}

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        const std::wstring line = Trim(text.substr(start, end - start));
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::wstring SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text = buffer != nullptr ? Trim(buffer) : L"код " + std::to_wstring(code);
    LocalFree(buffer);
    return text;
}

// The launcher starts us with the build's folder as the current one; its
// name tells the two builds apart.
void ReadBuildIdentity() {
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    std::wstring name = folder;
    while (!name.empty() && (name.back() == L'\\' || name.back() == L'/'))
        name.pop_back();
    name = name.substr(name.find_last_of(L"\\/") + 1);
    if (lstrcmpiW(name.c_str(), L"game_online") == 0)
        state.build = L"онлайн-версия (game_online)";
    else if (lstrcmpiW(name.c_str(), L"game_offline") == 0)
        state.build = L"официальная версия (game_offline)";
    else
        state.build = L"неизвестная сборка (" + name + L")";

    std::string bytes;
    if (ReadWholeFile(L"version.txt", bytes) && !Trim(Utf8ToWide(bytes)).empty())
        state.version = Trim(Utf8ToWide(bytes));
    else
        state.version = L"неизвестна (нет version.txt)";
}

// One line per start; the line number is the save's counter.
void AppendSave() {
    CreateDirectoryW(L"Save", nullptr);
    std::string bytes;
    ReadWholeFile(L"Save\\demo_save.txt", bytes);
    const std::vector<std::wstring> before = SplitLines(Utf8ToWide(bytes));
    const size_t counter = before.size() + 1;

    const std::wstring line = L"сохранение " + std::to_wstring(counter) + L": версия " +
                              state.version + L", " + state.build;
    const std::string record = WideToUtf8(line) + "\r\n";
    HandleGuard file(CreateFileW(L"Save\\demo_save.txt", FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file.Valid() ||
        !WriteFile(file.Get(), record.data(), static_cast<DWORD>(record.size()), &written,
                   nullptr) ||
        written != record.size()) {
        state.saveNote = L"Не удалось записать сохранение: " + SystemText(GetLastError());
        state.lastSaves = before;
    } else {
        state.saveNote = L"Найдено сохранений от прошлых запусков: " +
                         std::to_wstring(before.size()) + L". Записано сохранение №" +
                         std::to_wstring(counter) + L".";
        state.lastSaves = before;
        state.lastSaves.push_back(line);
    }
    if (state.lastSaves.size() > kShownSaveLines)
        state.lastSaves.erase(state.lastSaves.begin(),
                              state.lastSaves.end() - static_cast<ptrdiff_t>(kShownSaveLines));
}

void DrawLine(HDC dc, HFONT font, COLORREF color, int top, const std::wstring& text) {
    SelectGuard selected(dc, font);
    SetTextColor(dc, color);
    RECT line = {20, top, kClientWidth - 20, top + 40};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &line,
              DT_LEFT | DT_TOP | DT_SINGLELINE | DT_END_ELLIPSIS | DT_NOPREFIX);
}

void Paint(HWND window) {
    PAINTSTRUCT paint{};
    HDC dc = BeginPaint(window, &paint);
    RECT client{};
    GetClientRect(window, &client);
    {
        GdiObjectGuard background(CreateSolidBrush(RGB(24, 28, 40)));
        FillRect(dc, &client, static_cast<HBRUSH>(background.Get()));
    }
    SetBkMode(dc, TRANSPARENT);
    DrawLine(dc, state.titleFont, RGB(240, 200, 90), 16, L"Vorn RPG Online — демо-игра");
    DrawLine(dc, state.textFont, RGB(230, 230, 230), 60, L"Сборка: " + state.build);
    DrawLine(dc, state.textFont, RGB(230, 230, 230), 86, L"Версия: " + state.version);
    DrawLine(dc, state.textFont, RGB(150, 220, 150), 112, state.saveNote);
    int top = 140;
    for (const std::wstring& save : state.lastSaves) {
        DrawLine(dc, state.textFont, RGB(170, 180, 200), top, L"• " + save);
        top += 22;
    }
    EndPaint(window, &paint);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE: {
        HWND button = CreateWindowExW(0, L"BUTTON", L"Выйти", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                                      kClientWidth - 130, kClientHeight - 46, 110, 32, window,
                                      reinterpret_cast<HMENU>(kCloseButtonId), nullptr, nullptr);
        SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(state.textFont), TRUE);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == kCloseButtonId)
            DestroyWindow(window);
        return 0;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE)
            DestroyWindow(window);
        return 0;
    case WM_PAINT:
        Paint(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

HFONT MakeFont(int height, int weight) {
    return CreateFontW(-height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, L"Tahoma");
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    ReadBuildIdentity();
    AppendSave();

    GdiObjectGuard titleFont(MakeFont(24, FW_BOLD));
    GdiObjectGuard textFont(MakeFont(16, FW_NORMAL));
    state.titleFont = static_cast<HFONT>(titleFont.Get());
    state.textFont = static_cast<HFONT>(textFont.Get());

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = &WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kClassName;
    if (!RegisterClassExW(&windowClass))
        return 1;

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame = {0, 0, kClientWidth, kClientHeight};
    AdjustWindowRect(&frame, style, FALSE);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    const int x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    HWND window = CreateWindowExW(0, kClassName, kTitle, style, x, kTop, width, height, nullptr,
                                  nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message{};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
