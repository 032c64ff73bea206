// A restore is owed from the moment the install folder starts being emptied
// until the player's data is back. That is recorded by a marker file beside
// the build's backups; while it stands, the backup is the only good copy, so
// the next update keeps it instead of backing up the emptied or half-restored
// folders, and restores it. No failure, kill or restart at any point of an
// update can therefore lose the player's data.

#include "pipeline/Backups.h"

#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"

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
// player's, so what the build ships there stays.
void RestoreFolder(const std::wstring& backup, const std::wstring& target) {
    if (!IsFolder(backup) || ListDirectory(backup).empty())
        return;
    if (IsFolder(target))
        RemoveTreeWithRetries(target);
    else if (IsFile(target))
        RemoveFileWithRetries(target);
    CopyFolder(backup, target);
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

    const std::wstring saves = JoinPath(installFolder, L"Save");
    if (IsFolder(saves))
        CopyFolder(saves, GetSaveBackupDir(baseFolder, installFolder));
    const std::wstring userData = JoinPath(installFolder, L"UserData");
    if (IsFolder(userData))
        CopyFolder(userData, GetUserDataBackupDir(baseFolder, installFolder));
    if (IsOnlineBuild(installFolder)) {
        const std::wstring nickname = NicknameFileIn(installFolder);
        if (IsFile(nickname))
            CopySingleFile(nickname, GetNicknameBackupFile(baseFolder));
    }
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
    // while the deletions that follow survive, so the backup reaches the disk
    // before anything of the player's is deleted, and the record with it.
    FlushTree(GetSaveBackupDir(baseFolder, installFolder));
    FlushTree(GetUserDataBackupDir(baseFolder, installFolder));
    if (IsOnlineBuild(installFolder))
        FlushFileToDisk(GetNicknameBackupFile(baseFolder));
    const std::wstring marker = GetRestorePendingFile(baseFolder, installFolder);
    EnsureDir(ParentPath(marker));
    WriteWholeFile(marker, std::string(), true);
}

void ClearRestorePending(const std::wstring& baseFolder, const std::wstring& installFolder) {
    // Likewise the restored data reaches the disk before the record goes.
    FlushTree(JoinPath(installFolder, L"Save"));
    FlushTree(JoinPath(installFolder, L"UserData"));
    if (IsOnlineBuild(installFolder))
        FlushFileToDisk(NicknameFileIn(installFolder));
    RemoveFileWithRetries(GetRestorePendingFile(baseFolder, installFolder));
}
