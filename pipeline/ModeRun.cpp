#include "pipeline/ModeRun.h"

#include "pipeline/Backups.h"
#include "pipeline/GameLaunch.h"
#include "pipeline/HighestVersion.h"
#include "pipeline/Install.h"
#include "pipeline/Manifest.h"
#include "pipeline/ManifestSignature.h"
#include "pipeline/PowerShellSteps.h"
#include "platform/Text.h"
#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"
#include "platform/files/WorkFolder.h"

namespace {

std::string FetchManifestText(const std::wstring& manifestUrl) {
    WorkFolder work;
    const std::wstring responsePath = JoinPath(work.Path(), L"response.txt");
    EnsureDir(ParentPath(responsePath));
    std::wstring cause;
    // The known cause (the HTTP status, the system's text) on a second line.
    if (FetchManifestFile(manifestUrl, responsePath, kMaxManifestBytes, cause) != 0)
        throw MakeError(L"Не удалось скачать файл через PowerShell." +
                        (cause.empty() ? std::wstring() : L"\n" + cause));
    std::string text = ReadWholeFile(responsePath, std::string());
    // A folder that cannot be removed fails the run; the guard tries once more.
    work.Remove();
    return text;
}

} // namespace

void RunBuild(const std::wstring& baseFolder, const std::wstring& label,
              const std::wstring& manifestUrl, const std::wstring& installFolder,
              const std::vector<std::string>& updateKeys, const RunReports& reports) {
    reports.status(L"Проверка обновлений " + label + L"...");
    // Work folders of killed runs hold about twice a build; the player gets
    // that space back. They are beside the build, or beside the folder a
    // link leads to (a link to a drive that is gone is reported by the
    // update, if one comes).
    std::wstring buildFolder = installFolder;
    try {
        buildFolder = FolderBehindLink(installFolder);
    } catch (const std::exception&) {
    }
    RemoveStaleWorkFolders(ParentPath(buildFolder));
    Manifest manifest = ReadManifest(FetchManifestText(manifestUrl));
    CheckManifestSignature(manifest, manifestUrl, updateKeys);
    // A launcher without keys takes manifests as they come, and acts on
    // nothing that only a signature vouches for.
    if (updateKeys.empty())
        manifest.size.clear();

    // A version that does not fit was never a manifest's: the build is
    // updated.
    std::string installedVersion =
        ReadWholeFile(JoinPath(installFolder, L"version.txt"), "0.0.0");
    if (!VersionFits(installedVersion))
        installedVersion = "0.0.0";
    const std::wstring exeName = Utf8ToWide(manifest.exe);
    // The server names a file inside the build folder, never a program
    // elsewhere on the machine.
    if (!IsPlainFileName(exeName))
        throw MakeError(L"Недопустимое имя файла запуска в manifest: '" + exeName + L"'.");
    const bool installed = IsFile(JoinPath(installFolder, exeName));
    // An update that stopped before the player's data was back owes a
    // restore: whatever the folder's version file or executable say, the
    // folder is then updated again, which restores the data.
    const bool restoreOwed = IsFile(GetRestorePendingFile(baseFolder, installFolder));
    const bool current =
        installed && !restoreOwed && CompareVersions(installedVersion, manifest.version) >= 0;

    // Signed manifests never take a build backwards: one below the highest
    // version this build has had or seen signed is an old one replayed.
    // The game is still started when it is current.
    if (!updateKeys.empty()) {
        const std::string highest = HighestVersionOf(baseFolder, installFolder);
        if (!current && CompareVersions(manifest.version, highest) < 0)
            throw MakeError(L"Сервер предлагает версию " + Utf8ToWide(manifest.version) + L" " +
                            label + L", а на этом компьютере уже была версия " +
                            Utf8ToWide(highest) +
                            L". Старые версии не устанавливаются: сообщите об этом в группу "
                            L"проекта. Установленная игра не изменена.");
        RaiseHighestVersion(baseFolder, installFolder, manifest.version);
    }

    // The old build goes last, with the update's work folder, once the game
    // has started; a file of it that is held then goes at a later start.
    std::unique_ptr<WorkFolder> oldBuild;
    if (current) {
        reports.status(L"Запуск " + label + L"...");
    } else {
        reports.status(L"Обновление " + label + L" до версии " + Utf8ToWide(manifest.version) +
                       L"...");
        oldBuild = InstallOrUpdate(baseFolder, manifest, installFolder, label, reports);
        reports.progress(100, label + L" обновлена. Запуск...");
    }
    LaunchGame(installFolder, exeName);
    reports.progress(100, label + L" запущена.");
}
