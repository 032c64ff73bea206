#include "tests/pipeline/PipelineTest.h"

#include "platform/files/FileOps.h"
#include "platform/files/SystemFolders.h"

#include <algorithm>

PipelineTest::PipelineTest() {
    app.baseFolder = base.Path();
    online = base / L"game_online";
    official = base / L"game_offline";
    app.onlineFolder = online;
    app.officialFolder = official;
    EnsureDir(online + L"\\Save");
    EnsureDir(official + L"\\Save");
}

PipelineTest::~PipelineTest() {
    // The test game may still be writing its record; give it a moment to exit.
    Sleep(50);
}

std::vector<RecordedMessage> PipelineTest::RunOnline(const std::wstring& manifestUrl) {
    return recorder.Run(app, L"онлайн-версии", manifestUrl, online);
}

std::vector<RecordedMessage> PipelineTest::RunOfficial(const std::wstring& manifestUrl) {
    return recorder.Run(app, L"официальной версии", manifestUrl, official);
}

std::vector<std::wstring> PipelineTest::WaitForLaunch(const std::wstring& folder) {
    const std::wstring record = folder + L"\\launched.txt";
    // A started process can take many seconds to appear on a loaded machine.
    for (int i = 0; i < 400 && !Exists(record); ++i)
        Sleep(100);
    std::vector<std::wstring> lines;
    if (!Exists(record))
        return lines;
    Sleep(100); // let the game finish writing
    const std::wstring text = FromUtf8(ReadBytes(record));
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(L'\n', start);
        lines.push_back(text.substr(start, end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::vector<std::wstring> PipelineTest::LeftoverWorkFolders() {
    const std::wstring process = std::to_wstring(GetCurrentProcessId()) + L"_";
    std::vector<std::wstring> found;
    for (const auto& [folder, prefix] :
         {std::make_pair(TempFolder(), L"vorn_launcher_" + process),
          std::make_pair(base.Path(), L"vorn_update_" + process)})
        for (const DirEntry& entry : ListDirectory(folder))
            if (entry.name.compare(0, prefix.size(), prefix) == 0)
                found.push_back(entry.fullPath);
    return found;
}

void PipelineTest::InstallBuild(const std::wstring& folder, const std::string& version,
                                const std::vector<std::pair<std::wstring, std::string>>& files) {
    EnsureDir(folder);
    CopyFileW((TestEnvDir() + L"\\game.exe").c_str(), (folder + L"\\Game.exe").c_str(), FALSE);
    WriteBytes(folder + L"\\version.txt", version);
    for (const auto& [name, bytes] : files) {
        std::wstring path = folder + L"\\" + name;
        std::replace(path.begin(), path.end(), L'/', L'\\');
        EnsureDir(path.substr(0, path.find_last_of(L'\\')));
        WriteBytes(path, bytes);
    }
}

void ExpectUpdateRun(const std::vector<RecordedMessage>& messages, const std::wstring& label,
                     const std::wstring& version, bool withDigest) {
    const std::wstring downloading = L"Скачивание " + label + L"...";
    std::vector<RecordedMessage> expected = {
        EnableButtons(false),
        Status(L"Проверка обновлений " + label + L"..."),
        Status(L"Обновление " + label + L" до версии " + version + L"..."),
        Status(downloading),
        Progress(0, downloading + L" 0%"),
    };
    ASSERT_GE(messages.size(), expected.size()) << ToUtf8(Describe(messages));
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(messages[i], expected[i]) << "message " << i << "\n"
                                            << ToUtf8(Describe(messages));

    // Whole percentages, each posted once, rising to 100, then the closing 100.
    size_t i = expected.size();
    int last = -1;
    while (i < messages.size() && messages[i].message == WM_LAUNCHER_PROGRESS &&
           messages[i].text != downloading + L" 100%") {
        EXPECT_GT(messages[i].value, last) << ToUtf8(Describe(messages));
        EXPECT_EQ(messages[i].text, downloading + L" " + std::to_wstring(messages[i].value) + L"%");
        last = messages[i].value;
        ++i;
    }
    std::vector<RecordedMessage> tail = {Progress(100, downloading + L" 100%"),
                                         Progress(100, downloading + L" 100%")};
    if (withDigest)
        tail.push_back(Status(L"Проверка SHA-256..."));
    tail.push_back(Progress(-1, L"Установка " + label + L"..."));
    tail.push_back(Status(L"Создание резервной копии " + label + L"..."));
    tail.push_back(Progress(100, label + L" обновлена. Запуск..."));
    tail.push_back(Progress(100, label + L" запущена."));
    tail.push_back(WorkerDone());
    const std::vector<RecordedMessage> rest(messages.begin() + i, messages.end());
    EXPECT_EQ(rest, tail) << ToUtf8(Describe(messages));
}

void ExpectFailedRunEnd(const std::vector<RecordedMessage>& messages, const std::wstring& error) {
    ASSERT_GE(messages.size(), 4u) << ToUtf8(Describe(messages));
    const std::vector<RecordedMessage> end(messages.end() - 3, messages.end());
    const std::vector<RecordedMessage> expected = {Progress(0, L""), Error(L"Ошибка: " + error),
                                                   WorkerDone()};
    EXPECT_EQ(end, expected) << ToUtf8(Describe(messages));
}

std::vector<std::pair<std::wstring, std::string>> TreeOf(const std::wstring& folder) {
    std::vector<std::pair<std::wstring, std::string>> tree;
    std::vector<std::pair<std::wstring, std::wstring>> pending = {{folder, L""}};
    while (!pending.empty()) {
        const auto [path, relative] = pending.back();
        pending.pop_back();
        for (const DirEntry& entry : ListDirectory(path)) {
            const std::wstring name = relative.empty() ? entry.name : relative + L"/" + entry.name;
            if (entry.isDirectory) {
                tree.emplace_back(name + L"/", "");
                pending.emplace_back(entry.fullPath, name);
            } else {
                tree.emplace_back(name, ReadBytes(entry.fullPath));
            }
        }
    }
    std::sort(tree.begin(), tree.end());
    return tree;
}

// The request log's lines that name the path, in order.
std::vector<std::string> RequestsFor(const std::wstring& path) {
    const std::string log = ReadBytes(TestEnvDir() + L"\\requests.log");
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        const size_t end = log.find('\n', start);
        const std::string line = log.substr(start, end - start);
        if (line.find(ToUtf8(path)) != std::string::npos)
            lines.push_back(line);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}
