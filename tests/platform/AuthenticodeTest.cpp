// The signer check of a new launcher: programs signed by two studios with
// certificates of the test CA, which the tests' Wine prefix trusts.

#include "platform/trust/Authenticode.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

TEST(Authenticode, ASignedProgramTakesOnlyAValidSignatureOfItsOwnPublisher) {
    const std::wstring folder = TestEnvDir() + L"\\authenticode\\";
    // An unsigned launcher asks nothing of the new one.
    EXPECT_TRUE(SignedLikeRunningProgram(folder + L"unsigned.exe", folder + L"b.exe"));
    EXPECT_TRUE(SignedLikeRunningProgram(folder + L"unsigned.exe", folder + L"unsigned.exe"));
    EXPECT_TRUE(SignedLikeRunningProgram(folder + L"a1.exe", folder + L"a2.exe"));
    EXPECT_FALSE(SignedLikeRunningProgram(folder + L"a1.exe", folder + L"unsigned.exe"));
    EXPECT_FALSE(SignedLikeRunningProgram(folder + L"a1.exe", folder + L"b.exe"));
    EXPECT_FALSE(SignedLikeRunningProgram(folder + L"a1.exe", folder + L"tampered.exe"));
    // The studio's name on a certificate from another trusted CA is not the
    // studio; its renewed certificate from its own CA is.
    EXPECT_FALSE(SignedLikeRunningProgram(folder + L"a1.exe", folder + L"a_otherca.exe"));
    EXPECT_TRUE(SignedLikeRunningProgram(folder + L"a1.exe", folder + L"a_renewed.exe"));
}
