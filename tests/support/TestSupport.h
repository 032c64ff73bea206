#pragma once
// Shared helpers of the test programs: fresh temporary folders, whole-file
// reads and writes, and the text of a raised launcher error.

#include <windows.h>

#include <functional>
#include <string>

// The shared test environment folder (certificates, server files, fixtures).
std::wstring TestEnvDir();

// The folder of the running test program (where the helper programs are).
std::wstring TestBinDir();

// A fresh, empty folder under the temporary folder, removed with everything in
// it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring operator/(const std::wstring& name) const;

private:
    std::wstring path_;
};

// Deletes a tree with plain Win32 calls, independently of the code under test.
void ForceRemoveTree(const std::wstring& path);

void WriteBytes(const std::wstring& path, const std::string& bytes);
std::string ReadBytes(const std::wstring& path);
// The SHA-256 of the bytes, lower-case hexadecimal.
std::string DigestOf(const std::string& bytes);
bool Exists(const std::wstring& path);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// Runs the action and returns the message of the std::runtime_error it raised,
// converted from UTF-8, or "<no error>" when it returned normally.
std::wstring RaisedText(const std::function<void()>& action);
