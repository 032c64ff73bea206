#pragma once
// A run's work folder. The manifest's, which needs no room, is under the
// user's temporary folder; a build's update (the archive, the unpacked build,
// the old build set aside) has a hidden one beside the build's folder, so on
// its volume: the new build takes its place in one rename, its unchanged
// files are links, and the room it takes is on the drive the game is on.
// While the run lives the folder holds the file "run.lock" open without
// delete sharing, so that a later launcher can tell the folder of a killed
// run (whose lock can be deleted) from one in use, and give the player's
// disk space back.

#include "platform/Guards.h"

#include <string>

class WorkFolder {
public:
    // Makes a fresh folder (GetTempFolderName) with its lock; raises the
    // folder-creation errors.
    WorkFolder();
    // The same in the given folder: "vorn_update_<process>_<tick>", hidden.
    explicit WorkFolder(const std::wstring& parent);
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

// Removes the work folders, in the temporary folder and in the given one,
// that no running launcher uses: those whose lock can be deleted, and those
// without a lock that nothing has written to for an hour (a run killed before
// it locked, an older launcher, an old build whose files were held when it
// was to go). Errors are dropped: a folder that cannot go now goes at a later
// start.
void RemoveStaleWorkFolders(const std::wstring& updateParent);
