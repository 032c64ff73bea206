#include "tests/support/TestServer.h"

#include "tests/support/TestSupport.h"

#include <atomic>
#include <map>
#include <sstream>

namespace {

std::wstring ServerRoot() {
    return TestEnvDir() + L"\\www";
}

std::wstring PortIn(const std::wstring& file) {
    std::string port = ReadBytes(TestEnvDir() + L"\\" + file);
    while (!port.empty() && (port.back() == '\n' || port.back() == '\r'))
        port.pop_back();
    return FromUtf8(port);
}

// The number after "name": in a log line, searched from its end (the
// server's own fields come last); -1 when there is none.
long long LogNumber(const std::string& line, const std::string& name) {
    const size_t at = line.rfind("\"" + name + "\": ");
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + name.size() + 4);
}

} // namespace

std::wstring ServerUrl(const std::wstring& path) {
    return L"https://localhost:" + PortIn(L"server.port") + L"/" + path;
}

std::wstring RefusingProxy() {
    return L"127.0.0.1:" + PortIn(L"plain.port");
}

std::string BuildSha256(const std::wstring& buildName) {
    return ReadBytes(ServerRoot() + L"\\builds\\" + buildName + L".sha256");
}

std::string SignedManifest(const std::wstring& name) {
    return ReadBytes(TestEnvDir() + L"\\signing\\" + name + L".json");
}

std::string UpdateKeyLine(const std::wstring& key) {
    const std::string line = ReadBytes(TestEnvDir() + L"\\signing\\" + key + L".pub");
    return line.substr(0, line.find('\n'));
}

ServedFolder::ServedFolder() {
    static std::atomic<int> counter{0};
    name_ = L"t" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(GetTickCount()) +
            L"_" + std::to_wstring(counter++);
    path_ = ServerRoot() + L"\\" + name_;
    CreateDirectoryW(path_.c_str(), nullptr);
}

ServedFolder::~ServedFolder() {
    ForceRemoveTree(path_);
}

std::wstring ServedFolder::Url(const std::wstring& name, const std::wstring& behaviour) const {
    return ServerUrl(behaviour + name_ + L"/" + name);
}

void ServedFolder::Publish(const std::wstring& name, const std::string& bytes) const {
    WriteBytes(path_ + L"\\" + name, bytes);
}

std::wstring ServedFolder::PublishManifest(const std::string& json) const {
    Publish(L"version.json", json);
    return Url(L"version.json");
}

void ServedFolder::Release(const std::wstring& holdName) {
    CreateDirectoryW((ServerRoot() + L"\\_release").c_str(), nullptr);
    WriteBytes(ServerRoot() + L"\\_release\\" + holdName, "go");
}

std::string ManifestFor(const std::string& version, const std::wstring& buildName, bool withDigest,
                        const std::string& extra) {
    std::string json = "{\n  \"version\": \"" + version + "\",\n  \"download_url\": \"" +
                       ToUtf8(ServerUrl(L"builds/" + buildName)) + "\"";
    if (withDigest)
        json += ",\n  \"sha256\": \"" + BuildSha256(buildName) + "\"";
    json += extra + "\n}\n";
    return json;
}

std::vector<ServedRequest> ServedRequests(const std::wstring& text) {
    std::istringstream log(ReadBytes(TestEnvDir() + L"\\requests.log"));
    std::vector<ServedRequest> requests;
    std::map<long long, size_t> byId;
    for (std::string line; std::getline(log, line);) {
        if (line.rfind("{\"response\": ", 0) == 0) {
            const auto found = byId.find(LogNumber(line, "response"));
            if (found != byId.end()) {
                requests[found->second].status = static_cast<int>(LogNumber(line, "status"));
                requests[found->second].sent = LogNumber(line, "sent");
            }
        } else if (line.find(ToUtf8(text)) != std::string::npos) {
            byId[LogNumber(line, "id")] = requests.size();
            requests.push_back({line, LogNumber(line, "connection")});
        }
    }
    return requests;
}
