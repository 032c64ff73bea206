#include "platform/Errors.h"

#include "platform/Guards.h"
#include "platform/SystemLibraries.h"
#include "platform/Text.h"

std::runtime_error MakeError(const std::wstring& message) {
    return std::runtime_error(WideToUtf8(message));
}

namespace {

// The text of a code from the system's table or a module's, or empty.
std::wstring FormatCode(DWORD source, HMODULE module, DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD count =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | source,
                       module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (count != 0 && buffer != nullptr)
        text.assign(buffer, count);
    if (buffer != nullptr)
        LocalFree(buffer);
    return text;
}

bool IsInternetCode(DWORD code) {
    return code >= 12000 && code <= 12999;
}

// The certificate and TLS codes that come without a text of the system's
// (Windows and Wine have none for several of them).
const wchar_t* SecureChannelText(DWORD code) {
    switch (code) {
    case 12037:
        return L"Сертификат сервера просрочен или ещё не действует: проверьте дату и время "
               L"на компьютере";
    case 12038:
        return L"Сертификат сервера выдан на другое имя";
    case 12044:
        return L"Сервер требует сертификат клиента";
    case 12045:
        return L"Сертификат сервера выдан неизвестным центром сертификации (соединение может "
               L"перехватывать антивирус или прокси)";
    case 12055:
        return L"Сертификат сервера содержит ошибки";
    case 12056:
    case 12057:
        return L"Не удалось проверить, не отозван ли сертификат сервера";
    case 12157:
        return L"Не удалось установить защищённое соединение с сервером (TLS)";
    case 12169:
        return L"Сертификат сервера недействителен";
    case 12170:
        return L"Сертификат сервера отозван";
    case 12171:
        return L"Соединение запрещено проверкой безопасности";
    case 12175:
        return L"Сбой защищённого соединения с сервером (TLS)";
    default:
        return nullptr;
    }
}

} // namespace

std::wstring GetWinErrorMessage(DWORD code) {
    std::wstring text = FormatCode(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code);
    // WinINet's own codes have their texts in wininet.dll, not in the system's
    // table. The launcher has the module loaded; otherwise it is read as data
    // from the system folder.
    if (text.empty() && IsInternetCode(code)) {
        HMODULE wininet = GetModuleHandleW(L"wininet.dll");
        LibraryGuard loaded(wininet != nullptr
                                ? nullptr
                                : LoadSystemLibrary(L"wininet.dll", LOAD_LIBRARY_AS_DATAFILE));
        if (wininet == nullptr)
            wininet = loaded.Get();
        if (wininet != nullptr)
            text = FormatCode(FORMAT_MESSAGE_FROM_HMODULE, wininet, code);
    }
    if (!text.empty())
        return TrimMessageEnd(std::move(text));
    // A network code without text: the number lets a player report it.
    if (IsInternetCode(code)) {
        const wchar_t* secure = SecureChannelText(code);
        return std::wstring(secure != nullptr ? secure : L"Неизвестная ошибка") + L" (код " +
               std::to_wstring(code) + L")";
    }
    return L"Неизвестная ошибка";
}

std::wstring TrimMessageEnd(std::wstring text) {
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    return text;
}
