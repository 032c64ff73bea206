#include "platform/files/FileOps.h"

#include "platform/Errors.h"
#include "platform/files/FileFaults.h"
#include "platform/Guards.h"
#include "platform/files/Paths.h"
#include "platform/files/LongPath.h"

#include <windows.h>

namespace {

const int kAttempts = 8;
const DWORD kPauseMs = 250;

const wchar_t* const kAdminAdvice =
    L"Запусти лаунчер от имени администратора или перенеси игру из 'Program Files'.";

std::wstring DeleteAccessDeniedText(const std::wstring& path) {
    return L"Нет доступа к '" + path +
           L"'.\nСкорее всего файл только для чтения или лаунчер запущен без прав "
           L"администратора.\n" +
           kAdminAdvice;
}

// The path's attributes, through the fault seam; INVALID_FILE_ATTRIBUTES
// with the thread's last error when they cannot be read.
DWORD ReadAttributes(const std::wstring& path) {
    if (FileOperationFault(L"attributes", path))
        return INVALID_FILE_ATTRIBUTES;
    return GetFileAttributesW(ExtendedLengthPath(path).c_str());
}

bool IsGone(DWORD code) {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// Nothing stands at a path that is not found, or whose name Windows refuses.
bool IsAbsent(DWORD code) {
    return IsGone(code) || code == ERROR_INVALID_NAME;
}

const DWORD kBlockingAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

[[noreturn]] void ThrowReadFailure(const std::wstring& path, DWORD code) {
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось прочитать '" + path + L"': " + systemText);
}

// The attributes of what stands at the path, INVALID_FILE_ATTRIBUTES when
// nothing does; raises when they cannot be read.
DWORD AttributesOf(const std::wstring& path) {
    const DWORD attributes = ReadAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        if (!IsAbsent(code))
            ThrowReadFailure(path, code);
    }
    return attributes;
}

[[noreturn]] void ThrowListFailure(const std::wstring& folder, DWORD code) {
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось прочитать папку '" + folder + L"': " + systemText);
}

// Calls visit with the find data of every entry of the folder but "." and
// "..". A folder that is absent, or a file, has no entries; one that stands
// but cannot be listed, or whose listing breaks off, raises: a share that
// dropped for a second or a folder without the list right is not empty.
template <class Visit> void VisitEntries(const std::wstring& folder, Visit visit) {
    WIN32_FIND_DATAW data{};
    FindGuard find(FileOperationFault(L"list", folder)
                       ? INVALID_HANDLE_VALUE
                       : FindFirstFileW(ExtendedLengthPath(JoinPath(folder, L"*")).c_str(), &data));
    if (!find.Valid()) {
        // "No file matches" is the answer of an empty drive's root.
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || KindOfPath(folder) != PathKind::Folder)
            return;
        ThrowListFailure(folder, code);
    }
    for (;;) {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
            visit(data);
        if (!FileOperationFault(L"list-next", folder) && FindNextFileW(find.Get(), &data))
            continue;
        const DWORD code = GetLastError();
        if (code == ERROR_NO_MORE_FILES)
            return;
        ThrowListFailure(folder, code);
    }
}

// Clears the marks that stop a deletion or an overwrite. Most files carry
// none, and setting attributes costs a round trip, so only those are touched.
void ResetAttributes(const std::wstring& path) {
    const DWORD attributes = ReadAttributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kBlockingAttributes) != 0)
        SetFileAttributesW(ExtendedLengthPath(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Deletes one name of a file. Attributes belong to the file, not to its
// name: when other names (hard links) share the file, its read-only, hidden
// and system marks are lifted only for the moment of the deletion, through a
// handle, and put back for the names that stay.
bool DeleteFileName(const std::wstring& path) {
    const std::wstring longPath = ExtendedLengthPath(path);
    const DWORD attributes = ReadAttributes(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kBlockingAttributes) == 0)
        return DeleteFileW(longPath.c_str()) != FALSE;
    HandleGuard file(CreateFileW(longPath.c_str(),
                                 DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &info) ||
        info.nNumberOfLinks < 2) {
        file.Close();
        SetFileAttributesW(longPath.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(longPath.c_str()) != FALSE;
    }
    // Zero times leave the file's times as they are.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    const bool deleted =
        SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof(basic)) &&
        SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition,
                                   sizeof(disposition));
    const DWORD code = GetLastError();
    basic.FileAttributes = attributes & (kBlockingAttributes | FILE_ATTRIBUTE_ARCHIVE |
                                         FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
    SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof(basic));
    SetLastError(code);
    // The name goes when the handle closes.
    return deleted;
}

// Up to 8 attempts, each followed by a 250 ms pause when it failed: an
// attempt returns 0 when it is done, or the error code it failed with.
// Returns 0, or the code of the last attempt.
template <class Attempt> DWORD WithRetries(Attempt attempt) {
    DWORD code = 0;
    for (int tried = 0; tried < kAttempts; ++tried) {
        code = attempt();
        if (code == 0)
            return 0;
        Sleep(kPauseMs);
    }
    return code;
}

// The deletion with its retries. Returns 0 when the object is gone (or never
// was), otherwise the error code of the last attempt.
DWORD DeleteWithRetries(const std::wstring& path, bool folder) {
    return WithRetries([&]() -> DWORD {
        bool deleted = false;
        if (folder) {
            ResetAttributes(path);
            deleted = !FileOperationFault(L"delete-folder", path) &&
                      RemoveDirectoryW(ExtendedLengthPath(path).c_str());
        } else {
            deleted = !FileOperationFault(L"delete-file", path) && DeleteFileName(path);
        }
        const DWORD code = deleted ? 0 : GetLastError();
        return IsGone(code) ? 0 : code;
    });
}

// Removes an empty folder, or a link to a folder, with the deletion retries.
void RemoveFolderEntryWithRetries(const std::wstring& folder) {
    const DWORD code = DeleteWithRetries(folder, true);
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

// Copies one file over the target. In a folder the
// copy has just made (fresh) nothing stands in the way, so Windows may create
// the target without looking for it first; elsewhere a read-only mark on the
// target is cleared and the target replaced.
bool CopyOver(const std::wstring& source, const std::wstring& target, bool fresh) {
    const std::wstring longSource = ExtendedLengthPath(source);
    const std::wstring longTarget = ExtendedLengthPath(target);
    if (fresh && CopyFileW(longSource.c_str(), longTarget.c_str(), TRUE))
        return true;
    // Names that differ only in case are one file here.
    if (fresh && GetLastError() != ERROR_FILE_EXISTS)
        return false;
    ResetAttributes(target);
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
            CopyOver(entry.fullPath, target, fresh))
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

// The reparse tag of the folder itself, from its own find data; 0 when it
// cannot be read.
DWORD ReparseTagOf(const std::wstring& folder) {
    WIN32_FIND_DATAW data{};
    FindGuard find(FileOperationFault(L"attributes", folder)
                       ? INVALID_HANDLE_VALUE
                       : FindFirstFileW(ExtendedLengthPath(folder).c_str(), &data));
    return find.Valid() ? data.dwReserved0 : 0;
}

// Removes a folder found as a listing's entry (or the tree's top): a link
// as it stands, what it points to lies outside this tree; any other folder
// with its content first.
void RemoveFolderTree(const std::wstring& folder, bool link) {
    if (!link) {
        for (const DirEntry& entry : ListDirectory(folder)) {
            if (entry.isDirectory)
                RemoveFolderTree(entry.fullPath, entry.isLink);
            else
                RemoveFileWithRetries(entry.fullPath);
        }
    }
    RemoveFolderEntryWithRetries(folder);
}

} // namespace

bool IsLinkToElsewhere(unsigned long attributes, unsigned long reparseTag) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return false;
    // Symbolic links, junctions and other name surrogates point elsewhere;
    // other reparse points (OneDrive's and other sync clients' folders,
    // cloud placeholders, deduplicated files) hold real data. Wine reports
    // its links to Unix folders without a tag.
    return reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag);
}

PathKind KindOfPath(const std::wstring& path) {
    const DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return PathKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

bool IsFolder(const std::wstring& path) {
    return KindOfPath(path) == PathKind::Folder;
}

bool IsFile(const std::wstring& path) {
    return KindOfPath(path) == PathKind::File;
}

std::vector<DirEntry> ListDirectory(const std::wstring& folder) {
    std::vector<DirEntry> entries;
    VisitEntries(folder, [&](const WIN32_FIND_DATAW& data) {
        DirEntry entry;
        entry.name = data.cFileName;
        entry.fullPath = JoinPath(folder, entry.name);
        entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entry.isLink = IsLinkToElsewhere(data.dwFileAttributes, data.dwReserved0);
        entries.push_back(std::move(entry));
    });
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
    ResetAttributes(destination);
    if (!FileOperationFault(L"copy", destination) &&
        CopyFileW(ExtendedLengthPath(source).c_str(), ExtendedLengthPath(destination).c_str(),
                  FALSE))
        return;
    const std::wstring systemText = GetWinErrorMessage(GetLastError());
    throw MakeError(L"Не удалось скопировать '" + source + L"' -> '" + destination + L"': " +
                    systemText);
}

void RemoveFileWithRetries(const std::wstring& file) {
    const DWORD code = DeleteWithRetries(file, false);
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
    const DWORD attributes = AttributesOf(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return;
    const bool link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
                      IsLinkToElsewhere(attributes, ReparseTagOf(folder));
    RemoveFolderTree(folder, link);
}

void EmptyFolder(const std::wstring& folder) {
    EnsureDir(folder);
    for (const DirEntry& entry : ListDirectory(folder)) {
        if (entry.isDirectory)
            RemoveFolderTree(entry.fullPath, entry.isLink);
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

void CopyFolder(const std::wstring& source, const std::wstring& destination) {
    if (!IsFolder(source))
        return;
    if (IsFolder(destination))
        RemoveTreeWithRetries(destination);
    EnsureDir(destination);
    CopyDirectoryContents(source, destination);
}

DWORD TryRenameWithRetries(const std::wstring& from, const std::wstring& to) {
    ResetAttributes(to);
    return WithRetries([&]() -> DWORD {
        // Without MOVEFILE_COPY_ALLOWED: a rename, never a copy.
        if (!FileOperationFault(L"move", to) &&
            MoveFileExW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        return GetLastError();
    });
}

DWORD TryRenameWaitingForHolders(const std::wstring& from, const std::wstring& to,
                                 const std::function<void()>& onWaiting) {
    ResetAttributes(to);
    const ULONGLONG start = GetTickCount64();
    for (int tried = 1;; ++tried) {
        if (!FileOperationFault(L"move", to) &&
            MoveFileExW(ExtendedLengthPath(from).c_str(), ExtendedLengthPath(to).c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        const DWORD code = GetLastError();
        const bool held = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION ||
                          code == ERROR_LOCK_VIOLATION;
        if (held ? GetTickCount64() - start >= HeldFolderWaitMs() : tried >= kAttempts)
            return code;
        if (held && tried == kAttempts && onWaiting)
            onWaiting();
        Sleep(kPauseMs);
    }
}

std::wstring FolderBehindLink(const std::wstring& folder) {
    const DWORD attributes = AttributesOf(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        !IsLinkToElsewhere(attributes, ReparseTagOf(folder)))
        return folder;
    // Opened without FILE_FLAG_OPEN_REPARSE_POINT: the handle is the target's.
    HandleGuard target(CreateFileW(ExtendedLengthPath(folder).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    DWORD code = target.Valid() ? 0 : GetLastError();
    std::vector<wchar_t> path(32768, L'\0');
    if (code == 0) {
        const DWORD length =
            GetFinalPathNameByHandleW(target.Get(), path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        code = length == 0             ? GetLastError()
               : length >= path.size() ? ERROR_FILENAME_EXCED_RANGE
                                       : 0;
    }
    if (code != 0) {
        const std::wstring systemText = GetWinErrorMessage(code);
        throw MakeError(L"Папка '" + folder +
                        L"' ведёт на другой диск или папку, которые недоступны: " + systemText);
    }
    const std::wstring resolved = path.data();
    if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return L"\\\\" + resolved.substr(8);
    if (resolved.rfind(L"\\\\?\\", 0) == 0)
        return resolved.substr(4);
    return resolved;
}

void RenameWithRetries(const std::wstring& from, const std::wstring& to) {
    const DWORD code = TryRenameWithRetries(from, to);
    if (code == 0)
        return;
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(L"Не удалось переименовать '" + from + L"' -> '" + to + L"': " + systemText);
}

// What ReadWholeFile reads at the most.
const LONGLONG kMaxReadSize = 67108864; // 64 MiB

std::string ReadWholeFile(const std::wstring& path, const std::string& fallback) {
    HandleGuard file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        return fallback;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size) || size.QuadPart > kMaxReadSize)
        return fallback;

    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    size_t total = 0;
    while (total < bytes.size()) {
        DWORD read = 0;
        const DWORD wanted = static_cast<DWORD>(bytes.size() - total);
        if (!ReadFile(file.Get(), bytes.data() + total, wanted, &read, nullptr))
            return fallback;
        if (read == 0)
            break;
        total += read;
    }
    bytes.resize(total);
    return bytes;
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
    const DWORD attributes = AttributesOf(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return;
    // Flushing needs write access, which a read-only mark refuses: lifted for
    // the moment of the flush.
    const std::wstring longPath = ExtendedLengthPath(path);
    const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (readOnly)
        SetFileAttributesW(longPath.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    // A sync client or a scanner that has just opened the file may refuse
    // writers for a moment: tried like a deletion, 8 times 250 ms apart.
    const DWORD code = WithRetries([&]() -> DWORD {
        if (FileOperationFault(L"flush", path))
            return GetLastError();
        HandleGuard file(CreateFileW(longPath.c_str(), GENERIC_WRITE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return file.Valid() && FlushFileBuffers(file.Get()) ? 0 : GetLastError();
    });
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
    VisitEntries(folder, [&](const WIN32_FIND_DATAW& data) {
        if (IsLinkToElsewhere(data.dwFileAttributes, data.dwReserved0))
            return;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            total += FolderSize(JoinPath(folder, data.cFileName));
        else
            total += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    });
    return total;
}

unsigned long long FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (FileOperationFault(L"size", path) ||
        !GetFileAttributesExW(ExtendedLengthPath(path).c_str(), GetFileExInfoStandard, &data)) {
        const DWORD code = GetLastError();
        if (IsAbsent(code))
            return 0;
        ThrowReadFailure(path, code);
    }
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
    return a.volume == b.volume && a.indexHigh == b.indexHigh && a.indexLow == b.indexLow &&
           a.size == b.size && CompareFileTime(&a.lastWrite, &b.lastWrite) == 0;
}

bool StampOfHandle(HANDLE file, FileStamp& stamp) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information))
        return false;
    stamp.volume = information.dwVolumeSerialNumber;
    stamp.indexHigh = information.nFileIndexHigh;
    stamp.indexLow = information.nFileIndexLow;
    stamp.size =
        (static_cast<unsigned long long>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    stamp.lastWrite = information.ftLastWriteTime;
    return true;
}

bool ReadFileStamp(const std::wstring& path, FileStamp& stamp) {
    // Asks for no access to the data, so a file open for writing elsewhere
    // still tells who it is; backup semantics open a folder too.
    HandleGuard file(FileOperationFault(L"attributes", path)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(ExtendedLengthPath(path).c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return file.Valid() && StampOfHandle(file.Get(), stamp);
}
