// The least a Windows program can do for the copy and the emptying of an
// install, timed beside the launcher's own functions on the same tree under
// the same Wine: what is left between the two is ours, what lies between
// the floor and the Linux tools is the platform's. One operation a process,
// so that the driver can let the disk settle in between. Also one download
// by the launcher's own HttpDownloadToFile, to set HTTPS against plain HTTP.

#include "bench/Bench.h"

#include "platform/FileOps.h"
#include "platform/HttpDownload.h"
#include "platform/Paths.h"

#include <functional>
#include <vector>

namespace {

struct Tree {
    std::vector<std::wstring> folders; // relative, parents first
    std::vector<std::wstring> files;   // relative
};

void Walk(const std::wstring& root, const std::wstring& relative, Tree& tree) {
    for (const DirEntry& entry :
         ListDirectory(relative.empty() ? root : JoinPath(root, relative))) {
        const std::wstring path = relative.empty() ? entry.name : JoinPath(relative, entry.name);
        if (entry.isDirectory) {
            tree.folders.push_back(path);
            Walk(root, path, tree);
        } else {
            tree.files.push_back(path);
        }
    }
}

bool ForEach(const std::vector<std::wstring>& paths, const std::wstring& root,
             const std::function<bool(const wchar_t*)>& action) {
    for (const std::wstring& path : paths)
        if (!action(JoinPath(root, path).c_str()))
            return false;
    return true;
}

// Copies with nothing but CreateDirectoryW and CopyFileW. failIfExists makes
// Wine open each target with CREATE_NEW instead of CREATE_ALWAYS.
bool CopyPlain(const std::wstring& source, const std::wstring& target, const Tree& tree,
               bool failIfExists) {
    if (!CreateDirectoryW(target.c_str(), nullptr) ||
        !ForEach(tree.folders, target,
                 [](const wchar_t* path) { return CreateDirectoryW(path, nullptr) != FALSE; }))
        return false;
    for (const std::wstring& file : tree.files)
        if (!CopyFileW(JoinPath(source, file).c_str(), JoinPath(target, file).c_str(),
                       failIfExists))
            return false;
    return true;
}

bool DeletePlain(const std::wstring& root, const Tree& tree) {
    const std::vector<std::wstring> deepestFirst(tree.folders.rbegin(), tree.folders.rend());
    return ForEach(tree.files, root,
                   [](const wchar_t* path) { return DeleteFileW(path) != FALSE; }) &&
           ForEach(deepestFirst, root,
                   [](const wchar_t* path) { return RemoveDirectoryW(path) != FALSE; }) &&
           RemoveDirectoryW(root.c_str()) != FALSE;
}

} // namespace

int RunPlatformFloor(const std::wstring& outPath, const std::wstring& operation,
                     const std::wstring& sourceFolder, const std::wstring& targetFolder) {
    // The copies walk their source; everything else walks the tree it works on.
    const bool copyNew = operation == L"copy-new";
    Tree tree;
    Walk(operation.compare(0, 5, L"copy-") == 0 ? sourceFolder : targetFolder, L"", tree);
    const double start = NowSeconds();
    bool ok = true;
    try {
        if (copyNew || operation == L"copy-always")
            ok = CopyPlain(sourceFolder, targetFolder, tree, copyNew);
        else if (operation == L"copy-ours")
            CopyDirectoryContents(sourceFolder, targetFolder);
        else if (operation == L"get-attributes")
            ok = ForEach(tree.files, targetFolder, [](const wchar_t* path) {
                return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
            });
        else if (operation == L"set-attributes")
            ok = ForEach(tree.files, targetFolder, [](const wchar_t* path) {
                return SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL) != FALSE;
            });
        else if (operation == L"delete-plain")
            ok = DeletePlain(targetFolder, tree);
        else if (operation == L"delete-ours")
            RemoveTreeWithRetries(targetFolder);
        else
            return 2;
    } catch (const std::exception&) {
        ok = false;
    }
    return Figures()
        .Add("seconds", NowSeconds() - start)
        .Add("files", static_cast<double>(tree.files.size()))
        .Add("folders", static_cast<double>(tree.folders.size()))
        .Write(outPath, ok);
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
    return Figures()
        .Add("seconds", NowSeconds() - start)
        .Add("headersSeconds", headers)
        .Add("lastChunkSeconds", lastChunk)
        .Write(outPath, ok);
}
