#pragma once
// A seam over the file layer for the durability tests: each operation that an
// update makes on the disk asks it first, and a hook set by a test may log the
// operation or make it fail with an error code of its choice. The launcher
// never sets a hook, so in the shipped program the seam is one null check.

#include <windows.h>

#include <string>

// Operation names: "create-folder", "copy" and "move" (the path is the
// destination), "delete-file", "delete-folder", "create-file", "open" (for
// reading), "write", "flush", and the reads: "list" and "list-next" (the
// first and each further entry of a folder's listing; the path is the
// folder), "attributes", "size".
using FileOperationHook = DWORD (*)(const wchar_t* operation, const std::wstring& path);

// Tests only. Null removes the hook.
void SetFileOperationHook(FileOperationHook hook);

// 0 when the operation may go ahead; otherwise the error code it must fail
// with, already set as the thread's last error.
DWORD FileOperationFault(const wchar_t* operation, const std::wstring& path);

// How long a rename waits for a folder that another program holds (a
// minute); tests that hold one for good shorten it. 0 restores the minute.
void SetHeldFolderWaitForTests(DWORD milliseconds);
DWORD HeldFolderWaitMs();
