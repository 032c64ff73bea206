#pragma once
// One HTTP(S) GET through WinINet on a thread of its own, on the process's
// one session (see HttpSession.h). Wine's WinINet ignores its time limits and
// a blocked call cannot be cancelled, so the caller waits for each step with
// a limit of its own and, past it, leaves the request behind: its thread ends
// by itself when the connection does, and it owns everything it still uses.

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

    // Waits up to the limit for the next piece of the body: whatever arrived,
    // up to 256 KiB, once a moment (25 ms at most, within the limit) has
    // passed for more when less came. True with the piece, valid until the
    // next Read (size 0 at the end of the body); false with the error code
    // once every byte before the failure was taken, or ERROR_INTERNET_TIMEOUT
    // when no byte came in time. The body goes on being read meanwhile.
    bool Read(DWORD limitMs, const BYTE*& data, DWORD& size, DWORD& code);

    // For waiting on several requests at once: set once WaitForResponse can
    // return at once, and while a Read can return at once.
    HANDLE ResponseEvent() const;
    HANDLE PieceEvent() const;
    // Starts reading the body without waiting for it; Read starts it too.
    void AskForPiece();

    // Leaves a response whose body must not be read (the whole file where a
    // range was asked) open and unread until the process ends. Closing it
    // would have WinINet read the rest of the body to keep the connection:
    // Wine does, for as long as bytes keep coming, up to the whole file. Left
    // open, the server stops once the connection's buffers are full and drops
    // it after a time limit of its own.
    void Park();

private:
    std::shared_ptr<HttpRequestState> state_;
};
