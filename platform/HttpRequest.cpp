#include "platform/HttpRequest.h"

#include "platform/HttpSession.h"
#include "platform/WinInetLoad.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

// Neither read nor write the local cache, and ask proxies not to serve one.
const DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
const DWORD kPieceSize = 262144;
// A read waits for at least this much of the body, or what has arrived if
// that is more. It starts small and doubles while such waits end within
// kQuickMs (a fast link: few, big pieces, each a round trip between threads
// less); a wait over kSlowMs drops it to what has arrived (a slow link shows
// its bytes soon, and never waits long for a piece).
const DWORD kFirstLeast = 16384;
const ULONGLONG kQuickMs = 100;
const ULONGLONG kSlowMs = 1000;

} // namespace

// Shared by the request's thread and its owner; the last of them frees it.
struct HttpRequestState {
    std::wstring url;
    std::wstring headers;
    HINTERNET request = nullptr;
    bool rootFailed = false;
    DWORD code = 0;
    // The last redirect's target; written while opening, which a caller
    // may have stopped waiting for.
    SRWLOCK redirectLock = SRWLOCK_INIT;
    std::wstring redirectedTo;
    // Set once the response's headers came (or the request failed).
    HANDLE opened = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // The owner wants the next piece (or gives up: abandoned).
    HANDLE wanted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    // A piece (or the end, or a failure) is there; the owner resets it when
    // it takes the piece.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile LONG abandoned = 0;
    // Two pieces: the thread reads the next into one while the owner still
    // writes out the other.
    std::vector<BYTE> pieces[2] = {std::vector<BYTE>(kPieceSize), std::vector<BYTE>(kPieceSize)};
    int filled = 0; // the piece the last read went into
    DWORD size = 0;
    // Whether a read was asked for and its result not yet taken.
    bool asked = false;

    ~HttpRequestState() {
        if (request != nullptr)
            InternetCloseHandle(request);
        for (HANDLE event : {opened, wanted, ready})
            if (event != nullptr)
                CloseHandle(event);
    }
};

namespace {

// Requests left open and unread until the process ends. Never freed, not
// even at exit, so that nothing closes them then either.
SRWLOCK parkedLock = SRWLOCK_INIT;
std::vector<std::shared_ptr<HttpRequestState>>* parked = nullptr;

// Notes where a redirect leads, so that a failure there can name it. The
// URL comes as UTF-16 from the W callback; some WinINets hand it over as
// ANSI all the same, and a URL we sent is ASCII either way.
void CALLBACK RequestStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID information,
                            DWORD length) {
    if (status != INTERNET_STATUS_REDIRECT || context == 0 || information == nullptr || length < 2)
        return;
    auto* state = reinterpret_cast<HttpRequestState*>(context);
    const auto* bytes = static_cast<const char*>(information);
    std::wstring target;
    if (bytes[1] == '\0')
        target.assign(static_cast<const wchar_t*>(information),
                      wcsnlen(static_cast<const wchar_t*>(information), length / sizeof(wchar_t)));
    else
        target.assign(bytes, bytes + strnlen(bytes, length));
    AcquireSRWLockExclusive(&state->redirectLock);
    state->redirectedTo = target;
    ReleaseSRWLockExclusive(&state->redirectLock);
}

// Reads what has arrived, or the least, up to a piece: a synchronous
// InternetReadFile returns only once its whole buffer is filled, which on a
// slow link would hide for long that bytes are coming. At the end of the body
// the read gives 0 and WinINet takes the connection back for the next request.
BOOL ReadPiece(HINTERNET request, BYTE* piece, DWORD& least, DWORD& read) {
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0))
        return FALSE;
    const DWORD wanted = std::min(std::max({available, least, DWORD{1}}), kPieceSize);
    const ULONGLONG started = GetTickCount64();
    if (!InternetReadFile(request, piece, wanted, &read))
        return FALSE;
    const ULONGLONG took = GetTickCount64() - started;
    if (took > kSlowMs)
        least = 0;
    else if (wanted > available && read == wanted && took < kQuickMs)
        least = std::min(std::max(least * 2, kFirstLeast), kPieceSize);
    return TRUE;
}

DWORD WINAPI RequestThread(LPVOID parameter) {
    auto* handOver = static_cast<std::shared_ptr<HttpRequestState>*>(parameter);
    const std::shared_ptr<HttpRequestState> state = *handOver;
    delete handOver;

    DWORD rootCode = 0;
    const HINTERNET root = SharedHttpSession(RequestStatus, rootCode);
    if (root == nullptr) {
        state->code = rootCode;
        state->rootFailed = true;
        SetEvent(state->opened);
        return 0;
    }
    state->request =
        InternetOpenUrlW(root, state->url.c_str(), state->headers.c_str(), static_cast<DWORD>(-1L),
                         kRequestFlags, reinterpret_cast<DWORD_PTR>(state.get()));
    if (state->request == nullptr)
        state->code = GetLastError();
    SetEvent(state->opened);
    if (state->request == nullptr)
        return 0;
    DWORD least = kFirstLeast;
    for (int next = 0;; next = 1 - next) {
        WaitForSingleObject(state->wanted, INFINITE);
        if (state->abandoned != 0)
            return 0;
        DWORD read = 0;
        const BOOL ok = ReadPiece(state->request, state->pieces[next].data(), least, read);
        state->code = ok ? 0 : GetLastError();
        state->size = ok ? read : 0;
        state->filled = next;
        SetEvent(state->ready);
        if (!ok || read == 0)
            return 0;
    }
}

} // namespace

HttpRequest::HttpRequest(const std::wstring& url, const std::wstring& headers)
    : state_(std::make_shared<HttpRequestState>()) {
    EnsureWinInetLoaded();
    state_->url = url;
    state_->headers = headers;
    auto* handOver = new std::shared_ptr<HttpRequestState>(state_);
    HANDLE thread = CreateThread(nullptr, 0, RequestThread, handOver, 0, nullptr);
    if (thread == nullptr) {
        delete handOver;
        state_->code = GetLastError();
        SetEvent(state_->opened);
        return;
    }
    CloseHandle(thread);
}

HttpRequest::~HttpRequest() {
    // A thread still waiting for the next want ends now; one blocked in
    // WinINet ends when the call returns.
    InterlockedExchange(&state_->abandoned, 1);
    SetEvent(state_->wanted);
}

bool HttpRequest::WaitForResponse(DWORD limitMs, DWORD& code, bool& rootFailed) {
    rootFailed = false;
    if (WaitForSingleObject(state_->opened, limitMs) != WAIT_OBJECT_0) {
        code = ERROR_INTERNET_TIMEOUT;
        return false;
    }
    rootFailed = state_->rootFailed;
    code = state_->code;
    return state_->request != nullptr;
}

std::wstring HttpRequest::RedirectedTo() const {
    AcquireSRWLockShared(&state_->redirectLock);
    std::wstring target = state_->redirectedTo;
    ReleaseSRWLockShared(&state_->redirectLock);
    return target;
}

HINTERNET HttpRequest::Handle() const {
    return state_->request;
}

bool HttpRequest::Read(DWORD limitMs, const BYTE*& data, DWORD& size, DWORD& code) {
    data = nullptr;
    size = 0;
    AskForPiece();
    if (WaitForSingleObject(state_->ready, limitMs) != WAIT_OBJECT_0) {
        code = ERROR_INTERNET_TIMEOUT;
        return false;
    }
    ResetEvent(state_->ready);
    state_->asked = false;
    code = state_->code;
    if (code != 0)
        return false;
    data = state_->pieces[state_->filled].data();
    size = state_->size;
    // The next piece comes in while the caller deals with this one.
    if (size > 0)
        AskForPiece();
    return true;
}

HANDLE HttpRequest::ResponseEvent() const {
    return state_->opened;
}

HANDLE HttpRequest::PieceEvent() const {
    return state_->ready;
}

void HttpRequest::AskForPiece() {
    if (state_->asked)
        return;
    state_->asked = true;
    SetEvent(state_->wanted);
}

void HttpRequest::Park() {
    AcquireSRWLockExclusive(&parkedLock);
    if (parked == nullptr)
        parked = new std::vector<std::shared_ptr<HttpRequestState>>();
    parked->push_back(state_);
    ReleaseSRWLockExclusive(&parkedLock);
}
