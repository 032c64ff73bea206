#pragma once
// Reading a build's version manifest: a narrow extractor that looks up string
// members by key (no general JSON parser), and the version parser and order
// used to decide on an update.

#include <string>
#include <vector>

// The manifest's values as UTF-8 bytes, escapes already decoded. The file
// index of a small update is optional: both empty when the manifest has none.
// The publisher's signature ("update_signature") is empty when there is none.
struct Manifest {
    std::string version;
    std::string download_url;
    std::string exe;
    std::string sha256;
    std::string delta_index;
    std::string delta_index_sha256;
    // Signed only, and acted on only by a launcher with keys: the archive's
    // length in bytes, and when the manifest runs out ("2027-01-31T12:00:00Z",
    // UTC). Both empty when the manifest has none.
    std::string size;
    std::string expires;
    std::string signature;
};

// The string value of the first textual occurrence of "key", or empty when it
// is missing, not a string, or not closed before the end of the text.
std::string JsonExtractString(const std::string& json, const std::string& key);

// The most a manifest may hold, a build's or the launcher's; a server that
// sends more is refused before more reaches the disk.
const unsigned long long kMaxManifestBytes = 65536;

// The largest number one group of a version may hold.
const unsigned int kLargestVersionGroup = 2147483647;

// Every run of decimal digits is one group; everything else separates.
// Never empty: a text without digits is version 0.
std::vector<int> ParseVersion(const std::string& text);

// False when a group is larger than kLargestVersionGroup.
bool VersionFits(const std::string& text);

// Compares two version texts group by group, the shorter padded with zeros:
// negative when a is older than b, 0 when equal, positive when newer.
int CompareVersions(const std::string& a, const std::string& b);

// Extracts the keys; raises when "version" or "download_url" is missing, or
// when the version does not fit. A missing "exe" becomes "Game.exe".
Manifest ReadManifest(const std::string& json);
