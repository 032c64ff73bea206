// Every file operation of an update failed in turn: for N = 1, 2, 3, ... the
// N-th operation fails (sharing violation, access denied, disk full) until an
// update passes without reaching N. After each failed run the player's data
// must still exist somewhere, and the next normal run must leave the new build
// in place with the player's data exactly as it was. Once for a whole update,
// once for a small one (the changed files fetched by Range, the others taken
// from the installed build).
//
// The suite runs 20 points spread over the update; VORN_SOAK_FAULTS=all runs
// every point with every code. A table per phase is printed either way.

#include "tests/pipeline/PipelineTest.h"

#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"
#include "platform/files/WorkFolder.h"
#include "platform/zip/ZipExtract.h"

#include <cstdio>
#include <functional>
#include <map>

namespace {

// How the target operation fails: alone (a fault), with every operation
// after it (a kill or a power cut: nothing more reaches the disk), or, for
// a run that follows a failed one, the target counted among the operations
// of the backup and the swap only, the old build held for good (the game
// started from a shortcut), or the new build refused its place until the
// old one is being put back.
enum class Failure { Once, FromThenOn, SwapOnce, HeldBuild, RefusedNewBuild };

struct Injection {
    long target = 0; // 0: count only
    DWORD code = 0;
    Failure failure = Failure::Once;
    long count = 0;
    long swapCount = 0;
    std::wstring install;
    // Where the update stood when each operation was made.
    bool restoring = false;
    bool oldBuildComingBack = false;
    std::string phase;
    std::string faultedPhase;
    // Each phase's first and last operation, in the order the update met them.
    std::vector<std::pair<std::string, std::pair<long, long>>> spans;
    // Called once when the download starts, past the seam: the player
    // saving in the old build meanwhile.
    std::function<void()> meanwhile;
};

Injection g_injection;

// A fresh count that fails the target operation (none when 0) with the code.
void StartCounting(long target, DWORD code, const std::wstring& install,
                   Failure failure = Failure::Once) {
    g_injection = Injection();
    g_injection.target = target;
    g_injection.code = code;
    g_injection.failure = failure;
    g_injection.install = install;
}

bool StartsWith(const std::wstring& path, const std::wstring& prefix) {
    return ToLowerW(path).rfind(ToLowerW(prefix), 0) == 0;
}

bool Contains(const std::wstring& path, const std::wstring& part) {
    return ToLowerW(path).find(ToLowerW(part)) != std::wstring::npos;
}

// The update's phase, told from the operation and the path it touches.
std::string PhaseOf(const std::wstring& operation, const std::wstring& path) {
    Injection& state = g_injection;
    if (Contains(path, L"\\vorn_launcher_"))
        return "manifest";
    // A look (a listing, attributes, a size, a read) belongs to the phase it
    // serves and moves the update nowhere.
    const bool look = operation == L"list" || operation == L"list-next" ||
                      operation == L"attributes" || operation == L"size" || operation == L"open";
    if (Contains(path, L"\\vorn_update_")) {
        // The old build, set aside, then removed once the new one is in place.
        if (Contains(path + L"\\", L"\\old\\"))
            return state.restoring ? "finishing" : "swapping";
        if (look && !state.phase.empty())
            return state.phase;
        if (Contains(path, L"\\extract"))
            return "unpacking";
        return "download";
    }
    if (Contains(path, L"\\backup\\"))
        return Contains(path, L"restore-pending") ? "record" : "backup";
    if (!StartsWith(path, state.install) || look)
        return state.phase.empty() ? "checking" : state.phase;
    if (Contains(path, L"version.txt") && operation != L"delete-file")
        return "version file";
    // The new build takes the build's name; then the player's data comes back.
    if (operation == L"move" && ToLowerW(path) == ToLowerW(state.install)) {
        state.restoring = true;
        return "swapping";
    }
    return state.restoring ? "restoring" : "swapping";
}

bool IsSwapPhase(const std::string& phase) {
    return phase == "backup" || phase == "record" || phase == "swapping";
}

// Whether this operation fails, by the injection's kind of failure.
bool Fails(const std::wstring& operation, const std::wstring& path) {
    Injection& state = g_injection;
    const bool intoBuild = ToLowerW(path) == ToLowerW(state.install);
    switch (state.failure) {
    case Failure::Once:
        return state.count == state.target;
    case Failure::FromThenOn:
        return state.target != 0 && state.count >= state.target;
    case Failure::SwapOnce:
        return IsSwapPhase(state.phase) && ++state.swapCount == state.target;
    case Failure::HeldBuild:
        return operation == L"move" && Contains(path + L"\\", L"\\old\\") &&
               Contains(path, L"\\vorn_update_") && !state.restoring;
    case Failure::RefusedNewBuild:
        // Looking at the old build set aside is the first step of putting
        // it back.
        if (operation == L"attributes" && Contains(path, L"\\vorn_update_") &&
            ToLowerW(FileNameOf(path)) == L"old" && state.swapCount > 0)
            state.oldBuildComingBack = true;
        if (state.oldBuildComingBack || !(intoBuild || StartsWith(path, state.install + L"\\")))
            return false;
        if (operation == L"move" || operation == L"copy" || operation == L"create-folder") {
            ++state.swapCount;
            return intoBuild || operation != L"move";
        }
        return false;
    }
    return false;
}

DWORD Inject(const wchar_t* operation, const std::wstring& path) {
    Injection& state = g_injection;
    const std::string before = state.phase;
    state.phase = PhaseOf(operation, path);
    ++state.count;
    if (state.spans.empty() || state.spans.back().first != state.phase)
        state.spans.push_back({state.phase, {state.count, state.count}});
    state.spans.back().second.second = state.count;
    if (!Fails(operation, path)) {
        if (state.phase == "download" && before != "download" && state.meanwhile) {
            const auto meanwhile = std::move(state.meanwhile);
            state.meanwhile = nullptr;
            meanwhile();
        }
        return 0;
    }
    if (state.faultedPhase.empty())
        state.faultedPhase = state.phase;
    return state.code;
}

struct PhaseRow {
    int points = 0;
    int losses = 0;
    int nowhere = 0;
};

// A row a phase (or kind of failure) and a total, printed as the run goes.
void PrintTable(const char* heading, const char* counted,
                const std::map<std::string, PhaseRow>& table) {
    std::printf("%-14s %7s %7s %8s\n", heading, counted, "losses", "nowhere");
    PhaseRow total;
    for (const auto& [name, row] : table) {
        std::printf("%-14s %7d %7d %8d\n", name.c_str(), row.points, row.losses, row.nowhere);
        total.points += row.points;
        total.losses += row.losses;
        total.nowhere += row.nowhere;
    }
    std::printf("%-14s %7d %7d %8d\n", "total", total.points, total.losses, total.nowhere);
    std::fflush(stdout);
}

std::vector<std::pair<std::wstring, std::string>> kPlayerFiles(long point) {
    const std::string mark = std::to_string(point);
    return {{L"Save/slot1.sav", "save " + mark},
            {L"Save/Deep/slot2.sav", "deep save " + mark},
            {L"UserData/keys.cfg", "keys " + mark},
            {L"ModScripts/multiplayer/nickname.json", "{\"nick\": \"player " + mark + "\"}"}};
}

std::wstring Native(const std::wstring& relative) {
    std::wstring path = relative;
    for (wchar_t& unit : path)
        if (unit == L'/')
            unit = L'\\';
    return path;
}

class FaultCampaign : public PipelineTest {
protected:
    // A temporary folder of its own: what other processes left there would
    // be looked at by every run and shift its operations' numbers.
    FaultCampaign() {
        EnsureDir(base / L"temp");
        SetEnvironmentVariableW(L"TMP", (base / L"temp").c_str());
    }
    ~FaultCampaign() override {
        SetFileOperationHook(nullptr);
        SetHeldFolderWaitForTests(0);
        SetEnvironmentVariableW(L"TMP", nullptr);
    }

    // This point's player data, with the save the player made last.
    std::vector<std::pair<std::wstring, std::string>> PlayerFiles(long point) const {
        auto files = kPlayerFiles(point);
        if (!lastSave.empty())
            files[0].second = lastSave;
        return files;
    }

    // The player plays the build and saves, past the seam.
    void PlayAndSave(const std::string& save) {
        lastSave = save;
        WriteBytes(online + L"\\Save\\slot1.sav", save);
    }

    // The installed old build with this point's player data, and an older
    // backup that must never come back over it.
    void Prepare(long point) {
        lastSave.clear();
        ForceRemoveTree(online);
        ForceRemoveTree(base / L"backup");
        // What killed runs left is swept by the next run: its operations
        // would shift every later one's number. Swept here, past the seam,
        // each point's numbers are those of the counted update.
        SetFileOperationHook(nullptr);
        RemoveStaleWorkFolders(base.Path());
        for (const DirEntry& entry : ListDirectory(base / L"temp"))
            ForceRemoveTree(entry.fullPath);
        for (const std::wstring& folder : LeftoverWorkFolders())
            ForceRemoveTree(folder);
        SetFileOperationHook(Inject);
        if (small) {
            // The first version of the small update's build, as installed.
            // Past the seam: this is not the update's doing. The game comes
            // as in the whole campaign (the last run's may still hold it).
            SetFileOperationHook(nullptr);
            const std::wstring unpacked = base / L"delta1";
            if (!IsFolder(unpacked)) {
                ASSERT_TRUE(
                    ExtractZipArchive(TestEnvDir() + L"\\www\\builds\\delta1.zip", unpacked));
                DeleteFileW((unpacked + L"\\Game.exe").c_str());
                ForceRemoveTree(unpacked + L"\\Save");
            }
            CopyDirectoryContents(unpacked, online);
            SetFileOperationHook(Inject);
        }
        InstallBuild(online, "1.0", kPlayerFiles(point));
        WriteBytes(online + L"\\old_build_only.txt", "old");
        EnsureDir(base / L"backup\\game_online\\Save");
        WriteBytes(base / L"backup\\game_online\\Save\\slot1.sav", "stale save");
    }

    // Each player file with its exact bytes in the build folder or the backup.
    bool PlayerDataSomewhere(long point) {
        for (const auto& [name, bytes] : PlayerFiles(point)) {
            const std::wstring relative = Native(name);
            if (Exists(online + L"\\" + relative) && ReadBytes(online + L"\\" + relative) == bytes)
                continue;
            const std::wstring backup = base / (L"backup\\game_online\\" + relative);
            if (Exists(backup) && ReadBytes(backup) == bytes)
                continue;
            return false;
        }
        return true;
    }

    bool PlayerDataAndBuildInPlace(long point) {
        for (const auto& [name, bytes] : PlayerFiles(point)) {
            const std::wstring path = online + L"\\" + Native(name);
            if (!Exists(path) || ReadBytes(path) != bytes)
                return false;
        }
        if (small && (ReadBytes(online + L"\\Data\\new.txt") != "only in 2" ||
                      Exists(online + L"\\Data\\old.txt") || !IsFolder(online + L"\\Logs")))
            return false;
        return ReadBytes(online + L"\\version.txt") == "2.0" &&
               ReadBytes(online + L"\\data.txt") == (small ? "v2" : "v1") &&
               IsFile(online + L"\\Game.exe") && !Exists(online + L"\\old_build_only.txt") &&
               !Exists(online + L"\\Save\\shipped.sav") &&
               !Exists(app.GetRestorePendingFile(online));
    }

    void Campaign(const std::wstring& manifest);
    void Sequences(const std::wstring& manifest);

    bool small = false;
    std::string lastSave;
};

} // namespace

void FaultCampaign::Campaign(const std::wstring& manifest) {
    StartCounting(0, 0, online);
    SetFileOperationHook(Inject);

    // A clean update, counted.
    Prepare(0);
    StartCounting(0, 0, online);
    RunOnline(manifest);
    const long operations = g_injection.count;
    ASSERT_TRUE(PlayerDataAndBuildInPlace(0));
    ASSERT_GT(operations, 20);

    char everything[16] = {};
    const bool all = GetEnvironmentVariableA("VORN_SOAK_FAULTS", everything, sizeof(everything)) &&
                     std::string(everything) == "all";
    const DWORD codes[] = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_DISK_FULL};
    // The suite's share: 20 points spread over the update, the codes in turn.
    std::vector<std::pair<long, DWORD>> plan;
    if (all) {
        for (const DWORD code : codes)
            for (long target = 1; target <= operations + 5; ++target)
                plan.emplace_back(target, code);
    } else {
        for (long i = 0; i < 20; ++i)
            plan.emplace_back(1 + i * operations / 20, codes[i % 3]);
    }

    std::map<std::string, PhaseRow> table;
    long point = 0;
    for (const auto& [target, code] : plan) {
        ++point;
        Prepare(point);
        StartCounting(target, code, online);
        RunOnline(manifest);
        const long reached = g_injection.count;
        const std::string phase = g_injection.faultedPhase;
        StartCounting(0, 0, online);
        if (reached < target)
            continue; // the whole update passed before the N-th operation
        PhaseRow& row = table[phase];
        ++row.points;
        const bool somewhere = PlayerDataSomewhere(point);
        // The player starts the launcher again and clicks once more.
        EnsureDir(online + L"\\Save");
        RunOnline(manifest);
        const bool kept = PlayerDataAndBuildInPlace(point);
        row.nowhere += somewhere ? 0 : 1;
        row.losses += kept ? 0 : 1;
        EXPECT_TRUE(somewhere) << "operation " << target << " (" << phase << "), code " << code;
        EXPECT_TRUE(kept) << "operation " << target << ", code " << code;
    }

    std::printf("\nFault campaign: %ld operations in a %s update, %zu points%s\n", operations,
                small ? "small" : "whole", plan.size(),
                all ? " (every operation, 3 codes)" : " (the suite's share)");
    PrintTable("phase", "points", table);
}

// Failures in a row, as players meet them: a kill or a fault in one update,
// then in the next a fault of its backup or swap (each operation in turn),
// the old build held for good or the new build refused its place, then a
// clean run. The player saves in the old build during each download, and
// plays whenever the build stands whole and owes no restore between runs;
// the third run must leave the new build with the player's latest data.
void FaultCampaign::Sequences(const std::wstring& manifest) {
    StartCounting(0, 0, online);
    SetFileOperationHook(Inject);
    SetHeldFolderWaitForTests(300);

    // A clean update, counted whole and in its backup and swap.
    Prepare(0);
    StartCounting(0, 0, online, Failure::SwapOnce);
    RunOnline(manifest);
    const long operations = g_injection.count;
    const long swapOperations = g_injection.swapCount;
    const auto spans = g_injection.spans;
    ASSERT_TRUE(PlayerDataAndBuildInPlace(0));
    ASSERT_GT(swapOperations, 5);

    // The second run's failures: 0 the held build, 1 the refused new build,
    // then each operation of the backup and the swap.
    const long seconds = swapOperations + 2;
    const char* const secondNames[] = {"held build", "refused new", "swap fault"};
    struct Sequence {
        long target;
        Failure first;
        DWORD code;
        long second;
    };
    char everything[16] = {};
    const bool all = GetEnvironmentVariableA("VORN_SOAK_FAULTS", everything, sizeof(everything)) &&
                     std::string(everything) == "all";
    const DWORD codes[] = {ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED, ERROR_DISK_FULL};
    std::vector<Sequence> plan;
    if (all) {
        long n = 0;
        for (long target = 1; target <= operations; ++target)
            for (const Failure first : {Failure::FromThenOn, Failure::Once}) {
                plan.push_back({target, first, codes[n % 3], n % seconds});
                ++n;
            }
    } else {
        // The suite's share: the middle of each phase's longest stretch,
        // killed there with the build held next, and failed there with the
        // new build refused or a swap operation failed next, in turn.
        std::map<std::string, std::pair<long, long>> longest;
        for (const auto& [phase, span] : spans) {
            auto& kept = longest[phase];
            if (kept.second - kept.first <= span.second - span.first)
                kept = span;
        }
        long n = 0;
        for (const auto& [phase, span] : longest) {
            const long middle = (span.first + span.second) / 2;
            plan.push_back({middle, Failure::FromThenOn, codes[n % 3], 0});
            plan.push_back(
                {middle, Failure::Once, codes[n % 3], n % 2 ? 1 : 2 + (n * 7) % swapOperations});
            ++n;
        }
    }

    std::map<std::string, PhaseRow> byFirst;
    std::map<std::string, PhaseRow> bySecond;
    long point = 0;
    for (const Sequence& sequence : plan) {
        ++point;
        Prepare(point);
        const std::string mark = std::to_string(point);
        bool counted = false;
        bool lost = false;
        bool nowhere = false;
        std::string firstPhase;
        const char* secondName = secondNames[std::min<long>(sequence.second, 2)];
        for (int run = 1; run <= 3; ++run) {
            if (run == 1)
                StartCounting(sequence.target, sequence.code, online, sequence.first);
            else if (run == 2 && sequence.second == 0)
                StartCounting(1, ERROR_SHARING_VIOLATION, online, Failure::HeldBuild);
            else if (run == 2 && sequence.second == 1)
                StartCounting(1, ERROR_ACCESS_DENIED, online, Failure::RefusedNewBuild);
            else if (run == 2)
                StartCounting(sequence.second - 1, codes[sequence.second % 3], online,
                              Failure::SwapOnce);
            else
                StartCounting(0, 0, online);
            g_injection.meanwhile = [&, run] {
                if (!Exists(app.GetRestorePendingFile(online)))
                    PlayAndSave("saved during download " + std::to_string(run) + " of " + mark);
            };
            RunOnline(manifest);
            const std::string faulted = g_injection.faultedPhase;
            StartCounting(0, 0, online);
            if (run == 1) {
                firstPhase = faulted;
                if (firstPhase.empty())
                    break; // the whole update passed before the target
                counted = true;
            }
            if (run < 3) {
                nowhere = nowhere || !PlayerDataSomewhere(point);
                // The player starts the launcher again (it makes Save), and
                // plays a build that stands whole and owes nothing.
                EnsureDir(online + L"\\Save");
                if (IsFile(online + L"\\Game.exe") && !Exists(app.GetRestorePendingFile(online)))
                    PlayAndSave("played after run " + std::to_string(run) + " of " + mark);
            }
        }
        if (!counted)
            continue;
        lost = !PlayerDataAndBuildInPlace(point);
        for (PhaseRow* row : {&byFirst[firstPhase], &bySecond[secondName]}) {
            ++row->points;
            row->losses += lost ? 1 : 0;
            row->nowhere += nowhere ? 1 : 0;
        }
        EXPECT_FALSE(lost) << "first: operation " << sequence.target << " (" << firstPhase
                           << "), second: " << secondName << " " << sequence.second;
        EXPECT_FALSE(nowhere) << "first: operation " << sequence.target;
    }

    std::printf("\nSequence campaign: %ld operations in an update, %ld in its backup and swap, "
                "%zu sequences%s\n",
                operations, swapOperations, plan.size(),
                all ? " (every operation, killed and failed)" : " (the suite's share)");
    PrintTable("first failure", "runs", byFirst);
    PrintTable("second failure", "runs", bySecond);
}

TEST_F(FaultCampaign, FailuresInARowLoseNothing) {
    Sequences(server.PublishManifest(ManifestFor("2.0", L"v1_top.zip")));
}

TEST_F(FaultCampaign, EveryFileOperationOfAnUpdateFailingInTurnLosesNothing) {
    Campaign(server.PublishManifest(ManifestFor("2.0", L"v1_top.zip")));
}

TEST_F(FaultCampaign, EveryFileOperationOfASmallUpdateFailingInTurnLosesNothing) {
    small = true;
    const std::string index =
        ",\n  \"delta_index\": \"" + ToUtf8(ServerUrl(L"builds/delta2.zip.files")) +
        "\",\n  \"delta_index_sha256\": \"" + BuildSha256(L"delta2.zip.files") + "\"";
    Campaign(server.PublishManifest(ManifestFor("2.0", L"delta2.zip", true, index)));
}
