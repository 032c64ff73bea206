#pragma once
// Authenticode signatures of program files, checked by WinVerifyTrust
// without any window and without fetching revocation lists.

#include <string>

// True when the running program carries no signature, or when the candidate
// carries a valid one whose signing certificate names the same publisher
// (the same subject) as the running program's.
bool SignedLikeRunningProgram(const std::wstring& running, const std::wstring& candidate);
