#pragma once
// The publisher's signature on a manifest: made offline with the studio's
// private key over the values the launcher acts on, and checked against the
// public keys built into the launcher. A launcher built without keys takes
// every manifest as it comes.

#include "pipeline/Manifest.h"

#include <string>
#include <vector>

// The built-in list, keys separated by ';' or blanks: each "ecdsa-p256:" and
// 128 hexadecimal digits (the point's X then Y).
std::vector<std::string> SplitUpdateKeys(const std::string& list);

// The manifest's file name, which tells the online build's manifest from the
// official one's: the last segment of its address's path.
std::string ManifestNameOf(const std::wstring& manifestUrl);

// The signed text, UTF-8, one line per value, each ending in "\n", every line
// present (empty when the manifest has no file index):
//   vorn-launcher-manifest-1
//   manifest=<manifest name>
//   version=, download_url=, exe=, sha256=, delta_index=, delta_index_sha256=
// each value exactly as the manifest was read ("exe" after its default).
std::string SignedManifestText(const std::string& manifestName, const Manifest& manifest);

// With a "size" or an "expires", the text is headed
// "vorn-launcher-manifest-2" and ends with two more lines, size= and
// expires=.
//
// Does nothing without keys. With keys, raises the refusal unless the
// manifest has a "sha256" and an "update_signature" (r then s, 128
// hexadecimal digits) that one of the keys verifies over the signed text,
// and, when it has an "expires", unless that time is still to come.
void CheckManifestSignature(const Manifest& manifest, const std::wstring& manifestUrl,
                            const std::vector<std::string>& updateKeys);

// The archive's signed length, when the manifest has one (decimal digits).
bool ReadSignedSize(const Manifest& manifest, unsigned long long& size);
