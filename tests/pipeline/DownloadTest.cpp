// The archive download step: progress reports, the request it sends, and its
// failure texts.

#include "pipeline/Download.h"

#include "platform/Errors.h"
#include "platform/HttpDownload.h"

#include <wininet.h>

#include <algorithm>
#include <cstdlib>
#include "tests/pipeline/PipelineTest.h"

using Download = PipelineTest;

namespace {

const std::wstring kLabel = L"онлайн-версии";
const std::wstring kText = L"Скачивание онлайн-версии...";

// Runs the step on this thread and collects what it posted.
std::vector<RecordedMessage> Collect(RunRecorder& recorder, const std::wstring& url,
                                     const std::wstring& archive, std::wstring* error = nullptr) {
    const std::wstring raised = RaisedText([&] {
        DownloadArchive(ReportsTo(recorder.Window()), ToUtf8(url), archive, kLabel, nullptr);
    });
    if (error != nullptr)
        *error = raised;
    PostMessageW(recorder.Window(), WM_LAUNCHER_WORKER_DONE, 0, 0);
    LauncherApp idle;
    auto messages = recorder.WaitForDone(idle);
    messages.pop_back();
    return messages;
}

} // namespace

TEST_F(Download, KnownLengthReportsEachWholePercentOnce) {
    const std::wstring archive = base / L"work\\game.zip";
    const auto messages = Collect(recorder, ServerUrl(L"builds/v1_top.zip"), archive);
    ASSERT_GE(messages.size(), 4u);
    EXPECT_EQ(messages[0], Status(kText));
    EXPECT_EQ(messages[1], Progress(0, kText + L" 0%"));
    EXPECT_EQ(messages.back(), Progress(100, kText + L" 100%"));
    int last = -1;
    for (size_t i = 2; i + 1 < messages.size(); ++i) {
        EXPECT_GT(messages[i].value, last);
        last = messages[i].value;
    }
    EXPECT_EQ(last, 100);
    // 3 MiB in 256 KiB chunks: a dozen chunks, a dozen reports.
    EXPECT_GE(messages.size(), 12u);
    EXPECT_EQ(ReadBytes(archive), ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip"));
}

TEST_F(Download, UnannouncedLengthIsIndeterminateUntilTheEnd) {
    const std::string whole = ReadBytes(TestEnvDir() + L"\\www\\builds\\caps.zip");
    for (const std::wstring behaviour : {L"_nolength/", L"_length/abc/"}) {
        const std::wstring archive = base / L"game.zip";
        const auto messages = Collect(recorder, ServerUrl(behaviour + L"builds/caps.zip"), archive);
        const std::vector<RecordedMessage> expected = {Status(kText), Progress(-1, kText),
                                                       Progress(100, kText + L" 100%")};
        EXPECT_EQ(messages, expected) << ToUtf8(behaviour) << "\n" << ToUtf8(Describe(messages));
        const std::string saved = ReadBytes(archive);
        EXPECT_TRUE(saved == whole)
            << ToUtf8(behaviour) << ": " << saved.size() << " of " << whole.size() << " bytes";
    }
}

TEST_F(Download, EmptyBodyGivesAnEmptyArchive) {
    server.Publish(L"empty.bin", "");
    const auto messages = Collect(recorder, server.Url(L"empty.bin"), base / L"game.zip");
    // A length of 0 is no announced length.
    const std::vector<RecordedMessage> expected = {Status(kText), Progress(-1, kText),
                                                   Progress(100, kText + L" 100%")};
    EXPECT_EQ(messages, expected) << ToUtf8(Describe(messages));
    EXPECT_TRUE(Exists(base / L"game.zip"));
    EXPECT_EQ(ReadBytes(base / L"game.zip"), "");
}

TEST_F(Download, BodyShorterThanAnnouncedIsADownloadError) {
    // The server cuts every answer at half: resumed 3 times, then reported
    // with what arrived.
    const size_t size = ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip").size();
    std::wstring error;
    auto messages =
        Collect(recorder, ServerUrl(L"_short/builds/v1_top.zip"), base / L"game.zip", &error);
    // The server cuts every range at half of it too, so each try adds less.
    const std::wstring prefix = L"Ошибка скачивания: получено ";
    const std::wstring suffix = L" из " + std::to_wstring(size) + L" байт.";
    ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << ToUtf8(error);
    ASSERT_GT(error.size(), prefix.size() + suffix.size());
    EXPECT_EQ(error.substr(error.size() - suffix.size()), suffix);
    const size_t got = std::stoull(error.substr(prefix.size()));
    EXPECT_GT(got, size / 2);
    EXPECT_LT(got, size);
    EXPECT_NE(messages.back(), Progress(100, kText + L" 100%"));
}

TEST_F(Download, CutOrStalledTransferResumesFromTheLastByteOnDisk) {
    const std::string whole = ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip");
    const std::wstring tag =
        std::to_wstring(GetCurrentProcessId()) + std::to_wstring(GetTickCount());
    HttpDownloadEvents events;
    events.receiveTimeoutMs = 1500;
    for (const std::wstring& fault :
         {L"_cut/1000000/c" + tag + L"/", L"_cutreset/1000000/r" + tag + L"/",
          L"_stallat/1000000/20000/s" + tag + L"/"}) {
        SCOPED_TRACE(ToUtf8(fault));
        std::vector<int> percents;
        events.onPercent = [&](int percent) { percents.push_back(percent); };
        const std::wstring path = fault + L"builds/v1_top.zip";
        std::string digest;
        EXPECT_EQ(RaisedText([&] {
                      digest = HttpDownloadToFile(ServerUrl(path), base / L"game.zip", events);
                  }),
                  L"<no error>");
        EXPECT_TRUE(ReadBytes(base / L"game.zip") == whole);
        // The digest went on over the appended bytes.
        EXPECT_EQ(digest, BuildSha256(L"v1_top.zip"));
        // The second request asks for the rest, on the first one's validator;
        // the bar never went back.
        const std::vector<std::string> requests = RequestsFor(path);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].find("\"Range\""), std::string::npos) << requests[0];
        // From the last byte on disk: at most where the server cut.
        const std::string rangeHeader = "\"Range\": \"bytes=";
        const size_t range = requests[1].find(rangeHeader);
        ASSERT_NE(range, std::string::npos) << requests[1];
        const long from = std::atol(requests[1].c_str() + range + rangeHeader.size());
        EXPECT_GT(from, 0);
        EXPECT_LE(from, 1000000);
        EXPECT_NE(requests[1].find("\"If-Range\": \"\\\""), std::string::npos) << requests[1];
        EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        EXPECT_EQ(percents.back(), 100);
    }
}

TEST_F(Download, ServerThatIgnoresTheRangeStartsTheFileAgain) {
    const std::string whole = ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip");
    const std::wstring path =
        L"_norange/_cut/1000000/n" + std::to_wstring(GetTickCount()) + L"/builds/v1_top.zip";
    std::string digest;
    EXPECT_EQ(RaisedText([&] {
                  digest =
                      HttpDownloadToFile(ServerUrl(path), base / L"game.zip", HttpDownloadEvents{});
              }),
              L"<no error>");
    EXPECT_TRUE(ReadBytes(base / L"game.zip") == whole);
    EXPECT_EQ(RequestsFor(path).size(), 2u);
    // The digest started again with the file, not over the cut first try.
    EXPECT_EQ(digest, BuildSha256(L"v1_top.zip"));
}

TEST_F(Download, CompressedBodiesAreDecodedAndCountedOnTheWire) {
    const std::string whole = ReadBytes(TestEnvDir() + L"\\www\\builds\\v1_top.zip");
    for (const std::wstring encoding : {L"_gzip/", L"_deflate/"}) {
        SCOPED_TRACE(ToUtf8(encoding));
        std::vector<int> percents;
        HttpDownloadEvents events;
        events.onPercent = [&](int percent) { percents.push_back(percent); };
        std::string digest;
        EXPECT_EQ(RaisedText([&] {
                      digest = HttpDownloadToFile(ServerUrl(encoding + L"builds/v1_top.zip"),
                                                  base / L"game.zip", events);
                  }),
                  L"<no error>");
        EXPECT_TRUE(ReadBytes(base / L"game.zip") == whole);
        // Of the decoded bytes on disk, not of those on the wire.
        EXPECT_EQ(digest, BuildSha256(L"v1_top.zip"));
        ASSERT_FALSE(percents.empty());
        EXPECT_EQ(percents.back(), 100);
    }
}

TEST_F(Download, StalledBodyBecomesADownloadError) {
    // The server sends the headers, then nothing, on every try: each try is
    // given up after the time limit without a byte.
    const std::wstring hold = L"stall" + std::to_wstring(GetTickCount());
    HttpDownloadEvents events;
    events.receiveTimeoutMs = 1000;
    const std::wstring error = RaisedText([&] {
        HttpDownloadToFile(ServerUrl(L"_hold/" + hold + L"/builds/v1_top.zip"), base / L"game.zip",
                           events);
    });
    ServedFolder::Release(hold);
    EXPECT_EQ(error, L"Ошибка скачивания: " + GetWinErrorMessage(ERROR_INTERNET_TIMEOUT));
}

TEST_F(Download, ErrorStatusFailsAtOnceWithoutAnArchive) {
    for (const std::wstring& behaviour : {std::wstring(), std::wstring(L"_status/503/")}) {
        server.Publish(L"game.zip", "PK");
        std::wstring error;
        const std::wstring url =
            behaviour.empty() ? server.Url(L"missing.zip") : server.Url(L"game.zip", behaviour);
        const auto messages = Collect(recorder, url, base / L"work\\game.zip", &error);
        EXPECT_EQ(error, L"Ошибка скачивания: сервер ответил HTTP " +
                             std::wstring(behaviour.empty() ? L"404" : L"503"));
        EXPECT_EQ(messages, std::vector<RecordedMessage>{Status(kText)});
        EXPECT_FALSE(Exists(base / L"work\\game.zip"));
    }
}

TEST_F(Download, UnreachableHostFailsBeforeAnyFileIsMade) {
    std::wstring error;
    const std::wstring url = L"https://localhost:1/builds/game.zip";
    const auto messages = Collect(recorder, url, base / L"work\\game.zip", &error);
    const std::wstring prefix = L"Не удалось открыть URL: " + url + L": ";
    ASSERT_EQ(error.compare(0, prefix.size(), prefix), 0) << ToUtf8(error);
    EXPECT_EQ(error, prefix + GetWinErrorMessage(12029)); // ERROR_INTERNET_CANNOT_CONNECT
    EXPECT_EQ(messages, std::vector<RecordedMessage>{Status(kText)});
    EXPECT_FALSE(Exists(base / L"work\\game.zip"));
    EXPECT_TRUE(Exists(base / L"work"));
}

TEST_F(Download, ConnectionResetMidBodyIsADownloadError) {
    std::wstring error;
    Collect(recorder, ServerUrl(L"_drop/builds/v1_top.zip"), base / L"game.zip", &error);
    // Wine's TLS layer reports a reset either as a failed read or as the end
    // of the body; either way, after the retries, never as the whole archive.
    const std::wstring prefix = L"Ошибка скачивания";
    EXPECT_EQ(error.compare(0, prefix.size(), prefix), 0) << ToUtf8(error);
}

TEST_F(Download, RequestAsksForAnUncachedCopy) {
    const std::wstring name = L"probe" + std::to_wstring(GetTickCount()) + L".bin";
    server.Publish(name, "data");
    Collect(recorder, server.Url(name), base / L"game.zip");
    const std::string log = ReadBytes(TestEnvDir() + L"\\requests.log");
    const size_t line = log.find(ToUtf8(name));
    ASSERT_NE(line, std::string::npos);
    const std::string request =
        log.substr(log.rfind('\n', line) + 1, log.find('\n', line) - log.rfind('\n', line));
    EXPECT_NE(request.find("\"User-Agent\": \"VornRPG Launcher\""), std::string::npos) << request;
    // Caches in front of the server obey Cache-Control, not only Pragma; the
    // body is asked for uncompressed.
    EXPECT_NE(request.find("\"Pragma\": \"no-cache\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"Cache-Control\": \"no-cache\""), std::string::npos) << request;
    EXPECT_NE(request.find("\"Accept-Encoding\": \"identity\""), std::string::npos) << request;
}

TEST_F(Download, NonAsciiUrlsGoOutAsUtf8PercentEncoded) {
    server.Publish(L"сборка 1.zip", "cyrillic");
    // Raw, and already encoded as a browser would.
    for (const std::wstring name :
         {L"сборка 1.zip", L"%D1%81%D0%B1%D0%BE%D1%80%D0%BA%D0%B0%201.zip"}) {
        std::wstring error;
        Collect(recorder, server.Url(name), base / L"game.zip", &error);
        EXPECT_EQ(error, L"<no error>") << ToUtf8(name);
        EXPECT_EQ(ReadBytes(base / L"game.zip"), "cyrillic") << ToUtf8(name);
    }
    EXPECT_EQ(EncodeUrlForRequest(L"https://h/п a%20b?x=\"1\""),
              L"https://h/%D0%BF%20a%20b?x=%221%22");
}

TEST(ParseContentLength, ReadsLikeAFormattedStream) {
    EXPECT_EQ(ParseContentLength(L"465399"), 465399u);
    EXPECT_EQ(ParseContentLength(L"  42abc"), 42u);
    EXPECT_EQ(ParseContentLength(L"abc"), 0u);
    EXPECT_EQ(ParseContentLength(L""), 0u);
    EXPECT_EQ(ParseContentLength(L"5368709120"), 5368709120u);
}
