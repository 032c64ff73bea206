#include "platform/HttpDownload.h"

#include "platform/Errors.h"
#include "platform/FileFaults.h"
#include "platform/Guards.h"

#include <windows.h>
#include <wininet.h>

#include <sstream>
#include <vector>

namespace {

const DWORD kChunkSize = 262144;

class InternetHandleGuard {
public:
    explicit InternetHandleGuard(HINTERNET handle) : handle_(handle) {}
    ~InternetHandleGuard() {
        if (handle_ != nullptr)
            InternetCloseHandle(handle_);
    }
    InternetHandleGuard(const InternetHandleGuard&) = delete;
    InternetHandleGuard& operator=(const InternetHandleGuard&) = delete;

    HINTERNET Get() const { return handle_; }

private:
    HINTERNET handle_;
};

[[noreturn]] void ThrowWithSystemText(const std::wstring& prefix, DWORD code) {
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(prefix + systemText);
}

} // namespace

unsigned long long ParseContentLength(const std::wstring& text) {
    std::wistringstream stream(text);
    unsigned long long length = 0;
    stream >> length;
    return stream.fail() ? 0 : length;
}

void HttpDownloadToFile(const std::wstring& url, const std::wstring& filePath,
                        const HttpDownloadEvents& events, bool rejectHttpErrors) {
    InternetHandleGuard root(
        InternetOpenW(L"VornRPG Launcher", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (root.Get() == nullptr)
        ThrowWithSystemText(L"InternetOpenW failed: ", GetLastError());

    // Neither read nor write the local cache, and ask proxies not to serve one.
    const DWORD flags =
        INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
    InternetHandleGuard request(InternetOpenUrlW(root.Get(), url.c_str(), nullptr, 0, flags, 0));
    if (request.Get() == nullptr)
        ThrowWithSystemText(L"Не удалось открыть URL: " + url + L": ", GetLastError());

    if (rejectHttpErrors) {
        DWORD status = 0;
        DWORD statusSize = sizeof(status);
        if (!HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                            &statusSize, nullptr) ||
            status >= 400)
            throw MakeError(L"Сервер ответил ошибкой HTTP " + std::to_wstring(status) + L": " +
                            url);
    }

    wchar_t lengthText[64] = {};
    DWORD lengthTextSize = sizeof(lengthText);
    unsigned long long announced = 0;
    if (HttpQueryInfoW(request.Get(), HTTP_QUERY_CONTENT_LENGTH, lengthText, &lengthTextSize,
                       nullptr))
        announced = ParseContentLength(lengthText);
    const bool lengthKnown = announced != 0;
    if (lengthKnown && events.onLength)
        events.onLength(announced);

    HandleGuard file(FileOperationFault(L"create-file", filePath)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(filePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        ThrowWithSystemText(L"Не удалось создать файл: " + filePath + L": ", GetLastError());

    std::vector<BYTE> buffer(kChunkSize, 0);
    if (events.onStart)
        events.onStart(lengthKnown);

    unsigned long long received = 0;
    int lastPercent = -1;
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request.Get(), buffer.data(), kChunkSize, &read))
            ThrowWithSystemText(L"Ошибка скачивания: ", GetLastError());
        if (read == 0)
            break;
        DWORD written = 0;
        if (FileOperationFault(L"write", filePath) ||
            !WriteFile(file.Get(), buffer.data(), read, &written, nullptr) || written != read)
            ThrowWithSystemText(L"Ошибка записи файла: " + filePath + L": ", GetLastError());
        received += read;
        if (!lengthKnown)
            continue;
        unsigned long long percent = received * 100 / announced;
        if (percent > 100)
            percent = 100;
        if (static_cast<int>(percent) != lastPercent) {
            lastPercent = static_cast<int>(percent);
            if (events.onPercent)
                events.onPercent(lastPercent);
        }
    }
}
