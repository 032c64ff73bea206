#pragma once
// The process's one WinINet session. Every request opens its URL on it, so
// that WinINet keeps a connection to a server alive from one request to the
// next: the file index, the ranges and the archive of an update share them.
// It is opened at the first request and never closed, so a request left
// behind after a time limit never meets a freed session.

#include <windows.h>
#include <wininet.h>

// The session, opened at the first call with the status callback that every
// request's handle inherits. Null with the error code when InternetOpenW
// fails; the next call tries again.
HINTERNET SharedHttpSession(INTERNET_STATUS_CALLBACK callback, DWORD& code);
