#pragma once
// The player's saves, user data and (online build) nickname file survive an
// update: copied out to the backup folder beside the launcher (baseFolder)
// before the install folder is emptied, and copied back over the new build
// afterwards, with the record that says a restore is owed in between.

#include <string>

std::wstring GetSaveBackupDir(const std::wstring& baseFolder, const std::wstring& installFolder);
std::wstring GetUserDataBackupDir(const std::wstring& baseFolder,
                                  const std::wstring& installFolder);
std::wstring GetNicknameBackupFile(const std::wstring& baseFolder);
std::wstring GetRestorePendingFile(const std::wstring& baseFolder,
                                   const std::wstring& installFolder);

void PrepareBackups(const std::wstring& baseFolder, const std::wstring& installFolder);
void RestoreBackups(const std::wstring& baseFolder, const std::wstring& installFolder);
// The backup reaches the disk, then the record does.
void MarkRestorePending(const std::wstring& baseFolder, const std::wstring& installFolder);
// The restored data reaches the disk, then the record goes.
void ClearRestorePending(const std::wstring& baseFolder, const std::wstring& installFolder);
