// Test set-up helper: adds a DER certificate to the machine's trusted root
// store, so that WinINet accepts the local test server.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust_ca ca.der\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "trust_ca: cannot open the certificate\n");
        return 1;
    }
    std::vector<BYTE> der(GetFileSize(file, nullptr));
    DWORD read = 0;
    const BOOL ok = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != der.size()) {
        std::fprintf(stderr, "trust_ca: cannot read the certificate\n");
        return 1;
    }

    HCERTSTORE store =
        CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (store == nullptr) {
        std::fprintf(stderr, "trust_ca: CertOpenStore failed: %lu\n", GetLastError());
        return 1;
    }
    const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), read,
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    const DWORD code = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "trust_ca: CertAddEncodedCertificateToStore failed: %lu\n", code);
        return 1;
    }
    return 0;
}
