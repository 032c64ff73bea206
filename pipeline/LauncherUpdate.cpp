#include "pipeline/LauncherUpdate.h"

#include "pipeline/Manifest.h"
#include "pipeline/ManifestSignature.h"
#include "platform/trust/Authenticode.h"
#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/trust/FileVersion.h"
#include "platform/Guards.h"
#include "platform/http/HttpDownload.h"
#include "platform/files/LongPath.h"
#include "platform/files/Paths.h"
#include "platform/trust/Sha256.h"
#include "platform/Text.h"
#include "platform/files/WorkFolder.h"

#include <algorithm>
#include <cwctype>

namespace {

const unsigned long long kMaxLauncherBytes = 67108864; // 64 MiB
const DWORD kOldLauncherEndMs = 60000;
const wchar_t kFailedRecord[] = L"launcher_update_failed.txt";

std::wstring StemOf(const std::wstring& launcherPath) {
    std::wstring name = FileNameOf(launcherPath);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::wstring CandidatePath(const std::wstring& launcherPath, DWORD processId) {
    return JoinPath(ParentPath(launcherPath),
                    StemOf(launcherPath) + L".next-" + std::to_wstring(processId) + L".exe");
}

// The process id in a candidate's name, or 0 when the name is not one.
DWORD CandidateProcessId(const std::wstring& launcherPath, const std::wstring& name) {
    const std::wstring prefix = ToLowerW(StemOf(launcherPath) + L".next-");
    const std::wstring lower = ToLowerW(name);
    if (lower.size() <= prefix.size() + 4 || lower.compare(0, prefix.size(), prefix) != 0 ||
        lower.compare(lower.size() - 4, 4, L".exe") != 0)
        return 0;
    const std::wstring digits = lower.substr(prefix.size(), lower.size() - prefix.size() - 4);
    if (digits.size() > 10)
        return 0;
    unsigned long long id = 0;
    for (const wchar_t c : digits) {
        if (!std::iswdigit(c))
            return 0;
        id = id * 10 + static_cast<unsigned long long>(c - L'0');
    }
    return id <= 0xFFFFFFFFull ? static_cast<DWORD>(id) : 0;
}

// A process that cannot be opened for another reason than not being there
// (another user's, for example) counts as running.
bool ProcessRunning(DWORD processId) {
    HandleGuard process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process.Valid())
        return GetLastError() != ERROR_INVALID_PARAMETER;
    return WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

// The failed tries of that version recorded beside the launcher. A record of
// another version counts nothing; one without a count (written by earlier
// launchers, for a version that never came up) counts them all.
int FailedTries(const std::wstring& launcherPath, const std::string& version) {
    const std::string record =
        ReadWholeFile(JoinPath(ParentPath(launcherPath), kFailedRecord), std::string());
    const size_t end = record.find('\n');
    if (record.substr(0, end) != version || version.empty())
        return 0;
    const std::string count = end == std::string::npos ? std::string() : record.substr(end + 1);
    if (count.empty() || count[0] < '0' || count[0] > '9')
        return kLauncherTriesPerVersion;
    int tries = 0;
    for (size_t i = 0; i < count.size() && count[i] >= '0' && count[i] <= '9'; ++i)
        tries = std::min(tries * 10 + (count[i] - '0'), kLauncherTriesPerVersion);
    return tries;
}

// Moves a launcher an earlier try left beside the launcher (one whose
// staging process has ended) to the target when its digest is the one
// wanted; the others are removed on the way. False when none is.
bool TakeKeptCandidate(const std::wstring& launcherPath, const std::string& sha256,
                       const std::wstring& target) {
    for (const DirEntry& entry : ListDirectory(ParentPath(launcherPath))) {
        const DWORD processId = CandidateProcessId(launcherPath, entry.name);
        if (entry.isDirectory || processId == 0 || processId == GetCurrentProcessId() ||
            ProcessRunning(processId))
            continue;
        SetFileAttributesW(ExtendedLengthPath(entry.fullPath).c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!MoveFileExW(ExtendedLengthPath(entry.fullPath).c_str(),
                         ExtendedLengthPath(target).c_str(), 0))
            continue;
        if (ToLowerAscii(ComputeFileSha256(target)) == sha256)
            return true;
        DeleteFileW(ExtendedLengthPath(target).c_str());
    }
    return false;
}

bool IsHttps(const std::string& url) {
    return ToLowerAscii(url.substr(0, 8)) == "https://";
}

// The launcher manifest's text, fetched into the temporary folder: the
// launcher's own folder is touched only when there is a launcher to fetch.
std::string FetchLauncherManifest(const std::wstring& manifestUrl) {
    WorkFolder work;
    const std::wstring path = JoinPath(work.Path(), L"launcher.json");
    HttpDownloadEvents events;
    events.maxBytes = kMaxManifestBytes;
    HttpDownloadToFile(manifestUrl, path, events);
    return ReadWholeFile(path, std::string());
}

} // namespace

StagedLauncher StageLauncherUpdate(const LauncherUpdateSource& source) {
    const Manifest manifest = ReadManifest(FetchLauncherManifest(source.manifestUrl));
    CheckManifestSignature(manifest, source.manifestUrl, source.updateKeys);

    if (CompareVersions(manifest.version, source.ownVersion) <= 0 ||
        FailedTries(source.launcherPath, manifest.version) >= kLauncherTriesPerVersion)
        return StagedLauncher();
    // A program that replaces the launcher comes over TLS with its digest.
    if (manifest.sha256.empty() || !IsHttps(manifest.download_url))
        throw MakeError(L"В manifest лаунчера нужны https-адрес и sha256.");
    const std::string wanted = ToLowerAscii(manifest.sha256);

    // Beside the launcher, so that the verified file is renamed into place.
    WorkFolder work(ParentPath(source.launcherPath));
    const std::wstring downloaded = JoinPath(work.Path(), L"launcher.exe");
    std::string digest;
    if (TakeKeptCandidate(source.launcherPath, wanted, downloaded)) {
        digest = wanted;
    } else {
        HttpDownloadEvents events;
        events.maxBytes = kMaxLauncherBytes;
        digest = HttpDownloadToFile(Utf8ToWide(manifest.download_url), downloaded, events);
    }
    // A file that fails a check fails it again at the next start: counted, so
    // that 64 MiB are not fetched at every start for ever.
    const wchar_t* failedCheck = nullptr;
    if (digest != wanted)
        failedCheck = L"SHA-256 нового лаунчера не совпадает с manifest.";
    // The right file under the wrong version would be fetched at every start.
    else if (CompareVersions(FileVersionOf(downloaded), manifest.version) != 0)
        failedCheck = L"Версия нового лаунчера не совпадает с manifest.";
    else if (!SignedLikeRunningProgram(source.launcherPath, downloaded))
        failedCheck = L"Новый лаунчер подписан не издателем этого лаунчера.";
    if (failedCheck != nullptr) {
        RecordFailedLauncherTry(source.launcherPath, manifest.version,
                                LauncherFailure::MayPassLater);
        throw MakeError(failedCheck);
    }
    FlushFileToDisk(downloaded);

    StagedLauncher staged;
    staged.path = CandidatePath(source.launcherPath, GetCurrentProcessId());
    staged.version = manifest.version;
    staged.sha256 = digest;
    RenameWithRetries(downloaded, staged.path);
    SetFileAttributesW(ExtendedLengthPath(staged.path).c_str(), FILE_ATTRIBUTE_HIDDEN);
    work.Remove();
    return staged;
}

void RemoveStaleLauncherCandidates(const std::wstring& launcherPath, const std::wstring& ownPath) {
    try {
        for (const DirEntry& entry : ListDirectory(ParentPath(launcherPath))) {
            const DWORD processId = CandidateProcessId(launcherPath, entry.name);
            if (entry.isDirectory || processId == 0 || ProcessRunning(processId) ||
                ToLowerW(entry.fullPath) == ToLowerW(ownPath))
                continue;
            SetFileAttributesW(ExtendedLengthPath(entry.fullPath).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(ExtendedLengthPath(entry.fullPath).c_str());
        }
    } catch (const std::exception&) {
        // A folder that cannot be listed now is swept at a later start.
    }
}

bool RecordFailedLauncherTry(const std::wstring& launcherPath, const std::string& version,
                             LauncherFailure failure) {
    const std::wstring record = JoinPath(ParentPath(launcherPath), kFailedRecord);
    const int tries =
        failure == LauncherFailure::EndedBeforeItsWindow
            ? kLauncherTriesPerVersion
            : std::min(FailedTries(launcherPath, version) + 1, kLauncherTriesPerVersion);
    try {
        SetFileAttributesW(ExtendedLengthPath(record).c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteWholeFile(record, version + "\n" + std::to_string(tries) + "\n", true);
        SetFileAttributesW(ExtendedLengthPath(record).c_str(), FILE_ATTRIBUTE_HIDDEN);
    } catch (const std::exception&) {
        // A folder the player cannot write to: the version is tried again.
    }
    return tries >= kLauncherTriesPerVersion;
}

bool IsHandOverFrom(DWORD oldProcessId, const std::wstring& ownPath,
                    const std::wstring& launcherPath) {
    const std::wstring name = ToLowerW(FileNameOf(launcherPath));
    if (name.size() <= 4 || name.compare(name.size() - 4, 4, L".exe") != 0 ||
        ToLowerW(ownPath) != ToLowerW(CandidatePath(launcherPath, oldProcessId)))
        return false;
    try {
        if (!IsFile(launcherPath))
            return false;
    } catch (const std::exception&) {
        return false;
    }
    HandleGuard event(OpenEventW(SYNCHRONIZE, FALSE, HandOverEventName(oldProcessId).c_str()));
    return event.Valid();
}

std::wstring HandOverEventName(DWORD oldProcessId) {
    return L"Local\\VornLauncherHandOver-" + std::to_wstring(oldProcessId);
}

HANDLE StartNewLauncher(const StagedLauncher& staged, const std::wstring& launcherPath) {
    std::wstring commandLine = L"\"" + staged.path + L"\" --take-over " +
                               std::to_wstring(GetCurrentProcessId()) + L" \"" + launcherPath +
                               L"\"";
    HandleGuard held(CreateFileW(ExtendedLengthPath(staged.path).c_str(), GENERIC_READ,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
    if (!held.Valid() || ToLowerAscii(ComputeFileSha256(staged.path)) != staged.sha256)
        throw MakeError(L"Новая версия лаунчера изменилась после проверки.");
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    const std::wstring folder = ParentPath(launcherPath);
    if (!CreateProcessW(staged.path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                        nullptr, folder.c_str(), &startup, &process))
        throw MakeError(L"Не удалось запустить новую версию лаунчера: " +
                        GetWinErrorMessage(GetLastError()));
    CloseHandle(process.hThread);
    return process.hProcess;
}

DWORD TakeOverLauncherFile(DWORD oldProcessId, const std::wstring& ownPath,
                           const std::wstring& launcherPath) {
    {
        HandleGuard old(OpenProcess(SYNCHRONIZE, FALSE, oldProcessId));
        if (old.Valid() && WaitForSingleObject(old.Get(), kOldLauncherEndMs) != WAIT_OBJECT_0)
            return WAIT_TIMEOUT;
    }
    // Shown again before it takes the launcher's name; hidden again when it
    // could not, as a staged launcher kept for the next try.
    SetFileAttributesW(ExtendedLengthPath(ownPath).c_str(), FILE_ATTRIBUTE_NORMAL);
    const DWORD error = TryRenameWithRetries(ownPath, launcherPath);
    if (error != 0)
        SetFileAttributesW(ExtendedLengthPath(ownPath).c_str(), FILE_ATTRIBUTE_HIDDEN);
    return error;
}
