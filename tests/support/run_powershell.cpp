// Test helper: a launcher of its own that runs PowerShell the way the real
// one does and waits for it without a limit, so that a test can kill it
// mid-wait.

#include "platform/PowerShell.h"

int main() {
    return static_cast<int>(RunPowerShell(L"powershell.exe -NoProfile -Command x", INFINITE));
}
