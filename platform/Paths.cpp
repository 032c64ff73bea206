#include "platform/Paths.h"

#include <cwctype>

namespace {
const wchar_t* const kSeparators = L"\\/";
}

std::wstring JoinPath(const std::wstring& first, const std::wstring& second) {
    if (first.empty())
        return second;
    if (second.empty())
        return first;
    if (first.back() == L'\\' || first.back() == L'/')
        return first + second;
    return first + L'\\' + second;
}

std::wstring ParentPath(const std::wstring& path) {
    const size_t separator = path.find_last_of(kSeparators);
    if (separator == std::wstring::npos)
        return std::wstring();
    return path.substr(0, separator);
}

std::wstring FileNameOf(const std::wstring& path) {
    const size_t separator = path.find_last_of(kSeparators);
    if (separator == std::wstring::npos)
        return path;
    return path.substr(separator + 1);
}

std::wstring ToLowerW(std::wstring text) {
    for (wchar_t& unit : text)
        unit = static_cast<wchar_t>(std::towlower(unit));
    return text;
}
