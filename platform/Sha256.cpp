#include "platform/Sha256.h"

#include "platform/Errors.h"
#include "platform/FileFaults.h"
#include "platform/Guards.h"
#include "platform/LongPath.h"

#include <windows.h>
#include <wincrypt.h>

#include <vector>

namespace {

const DWORD kChunkSize = 262144;

class CryptProviderGuard {
public:
    explicit CryptProviderGuard(HCRYPTPROV provider) : provider_(provider) {}
    ~CryptProviderGuard() { CryptReleaseContext(provider_, 0); }
    CryptProviderGuard(const CryptProviderGuard&) = delete;
    CryptProviderGuard& operator=(const CryptProviderGuard&) = delete;

private:
    HCRYPTPROV provider_;
};

class CryptHashGuard {
public:
    explicit CryptHashGuard(HCRYPTHASH hash) : hash_(hash) {}
    ~CryptHashGuard() { CryptDestroyHash(hash_); }
    CryptHashGuard(const CryptHashGuard&) = delete;
    CryptHashGuard& operator=(const CryptHashGuard&) = delete;

private:
    HCRYPTHASH hash_;
};

[[noreturn]] void ThrowLastError(const wchar_t* prefix) {
    const std::wstring systemText = GetWinErrorMessage(GetLastError());
    throw MakeError(prefix + systemText);
}

} // namespace

std::string ComputeFileSha256(const std::wstring& path) {
    // Read sharing only: nobody may write to the archive while it is digested.
    HandleGuard file(FileOperationFault(L"open", path)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        throw MakeError(L"Не удалось открыть файл для SHA-256: " + path);

    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        ThrowLastError(L"CryptAcquireContext failed: ");
    CryptProviderGuard providerGuard(provider);

    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash))
        ThrowLastError(L"CryptCreateHash(SHA-256) failed: ");
    CryptHashGuard hashGuard(hash);

    // A failing read ends the input like the end of the file; the shorter
    // digest then fails the comparison with the manifest.
    std::vector<BYTE> chunk(kChunkSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), chunk.data(), kChunkSize, &read, nullptr) || read == 0)
            break;
        if (!CryptHashData(hash, chunk.data(), read, 0))
            ThrowLastError(L"CryptHashData failed: ");
    }

    DWORD hashSize = 0;
    DWORD sizeLength = sizeof(hashSize);
    if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize), &sizeLength, 0))
        ThrowLastError(L"CryptGetHashParam(HP_HASHSIZE) failed: ");
    std::vector<BYTE> digest(hashSize, 0);
    DWORD digestLength = hashSize;
    if (!CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &digestLength, 0))
        ThrowLastError(L"CryptGetHashParam(HP_HASHVAL) failed: ");

    static const char kDigits[] = "0123456789abcdef";
    std::string hex(static_cast<size_t>(digestLength) * 2, '0');
    for (DWORD i = 0; i < digestLength; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    return hex;
}
