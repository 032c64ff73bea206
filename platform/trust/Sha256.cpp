#include "platform/trust/Sha256.h"

#include "platform/Errors.h"
#include "platform/files/FileFaults.h"
#include "platform/Guards.h"
#include "platform/files/LongPath.h"

#include <vector>

namespace {

const DWORD kChunkSize = 262144;

[[noreturn]] void ThrowSystemError(const wchar_t* prefix, DWORD code) {
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(prefix + systemText);
}

[[noreturn]] void ThrowLastError(const wchar_t* prefix) {
    ThrowSystemError(prefix, GetLastError());
}

} // namespace

Sha256::Sha256() {
    if (!CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        ThrowLastError(L"CryptAcquireContext failed: ");
    if (!CryptCreateHash(provider_, CALG_SHA_256, 0, 0, &hash_)) {
        // No destructor runs for an object that was never made.
        const DWORD code = GetLastError();
        CryptReleaseContext(provider_, 0);
        ThrowSystemError(L"CryptCreateHash(SHA-256) failed: ", code);
    }
}

Sha256::~Sha256() {
    CryptDestroyHash(hash_);
    CryptReleaseContext(provider_, 0);
}

void Sha256::Update(const void* data, DWORD size) {
    if (size > 0 && !CryptHashData(hash_, static_cast<const BYTE*>(data), size, 0))
        ThrowLastError(L"CryptHashData failed: ");
}

std::string Sha256::FinishBytes() {
    DWORD hashSize = 0;
    DWORD sizeLength = sizeof(hashSize);
    if (!CryptGetHashParam(hash_, HP_HASHSIZE, reinterpret_cast<BYTE*>(&hashSize), &sizeLength, 0))
        ThrowLastError(L"CryptGetHashParam(HP_HASHSIZE) failed: ");
    std::string digest(hashSize, '\0');
    DWORD digestLength = hashSize;
    if (!CryptGetHashParam(hash_, HP_HASHVAL, reinterpret_cast<BYTE*>(digest.data()),
                           &digestLength, 0))
        ThrowLastError(L"CryptGetHashParam(HP_HASHVAL) failed: ");
    digest.resize(digestLength);
    return digest;
}

std::string Sha256::Finish() {
    const std::string digest = FinishBytes();
    static const char kDigits[] = "0123456789abcdef";
    std::string hex(digest.size() * 2, '0');
    for (size_t i = 0; i < digest.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(digest[i]);
        hex[2 * i] = kDigits[byte >> 4];
        hex[2 * i + 1] = kDigits[byte & 0x0F];
    }
    return hex;
}

std::string ComputeFileSha256(const std::wstring& path) {
    // Read sharing only: nobody may write to the archive while it is digested.
    HandleGuard file(FileOperationFault(L"open", path)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        throw MakeError(L"Не удалось открыть файл для SHA-256: " + path);

    Sha256 digest;
    // A failing read ends the input like the end of the file; the shorter
    // digest then fails the comparison with the manifest.
    std::vector<BYTE> chunk(kChunkSize);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), chunk.data(), kChunkSize, &read, nullptr) || read == 0)
            break;
        digest.Update(chunk.data(), read);
    }
    return digest.Finish();
}
