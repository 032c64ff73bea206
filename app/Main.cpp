// Both GUI entry points: the launcher reads its command line itself (only a
// hand-over from an older launcher gives one) and ignores the show command.

#include "app/Lifecycle.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return RunLauncher(instance);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunLauncher(instance);
}
