// Small updates: with a file index in the manifest, an installed build
// fetches only the changed entries by Range requests and ends exactly as a
// whole update leaves it; each reason to take the whole archive instead
// takes it. The builds are delta1/2/3.zip of the test environment, published
// by tools/publish with their indexes, copied into the test's own folder on
// the server so that its requests can be told apart in the server's log.

#include "tests/pipeline/PipelineTest.h"

#include "platform/Errors.h"
#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/http/HttpDownload.h"
#include "platform/files/Paths.h"
#include "platform/trust/Sha256.h"

#include <wininet.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <thread>

using DeltaUpdate = PipelineTest;

namespace {

std::string Built(const std::wstring& name) {
    return ReadBytes(TestEnvDir() + L"\\www\\builds\\" + name);
}

// The server's log lines for one URL of the test's folder: the request's
// path, up to its closing quote.
std::vector<std::string> RequestsForUrl(const std::wstring& url) {
    return RequestsFor(url.substr(url.rfind(L'/', url.rfind(L'/') - 1)) + L"\"");
}

// The bytes the requests asked for by Range; -1 when one asked for the whole.
long long RangeBytes(const std::vector<std::string>& requests) {
    long long total = 0;
    for (const std::string& line : requests) {
        const size_t at = line.find("bytes=");
        if (at == std::string::npos)
            return -1;
        // "bytes=-n": the last n.
        if (line[at + 6] == '-')
            total += std::stoll(line.substr(at + 7));
        // "bytes=a-b,c-d": every range the request asked for.
        for (size_t part = at + 6; part != std::string::npos && isdigit(line[part]);) {
            const size_t dash = line.find('-', part);
            total += static_cast<long long>(std::stoull(line.substr(dash + 1)) -
                                            std::stoull(line.substr(part)) + 1);
            const size_t comma = line.find_first_of(", \"", dash);
            part = comma != std::string::npos && line[comma] == ',' ? comma + 1 : std::string::npos;
        }
    }
    return total;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// The index line of a path; its fields are kind, offset, length, size,
// digest, path.
std::string& LineOf(std::vector<std::string>& lines, const std::string& path) {
    for (std::string& line : lines)
        if (line.size() > path.size() && line.compare(line.size() - path.size() - 1,
                                                      std::string::npos, " " + path) == 0)
            return line;
    throw std::runtime_error("no index line for " + path);
}

std::string Field(const std::string& line, int number) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i <= number; ++i)
        fields >> field;
    return field;
}

// Where the archive's central directory starts (an archive without comment).
unsigned long DirectoryOffset(const std::string& archive) {
    const auto* end = reinterpret_cast<const unsigned char*>(archive.data()) + archive.size() - 22;
    return end[16] | (end[17] << 8) | (end[18] << 16) | (static_cast<unsigned long>(end[19]) << 24);
}

// What a test's hook does: rewrites this installed file in place when the
// update takes it into the new build, and counts the writes to the index.
std::wstring g_rewriteWhenTaken;
int g_indexWrites = 0;

DWORD RewriteOrCount(const wchar_t* operation, const std::wstring& path) {
    const std::wstring op = operation;
    const std::wstring name = FileNameOf(g_rewriteWhenTaken);
    if (op == L"copy" && !name.empty() && path.size() > name.size() &&
        path.compare(path.size() - name.size() - 1, std::wstring::npos, L"\\" + name) == 0) {
        std::string bytes = ReadBytes(g_rewriteWhenTaken);
        bytes[0] ^= 0x55;
        WriteBytes(g_rewriteWhenTaken, bytes);
    }
    if (op == L"write" && FileNameOf(path) == L"files.txt")
        ++g_indexWrites;
    return 0;
}

// Another hook: once the index comes, the archive on that server becomes
// another build.
const ServedFolder* g_replaceArchiveOn = nullptr;

DWORD ReplaceArchiveWhenIndexComes(const wchar_t* operation, const std::wstring& path) {
    if (g_replaceArchiveOn != nullptr && std::wstring(operation) == L"write" &&
        FileNameOf(path) == L"files.txt") {
        g_replaceArchiveOn->Publish(L"bound.zip", Built(L"delta3.zip"));
        g_replaceArchiveOn = nullptr;
    }
    return 0;
}

// Everything but the started game's record, which names its own folder.
std::vector<std::pair<std::wstring, std::string>> BuildTree(const std::wstring& folder) {
    std::vector<std::pair<std::wstring, std::string>> tree = TreeOf(folder);
    std::erase_if(tree, [](const auto& item) { return item.first == L"launched.txt"; });
    return tree;
}

class Delta : public DeltaUpdate {
protected:
    // The served copy of a build (and of its index), and a manifest for it
    // with the index or without.
    std::wstring Serve(const std::wstring& build, const std::wstring& as,
                       const std::wstring& behaviour = std::wstring()) {
        server.Publish(as, Built(build));
        server.Publish(as + L".files", Built(build + L".files"));
        return server.Url(as, behaviour);
    }
    std::wstring Manifest(const std::string& version, const std::wstring& build,
                          const std::wstring& archiveUrl, bool withIndex,
                          const std::string& indexDigest = std::string()) {
        std::string json = "{\"version\": \"" + version + "\", \"download_url\": \"" +
                           ToUtf8(archiveUrl) + "\", \"sha256\": \"" + Built(build + L".sha256") +
                           "\"";
        if (withIndex)
            json += ", \"delta_index\": \"" + ToUtf8(server.Url(build + L".files")) +
                    "\", \"delta_index_sha256\": \"" +
                    (indexDigest.empty() ? Built(build + L".files.sha256") : indexDigest) + "\"";
        server.Publish(L"version.json", json + "}");
        return server.Url(L"version.json");
    }
    // Installs 1 whole into the folder, then the player plays: a save of
    // their own and a game file changed by hand.
    void InstallFirstAndPlay(bool onlineFolder) {
        const std::wstring folder = onlineFolder ? online : official;
        const std::wstring url =
            Manifest("1", L"delta1.zip", Serve(L"delta1.zip", L"delta1.zip"), false);
        const auto messages = onlineFolder ? RunOnline(url) : RunOfficial(url);
        ASSERT_FALSE(WaitForLaunch(folder).empty()) << ToUtf8(Describe(messages));
        DeleteFileW((folder + L"\\launched.txt").c_str());
        WriteBytes(folder + L"\\Save\\player.sav", "the player's own");
        WriteBytes(folder + L"\\Data\\Maps\\map.bin", "changed by hand");
    }
};

} // namespace

TEST_F(Delta, FetchesOnlyTheChangedEntriesAndEndsAsAWholeUpdate) {
    // The online game on another drive than the launcher's own folders: the
    // test environment's folder, outside Wine's C:; the temporary folder on
    // the small S: drive where there is one.
    const std::wstring drive = TestEnvDir() + L"\\d" + std::to_wstring(GetCurrentProcessId());
    online = app.onlineFolder = drive + L"\\game_online";
    ForceRemoveTree(drive);
    EnsureDir(online + L"\\Save");
    const std::wstring smallTemp = L"S:\\temp" + std::to_wstring(GetCurrentProcessId());
    ScopeExit restore([&] {
        SetEnvironmentVariableW(L"TMP", nullptr);
        ForceRemoveTree(smallTemp);
        ForceRemoveTree(drive);
    });
    if (IsFolder(L"S:\\")) {
        EnsureDir(smallTemp);
        SetEnvironmentVariableW(L"TMP", smallTemp.c_str());
    }
    InstallFirstAndPlay(true);
    InstallFirstAndPlay(false);
    FileStamp blob;
    ASSERT_TRUE(ReadFileStamp(online + L"\\Data\\blob.bin", blob));

    // Online takes 2 piecemeal, its scattered changes several to a request;
    // official takes it whole.
    server.Publish(L"delta2.zip.files", Built(L"delta2.zip.files"));
    const std::wstring piecemeal = Serve(L"delta2.zip", L"delta2.zip", L"_multipart/asked/");
    const auto messages = RunOnline(Manifest("2", L"delta2.zip", piecemeal, true));
    ASSERT_FALSE(WaitForLaunch(online).empty()) << ToUtf8(Describe(messages));
    const std::wstring whole = Serve(L"delta2.zip", L"whole2.zip");
    RunOfficial(Manifest("2", L"delta2.zip", whole, false));
    ASSERT_FALSE(WaitForLaunch(official).empty());

    EXPECT_EQ(BuildTree(online), BuildTree(official));
    EXPECT_EQ(ReadBytes(online + L"\\Save\\player.sav"), "the player's own");
    // The unchanged files are the installed ones, linked, not copies.
    FileStamp after;
    ASSERT_TRUE(ReadFileStamp(online + L"\\Data\\blob.bin", after));
    EXPECT_TRUE(SameStamp(after, blob));
    // The 3 MiB blob and the game stayed where they were: a few small
    // entries came, each by Range.
    const std::vector<std::string> requests = RequestsForUrl(piecemeal);
    const long long fetched = RangeBytes(requests);
    EXPECT_GT(fetched, 0);
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(), [](const std::string& line) {
        return std::regex_search(line, std::regex("bytes=[0-9-]+,"));
    }));
    EXPECT_LT(fetched, 200 * 1024);
    EXPECT_EQ(RangeBytes(RequestsForUrl(whole)), -1);

    // What the player sees: the whole update's texts in its order, the bar
    // sweeping while the installed files are compared.
    const std::wstring downloading = L"Скачивание онлайн-версии...";
    const std::vector<RecordedMessage> head = {
        EnableButtons(false),
        Status(L"Проверка обновлений онлайн-версии..."),
        Status(L"Обновление онлайн-версии до версии 2..."),
        Status(downloading),
        Progress(-1, downloading),
        Progress(0, downloading + L" 0%"),
    };
    ASSERT_GE(messages.size(), head.size());
    EXPECT_TRUE(std::equal(head.begin(), head.end(), messages.begin()))
        << ToUtf8(Describe(messages));
    // No archive digest is checked on this path, so none is announced.
    EXPECT_EQ(std::find(messages.begin(), messages.end(), Status(L"Проверка SHA-256...")),
              messages.end());
    const auto install = std::find(messages.begin(), messages.end(),
                                   Progress(-1, L"Установка онлайн-версии..."));
    ASSERT_NE(install, messages.end());
    EXPECT_EQ(*(install - 1), Progress(100, downloading + L" 100%"));
}

TEST_F(Delta, EachReasonForTheWholeArchiveGetsIt) {
    struct Case {
        const char* reason;
        const wchar_t* build;
        const wchar_t* behaviour;
        std::string indexDigest;
        bool installed;
    };
    const Case cases[] = {
        {"index digest differs", L"delta2.zip", L"", std::string(64, '0'), true},
        {"server ignores Range", L"delta2.zip", L"_norange/", "", true},
        {"most of the archive changed", L"delta3.zip", L"", "", true},
        {"build not installed", L"delta2.zip", L"", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        RemoveTreeWithRetries(online);
        EnsureDir(online + L"\\Save");
        if (c.installed)
            InstallFirstAndPlay(true);
        const std::wstring name = std::wstring(L"c") + std::to_wstring(&c - cases) + c.build;
        server.Publish(name, Built(c.build));
        const std::wstring url = server.Url(name, c.behaviour);
        server.Publish(c.build + std::wstring(L".files"), Built(c.build + std::wstring(L".files")));
        RunOnline(Manifest("2", c.build, url, true, c.indexDigest));
        ASSERT_FALSE(WaitForLaunch(online).empty());
        EXPECT_EQ(RangeBytes(RequestsForUrl(server.Url(name))), -1);
        EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v2");
        EXPECT_FALSE(Exists(online + L"\\Data\\old.txt"));
        EXPECT_TRUE(IsFolder(online + L"\\Logs"));
    }
}

// An index whose digest the manifest pins but that is not the archive's
// (a hand edit, a tool's bug, an archive uploaded again without publishing)
// never makes the build: each ends in version 2 as the archive has it.
TEST_F(Delta, AnIndexThatIsNotTheArchivesNeverMakesTheBuild) {
    InstallFirstAndPlay(false);
    RunOfficial(Manifest("2", L"delta2.zip", Serve(L"delta2.zip", L"whole2.zip"), false));
    ASSERT_FALSE(WaitForLaunch(official).empty());

    const std::string archive = Built(L"delta2.zip");
    const std::vector<std::string> lines = Lines(Built(L"delta2.zip.files"));
    std::vector<std::string> oldLines = Lines(Built(L"delta1.zip.files"));
    const std::string oldData = LineOf(oldLines, "data.txt");
    struct Case {
        const char* tamper;
        std::function<std::string(std::vector<std::string>)> index;
    };
    const Case cases[] = {
        {"cut after the executable",
         [](std::vector<std::string> l) { return Joined({l[0], l[1], LineOf(l, "Game.exe")}); }},
        {"a new file left out",
         [](std::vector<std::string> l) {
             std::erase(l, LineOf(l, "Data/new.txt"));
             return Joined(l);
         }},
        {"the old digest for a changed file",
         [&](std::vector<std::string> l) {
             std::string& line = LineOf(l, "data.txt");
             line.replace(line.find(Field(line, 4)), 64, Field(oldData, 4));
             return Joined(l);
         }},
        {"version 1's index", [&](std::vector<std::string>) { return Joined(oldLines); }},
        {"an alias of a changed file, with its old content",
         [&](std::vector<std::string> l) {
             l.push_back("F " + std::to_string(DirectoryOffset(archive)) + " 31 2 " +
                         Field(oldData, 4) + " DATA.TXT.");
             return Joined(l);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tamper);
        RemoveTreeWithRetries(online);
        EnsureDir(online + L"\\Save");
        InstallFirstAndPlay(true);
        const std::string index = c.index(lines);
        const std::wstring url = Serve(L"delta2.zip", L"delta2.zip");
        server.Publish(L"delta2.zip.files", index);
        const auto messages = RunOnline(Manifest("2", L"delta2.zip", url, true, DigestOf(index)));
        ASSERT_FALSE(WaitForLaunch(online).empty()) << ToUtf8(Describe(messages));
        EXPECT_EQ(BuildTree(online), BuildTree(official));
        EXPECT_EQ(ReadBytes(online + L"\\Save\\player.sav"), "the player's own");
    }
}

// An installed file written in place after it was compared is not taken
// into the new build, and an index that does not end is not written out
// past what the archive's directory allows.
TEST_F(Delta, WhatChangesOrGrowsWhileItIsReadIsNotTaken) {
    InstallFirstAndPlay(false);
    RunOfficial(Manifest("2", L"delta2.zip", Serve(L"delta2.zip", L"whole2.zip"), false));
    ASSERT_FALSE(WaitForLaunch(official).empty());
    InstallFirstAndPlay(true);

    g_rewriteWhenTaken = online + L"\\Data\\blob.bin";
    SetFileOperationHook(RewriteOrCount);
    RunOnline(Manifest("2", L"delta2.zip", Serve(L"delta2.zip", L"delta2.zip"), true));
    SetFileOperationHook(nullptr);
    g_rewriteWhenTaken.clear();
    ASSERT_FALSE(WaitForLaunch(online).empty());
    EXPECT_EQ(BuildTree(online), BuildTree(official));

    // 8 MiB of index with its digest pinned, sent without a length.
    RemoveTreeWithRetries(online);
    EnsureDir(online + L"\\Save");
    InstallFirstAndPlay(true);
    const std::string endless(8 * 1024 * 1024, 'x');
    server.Publish(L"endless.files", endless);
    server.Publish(L"version.json",
                   "{\"version\": \"2\", \"download_url\": \"" +
                       ToUtf8(server.Url(L"delta2.zip")) + "\", \"sha256\": \"" +
                       Built(L"delta2.zip.sha256") + "\", \"delta_index\": \"" +
                       ToUtf8(server.Url(L"endless.files", L"_nolength/")) +
                       "\", \"delta_index_sha256\": \"" + DigestOf(endless) + "\"}");
    g_indexWrites = 0;
    SetFileOperationHook(RewriteOrCount);
    RunOnline(server.Url(L"version.json"));
    SetFileOperationHook(nullptr);
    EXPECT_LE(g_indexWrites, 1);
}

TEST_F(Delta, AnArchiveReplacedMidUpdateIsFoundAtItsFirstChangedRange) {
    InstallFirstAndPlay(true);
    const std::wstring url = Serve(L"delta2.zip", L"bound.zip");
    server.Publish(L"delta2.zip.files", Built(L"delta2.zip.files"));
    g_replaceArchiveOn = &server;
    SetFileOperationHook(ReplaceArchiveWhenIndexComes);
    RunOnline(Manifest("2", L"delta2.zip", url, true));
    SetFileOperationHook(nullptr);
    // Each range asked after the first answer is bound to it: the entries,
    // asked once the archive was replaced, are answered whole and left
    // unread (their answer has not ended yet), never with its bytes.
    std::vector<ServedRequest> ranged =
        ServedRequests(url.substr(url.rfind(L'/', url.rfind(L'/') - 1)) + L"\"");
    std::erase_if(ranged, [](const ServedRequest& request) {
        return request.line.find("\"Range\"") == std::string::npos;
    });
    ASSERT_GE(ranged.size(), 2u); // the end, the entries
    for (size_t i = 1; i < ranged.size(); ++i)
        EXPECT_NE(ranged[i].line.find("\"If-Range\""), std::string::npos) << ranged[i].line;
    EXPECT_NE(ranged.back().status, 206);
}

TEST_F(Delta, TheIndexIsAskedWhileTheArchivesEndIsOnItsWay) {
    InstallFirstAndPlay(true);
    // The archive's answers wait after their headers until the index has
    // been asked for: one round trip before the entries, not one after
    // another.
    const std::wstring hold = L"deltaindex" + std::to_wstring(GetTickCount());
    const std::wstring url = Serve(L"delta2.zip", L"held.zip", L"_hold/" + hold + L"/");
    server.Publish(L"delta2.zip.files", Built(L"delta2.zip.files"));
    std::atomic<bool> ended = false;
    std::thread releaser([&] {
        while (!ended && RequestsForUrl(server.Url(L"delta2.zip.files")).empty())
            Sleep(50);
        ServedFolder::Release(hold);
    });
    SetReceiveTimeoutForTests(2000);
    const auto messages = RunOnline(Manifest("2", L"delta2.zip", url, true));
    SetReceiveTimeoutForTests(0);
    ended = true;
    releaser.join();
    ASSERT_FALSE(WaitForLaunch(online).empty()) << ToUtf8(Describe(messages));
    // The archive's end came by a suffix range, which gave its size too.
    const std::vector<std::string> requests = RequestsForUrl(url);
    ASSERT_FALSE(requests.empty());
    EXPECT_NE(requests.front().find("bytes=-"), std::string::npos) << requests.front();
    EXPECT_NE(RangeBytes(requests), -1);
}

TEST_F(Delta, AServerThatStopsAnsweringIsNotAskedForTheWholeArchiveToo) {
    InstallFirstAndPlay(true);
    // Every answer of the archive's stops after its headers.
    const std::wstring hold = L"deltastall" + std::to_wstring(GetTickCount());
    const std::wstring url = Serve(L"delta2.zip", L"stalled.zip", L"_hold/" + hold + L"/");
    server.Publish(L"delta2.zip.files", Built(L"delta2.zip.files"));
    SetReceiveTimeoutForTests(1000);
    const auto messages = RunOnline(Manifest("2", L"delta2.zip", url, true));
    SetReceiveTimeoutForTests(0);
    ServedFolder::Release(hold);
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        Error(L"Ошибка: Ошибка скачивания: " +
                              GetWinErrorMessage(ERROR_INTERNET_TIMEOUT))),
              messages.end())
        << ToUtf8(Describe(messages));
    // Each request asked for a range: the whole archive never was.
    EXPECT_NE(RangeBytes(RequestsForUrl(url)), -1);
    EXPECT_EQ(ReadBytes(online + L"\\Data\\Maps\\map.bin"), "changed by hand");
}
