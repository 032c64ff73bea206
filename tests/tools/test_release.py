#!/usr/bin/env python3
"""Checks of the release build as a publisher runs it: changed CMake flags
always reach the build, `make release` builds with exactly the flags given and
says which addresses and update keys are built in, the same commit gives the
same bytes, and a release signed with a code-signing certificate verifies.

    VORN_RELEASE_TEST_DIR=FOLDER python3 tests/tools/test_release.py

FOLDER holds the scratch builds (the build folder's, under CTest).
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
SCRATCH = os.environ["VORN_RELEASE_TEST_DIR"]
sys.path.insert(0, os.path.join(ROOT, "tools"))
from publishing.launcher import version_resource  # noqa: E402
UPDATE_KEYS = ["ecdsa-p256:" + "1f" * 64, "ecdsa-p256:" + "2e" * 64]
STUDIO_FLAGS = ("-DVORN_SERVER_URL=https://updates.example.org "
                "-DVORN_COMMUNITY_URL=https://vk.com/example -DVORN_UPDATE_KEYS=" +
                ";".join(UPDATE_KEYS))

# Functions that Windows 7 SP1 lacks, which the exe must not import statically
# (the loader refuses such an exe before any code runs). Sources: the names
# MinGW-w64's headers declare only for _WIN32_WINNT >= 0x0602 (the difference
# of the declarations preprocessed from windows.h, wininet.h, shellapi.h,
# shlobj.h, ole2.h, olectl.h, wincrypt.h, bcrypt.h, dwmapi.h, uxtheme.h and
# shellscalingapi.h at 0x0601 and at 0x0A00); the Windows 8 and 8.1 functions
# that MinGW declares without a guard, per Microsoft's documentation of each;
# and the three of the optional loader update KB2533623, missing from a
# Windows 7 SP1 that never installed it.
WINDOWS_8_AND_LATER = set("""
    AddResourceAttributeAce AddScopedPolicyIDAce AddVirtualDiskParent 
    AdjustWindowRectExForDpi ApplySnapshotVhdSet AreDpiAwarenessContextsEqual 
    BreakMirrorVirtualDisk CertIsWeakHash CheckTokenCapability CheckTokenMembershipEx 
    CoAllowUnmarshalerCLSID CoDecodeProxy CoDecrementMTAUsage CoIncrementMTAUsage 
    CoWaitForMultipleObjects CompareObjectHandles CreateFile2 CveEventWrite 
    DeleteSnapshotVhdSet DeleteVirtualDiskMetadata DeriveCapabilitySidsFromName 
    DiscardVirtualMemory EnableMouseInPointer EnableNonClientDpiScaling 
    EnumDynamicTimeZoneInformation EnumerateVirtualDiskMetadata EvaluateProximityToPolygon 
    EvaluateProximityToRect GetAppContainerAce GetAwarenessFromDpiAwarenessContext 
    GetCachedSigningLevel GetCurrentThreadStackLimits GetDpiForSystem GetDpiForWindow 
    GetDpiFromDpiAwarenessContext GetDynamicTimeZoneInformationEffectiveYears 
    GetFirmwareEnvironmentVariableExA GetFirmwareEnvironmentVariableExW GetFirmwareType 
    GetMemoryErrorHandlingCapabilities GetPointerCursorId GetPointerDevice 
    GetPointerDeviceCursors GetPointerDeviceProperties GetPointerDeviceRects 
    GetPointerDevices GetPointerFrameInfo GetPointerFrameInfoHistory GetPointerFramePenInfo 
    GetPointerFramePenInfoHistory GetPointerFrameTouchInfo GetPointerFrameTouchInfoHistory 
    GetPointerInfo GetPointerInfoHistory GetPointerInputTransform GetPointerPenInfo 
    GetPointerPenInfoHistory GetPointerTouchInfo GetPointerTouchInfoHistory GetPointerType 
    GetProcessInformation GetProcessMitigationPolicy GetRawPointerDeviceData 
    GetSystemDpiForProcess GetSystemMetricsForDpi GetSystemWow64Directory2A 
    GetSystemWow64Directory2W GetThemeAnimationProperty GetThemeAnimationTransform 
    GetThemeTimingFunction GetThreadDpiAwarenessContext GetThreadDpiHostingBehavior 
    GetThreadInformation GetUnpredictedMessagePos GetVirtualDiskMetadata 
    GetWindowDpiAwarenessContext GetWindowDpiHostingBehavior GetWindowFeedbackSetting 
    InheritWindowMonitor InitializeTouchInjection InjectTouchInput 
    InterlockedPushListSListEx IsMouseInPointerEnabled IsMousePointerEnabled 
    IsNativeVhdBoot IsValidDpiAwarenessContext IsValidNLSVersion 
    IsWow64GuestMachineSupported IsWow64Process2 LoadPackagedLibrary 
    LogicalToPhysicalPointForPerMonitorDPI MirrorVirtualDisk ModifyVhdSet 
    OfferVirtualMemory OpenFileMappingFromApp OperationEnd OperationStart 
    PackTouchHitTestingProximityEvaluation PhysicalToLogicalPointForPerMonitorDPI 
    PrefetchVirtualMemory QueryChangesVirtualDisk ReclaimVirtualMemory 
    RegisterBadMemoryNotification RegisterPointerDeviceNotifications 
    RegisterPointerInputTarget RegisterPointerInputTargetEx RegisterTouchHitTestingWindow 
    ResizeVirtualDisk RtlAddGrowableFunctionTable RtlCrc32 RtlCrc64 
    RtlDeleteGrowableFunctionTable RtlGrowFunctionTable SetCachedSigningLevel 
    SetFirmwareEnvironmentVariableExA SetFirmwareEnvironmentVariableExW 
    SetProcessDpiAwarenessContext SetProcessInformation SetProcessMitigationPolicy 
    SetProcessValidCallTargets SetProcessValidCallTargetsForMappedView 
    SetThreadDpiAwarenessContext SetThreadDpiHostingBehavior SetThreadInformation 
    SetVirtualDiskMetadata SetWindowFeedbackSetting SkipPointerFrameMessages 
    SystemParametersInfoForDpi SystemTimeToTzSpecificLocalTimeEx TakeSnapshotVhdSet 
    TzSpecificLocalTimeToSystemTimeEx UnmapViewOfFileEx UnregisterBadMemoryNotification 
    UnregisterPointerInputTarget UnregisterPointerInputTargetEx VirtualAllocFromApp 
    VirtualProtectFromApp WTSGetServiceSessionId WTSIsServerContainer WaitForDebugEventEx 
    Wow64SetThreadDefaultGuestMachine 
    GetSystemTimePreciseAsFileTime WaitOnAddress WakeByAddressSingle WakeByAddressAll
    CopyFile2 GetOverlappedResultEx CreateFileMappingFromApp MapViewOfFileFromApp
    GetPackageFullName GetCurrentPackageId SetProcessDpiAwareness GetDpiForMonitor
    GetProcessDpiAwareness GetScaleFactorForMonitor
    SetDefaultDllDirectories AddDllDirectory RemoveDllDirectory
""".split())

# The known DLLs of every Windows from 7 SP1 to 11: the loader takes them from
# the system folder whatever lies beside the exe. A static import of any other
# DLL is loaded from the exe's folder first, before main, where a Downloads
# folder may hold one under its name.
KNOWN_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "ole32.dll", "oleaut32.dll",
    "shell32.dll", "msvcrt.dll", "shlwapi.dll"}


def static_imports(exe):
    """(DLL, function) pairs of the exe's import table, from objdump."""
    output = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                            stdout=subprocess.PIPE, text=True).stdout
    imports, dll = [], None
    for line in output.splitlines():
        named = re.match(r"\s*DLL Name: (\S+)", line)
        if named:
            dll = named.group(1).lower()
            continue
        entry = re.match(r"\t[0-9a-f]+\t +\d+  (\w+)", line)
        if dll and entry:
            imports.append((dll, entry.group(1)))
    return imports


def project_version():
    """The launcher's version as CMakeLists.txt sets it."""
    with open(os.path.join(ROOT, "CMakeLists.txt")) as f:
        return re.search(r"project\(VornLauncher VERSION (\S+)", f.read()).group(1)


def cached(build, name):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return None


def run_release(name, flags, **environment):
    """tools/release.sh into SCRATCH/name, its output and errors together."""
    env = dict(os.environ, CMAKE_FLAGS=flags, **environment,
               VORN_RELEASE_BUILD=os.path.join(SCRATCH, name, "build"),
               VORN_RELEASE_DIST=os.path.join(SCRATCH, name, "dist"))
    return subprocess.run([os.path.join(ROOT, "tools", "release.sh")], env=env, cwd=ROOT,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          timeout=1200)


def release(name, flags, **environment):
    """A release that must work; returns its output and the exe."""
    result = run_release(name, flags, **environment)
    if result.returncode != 0:
        raise AssertionError("release.sh failed:\n" + result.stdout)
    return result.stdout, os.path.join(SCRATCH, name, "dist", "VornLauncher.exe")


def studio_certificate():
    """A code-signing certificate and key the studio made itself: (cert, key)."""
    keys = os.path.join(SCRATCH, "signing")
    cert, key = os.path.join(keys, "cert.pem"), os.path.join(keys, "key.pem")
    if not os.path.exists(cert):
        os.makedirs(keys, exist_ok=True)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
                        "-subj", "/CN=Vorn Test Studio", "-keyout", key, "-out", cert,
                        "-addext", "keyUsage=critical,digitalSignature",
                        "-addext", "extendedKeyUsage=codeSigning"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


def folder_bytes(folder):
    found = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


def unsigned_digest(exe):
    """The SHA-256 of a signed exe with its signature taken off again."""
    plain = exe + ".unsigned"
    subprocess.run(["osslsigncode", "remove-signature", "-in", exe, "-out", plain], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    with open(plain, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()
    os.unlink(plain)
    return digest


class Release(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        shutil.rmtree(SCRATCH, ignore_errors=True)
        os.makedirs(SCRATCH)

    def test_changed_flags_reach_the_build_and_removed_ones_leave_it(self):
        build = os.path.join(SCRATCH, "configure")
        configure = os.path.join(ROOT, "tools", "configure.sh")
        for flags, expected in (("-DVORN_SERVER_URL=https://staging.example.org",
                                 "https://staging.example.org"),
                                ("-DVORN_SERVER_URL=https://updates.example.org",
                                 "https://updates.example.org"),
                                ("", "https://vornrpg.ru")):
            subprocess.run([configure, build, flags], check=True, cwd=ROOT,
                           stdout=subprocess.DEVNULL, timeout=300)
            self.assertEqual(cached(build, "VORN_SERVER_URL"), expected, flags)

    def test_release_builds_exactly_what_was_asked_and_the_same_bytes_twice(self):
        first, first_exe = release("a", STUDIO_FLAGS)
        second, second_exe = release("b", STUDIO_FLAGS)
        for output in (first, second):
            self.assertRegex(output, r"version: +%s\n" % re.escape(project_version()))
            self.assertRegex(output, r"server URL: +https://updates\.example\.org\n")
            self.assertRegex(output, r"community URL: +https://vk\.com/example\n")
            self.assertEqual(re.findall(r"update key: +(\S+)\n", output), UPDATE_KEYS)
            self.assertNotIn("UNSIGNED UPDATES", output)
        with open(first_exe, "rb") as f:
            first_bytes = f.read()
        with open(second_exe, "rb") as f:
            self.assertEqual(f.read(), first_bytes, "two builds of one commit differ")
        self.assertIn("SHA-256: %s\n" % hashlib.sha256(first_bytes).hexdigest(), first)
        # It starts on Windows 7 SP1, with or without its optional updates,
        # and loads nothing from its own folder at start.
        imports = static_imports(first_exe)
        self.assertGreater(len(imports), 100)
        self.assertEqual({dll for dll, _ in imports} - KNOWN_DLLS, set())
        self.assertEqual({name for _, name in imports} & WINDOWS_8_AND_LATER, set())
        # Compiler flags left in the caller's environment do not reach it.
        release("a", STUDIO_FLAGS, CXXFLAGS="-fno-inline", LDFLAGS="-Wl,--gc-sections")
        with open(first_exe, "rb") as f:
            self.assertEqual(f.read(), first_bytes, "the environment's flags were built in")
        # The same folder without the flags: nothing of them stays.
        again, _ = release("a", "")
        self.assertRegex(again, r"server URL: +https://vornrpg\.ru\n")
        self.assertRegex(again, r"community URL: +https://vk\.com/vornrpg\n")
        self.assertFalse(re.search(r"example|update key:", again))
        self.assertIn("UNSIGNED UPDATES", again)

    def test_a_new_version_is_built_in_without_a_clean_build(self):
        release("a", STUDIO_FLAGS)
        build = os.path.join(SCRATCH, "a", "build")
        # What configuring with another version in project() writes.
        with open(os.path.join(build, "version", "launcher_version.h"), "w") as f:
            f.write('#define VORN_VERSION_NUMBERS 9,8,7,6\n#define VORN_VERSION_TEXT "9.8.7.6"\n')
        subprocess.run(["cmake", "--build", build, "--target", "VornLauncher"], check=True,
                       stdout=subprocess.DEVNULL, timeout=600)
        self.assertEqual(version_resource(os.path.join(build, "VornLauncher.exe")), "9.8.7.6")

    def test_release_is_signed_and_verified_or_says_it_is_not(self):
        output, _ = release("a", STUDIO_FLAGS)
        self.assertIn("UNSIGNED:", output)
        plain = re.search(r"SHA-256: ([0-9a-f]{64})\n", output).group(1)
        cert, key = studio_certificate()
        keys = os.path.dirname(cert)
        output, exe = release("a", STUDIO_FLAGS, SIGN_CERT=cert, SIGN_KEY=key, SIGN_CA=cert)
        self.assertIn("CN = Vorn Test Studio and verified", output)
        # A certificate the studio made itself, named as such, with the
        # thumbprint Windows shows for it.
        self.assertIn("SELF-SIGNED", output)
        fingerprint = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint",
                                      "-sha1"], check=True, capture_output=True, text=True)
        self.assertIn("thumbprint (SHA-1, as Windows shows it) " +
                      fingerprint.stdout.split("=")[1].strip().replace(":", ""), output)
        self.assertNotIn("UNSIGNED:", output)
        # Each signing gives other bytes; without the signature they are the
        # unsigned build's, which the output names for a rebuild to compare.
        self.assertIn("unsigned SHA-256: %s " % plain, output)
        self.assertEqual(unsigned_digest(exe), plain)

        def verifies(path):
            return subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=60).returncode == 0
        self.assertTrue(verifies(exe))
        # One byte of the code changed: the signature no longer holds.
        with open(exe, "rb") as f:
            data = bytearray(f.read())
        data[0x400] ^= 0xFF
        tampered = os.path.join(keys, "tampered.exe")
        with open(tampered, "wb") as f:
            f.write(data)
        self.assertFalse(verifies(tampered))

    def test_a_failed_release_leaves_dist_as_it_was_and_says_what_to_do(self):
        cert, key = studio_certificate()
        release("a", STUDIO_FLAGS, SIGN_CERT=cert, SIGN_KEY=key, SIGN_CA=cert)
        dist = os.path.join(SCRATCH, "a", "dist")
        before = folder_bytes(dist)
        self.assertIn("signature.txt", before)
        for environment, words in (
                # A certificate the studio made, checked against the system's CAs.
                ({}, "SIGN_CA="),
                ({"SIGN_CA": cert, "SIGN_TIMESTAMP_URL": "http://127.0.0.1:1"},
                 "the timestamp server http://127.0.0.1:1 did not answer")):
            with self.subTest(words=words):
                result = run_release("a", STUDIO_FLAGS, SIGN_CERT=cert, SIGN_KEY=key,
                                     **environment)
                self.assertNotEqual(result.returncode, 0, result.stdout)
                last = result.stdout.strip().splitlines()[-1]
                self.assertIn(words, last)
                self.assertIn("left as it was", last)
                self.assertEqual(folder_bytes(dist), before)

    def test_release_refuses_a_server_url_ending_in_a_slash_and_warns_of_the_default_page(self):
        release("a", STUDIO_FLAGS)
        dist = os.path.join(SCRATCH, "a", "dist")
        before = folder_bytes(dist)
        result = run_release("a", "-DVORN_SERVER_URL=https://updates.example.org/")
        self.assertNotEqual(result.returncode, 0, result.stdout)
        self.assertIn("ends in a slash", result.stdout.strip().splitlines()[-1])
        self.assertEqual(folder_bytes(dist), before)
        output, _ = release("a", "-DVORN_SERVER_URL=https://updates.example.org")
        self.assertRegex(output, r"warning: the server is the studio's own \(https://updates"
                                 r"\.example\.org\) but the community page is still the "
                                 r"default \(https://vk\.com/vornrpg\)")
        self.assertNotIn("warning", release("a", STUDIO_FLAGS)[0])


if __name__ == "__main__":
    unittest.main(verbosity=2)
