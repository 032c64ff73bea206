#pragma once
// The measurements of vorn_bench, one per command; each writes its figures to
// a JSON file and returns the process exit code (0: the work was done).

#include <string>

// A full update as the window starts one: StartMode, the real worker thread,
// and the time each of its reports arrives.
int RunUpdate(const std::wstring& outPath, const std::wstring& manifestUrl,
              const std::wstring& baseFolder, const std::wstring& installFolder,
              const std::wstring& label);

// The install steps of an update one by one, in InstallOrUpdate's order, on an
// archive already in the work folder.
int RunInstallSteps(const std::wstring& outPath, const std::wstring& workFolder,
                    const std::wstring& baseFolder, const std::wstring& installFolder);

// The window's paint path on an off-screen DC, frame after frame.
int RunPaintFrames(const std::wstring& outPath, int frames);

// One copy or emptying step, by bare Win32 calls or by the launcher's own
// function: copy-new, copy-always, copy-ours (source to target);
// get-attributes, set-attributes, delete-plain, delete-ours (on target).
int RunPlatformFloor(const std::wstring& outPath, const std::wstring& operation,
                     const std::wstring& sourceFolder, const std::wstring& targetFolder);

// One download by HttpDownloadToFile, timed.
int RunFetch(const std::wstring& outPath, const std::wstring& url, const std::wstring& filePath);
