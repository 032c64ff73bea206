// Test helper: a "new launcher" that ends at once, before any window, as a
// launcher that crashes at start would.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return 3;
}
