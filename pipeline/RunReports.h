#pragma once
// How a run tells the window what it is doing. The window's side turns these
// into its posted messages; the pipeline knows nothing of windows.

#include <functional>
#include <string>

struct RunReports {
    // A new status line; the bar stays as it is.
    std::function<void(const std::wstring& text)> status;
    // A status line with the bar at a percentage, or -1 for a sweeping bar.
    std::function<void(int percent, const std::wstring& text)> progress;
};
