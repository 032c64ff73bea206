#include "platform/files/DiskSpace.h"

#include "platform/Errors.h"
#include "platform/files/FileOps.h"
#include "platform/files/Paths.h"
#include "platform/files/LongPath.h"

#include <windows.h>

#include <vector>

namespace {

const uint64_t kMiB = 1024ull * 1024;
const uint64_t kGiB = 1024ull * kMiB;

// The nearest folder of the path (or the path itself) that exists.
std::wstring ExistingFolderOf(const std::wstring& path) {
    std::wstring folder = path;
    while (!folder.empty() && !IsFolder(folder)) {
        const std::wstring parent = ParentPath(folder);
        if (parent == folder)
            break;
        folder = parent;
    }
    return folder;
}

// The root of the path's volume: "C:\", a mounted folder or a share.
std::wstring VolumeRootOf(const std::wstring& path) {
    const std::wstring folder = ExistingFolderOf(path);
    if (folder.empty())
        return std::wstring();
    std::vector<wchar_t> root(folder.size() + 2, L'\0');
    if (!GetVolumePathNameW(folder.c_str(), root.data(), static_cast<DWORD>(root.size())))
        return std::wstring();
    return root.data();
}

// "C:" for a drive, otherwise the volume's path followed by a colon, as the
// sentence puts it.
std::wstring VolumeDisplayName(const std::wstring& path) {
    std::wstring root = VolumeRootOf(path);
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/'))
        root.pop_back();
    if (root.size() == 2 && root[1] == L':')
        return root;
    return root + L":";
}

} // namespace

bool FreeBytesAt(const std::wstring& path, uint64_t& freeBytes) {
    const std::wstring folder = ExistingFolderOf(path);
    ULARGE_INTEGER available{};
    if (folder.empty() || !GetDiskFreeSpaceExW((ExtendedLengthPath(folder) + L"\\").c_str(),
                                               &available, nullptr, nullptr))
        return false;
    freeBytes = available.QuadPart;
    return true;
}

bool SameVolume(const std::wstring& first, const std::wstring& second) {
    const std::wstring a = VolumeRootOf(first);
    return !a.empty() && ToLowerW(a) == ToLowerW(VolumeRootOf(second));
}

std::wstring FormatShortfall(uint64_t bytes) {
    const uint64_t mebibytes = bytes == 0 ? 1 : (bytes + kMiB - 1) / kMiB;
    if (mebibytes < 1024)
        return std::to_wstring(mebibytes) + L" МБ";
    // Tenths of a gibibyte, rounded up, written with a decimal comma.
    const uint64_t tenths = (bytes * 10 + kGiB - 1) / kGiB;
    return std::to_wstring(tenths / 10) + L"," + std::to_wstring(tenths % 10) + L" ГБ";
}

void EnsureFreeSpace(const std::wstring& path, uint64_t neededBytes) {
    uint64_t freeBytes = 0;
    if (!FreeBytesAt(path, freeBytes) || freeBytes >= neededBytes)
        return;
    throw MakeError(L"Недостаточно места на диске " + VolumeDisplayName(path) + L" нужно ещё " +
                    FormatShortfall(neededBytes - freeBytes) + L".");
}
