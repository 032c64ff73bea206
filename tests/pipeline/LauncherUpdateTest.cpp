// The launcher's own update, up to the verified new launcher beside the
// running one: staged only when newer and every check passes, and a file
// that fails one never left where it could be started.

#include "pipeline/LauncherUpdate.h"

#include "platform/files/FileFaults.h"
#include "platform/trust/Sha256.h"
#include "tests/support/TestServer.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::string NextLauncher() {
    return ReadBytes(TestBinDir() + L"\\..\\bin-ui\\VornLauncherTestNext.exe");
}

std::vector<std::wstring> Listing(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..")
            names.push_back(found.cFileName);
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

DWORD DenyCreatingFiles(const wchar_t* operation, const std::wstring&) {
    return std::wstring(operation) == L"create-file" ? ERROR_ACCESS_DENIED : 0;
}

DWORD DiskFull(const wchar_t* operation, const std::wstring&) {
    return std::wstring(operation) == L"write" ? ERROR_DISK_FULL : 0;
}

class LauncherUpdate : public ::testing::Test {
protected:
    LauncherUpdate() {
        CopyFileW((TestBinDir() + L"\\..\\bin-ui\\VornLauncherTest.exe").c_str(),
                  launcher().c_str(), FALSE);
        server.Publish(L"next.exe", NextLauncher());
    }

    std::wstring launcher() const { return folder / L"VornLauncher.exe"; }

    // A launcher manifest on the test's folder of the server.
    std::wstring Publish(const std::string& json) {
        server.Publish(L"launcher.json", json);
        return server.Url(L"launcher.json");
    }

    std::string ManifestOf(const std::string& version, const std::string& sha256,
                           const std::string& url = std::string()) const {
        return "{\"version\": \"" + version + "\", \"download_url\": \"" +
               (url.empty() ? ToUtf8(server.Url(L"next.exe")) : url) + "\"" +
               (sha256.empty() ? "" : ", \"sha256\": \"" + sha256 + "\"") + "}";
    }

    StagedLauncher Stage(const std::wstring& manifestUrl,
                         const std::vector<std::string>& keys = {}) {
        return StageLauncherUpdate({manifestUrl, launcher(), "0.2.0.0", keys});
    }

    TempDir folder;
    ServedFolder server;
};

} // namespace

TEST_F(LauncherUpdate, OnlyANewerVerifiedLauncherIsStaged) {
    const std::string digest = DigestOf(NextLauncher());
    StagedLauncher staged = Stage(Publish(ManifestOf("99.0.0.0", digest)));
    EXPECT_EQ(staged.version, "99.0.0.0");
    EXPECT_EQ(staged.path,
              folder / (L"VornLauncher.next-" + std::to_wstring(GetCurrentProcessId()) + L".exe"));
    EXPECT_EQ(ReadBytes(staged.path), NextLauncher());
    EXPECT_TRUE(GetFileAttributesW(staged.path.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(Listing(folder.Path()).size(), 2u);
    DeleteFileW(staged.path.c_str());

    // Signed with a built-in key, as a launcher with keys takes it.
    staged = Stage(Publish(SignedManifest(L"launcher_a")), {UpdateKeyLine(L"b"), UpdateKeyLine(L"a")});
    EXPECT_EQ(ReadBytes(staged.path), NextLauncher());
    DeleteFileW(staged.path.c_str());

    // Put in its place after the checks: never started.
    staged = Stage(Publish(ManifestOf("99.0.0.0", digest)));
    EXPECT_EQ(staged.sha256, digest);
    CopyFileW((TestEnvDir() + L"\\game.exe").c_str(), staged.path.c_str(), FALSE);
    EXPECT_EQ(RaisedText([&] { StartNewLauncher(staged, launcher()); }),
              L"Новая версия лаунчера изменилась после проверки.");
    EXPECT_FALSE(Exists(folder / L"launched.txt"));
    DeleteFileW(staged.path.c_str());

    // Not newer, or a version that ended before its window here.
    EXPECT_TRUE(Stage(Publish(ManifestOf("0.2", digest))).path.empty());
    EXPECT_TRUE(
        RecordFailedLauncherTry(launcher(), "99.0.0.0", LauncherFailure::EndedBeforeItsWindow));
    EXPECT_TRUE(Stage(Publish(ManifestOf("99.0.0.0", digest))).path.empty());
    EXPECT_EQ(Listing(folder.Path()).size(), 2u); // the launcher and the record
}

TEST_F(LauncherUpdate, ATryThatMayPassLaterIsRepeatedFromTheKeptFileThreeTimesInAll) {
    const std::string digest = DigestOf(NextLauncher());
    // Kept by an earlier try whose process has ended: taken, not fetched
    // (the address answers 404).
    WriteBytes(folder / L"VornLauncher.next-1.exe", NextLauncher());
    StagedLauncher staged =
        Stage(Publish(ManifestOf("99.0.0.0", digest, ToUtf8(server.Url(L"gone.exe")))));
    EXPECT_EQ(ReadBytes(staged.path), NextLauncher());
    EXPECT_EQ(Listing(folder.Path()).size(), 2u);
    DeleteFileW(staged.path.c_str());

    const std::wstring url = Publish(ManifestOf("99.0.0.0", digest));
    EXPECT_FALSE(RecordFailedLauncherTry(launcher(), "99.0.0.0", LauncherFailure::MayPassLater));
    EXPECT_FALSE(RecordFailedLauncherTry(launcher(), "99.0.0.0", LauncherFailure::MayPassLater));
    staged = Stage(url);
    EXPECT_EQ(staged.version, "99.0.0.0");
    DeleteFileW(staged.path.c_str());
    EXPECT_TRUE(RecordFailedLauncherTry(launcher(), "99.0.0.0", LauncherFailure::MayPassLater));
    EXPECT_TRUE(Stage(url).path.empty());

    // A file that fails its check is a failed try too: the fourth start
    // fetches nothing.
    const std::wstring wrong = Publish(ManifestOf("99.0.0.1", DigestOf("another file")));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(RaisedText([&] { Stage(wrong); }),
                  L"SHA-256 нового лаунчера не совпадает с manifest.");
    EXPECT_TRUE(Stage(wrong).path.empty());
}

TEST_F(LauncherUpdate, AFileThatFailsACheckIsNeverLeftBeside) {
    const std::string digest = DigestOf(NextLauncher());
    const std::string good = ManifestOf("99.0.0.0", digest);
    std::string changed = SignedManifest(L"launcher_a");
    changed.replace(changed.find("\"99.0.0.0\""), 10, "\"99.0.0.00\"");
    struct Case {
        std::string json;
        std::vector<std::string> keys;
        FileOperationHook hook;
        bool counted = false; // the file was fetched and failed a check
    };
    for (const Case& c : std::vector<Case>{
             {ManifestOf("99.0.0.0", DigestOf("another file")), {}, nullptr, true},
             {ManifestOf("99.0.0.0", ""), {}, nullptr},
             {ManifestOf("99.0.0.0", digest, "http://localhost:1/next.exe"), {}, nullptr},
             {ManifestOf("98.0.0.0", digest), {}, nullptr, true}, // not the file's version
             {good, {UpdateKeyLine(L"a")}, nullptr},              // unsigned
             {changed, {UpdateKeyLine(L"a")}, nullptr},
             {SignedManifest(L"installed_a"), {UpdateKeyLine(L"a")}, nullptr}, // a build's manifest
             {good, {}, DenyCreatingFiles},                     // a folder the player cannot write to
             {good, {}, DiskFull},
         }) {
        SetFileOperationHook(c.hook);
        const std::wstring raised = RaisedText([&] { Stage(Publish(c.json), c.keys); });
        SetFileOperationHook(nullptr);
        EXPECT_NE(raised, L"<no error>") << c.json;
        std::vector<std::wstring> left{L"VornLauncher.exe"};
        if (c.counted)
            left.insert(left.begin(), L"launcher_update_failed.txt");
        EXPECT_EQ(Listing(folder.Path()), left) << c.json;
        DeleteFileW((folder / L"launcher_update_failed.txt").c_str());
    }
}

TEST_F(LauncherUpdate, TheLauncherFileIsTakenOverOnlyWhenNothingHoldsIt) {
    const std::wstring staged = folder / L"VornLauncher.next-1.exe";
    WriteBytes(staged, NextLauncher());
    const std::string old = ReadBytes(launcher());
    {
        // A scanner holds the old file throughout the retries.
        HANDLE held = CreateFileW(launcher().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(TakeOverLauncherFile(0, staged, launcher()), DWORD{ERROR_ACCESS_DENIED});
        CloseHandle(held);
    }
    // Kept hidden beside the launcher for the next try.
    EXPECT_EQ(ReadBytes(launcher()), old);
    EXPECT_TRUE(GetFileAttributesW(staged.c_str()) & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(TakeOverLauncherFile(0, staged, launcher()), 0u);
    EXPECT_EQ(ReadBytes(launcher()), NextLauncher());
    EXPECT_EQ(Listing(folder.Path()), std::vector<std::wstring>{L"VornLauncher.exe"});
}
