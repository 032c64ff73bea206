#pragma once
// SHA-256 by CryptoAPI, as 64 lower-case hexadecimal digits: of bytes given
// piece by piece, and of a whole file read in 256 KiB chunks.

#include <windows.h>
#include <wincrypt.h>

#include <string>

// One digest in the making. Raises the launcher's error when CryptoAPI fails:
// "CryptAcquireContext failed: ", "CryptCreateHash(SHA-256) failed: ",
// "CryptHashData failed: ", "CryptGetHashParam(HP_HASHSIZE|HP_HASHVAL)
// failed: " followed by the system text.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* data, DWORD size);
    // The digest of every byte given so far. Once it is taken, the digest
    // takes no more bytes.
    std::string Finish();
    // The same digest as its 32 bytes.
    std::string FinishBytes();

private:
    HCRYPTPROV provider_ = 0;
    HCRYPTHASH hash_ = 0;
};

// Raises "Не удалось открыть файл для SHA-256: " + path when the file cannot
// be opened; a read that fails ends the input like the end of the file.
std::string ComputeFileSha256(const std::wstring& path);
