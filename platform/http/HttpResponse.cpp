#include "platform/http/HttpResponse.h"

#include "platform/Errors.h"
#include "platform/http/HttpDownload.h"
#include "platform/files/Paths.h"

#include <vector>

namespace {

std::wstring QueryHeader(HINTERNET request, DWORD query) {
    std::vector<wchar_t> text(256, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request, query, text.data(), &size, nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return std::wstring();
        text.assign(size / sizeof(wchar_t) + 1, L'\0');
        if (!HttpQueryInfoW(request, query, text.data(), &size, nullptr))
            return std::wstring();
    }
    return std::wstring(text.data(), size / sizeof(wchar_t));
}

// Digits from the position on; false when there is none.
bool ReadNumber(const std::string& text, size_t& at, unsigned long long& number) {
    const size_t start = at;
    number = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 19)
        number = number * 10 + static_cast<unsigned long long>(text[at++] - '0');
    return at > start;
}

bool IsHttps(const std::wstring& url) {
    return url.size() >= 8 && _wcsnicmp(url.c_str(), L"https://", 8) == 0;
}

// A request sent through a proxy whose connection never became secure: what
// answered was the proxy itself, to the request for a tunnel.
bool AnsweredByProxy(HINTERNET request) {
    DWORD flags = 0;
    DWORD size = sizeof(flags);
    if (!InternetQueryOptionW(request, INTERNET_OPTION_REQUEST_FLAGS, &flags, &size) ||
        (flags & INTERNET_REQFLAG_VIA_PROXY) == 0)
        return false;
    DWORD security = 0;
    size = sizeof(security);
    return InternetQueryOptionW(request, INTERNET_OPTION_SECURITY_FLAGS, &security, &size) &&
           (security & SECURITY_FLAG_SECURE) == 0;
}

} // namespace

HttpResponse ReadHttpResponse(HINTERNET request) {
    HttpResponse response;
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &statusSize, nullptr))
        response.status = status;
    response.length = ParseContentLength(QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH));
    const std::wstring range = QueryHeader(request, HTTP_QUERY_CONTENT_RANGE);
    response.hasRange = ParseContentRange(std::string(range.begin(), range.end()),
                                          response.rangeFirst, response.rangeLast);
    const size_t slash = range.find(L'/');
    if (slash != std::wstring::npos)
        response.rangeTotal = ParseContentLength(range.substr(slash + 1));
    response.contentType = QueryHeader(request, HTTP_QUERY_CONTENT_TYPE);
    // If-Range takes only a strong ETag: a weak one would never match.
    response.validator = QueryHeader(request, HTTP_QUERY_ETAG);
    if (response.validator.empty() || response.validator.compare(0, 2, L"W/") == 0)
        response.validator = QueryHeader(request, HTTP_QUERY_LAST_MODIFIED);
    response.encoding = ToLowerW(QueryHeader(request, HTTP_QUERY_CONTENT_ENCODING));
    if (response.encoding == L"identity")
        response.encoding.clear();

    DWORD size = 0;
    InternetQueryOptionW(request, INTERNET_OPTION_URL, nullptr, &size);
    if (size > 0) {
        std::vector<wchar_t> url(size / sizeof(wchar_t) + 1, L'\0');
        if (InternetQueryOptionW(request, INTERNET_OPTION_URL, url.data(), &size))
            response.url = url.data();
    }
    response.fromProxy = IsHttps(response.url) && AnsweredByProxy(request);
    return response;
}

bool ParseContentRange(const std::string& text, unsigned long long& first,
                       unsigned long long& last) {
    // The unit and blanks before the first digit mean nothing to us.
    size_t at = text.find_first_of("0123456789*");
    if (at == std::string::npos || text[at] == '*')
        return false;
    if (!ReadNumber(text, at, first) || at >= text.size() || text[at] != '-')
        return false;
    ++at;
    return ReadNumber(text, at, last) && last >= first;
}

std::wstring DownloadRequestHeaders(unsigned long long from, const std::wstring& validator) {
    // Caches in front of the server must ask it too; the body is wanted as it
    // is, so that its length and digest are the file's.
    std::wstring headers = L"Cache-Control: no-cache\r\nAccept-Encoding: identity\r\n";
    if (from > 0) {
        headers += L"Range: bytes=" + std::to_wstring(from) + L"-\r\n";
        if (!validator.empty())
            headers += L"If-Range: " + validator + L"\r\n";
    }
    return headers;
}

std::wstring ResponseSource(const HttpResponse& response, const std::wstring& requested) {
    if (response.url.empty() || response.url == requested)
        return std::wstring();
    return L" (" + response.url + L")";
}

void RejectFailedResponse(const HttpResponse& response, const std::wstring& requested) {
    // WinINet follows a redirect from https to plain http (Wine's does, and
    // what Windows' does depends on its settings): a secure request stays
    // secure, whatever the server says.
    if (IsHttps(requested) && !response.url.empty() && !IsHttps(response.url))
        throw MakeError(L"Не удалось открыть URL: " + requested + L" (" + response.url +
                        L"): сервер перенаправил защищённый запрос на незащищённый адрес.");
    // Only a proxy between the player and the server asks for a login.
    if (response.status == 407)
        throw MakeError(L"Ошибка скачивания: прокси-сервер этой сети требует входа (HTTP 407). "
                        L"Попросите администратора сети открыть лаунчеру доступ к серверу игры.");
    if (response.fromProxy && response.status >= 400 && response.status < 500)
        throw MakeError(L"Ошибка скачивания: прокси-сервер этой сети не пропустил соединение с "
                        L"сервером игры (HTTP " + std::to_wstring(response.status) +
                        L"). Попросите администратора сети открыть лаунчеру доступ к серверу "
                        L"игры.");
    if (response.status >= 400)
        throw MakeError(L"Ошибка скачивания: сервер ответил HTTP " +
                        std::to_wstring(response.status) + ResponseSource(response, requested));
}

void ThrowInterrupted(const std::wstring& prefix, DWORD code) {
    if (code == ERROR_INTERNET_TIMEOUT)
        ThrowWithSystemText(prefix, code);
    throw DownloadInterrupted(MakeError(prefix + GetWinErrorMessage(code)).what());
}

void ThrowWithSystemText(const std::wstring& prefix, DWORD code) {
    const std::wstring systemText = GetWinErrorMessage(code);
    if (code == ERROR_INTERNET_TIMEOUT)
        throw DownloadTimedOut(MakeError(prefix + systemText).what());
    throw MakeError(prefix + systemText);
}
