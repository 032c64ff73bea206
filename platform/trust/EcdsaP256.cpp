#include "platform/trust/EcdsaP256.h"

#include "platform/trust/Sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <exception>

namespace {

const size_t kCoordinateSize = 32;

// An algorithm provider, closed with BCryptCloseAlgorithmProvider.
class AlgorithmGuard {
public:
    AlgorithmGuard() = default;
    ~AlgorithmGuard() {
        if (handle != nullptr)
            BCryptCloseAlgorithmProvider(handle, 0);
    }
    AlgorithmGuard(const AlgorithmGuard&) = delete;
    AlgorithmGuard& operator=(const AlgorithmGuard&) = delete;

    BCRYPT_ALG_HANDLE handle = nullptr;
};

// An imported key, destroyed with BCryptDestroyKey.
class KeyGuard {
public:
    KeyGuard() = default;
    ~KeyGuard() {
        if (handle != nullptr)
            BCryptDestroyKey(handle);
    }
    KeyGuard(const KeyGuard&) = delete;
    KeyGuard& operator=(const KeyGuard&) = delete;

    BCRYPT_KEY_HANDLE handle = nullptr;
};

bool Succeeded(NTSTATUS status) {
    return status >= 0;
}

} // namespace

bool EcdsaP256Verifies(const std::string& publicKey, const std::string& message,
                       const std::string& signature) {
    if (publicKey.size() != 2 * kCoordinateSize || signature.size() != 2 * kCoordinateSize)
        return false;
    std::string digest;
    try {
        Sha256 hash;
        hash.Update(message.data(), static_cast<DWORD>(message.size()));
        digest = hash.FinishBytes();
    } catch (const std::exception&) {
        return false;
    }

    AlgorithmGuard algorithm;
    if (!Succeeded(BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_ECDSA_P256_ALGORITHM,
                                               nullptr, 0)))
        return false;
    // The public key blob: its header, then X and Y.
    std::string blob(sizeof(BCRYPT_ECCKEY_BLOB), '\0');
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, kCoordinateSize};
    blob.replace(0, sizeof(header), reinterpret_cast<const char*>(&header), sizeof(header));
    blob += publicKey;
    KeyGuard key;
    if (!Succeeded(BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB,
                                       &key.handle, reinterpret_cast<PUCHAR>(blob.data()),
                                       static_cast<ULONG>(blob.size()), 0)))
        return false;
    std::string signatureBytes = signature;
    return Succeeded(BCryptVerifySignature(
        key.handle, nullptr, reinterpret_cast<PUCHAR>(digest.data()),
        static_cast<ULONG>(digest.size()), reinterpret_cast<PUCHAR>(signatureBytes.data()),
        static_cast<ULONG>(signatureBytes.size()), 0));
}
