// Whole runs against Debian's nginx, configured as a studio would host the
// builds: static files, a redirect of the archives to a second host name, a
// chunked reply, a maintenance page and gzip forced by the server.

#include "tests/pipeline/PipelineTest.h"

#include "platform/Errors.h"
#include "platform/FileOps.h"

namespace {

std::wstring NginxFile(const std::wstring& name) {
    return TestEnvDir() + L"\\nginx\\" + name;
}

// "https://localhost:PORT", as the test environment wrote it.
std::wstring Origin(const wchar_t* which) {
    std::string text = ReadBytes(NginxFile(which));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return FromUtf8(text);
}

class RealServer : public PipelineTest {
protected:
    RealServer() : name_(L"t" + std::to_wstring(GetCurrentProcessId()) + L".json") {}
    ~RealServer() override { DeleteFileW(NginxFile(L"www\\Launcher\\" + name_).c_str()); }

    // Publishes a manifest on nginx; returns its URL through the location.
    std::wstring Publish(const std::wstring& build, const std::wstring& archiveLocation,
                         const std::wstring& manifestLocation = L"") {
        const std::string json = "{\"version\": \"" + version_ + "\", \"download_url\": \"" +
                                 ToUtf8(Origin(L"origin") + archiveLocation + build) +
                                 "\", \"sha256\": \"" + BuildSha256(build) + "\"}";
        WriteBytes(NginxFile(L"www\\Launcher\\" + name_), json);
        return Origin(L"origin") + manifestLocation + L"/Launcher/" + name_;
    }

    std::string version_ = "1.0";

private:
    std::wstring name_;
};

} // namespace

TEST_F(RealServer, InstallThenUpdateKeepsThePlayersSaves) {
    if (!Exists(NginxFile(L"origin")))
        GTEST_SKIP() << "nginx is not running";
    auto messages = RunOnline(Publish(L"v1_top.zip", L"/builds/"));
    ExpectUpdateRun(messages, L"онлайн-версии", L"1.0", true);
    WriteBytes(online + L"\\Save\\slot1.sav", "mine");
    version_ = "2.0";
    messages = RunOnline(Publish(L"v2_nested.zip", L"/builds/"));
    ExpectUpdateRun(messages, L"онлайн-версии", L"2.0", true);
    EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v2");
    EXPECT_EQ(ReadBytes(online + L"\\Save\\slot1.sav"), "mine");
}

TEST_F(RealServer, RedirectedChunkedOrGzippedArchivesInstall) {
    if (!Exists(NginxFile(L"origin")))
        GTEST_SKIP() << "nginx is not running";
    // A 302 to the second host name; a reply without a length; gzip forced
    // on the manifest and the archive.
    const std::pair<const wchar_t*, const wchar_t*> routes[] = {
        {L"/redirect/", L""}, {L"/chunked/builds/", L""}, {L"/gzip/builds/", L"/gzip"}};
    int version = 1;
    for (const auto& [archive, manifest] : routes) {
        SCOPED_TRACE(ToUtf8(archive));
        version_ = std::to_string(version++) + ".0";
        const auto messages = RunOnline(Publish(L"v1_top.zip", archive, manifest));
        EXPECT_EQ(messages[messages.size() - 2], Progress(100, L"онлайн-версии запущена."))
            << ToUtf8(Describe(messages));
        EXPECT_EQ(ReadBytes(online + L"\\version.txt"), version_);
        EXPECT_EQ(ReadBytes(online + L"\\data.txt"), "v1");
    }
}

TEST_F(RealServer, MaintenancePagesFailBeforeAnythingIsTouched) {
    if (!Exists(NginxFile(L"origin")))
        GTEST_SKIP() << "nginx is not running";
    InstallBuild(online, "0.9", {{L"Save/slot1.sav", "mine"}});
    const auto before = TreeOf(online);
    // The manifest behind a maintenance page.
    auto messages = RunOnline(Publish(L"v1_top.zip", L"/builds/", L"/maintenance"));
    ExpectFailedRunEnd(messages, L"Не удалось скачать файл через PowerShell.\nОшибка скачивания: "
                                 L"сервер ответил HTTP 503");
    // The archive behind one.
    messages = RunOnline(Publish(L"v1_top.zip", L"/maintenance/"));
    ExpectFailedRunEnd(messages, L"Ошибка скачивания: сервер ответил HTTP 503");
    EXPECT_EQ(TreeOf(online), before);
    EXPECT_TRUE(LeftoverWorkFolders().empty());
}
