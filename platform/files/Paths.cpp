#include "platform/files/Paths.h"

#include <windows.h>

#include <cwchar>
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

bool IsReservedDeviceName(const std::wstring& name) {
    std::wstring base = name.substr(0, name.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    base = ToLowerW(base);
    if (base == L"con" || base == L"prn" || base == L"aux" || base == L"nul" || base == L"conin$" ||
        base == L"conout$")
        return true;
    if (base.size() != 4 || (base.compare(0, 3, L"com") != 0 && base.compare(0, 3, L"lpt") != 0))
        return false;
    // Windows reserves the superscript digits one to three as well.
    const wchar_t digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' ||
           digit == L'\u00B3';
}

bool IsPlainFileName(const std::wstring& name) {
    // Only dots and spaces: Windows trims them to nothing, the folder itself.
    if (name.find_first_not_of(L". ") == std::wstring::npos)
        return false;
    for (const wchar_t unit : name) {
        if (unit < 0x20 || wcschr(L"<>:\"/\\|?*", unit) != nullptr)
            return false;
    }
    return !IsReservedDeviceName(name);
}

std::wstring WindowsPathKey(const std::wstring& path) {
    std::wstring key;
    size_t start = 0;
    while (start < path.size()) {
        size_t stop = path.find_first_of(L"\\/", start);
        if (stop == std::wstring::npos)
            stop = path.size();
        std::wstring part = path.substr(start, stop - start);
        const size_t last = part.find_last_not_of(L". ");
        part.erase(last == std::wstring::npos ? 0 : last + 1);
        if (!part.empty()) {
            LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, part.data(),
                         static_cast<int>(part.size()), part.data(),
                         static_cast<int>(part.size()));
            if (!key.empty())
                key += L'\\';
            key += part;
        }
        start = stop + 1;
    }
    return key;
}
