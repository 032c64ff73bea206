#include "platform/files/FileFaults.h"

namespace {
// Set once by a test before any run starts; read by the worker thread.
FileOperationHook g_hook = nullptr;
const DWORD kHeldFolderWaitMs = 60000;
DWORD g_heldFolderWaitMs = kHeldFolderWaitMs;
} // namespace

void SetHeldFolderWaitForTests(DWORD milliseconds) {
    g_heldFolderWaitMs = milliseconds == 0 ? kHeldFolderWaitMs : milliseconds;
}

DWORD HeldFolderWaitMs() {
    return g_heldFolderWaitMs;
}

void SetFileOperationHook(FileOperationHook hook) {
    g_hook = hook;
}

DWORD FileOperationFault(const wchar_t* operation, const std::wstring& path) {
    if (g_hook == nullptr)
        return 0;
    const DWORD code = g_hook(operation, path);
    if (code != 0)
        SetLastError(code);
    return code;
}
