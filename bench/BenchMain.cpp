// vorn_bench: the launcher's own code measured from inside a Windows process,
// by the commands of bench/Bench.h. Anything else exits with 2.

#include "bench/Bench.h"

#include "platform/files/FileOps.h"

#include <algorithm>
#include <cstdio>

double NowSeconds() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

Figures& Figures::Add(const char* name, double value) {
    char text[32];
    std::snprintf(text, sizeof(text), " %.9g\n", value);
    lines += name + std::string(text);
    return *this;
}

Figures& Figures::Add(const char* name, const std::wstring& text) {
    std::wstring line = text; // one figure a line: a message's own line breaks become blanks
    std::replace(line.begin(), line.end(), L'\r', L' ');
    std::replace(line.begin(), line.end(), L'\n', L' ');
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8.data(), size, nullptr, nullptr);
    lines += name + std::string(" ") + utf8.c_str() + "\n";
    return *this;
}

int Figures::Write(const std::wstring& path, bool ok) {
    Add("ok", ok ? 1 : 0);
    try {
        WriteWholeFile(path, lines, false);
    } catch (const std::exception&) {
        return 1;
    }
    return ok ? 0 : 1;
}

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"update" && argc == 7)
        return RunUpdate(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (command == L"steps" && argc == 6)
        return RunInstallSteps(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"paint" && argc == 4)
        return RunPaintFrames(argv[2], _wtoi(argv[3]));
    if (command == L"floor" && argc == 6)
        return RunPlatformFloor(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"fetch" && argc == 5)
        return RunFetch(argv[2], argv[3], argv[4]);
    return 2;
}
