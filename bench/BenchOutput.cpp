#include "bench/BenchOutput.h"

#include "platform/Guards.h"

#include <psapi.h>

#include <cstdio>

double NowSeconds() {
    static const double frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<double>(value.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

std::string JsonText(const std::wstring& text) {
    std::string utf8;
    if (!text.empty()) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                             nullptr, 0, nullptr, nullptr);
        utf8.assign(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(),
                            size, nullptr, nullptr);
    }
    std::string out = "\"";
    for (const char c : utf8) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof(text), "%.6f", value);
    return text;
}

std::string MemoryCountersJson() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(),
                              reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                              sizeof(counters)))
        return "null";
    return "{\"peakWorkingSet\": " + std::to_string(counters.PeakWorkingSetSize) +
           ", \"workingSet\": " + std::to_string(counters.WorkingSetSize) +
           ", \"peakPagefileUsage\": " + std::to_string(counters.PeakPagefileUsage) +
           ", \"pagefileUsage\": " + std::to_string(counters.PagefileUsage) +
           ", \"privateUsage\": " + std::to_string(counters.PrivateUsage) + "}";
}

bool WriteJsonFile(const std::wstring& path, const std::string& json) {
    HandleGuard file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return false;
    const std::string text = json + "\n";
    DWORD written = 0;
    return WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}
