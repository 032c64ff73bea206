#pragma once
// The launcher's own update: the studio's launcher manifest, a newer launcher
// downloaded beside the running one and verified, and the hand-over to it.
//
// The file the player starts is only ever replaced by one rename of a
// complete, verified program, made by the new launcher once the old one has
// ended; until then the old file stays where it is. So a kill or power cut at
// any moment leaves a launcher that starts, old or new, and a new one that
// does not come up needs nothing put back.

#include <windows.h>

#include <string>
#include <vector>

struct LauncherUpdateSource {
    std::wstring manifestUrl;  // the launcher manifest (https)
    std::wstring launcherPath; // the program file the player starts
    std::string ownVersion;    // the running launcher's version resource
    std::vector<std::string> updateKeys;
};

// A verified new launcher beside the running one, or none (empty path).
struct StagedLauncher {
    std::wstring path;
    std::string version;
    std::string sha256; // lower-case hexadecimal, as verified
};

// How many times a version is tried before it is given up until the manifest
// names another.
const int kLauncherTriesPerVersion = 3;

// Fetches the manifest. When it names a version newer than the running one
// that has not been given up here, takes that launcher into a work folder
// beside the running one: the file an earlier try left beside the launcher
// when its digest is still the manifest's, else a download. Takes it only
// when the manifest has a "sha256" and the file matches it, the keys (if
// any) verify the manifest's signature, the file's version resource is the
// manifest's version, and it is signed by the running launcher's publisher
// where the running launcher is signed; a file that fails one of these
// checks counts as a failed try. Flushed, it becomes
// "<name>.next-<process>.exe" beside the launcher. Raises on any failure,
// leaving nothing behind but the count.
StagedLauncher StageLauncherUpdate(const LauncherUpdateSource& source);

// Removes the new launchers that killed or failed hand-overs left beside the
// launcher: those whose staging process has ended, other than the running
// program (ownPath). Errors are dropped.
void RemoveStaleLauncherCandidates(const std::wstring& launcherPath, const std::wstring& ownPath);

// How a try of a new launcher failed.
enum class LauncherFailure {
    // Its process ended by itself before its window came: it never will.
    EndedBeforeItsWindow,
    // Its file failed a check, its start was refused or slow, or it could not
    // take the launcher's file over: a scanner, a policy or another account
    // may have been in the way, so it is tried again at later starts.
    MayPassLater,
};

// Counts a failed try of a version in a hidden record beside the launcher
// ("launcher_update_failed.txt": the version, then the tries). A version that
// ended before its window, or failed kLauncherTriesPerVersion times, is not
// tried again until the manifest names another: true then. Errors are
// dropped.
bool RecordFailedLauncherTry(const std::wstring& launcherPath, const std::string& version,
                             LauncherFailure failure);

// The event the new launcher sets once its window exists; the old launcher,
// of that process id, makes it before starting the new one.
std::wstring HandOverEventName(DWORD oldProcessId);

// Whether this program (ownPath) is the new launcher of a hand-over from
// that process: "<name>.next-<process>.exe" beside the launcher's
// "<name>.exe", with the old launcher's hand-over event open. A command line
// that says "--take-over" for any other program is not obeyed: it would
// rename this program over whatever file it names.
bool IsHandOverFrom(DWORD oldProcessId, const std::wstring& ownPath,
                    const std::wstring& launcherPath);

// Starts the staged launcher with "--take-over <this process> <launcher
// path>" in the launcher's folder. What is started is what was verified:
// the file is held open against writing, renaming and deleting from a
// second look at its digest until the process has started. Returns its
// process handle; raises when the file changed or cannot start.
HANDLE StartNewLauncher(const StagedLauncher& staged, const std::wstring& launcherPath);

// In the new launcher: waits up to a minute for the old one to end, then
// renames its own program file over the launcher's (tried 8 times 250 ms
// apart: a scanner may hold the old file). 0 when done, else the system's
// error code (WAIT_TIMEOUT when the old launcher did not end).
DWORD TakeOverLauncherFile(DWORD oldProcessId, const std::wstring& ownPath,
                           const std::wstring& launcherPath);
