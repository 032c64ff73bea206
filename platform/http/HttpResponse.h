#pragma once
// What a download needs to know of a response's headers, the extra header
// lines it sends, and the errors it raises; shared by the whole-file and the
// range downloads.

#include <windows.h>
#include <wininet.h>

#include <string>

struct HttpResponse {
    DWORD status = 0;
    unsigned long long length = 0; // 0: not announced
    // Content-Range: the first and last byte the body holds, when it has one.
    bool hasRange = false;
    unsigned long long rangeFirst = 0;
    unsigned long long rangeLast = 0;
    unsigned long long rangeTotal = 0; // after the '/'; 0 for '*' or none
    std::wstring contentType;
    std::wstring validator; // for If-Range: a strong ETag, else Last-Modified
    std::wstring encoding;  // lower case; empty for identity
    std::wstring url;       // where it came from, after any redirect
    // The answer is a proxy's own, not the server's: an https request
    // answered through a proxy before any secure connection, so the proxy
    // refused the tunnel (or asked for a login).
    bool fromProxy = false;
};

// A connection closed before the status line reads as an answer without one
// (status 0) and an empty body: it is no answer, but a cut before the headers.
inline bool CutBeforeStatusLine(const HttpResponse& response) {
    return response.status == 0;
}

HttpResponse ReadHttpResponse(HINTERNET request);

// "bytes 1000-1999/2000": the first and last byte. False when the text holds
// no such pair (as "bytes */2000" does not).
bool ParseContentRange(const std::string& text, unsigned long long& first,
                       unsigned long long& last);

// The request's extra header lines: from a byte on, only while the body is
// still the one the validator names (otherwise the server sends it whole).
std::wstring DownloadRequestHeaders(unsigned long long from, const std::wstring& validator);

// " (URL)" when the response came from elsewhere than asked, after a redirect.
std::wstring ResponseSource(const HttpResponse& response, const std::wstring& requested);

// Raises "Не удалось открыть URL: <URL> (<where it led>): сервер перенаправил
// защищённый запрос на незащищённый адрес." for an https request answered
// from an http address, and "Ошибка скачивания: сервер ответил HTTP <status>"
// for 400 and above; a proxy's 407, and its refusal of the tunnel, each have
// a text of their own.
void RejectFailedResponse(const HttpResponse& response, const std::wstring& requested);

// Raises the launcher's error: the prefix and the system's text for the code.
[[noreturn]] void ThrowWithSystemText(const std::wstring& prefix, DWORD code);
// The same as a DownloadInterrupted (DownloadTimedOut for a time limit).
[[noreturn]] void ThrowInterrupted(const std::wstring& prefix, DWORD code);
