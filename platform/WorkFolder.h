#pragma once
// A run's work folder under the user's temporary folder. While the run lives
// it holds the file "run.lock" inside it open without delete sharing, so that
// a later launcher can tell the folder of a killed run (whose lock can be
// deleted) from one in use, and give the player's disk space back.

#include "platform/Guards.h"

#include <string>

class WorkFolder {
public:
    // Makes a fresh folder (GetTempFolderName) with its lock; raises the
    // folder-creation errors.
    WorkFolder();
    // Removes the folder when it is still there; an error of that is dropped.
    ~WorkFolder();
    WorkFolder(const WorkFolder&) = delete;
    WorkFolder& operator=(const WorkFolder&) = delete;

    const std::wstring& Path() const { return path_; }

    // Removes the folder now, raising the removal's error.
    void Remove();

private:
    std::wstring path_;
    HandleGuard lock_;
};

// Removes the work folders that no running launcher uses: those whose lock
// can be deleted, and those without a lock that nothing has written to for an
// hour (a run killed before it locked, or an older launcher). Errors are
// dropped: a folder that cannot go now goes at a later start.
void RemoveStaleWorkFolders();
