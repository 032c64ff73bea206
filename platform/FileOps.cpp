#include "platform/FileOps.h"

#include "platform/Errors.h"
#include "platform/FileFaults.h"
#include "platform/Guards.h"
#include "platform/Paths.h"
#include "platform/LongPath.h"

#include <windows.h>

namespace {

const int kDeleteAttempts = 8;
const DWORD kDeletePauseMs = 250;

const wchar_t* const kAdminAdvice =
    L"Запусти лаунчер от имени администратора или перенеси игру из 'Program Files'.";

std::wstring DeleteAccessDeniedText(const std::wstring& path) {
    return L"Нет доступа к '" + path +
           L"'.\nСкорее всего файл только для чтения или лаунчер запущен без прав "
           L"администратора.\n" +
           kAdminAdvice;
}

// Clears the marks that stop a deletion or an overwrite. Most files carry
// none, and setting attributes costs a round trip, so only those are touched.
// Takes the path in its \\?\ form.
void ResetAttributes(const std::wstring& longPath) {
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & blocking) != 0)
        SetFileAttributesW(longPath.c_str(), FILE_ATTRIBUTE_NORMAL);
}

bool IsGone(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Up to 8 attempts of the deletion, 250 ms apart, each after an attribute
// reset. Returns 0 when the object is gone (or never was), otherwise the
// error code of the last attempt.
DWORD DeleteWithRetries(const std::wstring& path, const wchar_t* operation,
                        BOOL(WINAPI* remove)(LPCWSTR)) {
    const std::wstring longPath = ExtendedLengthPath(path);
    DWORD code = 0;
    for (int attempt = 0; attempt < kDeleteAttempts; ++attempt) {
        ResetAttributes(longPath);
        if (!FileOperationFault(operation, path) && remove(longPath.c_str()))
            return 0;
        code = GetLastError();
        if (IsGone(code))
            return 0;
        Sleep(kDeletePauseMs);
    }
    return code;
}

// Removes an empty folder, or a link to a folder, with the deletion retries.
void RemoveFolderEntryWithRetries(const std::wstring& folder) {
    const DWORD code = DeleteWithRetries(folder, L"delete-folder", RemoveDirectoryW);
    if (code == 0)
        return;
    if (code == ERROR_ACCESS_DENIED)
        throw MakeError(DeleteAccessDeniedText(folder));
    if (code == ERROR_SHARING_VIOLATION || code == ERROR_DIR_NOT_EMPTY)
        throw MakeError(L"Не удалось удалить '" + folder +
                        L"'. Файл или папка заняты другим процессом.");
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось удалить '" + folder + L"': " + systemText);
}

// Makes one folder whose parent stands. True when this call made it; false
// when something of that name stood there already (a file there is accepted
// too: the next operation inside it fails with its own message).
bool CreateFolder(const std::wstring& folder) {
    if (!FileOperationFault(L"create-folder", folder) &&
        CreateDirectoryW(ExtendedLengthPath(folder).c_str(), nullptr))
        return true;
    const DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS)
        return false;
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось создать папку '" + folder + L"': " + systemText);
}

// Copies one file over the target, both in the \\?\ form. In a folder the
// copy has just made (fresh) nothing stands in the way, so Windows may create
// the target without looking for it first; elsewhere a read-only mark on the
// target is cleared and the target replaced.
bool CopyOver(const std::wstring& longSource, const std::wstring& longTarget, bool fresh) {
    if (fresh && CopyFileW(longSource.c_str(), longTarget.c_str(), TRUE))
        return true;
    // Names that differ only in case are one file here.
    if (fresh && GetLastError() != ERROR_FILE_EXISTS)
        return false;
    ResetAttributes(longTarget);
    return CopyFileW(longSource.c_str(), longTarget.c_str(), FALSE) != FALSE;
}

// Copies the tree below the source into the destination, which stands; fresh
// when this copy made it.
void CopyTree(const std::wstring& source, const std::wstring& destination, bool fresh) {
    for (const DirEntry& entry : ListDirectory(source)) {
        // A link is not copied: following it could copy what lies outside the
        // tree, or loop forever, and a copy of the link itself would point at
        // the original's surroundings.
        if (entry.isLink)
            continue;
        const std::wstring target = JoinPath(destination, entry.name);
        if (entry.isDirectory) {
            const bool made = (fresh || !IsFolder(target)) && CreateFolder(target);
            CopyTree(entry.fullPath, target, made);
            continue;
        }
        if (!FileOperationFault(L"copy", target) &&
            CopyOver(ExtendedLengthPath(entry.fullPath), ExtendedLengthPath(target), fresh))
            continue;
        const DWORD code = GetLastError();
        if (code == ERROR_ACCESS_DENIED)
            throw MakeError(L"Нет доступа к '" + target + L"'.\n" + kAdminAdvice);
        if (code == ERROR_SHARING_VIOLATION)
            throw MakeError(L"Не удалось записать '" + target + L"'. Файл занят другим процессом.");
        const std::wstring systemText = GetWinErrorMessage(code);
        throw MakeError(L"Не удалось записать '" + target + L"': " + systemText);
    }
}

// Symbolic links, junctions and other name surrogates point elsewhere. Other
// reparse points (cloud placeholders, deduplicated files) hold real data.
// Wine reports its links to Unix folders without a tag.
bool IsLinkEntry(const WIN32_FIND_DATAW& data) {
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    return data.dwReserved0 == 0 || IsReparseTagNameSurrogate(data.dwReserved0);
}

} // namespace

bool IsFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::vector<DirEntry> ListDirectory(const std::wstring& folder) {
    std::vector<DirEntry> entries;
    WIN32_FIND_DATAW data{};
    FindGuard find(FindFirstFileW(ExtendedLengthPath(JoinPath(folder, L"*")).c_str(), &data));
    if (!find.Valid())
        return entries;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        DirEntry entry;
        entry.fullPath = JoinPath(folder, name);
        entry.name = name;
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isLink = IsLinkEntry(data);
        entries.push_back(std::move(entry));
    } while (FindNextFileW(find.Get(), &data));
    return entries;
}

bool EnsureDir(const std::wstring& folder) {
    if (folder.empty())
        return false;
    // The missing levels, as lengths of the path, deepest first. A loop, not
    // recursion: a name thousands of levels deep must not exhaust the stack.
    std::vector<size_t> missing;
    std::wstring path = folder;
    while (!path.empty() && !IsFolder(path)) {
        missing.push_back(path.size());
        const std::wstring parent = ParentPath(path);
        if (parent == path)
            break;
        path = parent;
    }
    bool made = missing.empty();
    for (auto level = missing.rbegin(); level != missing.rend(); ++level)
        made = CreateFolder(folder.substr(0, *level));
    // Only a name that stood there already needs a second look.
    return made || IsFolder(folder);
}

void CopySingleFile(const std::wstring& source, const std::wstring& destination) {
    if (!IsFile(source))
        return;
    EnsureDir(ParentPath(destination));
    const std::wstring longDestination = ExtendedLengthPath(destination);
    ResetAttributes(longDestination);
    if (!FileOperationFault(L"copy", destination) &&
        CopyFileW(ExtendedLengthPath(source).c_str(), longDestination.c_str(), FALSE))
        return;
    const std::wstring systemText = GetWinErrorMessage(GetLastError());
    throw MakeError(L"Не удалось скопировать '" + source + L"' -> '" + destination + L"': " +
                    systemText);
}

void RemoveFileWithRetries(const std::wstring& file) {
    const DWORD code = DeleteWithRetries(file, L"delete-file", DeleteFileW);
    if (code == 0)
        return;
    if (code == ERROR_ACCESS_DENIED)
        throw MakeError(DeleteAccessDeniedText(file));
    if (code == ERROR_SHARING_VIOLATION)
        throw MakeError(L"Не удалось удалить '" + file + L"'. Файл используется другим процессом.");
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось удалить '" + file + L"': " + systemText);
}

void RemoveTreeWithRetries(const std::wstring& folder) {
    const DWORD attributes = GetFileAttributesW(ExtendedLengthPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return;
    // A link is removed as it stands: what it points to lies outside this tree.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        for (const DirEntry& entry : ListDirectory(folder)) {
            if (entry.isDirectory && entry.isLink)
                RemoveFolderEntryWithRetries(entry.fullPath);
            else if (entry.isDirectory)
                RemoveTreeWithRetries(entry.fullPath);
            else
                RemoveFileWithRetries(entry.fullPath);
        }
    }
    RemoveFolderEntryWithRetries(folder);
}

void EmptyFolder(const std::wstring& folder) {
    EnsureDir(folder);
    for (const DirEntry& entry : ListDirectory(folder)) {
        if (entry.isDirectory)
            RemoveTreeWithRetries(entry.fullPath);
        else
            RemoveFileWithRetries(entry.fullPath);
    }
}

void CopyDirectoryContents(const std::wstring& source, const std::wstring& destination) {
    if (!IsFolder(source))
        throw MakeError(L"Не найдена папка источника: " + source);
    EnsureDir(destination);
    CopyTree(source, destination, false);
}

void MoveDirectoryContents(const std::wstring& source, const std::wstring& destination) {
    if (!IsFolder(source))
        throw MakeError(L"Не найдена папка источника: " + source);
    EnsureDir(destination);
    for (const DirEntry& entry : ListDirectory(source)) {
        // Links stay behind, as the copy leaves them out.
        if (entry.isLink)
            continue;
        // Without MOVEFILE_COPY_ALLOWED a move to another volume fails
        // instead of turning into a copy.
        const std::wstring target = JoinPath(destination, entry.name);
        if (!FileOperationFault(L"move", target) &&
            MoveFileExW(ExtendedLengthPath(entry.fullPath).c_str(),
                        ExtendedLengthPath(target).c_str(), 0))
            continue;
        // This entry and all that is left after it are copied instead.
        CopyTree(source, destination, false);
        return;
    }
}

void CopyFolder(const std::wstring& source, const std::wstring& destination) {
    if (!IsFolder(source))
        return;
    if (IsFolder(destination))
        RemoveTreeWithRetries(destination);
    EnsureDir(destination);
    CopyDirectoryContents(source, destination);
}

void WriteWholeFile(const std::wstring& path, const std::string& bytes, bool flush) {
    HandleGuard file(FileOperationFault(L"create-file", path)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        throw MakeError(L"Не удалось записать файл: " + path);
    DWORD written = 0;
    const bool wrote =
        bytes.empty() ||
        (!FileOperationFault(L"write", path) &&
         WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
         written == bytes.size());
    if (wrote && (!flush || (!FileOperationFault(L"flush", path) && FlushFileBuffers(file.Get()))))
        return;
    const DWORD code = GetLastError();
    file.Close();
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось записать файл: " + path + L": " + systemText);
}

void FlushFileToDisk(const std::wstring& path) {
    if (!IsFile(path))
        return;
    // Flushing needs write access, which a read-only mark refuses: lifted for
    // the moment of the flush.
    const std::wstring longPath = ExtendedLengthPath(path);
    const DWORD attributes = GetFileAttributesW(longPath.c_str());
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly)
        SetFileAttributesW(longPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    DWORD code = 0;
    if (FileOperationFault(L"flush", path)) {
        code = GetLastError();
    } else {
        HandleGuard file(CreateFileW(longPath.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid() || !FlushFileBuffers(file.Get()))
            code = GetLastError();
    }
    if (readOnly)
        SetFileAttributesW(longPath.c_str(), attributes);
    if (code == 0)
        return;
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось записать файл: " + path + L": " + systemText);
}

void FlushTree(const std::wstring& folder) {
    for (const DirEntry& entry : ListDirectory(folder)) {
        if (entry.isLink)
            continue;
        if (entry.isDirectory)
            FlushTree(entry.fullPath);
        else
            FlushFileToDisk(entry.fullPath);
    }
}

unsigned long long FolderSize(const std::wstring& folder) {
    unsigned long long total = 0;
    WIN32_FIND_DATAW data{};
    FindGuard find(FindFirstFileW(ExtendedLengthPath(JoinPath(folder, L"*")).c_str(), &data));
    if (!find.Valid())
        return 0;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || IsLinkEntry(data))
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            total += FolderSize(JoinPath(folder, name));
        else
            total +=
                (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    } while (FindNextFileW(find.Get(), &data));
    return total;
}

unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}
