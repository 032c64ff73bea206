#include "platform/trust/Authenticode.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <vector>

namespace {

// What WinVerifyTrust said of a file, and the subject and issuer of the
// certificate that signed it (empty when it has none that could be read).
struct Trust {
    LONG status = TRUST_E_NOSIGNATURE;
    std::vector<BYTE> signerSubject;
    std::vector<BYTE> signerIssuer;
};

Trust VerifyFile(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    Trust trust;
    trust.status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    // The signer is read whatever the verdict: an expired certificate still
    // names its publisher.
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData);
    CRYPT_PROVIDER_SGNR* signer =
        provider != nullptr ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    CRYPT_PROVIDER_CERT* certificate =
        signer != nullptr ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
    if (certificate != nullptr && certificate->pCert != nullptr) {
        const CERT_NAME_BLOB& subject = certificate->pCert->pCertInfo->Subject;
        trust.signerSubject.assign(subject.pbData, subject.pbData + subject.cbData);
        const CERT_NAME_BLOB& issuer = certificate->pCert->pCertInfo->Issuer;
        trust.signerIssuer.assign(issuer.pbData, issuer.pbData + issuer.cbData);
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return trust;
}

} // namespace

bool SignedLikeRunningProgram(const std::wstring& running, const std::wstring& candidate) {
    const Trust own = VerifyFile(running);
    if (own.status == TRUST_E_NOSIGNATURE && own.signerSubject.empty())
        return true;
    const Trust other = VerifyFile(candidate);
    // The same name from another authority is not the same publisher; a
    // renewed certificate from the studio's own authority is.
    return other.status == ERROR_SUCCESS && !other.signerSubject.empty() &&
           other.signerSubject == own.signerSubject && other.signerIssuer == own.signerIssuer;
}
