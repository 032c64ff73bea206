// A restore is owed from the moment the install folder starts being emptied
// until the player's data is back. That is recorded by a marker file beside
// the build's backups; while it stands, the backup is the only good copy, so
// the next update keeps it instead of backing up the emptied or half-restored
// folders, and restores it. No failure, kill or restart at any point of an
// update can therefore lose the player's data.

#include "pipeline/Backups.h"

#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"

namespace {

bool IsOnlineBuild(const std::wstring& installFolder) {
    return ToLowerW(FileNameOf(installFolder)) == L"game_online";
}

std::wstring NicknameFileIn(const std::wstring& installFolder) {
    return JoinPath(JoinPath(JoinPath(installFolder, L"ModScripts"), L"multiplayer"),
                    L"nickname.json");
}

// The player's folder replaces the build's own whole, never merged with it;
// a file of the build that stands in its place goes too. An empty backup
// (the Save folder the launcher makes at start, say) holds nothing of the
// player's, so what the build ships there stays. A backup that cannot be
// listed is not empty: that raises.
void RestoreFolder(const std::wstring& backup, const std::wstring& target) {
    if (!IsFolder(backup) || ListDirectory(backup).empty())
        return;
    if (IsFolder(target))
        RemoveTreeWithRetries(target);
    else if (IsFile(target))
        RemoveFileWithRetries(target);
    CopyFolder(backup, target);
}

// A new backup is made beside the old one ("Save.new" beside "Save"), and
// takes the old one's place only once it is whole and on the disk: the old
// one steps aside ("Save.old"), the new one takes its name, the old one
// goes. A failure, kill or power cut at any moment leaves the player's data
// whole in the install folder, which nothing has touched yet, and in the old
// backup or the new one.
std::wstring FreshBackupOf(const std::wstring& backup) {
    return backup + L".new";
}

std::wstring OldBackupOf(const std::wstring& backup) {
    return backup + L".old";
}

// What an earlier replacement that stopped part-way left: with the old
// backup stepped aside and its place empty, the new one was already whole
// (it is renamed only then) and takes the place; otherwise the old one goes
// back. A new one that never got there may be partial and goes.
void SettleBackupFolder(const std::wstring& backup) {
    const std::wstring fresh = FreshBackupOf(backup);
    const std::wstring old = OldBackupOf(backup);
    if (IsFolder(old)) {
        if (!IsFolder(backup))
            RenameWithRetries(IsFolder(fresh) ? fresh : old, backup);
        RemoveTreeWithRetries(old);
    }
    RemoveTreeWithRetries(fresh);
}

void ReplaceBackupFolder(const std::wstring& source, const std::wstring& backup) {
    SettleBackupFolder(backup);
    if (!IsFolder(source))
        return;
    const std::wstring fresh = FreshBackupOf(backup);
    CopyFolder(source, fresh);
    FlushTree(fresh);
    const std::wstring old = OldBackupOf(backup);
    if (IsFolder(backup))
        RenameWithRetries(backup, old);
    RenameWithRetries(fresh, backup);
    try {
        RemoveTreeWithRetries(old);
    } catch (const std::exception&) {
        // A scanner holding a file of the old backup: the next update's
        // settling removes it.
    }
}

// The same for the one nickname file ("nickname.json.new"): the new copy reaches the disk under
// another name and replaces the old one in one rename.
void ReplaceBackupFile(const std::wstring& source, const std::wstring& backup) {
    if (!IsFile(source))
        return;
    const std::wstring fresh = FreshBackupOf(backup);
    CopySingleFile(source, fresh);
    FlushFileToDisk(fresh);
    RenameWithRetries(fresh, backup);
}

} // namespace

std::wstring GetSaveBackupDir(const std::wstring& baseFolder, const std::wstring& installFolder) {
    return JoinPath(JoinPath(JoinPath(baseFolder, L"backup"), FileNameOf(installFolder)), L"Save");
}

std::wstring GetUserDataBackupDir(const std::wstring& baseFolder,
                                  const std::wstring& installFolder) {
    return JoinPath(JoinPath(JoinPath(baseFolder, L"backup"), FileNameOf(installFolder)),
                    L"UserData");
}

std::wstring GetNicknameBackupFile(const std::wstring& baseFolder) {
    return NicknameFileIn(JoinPath(JoinPath(baseFolder, L"backup"), L"game_online"));
}

std::wstring GetRestorePendingFile(const std::wstring& baseFolder,
                                   const std::wstring& installFolder) {
    return JoinPath(JoinPath(JoinPath(baseFolder, L"backup"), FileNameOf(installFolder)),
                    L"restore-pending");
}

void PrepareBackups(const std::wstring& baseFolder, const std::wstring& installFolder) {
    // An earlier update stopped before the player's data was back: the backup
    // holds it and the install folder does not.
    if (IsFile(GetRestorePendingFile(baseFolder, installFolder)))
        return;

    ReplaceBackupFolder(JoinPath(installFolder, L"Save"), GetSaveBackupDir(baseFolder, installFolder));
    ReplaceBackupFolder(JoinPath(installFolder, L"UserData"),
                        GetUserDataBackupDir(baseFolder, installFolder));
    if (IsOnlineBuild(installFolder))
        ReplaceBackupFile(NicknameFileIn(installFolder), GetNicknameBackupFile(baseFolder));
}

void RestoreBackups(const std::wstring& baseFolder, const std::wstring& installFolder) {
    RestoreFolder(GetSaveBackupDir(baseFolder, installFolder), JoinPath(installFolder, L"Save"));
    RestoreFolder(GetUserDataBackupDir(baseFolder, installFolder),
                  JoinPath(installFolder, L"UserData"));
    if (IsOnlineBuild(installFolder) && IsFile(GetNicknameBackupFile(baseFolder))) {
        // Likewise a folder of the build where the player's file goes.
        const std::wstring nickname = NicknameFileIn(installFolder);
        RemoveTreeWithRetries(nickname);
        CopySingleFile(GetNicknameBackupFile(baseFolder), nickname);
    }
}

void MarkRestorePending(const std::wstring& baseFolder, const std::wstring& installFolder) {
    // A power cut may lose what the system has not yet written to the disk
    // while the deletions that follow survive. Every backup reached the disk
    // before it took its name, so the record follows it there.
    const std::wstring marker = GetRestorePendingFile(baseFolder, installFolder);
    EnsureDir(ParentPath(marker));
    WriteWholeFile(marker, std::string(), true);
}

void ClearRestorePending(const std::wstring& baseFolder, const std::wstring& installFolder) {
    // Likewise the restored data reaches the disk before the record goes. A
    // flush that a sync client or scanner still refuses after its retries
    // leaves the data to the system's own writing, seconds later: a finished
    // update is not failed over it, or the next click would repeat it all.
    try {
        FlushTree(JoinPath(installFolder, L"Save"));
        FlushTree(JoinPath(installFolder, L"UserData"));
        if (IsOnlineBuild(installFolder))
            FlushFileToDisk(NicknameFileIn(installFolder));
    } catch (const std::exception&) {
    }
    RemoveFileWithRetries(GetRestorePendingFile(baseFolder, installFolder));
}
