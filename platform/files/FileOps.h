#pragma once
// File-system operations for replacing game folders inside a player's
// installation. Read-only marks never stop a deletion or an overwrite,
// deletions are retried 8 times 250 ms apart, an object already in the wanted
// state counts as success, and every failure is raised as the launcher's error
// with a sentence that names the path.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

struct DirEntry {
    std::wstring fullPath;
    std::wstring name;
    bool isDirectory = false;
    // A symbolic link or junction (IsLinkToElsewhere). Tree removal deletes
    // the link itself and never descends into it; copies leave it out.
    bool isLink = false;
};

// Entries of one folder in the order the file system gives them, without "."
// and "..". Only a folder that is absent (or a file) yields an empty list; a
// folder that stands but cannot be listed, or whose listing breaks off,
// raises "Не удалось прочитать папку '" + folder + "': " + system text.
std::vector<DirEntry> ListDirectory(const std::wstring& folder);

// True for a symbolic link, a junction or another name surrogate: an entry
// that points elsewhere, so that removals and copies never go through it.
// Other reparse points (OneDrive's folders, cloud placeholders) hold real
// data and are folders and files like any other. Takes a find data's
// attributes and reparse tag.
bool IsLinkToElsewhere(unsigned long attributes, unsigned long reparseTag);

// Creates the folder and every missing parent. An existing folder, an empty
// path, or a file of that name is accepted silently; the result tells whether
// a folder stands there afterwards.
bool EnsureDir(const std::wstring& folder);

// Copies one file over the destination; a missing source is skipped.
void CopySingleFile(const std::wstring& source, const std::wstring& destination);

void RemoveFileWithRetries(const std::wstring& file);

// Removes the folder and everything below it; a path that is not a folder is
// left alone.
void RemoveTreeWithRetries(const std::wstring& folder);

// Makes sure the folder exists and removes every entry in it, in listing
// order; the folder itself stays. The first failure ends the emptying.
void EmptyFolder(const std::wstring& folder);

// Copies the source folder's whole tree into the destination, over what is
// there; the destination's other content stays. Links are left out.
void CopyDirectoryContents(const std::wstring& source, const std::wstring& destination);

// Replaces the destination by an exact copy of the source; a missing source is
// skipped.
void CopyFolder(const std::wstring& source, const std::wstring& destination);

enum class PathKind { Missing, File, Folder };

// What stands at the path. Only an absent path (not found, or a missing
// parent) is Missing: attributes that cannot be read for any other reason
// (no access, a share that dropped) raise
// "Не удалось прочитать '" + path + "': " + system text.
PathKind KindOfPath(const std::wstring& path);

// True when the path exists and is a folder / exists and is not a folder;
// raise as KindOfPath does.
bool IsFolder(const std::wstring& path);
bool IsFile(const std::wstring& path);

// Renames a file or folder in one step on its volume, replacing a file of
// the new name. A scanner or sync client that holds it (or a file inside)
// refuses that for a moment, so it is tried 8 times 250 ms apart, then
// raises "Не удалось переименовать '" + from + "' -> '" + to + "': " + text.
void RenameWithRetries(const std::wstring& from, const std::wstring& to);
// The same without raising: 0, or the last attempt's error code.
DWORD TryRenameWithRetries(const std::wstring& from, const std::wstring& to);
// For a folder that holds many fresh files: an antivirus scanning them, or a
// sync client, holds one for seconds, and Windows refuses to rename a folder
// while any file inside is open. Refusals of that kind (access denied, a
// sharing or lock violation) are waited out for up to a minute, 250 ms
// apart; onWaiting is called once, when the wait outlasts the usual retries.
// Other failures end after the usual 8 attempts. 0, or the last error code.
DWORD TryRenameWaitingForHolders(const std::wstring& from, const std::wstring& to,
                                 const std::function<void()>& onWaiting);

// Where a folder really is: for a symbolic link or junction (a game moved to
// another drive with a link left in its place), the final path of its
// target, in its drive-letter or share form; otherwise the folder as given,
// whether it exists or not. A link whose target cannot be reached (a drive
// unplugged) or has no such path (a volume without a letter) raises
// "Папка '" + folder + "' ведёт на другой диск или папку, которые недоступны: " + text.
std::wstring FolderBehindLink(const std::wstring& folder);

// The file's bytes unchanged, or the fallback when the file cannot be opened
// or read or is larger than 64 MiB.
std::string ReadWholeFile(const std::wstring& path, const std::string& fallback);

// Creates or replaces the file with exactly these bytes. With flush, they are
// on the disk when it returns, not only in the system's cache. Raises
// "Не удалось записать файл: " + path when the file cannot be created, and
// the same with the system's reason when writing fails.
void WriteWholeFile(const std::wstring& path, const std::string& bytes, bool flush);

// Makes an existing file's content durable: written to the disk, so that a
// power cut cannot take it back. A missing file is skipped; a file that
// cannot be opened for it is tried 8 times, 250 ms apart.
void FlushFileToDisk(const std::wstring& path);

// FlushFileToDisk for every file below the folder (links left out).
void FlushTree(const std::wstring& folder);

// The bytes of all files below the folder (links left out); 0 when missing.
// Raises as ListDirectory does.
unsigned long long FolderSize(const std::wstring& folder);

// The bytes of one file; 0 when missing. Raises as KindOfPath does.
unsigned long long FileSize(const std::wstring& path);

// Which file a name leads to and how it was last left: its volume and index
// (the same for every hard link of it), size and last write time.
struct FileStamp {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    unsigned long long size = 0;
    FILETIME lastWrite{};
};

bool SameStamp(const FileStamp& a, const FileStamp& b);

// From an open handle, or from the name (of a file or a folder); false when
// it cannot be read.
bool StampOfHandle(HANDLE file, FileStamp& stamp);
bool ReadFileStamp(const std::wstring& path, FileStamp& stamp);
