#include "platform/http/HttpRequest.h"

#include "platform/trust/FileVersion.h"
#include "platform/http/HttpSession.h"
#include "platform/files/SystemFolders.h"
#include "platform/http/WinInetLoad.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {

// Neither read nor write the local cache, and ask proxies not to serve one.
const DWORD kRequestFlags =
    INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE;
// The request's thread reads what has arrived as it arrives, at most a piece
// a call, and keeps up to kHeldMost of it for the owner, who takes up to a
// piece at a time. What arrived is never held back waiting for more: a stall
// shows at once where the body stopped.
const DWORD kPieceSize = 262144;
const size_t kHeldMost = 2 * kPieceSize;
// A read that finds less than a piece waits this long for more, so that a
// fast link comes in few, big pieces (each a round trip between threads).
const DWORD kGatherMs = 25;

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
    // The owner wants the body read (or gives up: abandoned).
    HANDLE wanted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Set while bytes wait to be taken, or once the body ended or failed.
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Bytes came (auto-reset), and the owner took some (auto-reset).
    HANDLE grown = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE taken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    volatile LONG abandoned = 0;
    // What the thread read and the owner has not taken yet, and how the body
    // ended (once ended: code 0 at its end, else the failure).
    SRWLOCK bodyLock = SRWLOCK_INIT;
    std::vector<BYTE> arrived; // from arrivedStart on
    size_t arrivedStart = 0;
    bool ended = false;
    // The owner's piece, valid until its next Read.
    std::vector<BYTE> piece;
    bool asked = false;

    ~HttpRequestState() {
        if (request != nullptr)
            InternetCloseHandle(request);
        for (HANDLE event : {opened, wanted, ready, grown, taken})
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

// Reads what has arrived, waiting only when nothing has: a synchronous
// InternetReadFile returns only once its whole buffer is filled, which would
// hold arrived bytes back for as long as a stall lasts. So the read waits for
// the first byte (or the end) and takes exactly what is there. (Reading
// without waiting, InternetReadFileExA with IRF_NO_WAIT, loses its place in
// a TLS record that has come in part under Wine.) At the end of the body the
// read gives 0 and WinINet takes the connection back for the next request.
BOOL ReadArrived(HINTERNET request, BYTE* buffer, DWORD& read) {
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0))
        return FALSE;
    const DWORD wanted = std::min(std::max(available, DWORD{1}), kPieceSize);
    return InternetReadFile(request, buffer, wanted, &read);
}

// Hands the read bytes, or the body's end, to the owner.
void Deliver(HttpRequestState& state, const BYTE* data, DWORD size, bool end, DWORD code) {
    AcquireSRWLockExclusive(&state.bodyLock);
    // What was taken goes: all of it, or once it is the most held.
    if (state.arrivedStart == state.arrived.size() || state.arrivedStart >= kHeldMost) {
        state.arrived.erase(state.arrived.begin(),
                            state.arrived.begin() + static_cast<ptrdiff_t>(state.arrivedStart));
        state.arrivedStart = 0;
    }
    state.arrived.insert(state.arrived.end(), data, data + size);
    if (end) {
        state.ended = true;
        state.code = code;
    }
    SetEvent(state.ready);
    ReleaseSRWLockExclusive(&state.bodyLock);
    SetEvent(state.grown);
}

size_t HeldBytes(HttpRequestState& state) {
    AcquireSRWLockShared(&state.bodyLock);
    const size_t held = state.arrived.size() - state.arrivedStart;
    ReleaseSRWLockShared(&state.bodyLock);
    return held;
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
    // Nothing is read until the owner asks: a response left unread (Park)
    // stays so.
    WaitForSingleObject(state->wanted, INFINITE);
    std::vector<BYTE> buffer(kPieceSize);
    for (;;) {
        while (state->abandoned == 0 && HeldBytes(*state) >= kHeldMost)
            WaitForSingleObject(state->taken, INFINITE);
        if (state->abandoned != 0)
            return 0;
        DWORD read = 0;
        if (!ReadArrived(state->request, buffer.data(), read)) {
            Deliver(*state, nullptr, 0, true, GetLastError());
            return 0;
        }
        Deliver(*state, buffer.data(), read, read == 0, 0);
        if (read == 0)
            return 0;
    }
}

// Every request names the program's version in a header of its own (the
// User-Agent stays as servers and proxies know it), so that a studio's logs
// tell which launchers its players run. None for a program without one.
const std::wstring& VersionHeader() {
    static const std::wstring header = [] {
        const std::string version = FileVersionOf(ModuleFilePath());
        return version.empty() ? std::wstring()
                               : L"X-Vorn-Launcher: " + std::wstring(version.begin(), version.end()) +
                                     L"\r\n";
    }();
    return header;
}

} // namespace

HttpRequest::HttpRequest(const std::wstring& url, const std::wstring& headers)
    : state_(std::make_shared<HttpRequestState>()) {
    EnsureWinInetLoaded();
    state_->url = url;
    state_->headers = headers + VersionHeader();
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
    // A thread still waiting to read ends now; one blocked in WinINet ends
    // when the call returns.
    InterlockedExchange(&state_->abandoned, 1);
    SetEvent(state_->wanted);
    SetEvent(state_->taken);
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
    const ULONGLONG started = GetTickCount64();
    if (WaitForSingleObject(state_->ready, limitMs) != WAIT_OBJECT_0) {
        code = ERROR_INTERNET_TIMEOUT;
        return false;
    }
    // Less than a piece: a moment for more, within the limit.
    const ULONGLONG until = started + std::min<ULONGLONG>(limitMs, kGatherMs);
    for (ULONGLONG now = GetTickCount64(); now < until; now = GetTickCount64()) {
        AcquireSRWLockShared(&state_->bodyLock);
        const bool enough =
            state_->ended || state_->arrived.size() - state_->arrivedStart >= kPieceSize;
        ReleaseSRWLockShared(&state_->bodyLock);
        if (enough)
            break;
        WaitForSingleObject(state_->grown, static_cast<DWORD>(until - now));
    }
    AcquireSRWLockExclusive(&state_->bodyLock);
    const size_t held = state_->arrived.size() - state_->arrivedStart;
    const size_t count = std::min(held, static_cast<size_t>(kPieceSize));
    const auto first = state_->arrived.begin() + static_cast<ptrdiff_t>(state_->arrivedStart);
    state_->piece.assign(first, first + static_cast<ptrdiff_t>(count));
    state_->arrivedStart += count;
    const bool failed = count == 0 && state_->ended && state_->code != 0;
    code = failed ? state_->code : 0;
    if (count == held && !state_->ended)
        ResetEvent(state_->ready);
    ReleaseSRWLockExclusive(&state_->bodyLock);
    SetEvent(state_->taken);
    if (failed)
        return false;
    data = state_->piece.data();
    size = static_cast<DWORD>(count);
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
