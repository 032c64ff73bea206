#pragma once
// One HTTP(S) GET through WinINet on a thread of its own. Wine's WinINet
// ignores its time limits and a blocked call cannot be cancelled, so the
// caller waits for each step with a limit of its own and, past it, leaves the
// request behind: its thread ends by itself when the connection does, and it
// owns everything it still uses.

#include <windows.h>
#include <wininet.h>

#include <memory>
#include <string>

struct HttpRequestState;

class HttpRequest {
public:
    // Sends the request with the extra header lines (each ending in CR LF).
    HttpRequest(const std::wstring& url, const std::wstring& headers);
    ~HttpRequest();
    HttpRequest(const HttpRequest&) = delete;
    HttpRequest& operator=(const HttpRequest&) = delete;

    // Waits up to the limit for the response's headers. False with the error
    // code when the request failed, ERROR_INTERNET_TIMEOUT when the limit
    // passed; rootFailed tells that InternetOpenW itself failed.
    bool WaitForResponse(DWORD limitMs, DWORD& code, bool& rootFailed);

    // Where the last redirect led, once WaitForResponse returned; empty
    // when there was none.
    std::wstring RedirectedTo() const;

    // The request handle, for reading the response's headers once it came.
    HINTERNET Handle() const;

    // Waits up to the limit for the next piece of the body. True with the
    // piece, valid until the next Read (size 0 at the end of the body); false
    // with the error code, or ERROR_INTERNET_TIMEOUT when no byte came in time.
    // The piece after it is read meanwhile.
    bool Read(DWORD limitMs, const BYTE*& data, DWORD& size, DWORD& code);

private:
    std::shared_ptr<HttpRequestState> state_;
};
