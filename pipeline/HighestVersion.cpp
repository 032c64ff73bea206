#include "pipeline/HighestVersion.h"

#include "pipeline/Manifest.h"
#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"
#include "platform/Text.h"

namespace {

std::wstring RecordOf(const std::wstring& baseFolder, const std::wstring& installFolder) {
    return JoinPath(JoinPath(JoinPath(baseFolder, L"backup"), FileNameOf(installFolder)),
                    L"highest-version.txt");
}

// A version text as written by a launcher: digits, at most 64 bytes, and
// groups that fit; anything else is a damaged record.
bool LooksLikeAVersion(const std::string& text) {
    return !text.empty() && text.size() <= 64 && VersionFits(text) &&
           text.find_first_of("0123456789") != std::string::npos;
}

} // namespace

std::string HighestVersionOf(const std::wstring& baseFolder, const std::wstring& installFolder) {
    std::string highest = "0";
    for (const std::wstring& file :
         {RecordOf(baseFolder, installFolder), JoinPath(installFolder, L"version.txt")}) {
        const std::string text = ReadWholeFile(file, std::string());
        if (LooksLikeAVersion(text) && CompareVersions(text, highest) > 0)
            highest = text;
    }
    return highest;
}

void RaiseHighestVersion(const std::wstring& baseFolder, const std::wstring& installFolder,
                         const std::string& version) {
    if (CompareVersions(version, HighestVersionOf(baseFolder, installFolder)) <= 0)
        return;
    const std::wstring record = RecordOf(baseFolder, installFolder);
    EnsureDir(ParentPath(record));
    WriteWholeFile(record, version, true);
}
