#include "platform/Errors.h"

std::runtime_error MakeError(const std::wstring& message) {
    if (message.empty())
        return std::runtime_error(std::string());
    const int length = static_cast<int>(message.size());
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, message.data(), length, nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return std::runtime_error(std::string());
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, message.data(), length, utf8.data(), size, nullptr, nullptr);
    return std::runtime_error(utf8);
}

std::wstring GetWinErrorMessage(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD count = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (count != 0 && buffer != nullptr)
        text.assign(buffer, count);
    else
        text = L"Неизвестная ошибка";
    if (buffer != nullptr)
        LocalFree(buffer);
    return TrimMessageEnd(std::move(text));
}

std::wstring TrimMessageEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}
