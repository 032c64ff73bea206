#include "tests/support/TestSupport.h"

#include "platform/trust/Sha256.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

std::wstring TestEnvDir() {
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"VORN_TESTENV", value, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return std::wstring();
    return value;
}

std::wstring TestBinDir() {
    wchar_t module[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring path = module;
    return path.substr(0, path.find_last_of(L"\\/"));
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"vorn_tests";
    CreateDirectoryW(root.c_str(), nullptr);
    path_ = root + L"\\t" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(GetTickCount()) + L"_" + std::to_wstring(counter++);
    ForceRemoveTree(path_);
    if (!CreateDirectoryW(path_.c_str(), nullptr))
        throw std::runtime_error("cannot create a temporary test folder");
}

TempDir::~TempDir() {
    ForceRemoveTree(path_);
}

std::wstring TempDir::operator/(const std::wstring& name) const {
    return path_ + L"\\" + name;
}

void ForceRemoveTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        DeleteFileW(path.c_str());
        return;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        WIN32_FIND_DATAW data{};
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = data.cFileName;
                if (name != L"." && name != L"..")
                    ForceRemoveTree(path + L"\\" + name);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    RemoveDirectoryW(path.c_str());
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create a test file");
    size_t total = 0;
    while (total < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - total, 1 << 24));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + total, chunk, &written, nullptr) || written == 0) {
            CloseHandle(file);
            throw std::runtime_error("cannot write a test file");
        }
        total += written;
    }
    CloseHandle(file);
}

std::string ReadBytes(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size,
                        nullptr, nullptr);
    return utf8;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

std::wstring RaisedText(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return FromUtf8(error.what());
    }
    return L"<no error>";
}

std::string DigestOf(const std::string& bytes) {
    Sha256 digest;
    digest.Update(bytes.data(), static_cast<DWORD>(bytes.size()));
    return digest.Finish();
}
