#pragma once
// The local HTTPS update server of the test environment: its address, and a
// private folder on it for one test's manifests.

#include <string>
#include <vector>

// https://localhost:<port>/<path>
std::wstring ServerUrl(const std::wstring& path);

// host:port of the server's plain-HTTP listener, which also plays a
// network's proxy that refuses every tunnel (CONNECT gets a 403).
std::wstring RefusingProxy();

// The published digest of a prepared build under /builds/.
std::string BuildSha256(const std::wstring& buildName);

// A manifest of the test environment's signing folder (NAME.json), signed by
// tools/publish, and the public key line of one of its keys (a, b or c).
std::string SignedManifest(const std::wstring& name);
std::string UpdateKeyLine(const std::wstring& key);

// A fresh folder on the server, removed when the object goes.
class ServedFolder {
public:
    ServedFolder();
    ~ServedFolder();
    ServedFolder(const ServedFolder&) = delete;
    ServedFolder& operator=(const ServedFolder&) = delete;

    // URL of a file in this folder, optionally behind misbehaviour segments
    // such as L"_nolength/".
    std::wstring Url(const std::wstring& name, const std::wstring& behaviour = L"") const;
    void Publish(const std::wstring& name, const std::string& bytes) const;
    // Writes a manifest with the given members (already JSON-quoted values).
    std::wstring PublishManifest(const std::string& json) const;

    // Lets a response held with _hold/<name> go on.
    static void Release(const std::wstring& holdName);

private:
    std::wstring name_;
    std::wstring path_;
};

// A request in the server's log, and what its response sent.
struct ServedRequest {
    std::string line; // the request's log line
    long long connection = 0;
    int status = 0;      // 0 until the response ended
    long long sent = -1; // body bytes; -1 until the response ended
};

// The requests whose log line holds the text, in order.
std::vector<ServedRequest> ServedRequests(const std::wstring& text);

// The manifest text for a prepared build: version, its URL and digest.
std::string ManifestFor(const std::string& version, const std::wstring& buildName,
                        bool withDigest = true, const std::string& extra = "");
