#pragma once
// Authenticode signatures of program files, checked by WinVerifyTrust
// without any window and without fetching revocation lists.

#include <string>

// True when the running program carries no signature, or when the candidate
// carries a valid one whose signing certificate names the same publisher as
// the running program's: the same subject, issued by the same authority (the
// same issuer name), so that a renewed certificate passes and another
// authority's certificate for the same name does not.
bool SignedLikeRunningProgram(const std::wstring& running, const std::wstring& candidate);
