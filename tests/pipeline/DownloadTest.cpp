// The archive download step: progress reports, the request it sends, and its
// failure texts.

#include "pipeline/Download.h"

#include "platform/Errors.h"
#include "platform/http/HttpDownload.h"
#include "platform/http/HttpMultipart.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>
#include "tests/pipeline/PipelineTest.h"

using Download = PipelineTest;

namespace {

const std::wstring kLabel = L"онлайн-версии";
const std::wstring kText = L"Скачивание онлайн-версии...";

// Runs the step on this thread and collects what it posted.
std::vector<RecordedMessage> Collect(RunRecorder& recorder, const std::wstring& url,
                                     const std::wstring& archive, std::wstring* error = nullptr,
                                     const std::wstring& kept = std::wstring()) {
    const std::wstring raised = RaisedText([&] {
        DownloadArchive(ReportsTo(recorder.Window()), ToUtf8(url), archive, kLabel, nullptr, 0,
                        kept);
    });
    if (error != nullptr)
        *error = raised;
    PostMessageW(recorder.Window(), WM_LAUNCHER_WORKER_DONE, 0, 0);
    LauncherApp idle;
    auto messages = recorder.WaitForDone(idle);
    messages.pop_back();
    return messages;
}

// Bytes that differ from offset to offset, so that a misplaced one shows.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    unsigned state = 12345;
    for (char& byte : bytes) {
        state = state * 1103515245 + 12345;
        byte = static_cast<char>(state >> 16);
    }
    return bytes;
}

// count ranges of size bytes and more, every step bytes, the later ones longer.
std::vector<ByteRange> Scattered(size_t count, unsigned long long step, unsigned long long size,
                                 unsigned long long growth = 0) {
    std::vector<ByteRange> ranges;
    for (size_t i = 0; i < count; ++i)
        ranges.push_back({i * step + 13, i * step + 13 + size + i * growth - 1});
    return ranges;
}

// A URL of its own for one case, so the server's log tells its requests apart.
std::wstring CaseUrl(const ServedFolder& server, const wchar_t* name, const wchar_t* behaviour,
                     size_t which) {
    return server.Url(name, behaviour) + L"?" + std::to_wstring(which) + L"_" +
           std::to_wstring(GetTickCount());
}

// What HttpDownloadRanges handed out, range by range; faults says what came
// on another thread, during another call, out of order or twice.
struct Fetched {
    bool served = false;
    std::wstring error;
    std::vector<std::string> bytes;
    std::string faults;
};

Fetched FetchRanges(const std::wstring& url, const std::vector<ByteRange>& ranges,
                    const HttpDownloadEvents& events = HttpDownloadEvents()) {
    Fetched fetched;
    fetched.bytes.resize(ranges.size());
    const DWORD caller = GetCurrentThreadId();
    bool inCall = false;
    fetched.error = RaisedText([&] {
        fetched.served = HttpDownloadRanges(
            url, ranges,
            [&](unsigned long long offset, const BYTE* data, DWORD size) {
                if (GetCurrentThreadId() != caller || inCall)
                    fetched.faults += "concurrent call; ";
                inCall = true;
                size_t i = 0;
                while (i < ranges.size() &&
                       !(ranges[i].first <= offset && offset <= ranges[i].last))
                    ++i;
                if (i == ranges.size() || offset != ranges[i].first + fetched.bytes[i].size() ||
                    offset + size - 1 > ranges[i].last)
                    fetched.faults += "bytes " + std::to_string(offset) + "+" +
                                      std::to_string(size) + " out of place; ";
                else
                    fetched.bytes[i].append(reinterpret_cast<const char*>(data), size);
                inCall = false;
            },
            events);
    });
    return fetched;
}

void ExpectRanges(const Fetched& fetched, const std::string& whole,
                  const std::vector<ByteRange>& ranges) {
    EXPECT_EQ(fetched.error, L"<no error>");
    EXPECT_TRUE(fetched.served);
    EXPECT_EQ(fetched.faults, "");
    for (size_t i = 0; i < ranges.size(); ++i)
        EXPECT_TRUE(fetched.bytes[i] ==
                    whole.substr(ranges[i].first, ranges[i].last - ranges[i].first + 1))
            << "range " << i << ": " << fetched.bytes[i].size() << " bytes";
}

std::set<long long> ConnectionsOf(const std::vector<ServedRequest>& requests) {
    std::set<long long> connections;
    for (const ServedRequest& request : requests)
        connections.insert(request.connection);
    return connections;
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
    // The server sends the headers, then nothing, on every try: the time
    // without a byte adds up over the tries to twice the limit, so the second
    // try is the last.
    server.Publish(L"stalled.bin", Pattern(100000));
    HttpDownloadEvents events;
    events.receiveTimeoutMs = 1000;
    for (const bool ranges : {false, true}) {
        SCOPED_TRACE(ranges ? "ranges" : "whole file");
        const std::wstring hold =
            L"stall" + std::to_wstring(ranges) + std::to_wstring(GetTickCount());
        const std::wstring url = server.Url(L"stalled.bin", L"_hold/" + hold + L"/");
        const std::wstring error =
            ranges ? FetchRanges(url, {{10, 50000}}, events).error
                   : RaisedText([&] { HttpDownloadToFile(url, base / L"game.zip", events); });
        ServedFolder::Release(hold);
        EXPECT_EQ(error, L"Ошибка скачивания: " + GetWinErrorMessage(ERROR_INTERNET_TIMEOUT));
        EXPECT_EQ(ServedRequests(L"_hold/" + hold).size(), 2u);
    }
    // Bytes sent again from zero are no progress: a server that ignores the
    // range and stalls at the same byte every time gets no time back.
    const std::wstring query = L"?again" + std::to_wstring(GetTickCount());
    const std::wstring again = server.Url(L"stalled.bin", L"_norange/_pauseat/50000/20000/");
    EXPECT_EQ(RaisedText([&] { HttpDownloadToFile(again + query, base / L"game.zip", events); }),
              L"Ошибка скачивания: " + GetWinErrorMessage(ERROR_INTERNET_TIMEOUT));
    EXPECT_EQ(ServedRequests(query + L"\"").size(), 2u);
}

TEST_F(Download, WhatArrivedBeforeAStallIsWrittenAndShownAtOnce) {
    // 100 KB of 1 MB, then nothing for 8 s: the bar shows 10 % while the
    // server is silent, not once it goes on.
    server.Publish(L"pause.bin", Pattern(1000000));
    const std::wstring url =
        server.Url(L"pause.bin", L"_pauseat/100000/8000/") + L"?" + std::to_wstring(GetTickCount());
    HttpDownloadEvents events;
    events.receiveTimeoutMs = 30000;
    std::atomic<int> shown{-1};
    events.onPercent = [&](int percent) { shown = percent; };
    std::thread download([&] {
        RaisedText([&] { HttpDownloadToFile(url, base / L"pause.bin", events); });
    });
    const ULONGLONG deadline = GetTickCount64() + 6000;
    while (shown < 10 && GetTickCount64() < deadline)
        Sleep(20);
    EXPECT_EQ(shown.load(), 10);
    download.join();
    EXPECT_EQ(shown.load(), 100);
}

TEST_F(Download, AnInterruptedDownloadGoesOnAtTheNextRunFromWhereItStopped) {
    const std::string whole = Pattern(1000000);
    server.Publish(L"kept.bin", whole);
    const std::wstring name = L"kept" + std::to_wstring(GetTickCount());
    const std::wstring url = server.Url(L"kept.bin", L"_capat/300000/" + name + L"/");
    const std::wstring kept = base / L"vorn_partial_game.zip";
    // Every answer stops at byte 300,000: the run ends, its bytes are kept.
    std::wstring error;
    Collect(recorder, url, base / L"one\\game.zip", &error, kept);
    EXPECT_EQ(error, L"Ошибка скачивания: получено 300000 из 1000000 байт.");
    EXPECT_TRUE(ReadBytes(kept) == whole.substr(0, 300000));
    // The next run asks from there, bound to the first answer's validator.
    ServedFolder::Release(name);
    Collect(recorder, url, base / L"two\\game.zip", &error, kept);
    EXPECT_EQ(error, L"<no error>");
    EXPECT_TRUE(ReadBytes(base / L"two\\game.zip") == whole);
    EXPECT_FALSE(Exists(kept));
    const std::vector<std::string> requests = RequestsFor(url.substr(url.find(L"/_capat")));
    ASSERT_FALSE(requests.empty());
    EXPECT_NE(requests.back().find("\"Range\": \"bytes=300000-\""), std::string::npos)
        << requests.back();
    EXPECT_NE(requests.back().find("\"If-Range\""), std::string::npos) << requests.back();
    // A kept beginning of another address is not taken, and goes.
    WriteBytes(kept, "another");
    WriteBytes(kept + L".txt", "https://elsewhere/game.zip\n\"v\"\n");
    Collect(recorder, server.Url(L"kept.bin"), base / L"three\\game.zip", &error, kept);
    EXPECT_EQ(error, L"<no error>");
    EXPECT_TRUE(ReadBytes(base / L"three\\game.zip") == whole);
    EXPECT_FALSE(Exists(kept));
}

TEST_F(Download, ATransferThatKeepsMovingIsNeverGivenUpForItsCuts) {
    // Cut before the headers once, or after 150 KB of every answer: a try
    // that brought new bytes is followed at once, however many it takes.
    const std::string whole = Pattern(1000000);
    server.Publish(L"cut.bin", whole);
    const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + std::to_wstring(GetTickCount());
    for (const auto& [behaviour, tries] :
         {std::pair<std::wstring, size_t>{L"_resetfirst/" + tag + L"/", 2}, {L"_cap/150000/", 7}}) {
        SCOPED_TRACE(ToUtf8(behaviour));
        const std::wstring query = L"?" + tag + std::to_wstring(tries);
        std::string digest;
        EXPECT_EQ(RaisedText([&] {
                      digest = HttpDownloadToFile(server.Url(L"cut.bin", behaviour) + query,
                                                  base / L"cut.bin", HttpDownloadEvents{});
                  }),
                  L"<no error>");
        EXPECT_TRUE(ReadBytes(base / L"cut.bin") == whole);
        EXPECT_EQ(digest, DigestOf(whole));
        EXPECT_EQ(ServedRequests(query + L"\"").size(), tries);
    }
}

TEST_F(Download, SlowButMovingTransferIsNeverCut) {
    // 150 KB at 50 KB/s: more than twice the limit in all, never a second
    // without bytes, in one try. Or 50 KB, then nothing, on every try (0: as
    // many as it takes): each stall takes a limit's worth, and the bytes
    // between them give it back.
    const std::string whole = Pattern(150000);
    server.Publish(L"slow.bin", whole);
    HttpDownloadEvents events;
    events.receiveTimeoutMs = 1000;
    for (const auto& [behaviour, tries] :
         {std::pair<std::wstring, size_t>{L"_slow/50000/", 1}, {L"_pauseat/50000/20000/", 0}}) {
        SCOPED_TRACE(ToUtf8(behaviour));
        const std::wstring tag = L"?" + std::to_wstring(GetTickCount());
        const std::wstring url = server.Url(L"slow.bin", behaviour) + tag;
        EXPECT_EQ(RaisedText([&] { HttpDownloadToFile(url, base / L"slow.bin", events); }),
                  L"<no error>");
        EXPECT_TRUE(ReadBytes(base / L"slow.bin") == whole);
        ExpectRanges(FetchRanges(url, {{0, 149999}}, events), whole, {{0, 149999}});
        if (tries != 0) {
            EXPECT_EQ(ServedRequests(tag + L"\"").size(), 2 * tries);
        }
    }
}

TEST_F(Download, RangesComeWholeFromEveryKindOfAnswer) {
    const std::string whole = Pattern(1000000);
    server.Publish(L"ranges.bin", whole);
    // 20 ranges: 5 requests of 4 where several ranges are served, else one
    // that gets the whole file and one a range.
    const std::vector<ByteRange> ranges = Scattered(20, 50000, 100, 1500);
    const struct {
        const wchar_t* behaviour;
        size_t requests; // 0: as many as it takes
    } cases[] = {
        {L"", 21},
        {L"_multipart/asked/", 5},
        {L"_multipart/reversed/", 5},
        {L"_multipart/merged/", 5},
        {L"_multipart/single/", 5},
        // The first answer cut before its status line: asked again.
        {L"_resetfirst/ranges/_multipart/asked/", 6},
        // 4 KiB an answer: a range of 29 KB takes 8 tries, each bringing bytes.
        {L"_cap/4096/", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.behaviour));
        const std::wstring url = CaseUrl(server, L"ranges.bin", c.behaviour, &c - cases);
        ExpectRanges(FetchRanges(url, ranges), whole, ranges);
        if (c.requests != 0) {
            EXPECT_EQ(ServedRequests(url.substr(url.find(L'?')) + L"\"").size(), c.requests);
        }
    }
}

TEST_F(Download, ScatteredRangesTakeAHandfulOfConnections) {
    const std::string whole = Pattern(2100000);
    server.Publish(L"scattered.bin", whole);
    const std::vector<ByteRange> ranges = Scattered(75, 27000, 1000);
    // One by one over kept connections (the one answered with the whole file
    // stays aside), or 6 requests of several ranges, even where every
    // connection closes after its answer.
    const struct {
        const wchar_t* behaviour;
        size_t requests;
        size_t connections;
    } cases[] = {{L"", 76, 7}, {L"_multipart/asked/", 6, 6}, {L"_close/_multipart/asked/", 6, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.behaviour));
        const std::wstring url = CaseUrl(server, L"scattered.bin", c.behaviour, &c - cases);
        ExpectRanges(FetchRanges(url, ranges), whole, ranges);
        const std::vector<ServedRequest> requests =
            ServedRequests(url.substr(url.find(L'?')) + L"\"");
        EXPECT_EQ(requests.size(), c.requests);
        EXPECT_LE(ConnectionsOf(requests).size(), c.connections);
    }
}

TEST_F(Download, WholeFileForARangeRequestIsNeverRead) {
    // 64 MB; the server drops a client that takes nothing for 2 s. Several
    // ranges answered with the whole file go on one by one; one range
    // answered so ends the fetch at once.
    const std::string whole(64 * 1024 * 1024, 'z');
    server.Publish(L"big.bin", whole);
    for (const std::wstring behaviour : {L"_giveup/2000/", L"_giveup/2000/_norange/"}) {
        SCOPED_TRACE(ToUtf8(behaviour));
        const bool several = behaviour == L"_giveup/2000/";
        // 7 ranges go 2 a request.
        const std::vector<ByteRange> ranges = Scattered(several ? 7 : 1, 9000000, 100);
        const std::wstring tag =
            L"?" + std::to_wstring(several) + L"_" + std::to_wstring(GetTickCount());
        const Fetched fetched = FetchRanges(server.Url(L"big.bin", behaviour) + tag, ranges);
        EXPECT_EQ(fetched.error, L"<no error>");
        EXPECT_EQ(fetched.served, several);
        // Until the server gave up on that answer: it sent what the
        // connection's buffers took, not the file.
        std::vector<ServedRequest> requests;
        for (int i = 0; i < 600; ++i) {
            requests = ServedRequests(tag + L"\"");
            if (!requests.empty() && requests[0].sent >= 0)
                break;
            Sleep(100);
        }
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests[0].status, 200) << requests[0].line;
        EXPECT_GE(requests[0].sent, 0);
        EXPECT_LT(requests[0].sent, static_cast<long long>(whole.size() / 4));
    }
}

TEST_F(Download, ErrorStatusFailsAtOnceWithoutAnArchive) {
    const std::wstring answered = L"Ошибка скачивания: сервер ответил HTTP ";
    for (const auto& [behaviour, expected] :
         {std::pair<std::wstring, std::wstring>{L"", answered + L"404"},
          {L"_status/503/", answered + L"503"},
          {L"_status/403/", answered + L"403"},
          // Only a proxy asks for a login: the player's network, not the server.
          {L"_status/407/", L"Ошибка скачивания: прокси-сервер этой сети требует входа (HTTP "
                            L"407). Попросите администратора сети открыть лаунчеру доступ к "
                            L"серверу игры."}}) {
        server.Publish(L"game.zip", "PK");
        std::wstring error;
        const std::wstring url =
            behaviour.empty() ? server.Url(L"missing.zip") : server.Url(L"game.zip", behaviour);
        const auto messages = Collect(recorder, url, base / L"work\\game.zip", &error);
        EXPECT_EQ(error, expected);
        EXPECT_EQ(messages, std::vector<RecordedMessage>{Status(kText)});
        EXPECT_FALSE(Exists(base / L"work\\game.zip"));
    }
}

TEST_F(Download, AProxyThatRefusesTheTunnelIsBlamedNotTheServer) {
    // Every request of this process goes through the network's proxy: Wine's
    // WinINet takes the system's proxy from http_proxy, read when the
    // process's first session opens.
    ASSERT_EQ(_wputenv_s(L"http_proxy", (L"http://" + RefusingProxy()).c_str()), 0);
    server.Publish(L"game.zip", "PK");
    std::wstring error;
    Collect(recorder, server.Url(L"game.zip"), base / L"work\\game.zip", &error);
    EXPECT_EQ(error, L"Ошибка скачивания: прокси-сервер этой сети не пропустил соединение с "
                     L"сервером игры (HTTP 403). Попросите администратора сети открыть "
                     L"лаунчеру доступ к серверу игры.");
    EXPECT_FALSE(Exists(base / L"work\\game.zip"));
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

TEST(MultipartBoundary, ReadsPlainAndQuotedBoundaries) {
    EXPECT_EQ(MultipartBoundary(L"multipart/byteranges; boundary=00000000001"), "00000000001");
    EXPECT_EQ(MultipartBoundary(L"Multipart/ByteRanges; boundary=\"a b;c\"; x=y"), "a b;c");
    EXPECT_EQ(MultipartBoundary(L"multipart/byteranges; boundary=ab ; x=y"), "ab");
    EXPECT_EQ(MultipartBoundary(L"application/octet-stream"), "");
}
