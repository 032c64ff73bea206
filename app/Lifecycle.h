#pragma once

#include <windows.h>

// Builds the launcher, runs its window until it is closed and returns the
// process exit code: 0 after a normal end, 1 when the window cannot be made.
int RunLauncher(HINSTANCE instance);
