#include "pipeline/ManifestSignature.h"

#include "platform/trust/EcdsaP256.h"
#include "platform/Errors.h"
#include "platform/Text.h"

#include <windows.h>

#include <cstdio>

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
    // A manifest with a length or an expiry is signed in the second form,
    // which covers them: taking them away breaks the signature.
    const bool second = !manifest.size.empty() || !manifest.expires.empty();
    std::string text = second ? "vorn-launcher-manifest-2\n" : "vorn-launcher-manifest-1\n";
    text += "manifest=" + manifestName + "\n";
    text += "version=" + manifest.version + "\n";
    text += "download_url=" + manifest.download_url + "\n";
    text += "exe=" + manifest.exe + "\n";
    text += "sha256=" + manifest.sha256 + "\n";
    text += "delta_index=" + manifest.delta_index + "\n";
    text += "delta_index_sha256=" + manifest.delta_index_sha256 + "\n";
    if (second) {
        text += "size=" + manifest.size + "\n";
        text += "expires=" + manifest.expires + "\n";
    }
    return text;
}

bool ReadSignedSize(const Manifest& manifest, unsigned long long& size) {
    if (manifest.size.empty() || manifest.size.size() > 19 ||
        manifest.size.find_first_not_of("0123456789") != std::string::npos)
        return false;
    size = std::stoull(manifest.size);
    return true;
}

namespace {

// "2027-01-31T12:00:00Z" as a point in time; false for any other form.
bool ReadExpiry(const std::string& text, FILETIME& time) {
    SYSTEMTIME parts{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char end = 0;
    if (text.size() != 20 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &year, &month, &day, &hour, &minute,
                    &second, &end) != 7 ||
        end != 'Z')
        return false;
    parts.wYear = static_cast<WORD>(year);
    parts.wMonth = static_cast<WORD>(month);
    parts.wDay = static_cast<WORD>(day);
    parts.wHour = static_cast<WORD>(hour);
    parts.wMinute = static_cast<WORD>(minute);
    parts.wSecond = static_cast<WORD>(second);
    return SystemTimeToFileTime(&parts, &time) != FALSE;
}

} // namespace

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
    // A signed expiry: a server that went on serving this manifest after the
    // studio stopped signing it is out of date, or not the studio's.
    if (!manifest.expires.empty()) {
        FILETIME expiry{};
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        if (!ReadExpiry(manifest.expires, expiry) || CompareFileTime(&now, &expiry) >= 0)
            throw MakeError(L"Сервер обновлений устарел: описание обновления действовало до " +
                            Utf8ToWide(manifest.expires) +
                            L" (UTC). Сообщите об этом в группу проекта. Ничего не скачано, "
                            L"установленная игра не изменена.");
    }
    unsigned long long size = 0;
    if (!manifest.size.empty() && !ReadSignedSize(manifest, size))
        throw MakeError(L"Обновление не прошло проверку подлинности: его подпись не от "
                        L"издателя игры. Ничего не скачано, установленная игра не изменена.");
}
