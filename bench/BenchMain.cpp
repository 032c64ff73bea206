// vorn_bench: the launcher's own code measured from inside a Windows process.
//   vorn_bench update OUT.json MANIFEST_URL BASE_FOLDER INSTALL_FOLDER LABEL
//   vorn_bench steps OUT.json WORK_FOLDER BASE_FOLDER INSTALL_FOLDER
//   vorn_bench paint OUT.json FRAMES
//   vorn_bench floor OUT.json OPERATION SOURCE_FOLDER TARGET_FOLDER
//   vorn_bench fetch OUT.json URL FILE
// bench/run_bench.py prepares the data, runs these and writes the report.

#include "bench/BenchPrograms.h"

#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"update" && argc == 7)
        return RunUpdate(argv[2], argv[3], argv[4], argv[5], argv[6]);
    if (command == L"steps" && argc == 6)
        return RunInstallSteps(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"paint" && argc == 4)
        return RunPaintFrames(argv[2], _wtoi(argv[3]));
    if (command == L"floor" && argc == 6)
        return RunPlatformFloor(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"fetch" && argc == 5)
        return RunFetch(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: vorn_bench update OUT URL BASE INSTALL LABEL | "
                         "steps OUT WORK BASE INSTALL | paint OUT FRAMES | "
                         "floor OUT OPERATION SOURCE TARGET | fetch OUT URL FILE\n");
    return 2;
}
