#include "platform/http/HttpSession.h"

namespace {

// Connections to one server at once, for the whole process: the range
// download's own, with room for requests left behind that still hold theirs.
const DWORD kConnectionsPerServer = 16;

SRWLOCK sessionLock = SRWLOCK_INIT;
HINTERNET session = nullptr;

} // namespace

HINTERNET SharedHttpSession(INTERNET_STATUS_CALLBACK callback, DWORD& code) {
    AcquireSRWLockExclusive(&sessionLock);
    if (session == nullptr) {
        // Process-wide settings, read when connections are made.
        DWORD connections = kConnectionsPerServer;
        InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections,
                           sizeof(connections));
        InternetSetOptionW(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections,
                           sizeof(connections));
        session =
            InternetOpenW(L"VornRPG Launcher", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (session == nullptr)
            code = GetLastError();
        else
            InternetSetStatusCallbackW(session, callback);
    }
    const HINTERNET opened = session;
    ReleaseSRWLockExclusive(&sessionLock);
    return opened;
}
