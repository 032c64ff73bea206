#pragma once
// One launcher per folder. Two launchers started from one folder (a double
// double-click, a shortcut and the exe) would share the backups' half-made
// copies and the builds' work, and could delete each other's. The first one
// claims the folder; a second one brings the first one's window to the front
// and ends.

#include <windows.h>

#include <string>

// Claims the folder for this process: a named mutex that lives while any
// launcher of the folder holds it open, across the computer's sessions
// (another account started from a shared folder counts too); the caller
// keeps `claim` open until its window is gone. False when another launcher
// has the folder: its window has then been brought to the front, or, when it
// has no window here (another account's, or one that is ending), the player
// has been told in a message box. A launcher started by a hand-over takes
// the claim beside the launcher it replaces. A claim that cannot be made for
// any other reason does not stop the launcher.
bool ClaimLauncherFolder(const std::wstring& folder, const wchar_t* windowClass, bool handOver,
                         HANDLE& claim);
