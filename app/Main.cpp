// Both GUI entry points: the launcher takes no command line and ignores the
// show command.

#include "app/Lifecycle.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    return RunLauncher(instance);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    return RunLauncher(instance);
}
