// The install part of an update, which the window sees as one "Установка"
// phase, taken apart: the same calls as InstallOrUpdate in the same order on
// the same kind of data, each timed on its own. The backup comes first, as in
// a run, so that the restore has the player's data to put back.

#include "bench/BenchOutput.h"
#include "bench/BenchPrograms.h"

#include "app/LauncherApp.h"
#include "pipeline/Manifest.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/FileOps.h"
#include "platform/Paths.h"
#include "platform/PowerShell.h"
#include "platform/Sha256.h"
#include "platform/Text.h"

#include <functional>
#include <string>
#include <vector>

namespace {

struct Step {
    std::string name;
    double seconds = 0;
    std::string memory;
};

} // namespace

int RunInstallSteps(const std::wstring& outPath, const std::wstring& workFolder,
                    const std::wstring& baseFolder, const std::wstring& installFolder) {
    LauncherApp app;
    app.baseFolder = baseFolder;
    const std::wstring archivePath = JoinPath(workFolder, L"game.zip");
    const std::wstring extractFolder = JoinPath(workFolder, L"extract");
    std::wstring sourceFolder;
    std::vector<Step> steps;
    std::string failure;

    auto timed = [&](const char* name, const std::function<bool()>& action) {
        if (!failure.empty())
            return;
        const double start = NowSeconds();
        bool done = false;
        try {
            done = action();
        } catch (const std::exception& error) {
            failure = std::string(name) + ": " + error.what();
            return;
        }
        steps.push_back(Step{name, NowSeconds() - start, MemoryCountersJson()});
        if (!done)
            failure = std::string(name) + ": failed";
    };

    timed("backup", [&] {
        app.PrepareBackups(installFolder);
        return true;
    });
    timed("sha256", [&] { return ComputeFileSha256(archivePath).size() == 64; });
    timed("unpack", [&] {
        EnsureDir(extractFolder);
        return ExpandArchive(archivePath, extractFolder) == 0;
    });
    timed("find",
          [&] { return app.FindGameRootRecursive(extractFolder, L"game.exe", sourceFolder); });
    timed("mark", [&] {
        app.MarkRestorePending(installFolder);
        return true;
    });
    timed("empty", [&] {
        EmptyFolder(installFolder);
        return true;
    });
    timed("copy", [&] {
        CopyDirectoryContents(sourceFolder, installFolder);
        return true;
    });
    timed("restore", [&] {
        app.RestoreBackups(installFolder);
        return true;
    });
    timed("clear", [&] {
        app.ClearRestorePending(installFolder);
        return true;
    });
    timed("cleanup", [&] {
        RemoveTreeWithRetries(workFolder);
        return true;
    });

    std::string json = "{\"ok\": " + std::string(failure.empty() ? "true" : "false") +
                       ", \"failure\": " + JsonText(Utf8ToWide(failure)) +
                       ", \"ownExtractor\": " + (PowerShellIsWineStub() ? "true" : "false") +
                       ", \"memory\": " + MemoryCountersJson() + ", \"steps\": [";
    for (size_t i = 0; i < steps.size(); ++i)
        json += std::string(i == 0 ? "" : ",") + "\n  {\"name\": \"" + steps[i].name +
                "\", \"seconds\": " + Number(steps[i].seconds) +
                ", \"memoryAfter\": " + steps[i].memory + "}";
    json += "]}";
    if (!WriteJsonFile(outPath, json))
        return 1;
    return failure.empty() ? 0 : 1;
}
