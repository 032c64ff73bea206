#include <gtest/gtest.h>

#include <windows.h>

int main(int argc, char** argv) {
    // Our own failures must not stop a test on a system error dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
