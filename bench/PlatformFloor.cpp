// The least a Windows program can do for the copy and the emptying of an
// install, timed beside the launcher's own functions on the same tree under
// the same Wine: what is left between the two is ours, what lies between
// the floor and the Linux tools is the platform's. One operation a process,
// so that the driver can let the disk settle in between. Also one download
// by the launcher's own HttpDownloadToFile, to set HTTPS against plain HTTP.

#include "bench/BenchOutput.h"
#include "bench/BenchPrograms.h"

#include "platform/FileOps.h"
#include "platform/HttpDownload.h"
#include "platform/Paths.h"

#include <functional>
#include <string>
#include <vector>

namespace {

struct Tree {
    std::vector<std::wstring> folders; // relative, parents first
    std::vector<std::wstring> files;   // relative
};

void Walk(const std::wstring& root, const std::wstring& relative, Tree& tree) {
    const std::wstring folder = relative.empty() ? root : JoinPath(root, relative);
    for (const DirEntry& entry : ListDirectory(folder)) {
        const std::wstring path = relative.empty() ? entry.name : JoinPath(relative, entry.name);
        if (entry.isDirectory) {
            tree.folders.push_back(path);
            Walk(root, path, tree);
        } else {
            tree.files.push_back(path);
        }
    }
}

// Copies with nothing but CreateDirectoryW and CopyFileW. failIfExists makes
// Wine open each target with CREATE_NEW instead of CREATE_ALWAYS.
bool CopyPlain(const std::wstring& source, const std::wstring& target, const Tree& tree,
               bool failIfExists) {
    if (!CreateDirectoryW(target.c_str(), nullptr))
        return false;
    for (const std::wstring& folder : tree.folders)
        if (!CreateDirectoryW(JoinPath(target, folder).c_str(), nullptr))
            return false;
    for (const std::wstring& file : tree.files)
        if (!CopyFileW(JoinPath(source, file).c_str(), JoinPath(target, file).c_str(),
                       failIfExists ? TRUE : FALSE))
            return false;
    return true;
}

bool ForEachFile(const std::wstring& root, const Tree& tree,
                 const std::function<bool(const std::wstring&)>& action) {
    for (const std::wstring& file : tree.files)
        if (!action(JoinPath(root, file)))
            return false;
    return true;
}

bool DeletePlain(const std::wstring& root, const Tree& tree) {
    if (!ForEachFile(root, tree,
                     [](const std::wstring& path) { return DeleteFileW(path.c_str()) != FALSE; }))
        return false;
    for (auto folder = tree.folders.rbegin(); folder != tree.folders.rend(); ++folder)
        if (!RemoveDirectoryW(JoinPath(root, *folder).c_str()))
            return false;
    return RemoveDirectoryW(root.c_str()) != FALSE;
}

} // namespace

int RunPlatformFloor(const std::wstring& outPath, const std::wstring& operation,
                     const std::wstring& sourceFolder, const std::wstring& targetFolder) {
    // The copies walk their source; everything else walks the tree it works on.
    const bool copying = operation.compare(0, 5, L"copy-") == 0;
    Tree tree;
    Walk(copying ? sourceFolder : targetFolder, L"", tree);
    std::function<bool()> action;
    if (operation == L"copy-new")
        action = [&] { return CopyPlain(sourceFolder, targetFolder, tree, true); };
    else if (operation == L"copy-always")
        action = [&] { return CopyPlain(sourceFolder, targetFolder, tree, false); };
    else if (operation == L"copy-ours")
        action = [&] {
            CopyDirectoryContents(sourceFolder, targetFolder);
            return true;
        };
    else if (operation == L"get-attributes")
        action = [&] {
            return ForEachFile(targetFolder, tree, [](const std::wstring& path) {
                return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
            });
        };
    else if (operation == L"set-attributes")
        action = [&] {
            return ForEachFile(targetFolder, tree, [](const std::wstring& path) {
                return SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != FALSE;
            });
        };
    else if (operation == L"delete-plain")
        action = [&] { return DeletePlain(targetFolder, tree); };
    else if (operation == L"delete-ours")
        action = [&] {
            RemoveTreeWithRetries(targetFolder);
            return true;
        };
    else
        return 2;

    const double start = NowSeconds();
    bool ok = false;
    try {
        ok = action();
    } catch (const std::exception&) {
        ok = false;
    }
    const double seconds = NowSeconds() - start;
    const std::string json = "{\"ok\": " + std::string(ok ? "true" : "false") +
                             ", \"seconds\": " + Number(seconds) +
                             ", \"files\": " + std::to_string(tree.files.size()) +
                             ", \"folders\": " + std::to_string(tree.folders.size()) + "}";
    if (!WriteJsonFile(outPath, json))
        return 1;
    return ok ? 0 : 1;
}

int RunFetch(const std::wstring& outPath, const std::wstring& url, const std::wstring& filePath) {
    const double start = NowSeconds();
    double lastChunk = 0;
    double headers = 0;
    HttpDownloadEvents events;
    // onStart comes once the connection is up and the response's headers are in.
    events.onStart = [&](bool) { headers = NowSeconds() - start; };
    events.onPercent = [&](int percent) {
        if (percent == 100)
            lastChunk = NowSeconds() - start;
    };
    bool ok = true;
    try {
        HttpDownloadToFile(url, filePath, events);
    } catch (const std::exception&) {
        ok = false;
    }
    const double end = NowSeconds() - start;
    const std::string json = "{\"ok\": " + std::string(ok ? "true" : "false") +
                             ", \"seconds\": " + Number(end) +
                             ", \"headersSeconds\": " + Number(headers) +
                             ", \"lastChunkSeconds\": " + Number(lastChunk) + "}";
    if (!WriteJsonFile(outPath, json))
        return 1;
    return ok ? 0 : 1;
}
