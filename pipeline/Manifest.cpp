#include "pipeline/Manifest.h"

#include "platform/Errors.h"
#include "platform/Text.h"

#include <algorithm>

namespace {

// The byte an escape stands for. '"', '/', '\\' and every other byte stand for
// themselves, so a Unicode escape leaves its 'u' and digits undecoded.
char EscapedByte(char c) {
    switch (c) {
    case 'b':
        return '\b';
    case 'f':
        return '\f';
    case 'n':
        return '\n';
    case 'r':
        return '\r';
    case 't':
        return '\t';
    default:
        return c;
    }
}

} // namespace

std::string JsonExtractString(const std::string& json, const std::string& key) {
    const std::string needle = "\"" + key + "\"";
    const size_t found = json.find(needle);
    if (found == std::string::npos)
        return std::string();
    const size_t colon = json.find(':', found + needle.size());
    if (colon == std::string::npos)
        return std::string();

    // Only these four count as white space; any other byte must be the quote.
    size_t pos = json.find_first_not_of(" \t\n\r", colon + 1);
    if (pos == std::string::npos || json[pos] != '"')
        return std::string();

    std::string value;
    for (++pos; pos < json.size(); ++pos) {
        const char c = json[pos];
        if (c == '"')
            return value;
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++pos >= json.size())
            return std::string();
        value += EscapedByte(json[pos]);
    }
    return std::string();
}

std::vector<int> ParseVersion(const std::string& text) {
    std::vector<int> groups;
    // A group too large for its number stays at the largest one, never wraps
    // round to a small one; VersionFits tells such a text.
    unsigned int accumulator = 0;
    bool pending = false;
    for (const char c : text) {
        if (c >= '0' && c <= '9') {
            const unsigned int digit = static_cast<unsigned int>(c - '0');
            accumulator = accumulator > (kLargestVersionGroup - digit) / 10u
                              ? kLargestVersionGroup
                              : accumulator * 10u + digit;
            pending = true;
        } else if (pending) {
            groups.push_back(static_cast<int>(accumulator));
            accumulator = 0;
            pending = false;
        }
    }
    if (pending)
        groups.push_back(static_cast<int>(accumulator));
    if (groups.empty())
        groups.push_back(0);
    return groups;
}

bool VersionFits(const std::string& text) {
    unsigned long long group = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            group = 0;
            continue;
        }
        group = group * 10 + static_cast<unsigned long long>(c - '0');
        if (group > kLargestVersionGroup)
            return false;
    }
    return true;
}

int CompareVersions(const std::string& a, const std::string& b) {
    std::vector<int> left = ParseVersion(a);
    std::vector<int> right = ParseVersion(b);
    const size_t length = std::max(left.size(), right.size());
    left.resize(length, 0);
    right.resize(length, 0);
    for (size_t i = 0; i < length; ++i) {
        if (left[i] != right[i])
            return left[i] < right[i] ? -1 : 1;
    }
    return 0;
}

Manifest ReadManifest(const std::string& json) {
    Manifest manifest;
    manifest.version = JsonExtractString(json, "version");
    manifest.download_url = JsonExtractString(json, "download_url");
    manifest.exe = JsonExtractString(json, "exe");
    manifest.sha256 = JsonExtractString(json, "sha256");
    manifest.delta_index = JsonExtractString(json, "delta_index");
    manifest.delta_index_sha256 = JsonExtractString(json, "delta_index_sha256");
    manifest.size = JsonExtractString(json, "size");
    manifest.expires = JsonExtractString(json, "expires");
    manifest.signature = JsonExtractString(json, "update_signature");
    if (manifest.version.empty() || manifest.download_url.empty())
        throw MakeError(L"В manifest должны быть поля: version и download_url");
    if (!VersionFits(manifest.version))
        throw MakeError(L"Недопустимая версия в manifest: '" + Utf8ToWide(manifest.version) +
                        L"': число в ней больше " + std::to_wstring(kLargestVersionGroup) + L".");
    if (manifest.exe.empty())
        manifest.exe = "Game.exe";
    return manifest;
}
