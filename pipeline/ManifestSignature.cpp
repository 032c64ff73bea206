#include "pipeline/ManifestSignature.h"

#include "platform/EcdsaP256.h"
#include "platform/Errors.h"
#include "platform/Text.h"

namespace {

const char kKeyPrefix[] = "ecdsa-p256:";
const size_t kKeyHexDigits = 128;
const size_t kSignatureHexDigits = 128;

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The bytes of a text of hexadecimal digits, or empty when it has any other
// character or an odd length.
std::string HexBytes(const std::string& hex) {
    if (hex.size() % 2 != 0)
        return std::string();
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigitValue(hex[i]);
        const int low = HexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0)
            return std::string();
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

bool SignedByOneOf(const std::string& text, const std::string& signatureHex,
                   const std::vector<std::string>& updateKeys) {
    if (signatureHex.size() != kSignatureHexDigits)
        return false;
    const std::string signature = HexBytes(signatureHex);
    for (const std::string& key : updateKeys) {
        if (key.compare(0, sizeof(kKeyPrefix) - 1, kKeyPrefix) != 0)
            continue;
        const std::string point = key.substr(sizeof(kKeyPrefix) - 1);
        if (point.size() == kKeyHexDigits && EcdsaP256Verifies(HexBytes(point), text, signature))
            return true;
    }
    return false;
}

} // namespace

std::vector<std::string> SplitUpdateKeys(const std::string& list) {
    const char* const separators = "; \t\r\n";
    std::vector<std::string> keys;
    size_t start = list.find_first_not_of(separators);
    while (start != std::string::npos) {
        const size_t end = list.find_first_of(separators, start);
        keys.push_back(list.substr(start, end == std::string::npos ? end : end - start));
        start = list.find_first_not_of(separators, end);
    }
    return keys;
}

std::string ManifestNameOf(const std::wstring& manifestUrl) {
    std::wstring path = manifestUrl.substr(0, manifestUrl.find_first_of(L"?#"));
    return WideToUtf8(path.substr(path.find_last_of(L'/') + 1));
}

std::string SignedManifestText(const std::string& manifestName, const Manifest& manifest) {
    return "vorn-launcher-manifest-1\n"
           "manifest=" + manifestName + "\n"
           "version=" + manifest.version + "\n"
           "download_url=" + manifest.download_url + "\n"
           "exe=" + manifest.exe + "\n"
           "sha256=" + manifest.sha256 + "\n"
           "delta_index=" + manifest.delta_index + "\n"
           "delta_index_sha256=" + manifest.delta_index_sha256 + "\n";
}

void CheckManifestSignature(const Manifest& manifest, const std::wstring& manifestUrl,
                            const std::vector<std::string>& updateKeys) {
    if (updateKeys.empty())
        return;
    // Without a digest nothing would bind the archive to the signed values.
    if (manifest.sha256.empty() ||
        !SignedByOneOf(SignedManifestText(ManifestNameOf(manifestUrl), manifest),
                       manifest.signature, updateKeys))
        throw MakeError(L"Обновление не прошло проверку подлинности: его подпись не от "
                        L"издателя игры. Ничего не скачано, установленная игра не изменена.");
}
