// Stands in for the game of the synthetic build: the launcher starts it after
// an update, and it ends at once so that nothing of it outlives the run.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    return 0;
}
