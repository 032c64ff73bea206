#include "platform/zip/ZipExtract.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The archives come from tests/harness/make_test_zips.py, run when the test
// environment is set up; beside each archive that must unpack lies the tree
// it must produce, under expected\<archive name without .zip>.

namespace {

std::wstring ZipPath(const std::wstring& archive) {
    return TestEnvDir() + L"\\zips\\" + archive;
}

std::wstring ExpectedFolder(const std::wstring& archive) {
    return TestEnvDir() + L"\\zips\\expected\\" + archive.substr(0, archive.size() - 4);
}

// Relative path -> "folder", or the file's size and FNV-1a digest, so that a
// difference prints as one short line.
using Tree = std::map<std::wstring, std::string>;

std::string Fingerprint(const std::string& bytes) {
    uint64_t hash = 14695981039346656037ull;
    for (const unsigned char byte : bytes)
        hash = (hash ^ byte) * 1099511628211ull;
    return std::to_string(bytes.size()) + " bytes, fnv " + std::to_string(hash);
}

void CollectTree(const std::wstring& root, const std::wstring& relative, Tree& tree) {
    const std::wstring folder = relative.empty() ? root : root + L"\\" + relative;
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        const std::wstring path = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree[path] = "folder";
            CollectTree(root, path, tree);
        } else {
            tree[path] = Fingerprint(ReadBytes(root + L"\\" + path));
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

Tree ReadTree(const std::wstring& root) {
    Tree tree;
    CollectTree(root, L"", tree);
    return tree;
}

// Unpacks into a fresh folder and compares the whole result with the tree
// the archive was made from.
void ExpectUnpacksExactly(const std::wstring& archive) {
    SCOPED_TRACE(ToUtf8(archive));
    const Tree expected = ReadTree(ExpectedFolder(archive));
    ASSERT_FALSE(expected.empty()) << "no expected tree; was make_test_zips.py run?";
    TempDir temp;
    const std::wstring destination = temp / L"extract";
    ASSERT_TRUE(ExtractZipArchive(ZipPath(archive), destination));
    EXPECT_EQ(ReadTree(destination), expected);
}

bool IsFolderAt(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool ArchiveExists(const std::wstring& archive) {
    const DWORD attributes = GetFileAttributesW(ZipPath(archive).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Each of these archives fails the same way, so first make sure it is there:
// a missing file would fail too and prove nothing.
void ExpectFails(const std::wstring& archive) {
    SCOPED_TRACE(ToUtf8(archive));
    ASSERT_TRUE(ArchiveExists(archive));
    TempDir temp;
    EXPECT_FALSE(ExtractZipArchive(ZipPath(archive), temp / L"extract"));
}

} // namespace

// Contents and folder structure.

TEST(ZipExtractContents, StoredAndDeflatedEntriesUnpackByteExact) {
    ExpectUnpacksExactly(L"infozip_deflated.zip");
    ExpectUnpacksExactly(L"infozip_stored.zip");
    ExpectUnpacksExactly(L"python_mixed.zip");
}

TEST(ZipExtractContents, EntriesLargerThanTheBuffersUnpackByteExact) {
    ExpectUnpacksExactly(L"large.zip");
}

TEST(ZipExtractContents, EntriesEndingAroundTheBufferSizeUnpackByteExact) {
    // Zeros once failed when the output buffer filled inside the last match
    // after all input was taken.
    ExpectUnpacksExactly(L"boundary_python_deflated.zip");
    ExpectUnpacksExactly(L"boundary_infozip_deflated.zip");
    ExpectUnpacksExactly(L"boundary_python_stored.zip");
    ExpectUnpacksExactly(L"boundary_infozip_stored.zip");
}

TEST(ZipExtractContents, FoldersAreMadeWithOrWithoutEntriesOfTheirOwn) {
    // Info-ZIP's -D leaves every folder implied by the file names.
    ExpectUnpacksExactly(L"infozip_no_folder_entries.zip");
    // Folder entries with nothing inside still become folders.
    TempDir temp;
    ASSERT_TRUE(ExtractZipArchive(ZipPath(L"python_mixed.zip"), temp / L"extract"));
    EXPECT_TRUE(IsFolderAt(temp / L"extract\\empty folder"));
    EXPECT_TRUE(IsFolderAt(temp / L"extract\\deep\\er\\still"));
}

TEST(ZipExtractContents, EmptyArchiveCreatesTheDestinationWithItsParents) {
    ASSERT_TRUE(ArchiveExists(L"empty.zip"));
    TempDir temp;
    const std::wstring destination = temp / L"work\\game\\extract";
    ASSERT_TRUE(ExtractZipArchive(ZipPath(L"empty.zip"), destination));
    EXPECT_TRUE(IsFolderAt(destination));
    EXPECT_TRUE(ReadTree(destination).empty());
}

TEST(ZipExtractContents, AThousandFilesInTenFoldersUnpack) {
    ExpectUnpacksExactly(L"many_files.zip");
}

// ZIP format features.

TEST(ZipExtractFormat, Zip64EndRecordsAndExtraFieldsAreFollowed) {
    // zipfile with lowered limits: sizes and offsets in the 0x0001 field in
    // every combination it writes, and ZIP64 end records.
    ExpectUnpacksExactly(L"zip64_python.zip");
    // The same with the classic end record saturated: only the ZIP64 one
    // says where the directory is.
    ExpectUnpacksExactly(L"zip64_saturated.zip");
    // Info-ZIP's ZIP64 local headers for what it read from standard input.
    ExpectUnpacksExactly(L"zip64_infozip_stdin.zip");
}

TEST(ZipExtractFormat, EntriesWithDataDescriptorsUnpack) {
    ExpectUnpacksExactly(L"descriptor_python.zip");
    ExpectUnpacksExactly(L"descriptor_infozip.zip");
    ExpectUnpacksExactly(L"zip64_infozip_piped.zip");
}

TEST(ZipExtractFormat, EndRecordIsFoundBehindTheLongestComment) {
    // The comment ends with a stand-in end record listing no entries.
    ExpectUnpacksExactly(L"comment.zip");
}

// Entry names.

TEST(ZipExtractNames, NamesFlaggedUtf8) {
    ExpectUnpacksExactly(L"names_utf8_flag.zip");
    TempDir temp;
    ASSERT_TRUE(ExtractZipArchive(ZipPath(L"names_utf8_flag.zip"), temp / L"extract"));
    EXPECT_EQ(ReadBytes(temp / L"extract\\Документы\\отчёт.txt"), "отчёт");
}

TEST(ZipExtractNames, InfoZipArchiveOfACyrillicFolder) {
    ExpectUnpacksExactly(L"names_infozip_cyrillic.zip");
    TempDir temp;
    ASSERT_TRUE(ExtractZipArchive(ZipPath(L"names_infozip_cyrillic.zip"), temp / L"extract"));
    EXPECT_EQ(ReadBytes(temp / L"extract\\Папка\\ещё один.txt"), "another");
}

TEST(ZipExtractNames, UnflaggedNamesAreInTheOemCodePage) {
    // The players' Russian Windows, and Wine under LANG=ru_RU.UTF-8.
    ASSERT_EQ(GetOEMCP(), 866u);
    ExpectUnpacksExactly(L"names_cp866.zip");
    TempDir temp;
    ASSERT_TRUE(ExtractZipArchive(ZipPath(L"names_cp866.zip"), temp / L"extract"));
    // "сад.txt" in code page 866 is also valid UTF-8; it must still read as 866.
    EXPECT_EQ(ReadBytes(temp / L"extract\\сад.txt"), "garden");
    EXPECT_EQ(ReadBytes(temp / L"extract\\Игра\\план.txt"), "plan");
    EXPECT_EQ(ReadBytes(temp / L"extract\\Игра\\Сохранения\\слот №1.sav"), "slot one");
}

TEST(ZipExtractNames, UnicodePathFieldCountsOnlyWithVersionOneAndAMatchingCrc) {
    ASSERT_EQ(GetOEMCP(), 866u);
    ExpectUnpacksExactly(L"names_unicode_path.zip");
    TempDir temp;
    ASSERT_TRUE(ExtractZipArchive(ZipPath(L"names_unicode_path.zip"), temp / L"extract"));
    EXPECT_EQ(ReadBytes(temp / L"extract\\снеговик ☃.txt"), "snow");
    EXPECT_EQ(ReadBytes(temp / L"extract\\папка\\внутри.txt"), "inner");
    // A stale field (CRC of another name) and an unknown version are ignored.
    EXPECT_EQ(ReadBytes(temp / L"extract\\старое.txt"), "stale field");
    EXPECT_FALSE(Exists(temp / L"extract\\новое.txt"));
    EXPECT_EQ(ReadBytes(temp / L"extract\\version2.txt"), "unknown version");
}

TEST(ZipExtractNames, EmptyAndDotSegmentsAreSkipped) {
    // "./top.txt", "a//b.txt", "a/./c.txt", "./" and "d/./".
    ExpectUnpacksExactly(L"skipped_segments.zip");
}

// Unpacking over what is already there.

TEST(ZipExtractOverwrite, ReplacesExistingAndReadOnlyFilesAndKeepsTheRest) {
    TempDir temp;
    const std::wstring destination = temp / L"extract";
    CreateDirectoryW(destination.c_str(), nullptr);
    CreateDirectoryW((destination + L"\\Save").c_str(), nullptr);
    CreateDirectoryW((destination + L"\\Mods").c_str(), nullptr);
    WriteBytes(destination + L"\\readme.txt", "old readme");
    SetFileAttributesW((destination + L"\\readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    WriteBytes(destination + L"\\Save\\slot 1.sav", "old slot, hidden");
    SetFileAttributesW((destination + L"\\Save\\slot 1.sav").c_str(), FILE_ATTRIBUTE_HIDDEN);
    WriteBytes(destination + L"\\Game.exe", std::string(100000, 'x'));
    WriteBytes(destination + L"\\notes.txt", "player's notes");
    WriteBytes(destination + L"\\Mods\\mod.txt", "player's mod");

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(ExtractZipArchive(ZipPath(L"infozip_deflated.zip"), destination));
        Tree unpacked = ReadTree(destination);
        EXPECT_EQ(unpacked.erase(L"notes.txt"), 1u);
        EXPECT_EQ(unpacked.erase(L"Mods\\mod.txt"), 1u);
        EXPECT_EQ(unpacked.erase(L"Mods"), 1u);
        EXPECT_EQ(unpacked, ReadTree(ExpectedFolder(L"infozip_deflated.zip")));
        EXPECT_EQ(ReadBytes(destination + L"\\notes.txt"), "player's notes");
        EXPECT_EQ(ReadBytes(destination + L"\\Mods\\mod.txt"), "player's mod");
        // Replaced, not written through: the old read-only mark is gone.
        EXPECT_EQ(GetFileAttributesW((destination + L"\\readme.txt").c_str()) &
                      FILE_ATTRIBUTE_READONLY,
                  0u);
    }
}

TEST(ZipExtractOverwrite, FolderWhereAFileMustGoFails) {
    TempDir temp;
    const std::wstring destination = temp / L"extract";
    CreateDirectoryW(destination.c_str(), nullptr);
    CreateDirectoryW((destination + L"\\readme.txt").c_str(), nullptr);
    WriteBytes(destination + L"\\readme.txt\\inside.txt", "inside");
    EXPECT_FALSE(ExtractZipArchive(ZipPath(L"infozip_deflated.zip"), destination));
    EXPECT_TRUE(IsFolderAt(destination + L"\\readme.txt"));
    EXPECT_EQ(ReadBytes(destination + L"\\readme.txt\\inside.txt"), "inside");

    // "thing/" and then "thing" in one archive.
    ExpectFails(L"conflict_folder_then_file.zip");
}

TEST(ZipExtractOverwrite, FileWhereAFolderMustGoFails) {
    TempDir temp;
    const std::wstring destination = temp / L"extract";
    CreateDirectoryW(destination.c_str(), nullptr);
    WriteBytes(destination + L"\\data", "a file named like the folder");
    EXPECT_FALSE(ExtractZipArchive(ZipPath(L"infozip_deflated.zip"), destination));
    EXPECT_EQ(ReadBytes(destination + L"\\data"), "a file named like the folder");

    // "thing" and then "thing/inner.txt" in one archive.
    ExpectFails(L"conflict_file_then_folder.zip");
}

// Hostile names.

namespace {

struct UnsafeArchive {
    const wchar_t* archive;
    std::string storedName;
};

std::string Repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

// Each holds "first.txt" and "sub/second.txt", then the hostile entry, then
// "last.txt".
const UnsafeArchive kUnsafeArchives[] = {
    {L"unsafe_parent.zip", "../vorn_probe.txt"},
    {L"unsafe_grandparent.zip", "../../vorn_probe.txt"},
    {L"unsafe_inner_parent.zip", "a/../../vorn_probe.txt"},
    {L"unsafe_backslash_parent.zip", "..\\vorn_probe.txt"},
    {L"unsafe_backslash_inner.zip", "a\\..\\..\\vorn_probe.txt"},
    {L"unsafe_dots_space.zip", ".. /vorn_probe.txt"},
    {L"unsafe_three_dots.zip", ".../vorn_probe.txt"},
    {L"unsafe_space_segment.zip", "a/ /vorn_probe.txt"},
    {L"unsafe_parent_folder.zip", "../vorn_probe_dir/"},
    {L"unsafe_absolute.zip", "/vorn_probe.txt"},
    {L"unsafe_backslash_absolute.zip", "\\vorn_probe.txt"},
    {L"unsafe_unc.zip", "\\\\localhost\\c$\\vorn_probe.txt"},
    {L"unsafe_drive_slash.zip", "C:/vorn_probe.txt"},
    {L"unsafe_drive_relative.zip", "C:vorn_probe.txt"},
    {L"unsafe_stream.zip", "first.txt:vorn_probe"},
    {L"unsafe_empty_name.zip", ""},
    {L"unsafe_control.zip", "bad\x01name.txt"},
    {L"unsafe_char_lt.zip", "a<b.txt"},
    {L"unsafe_char_gt.zip", "a>b.txt"},
    {L"unsafe_char_quote.zip", "a\"b.txt"},
    {L"unsafe_char_pipe.zip", "a|b.txt"},
    {L"unsafe_char_question.zip", "a?b.txt"},
    {L"unsafe_char_star.zip", "a*b.txt"},
    {L"unsafe_device_con.zip", "CON"},
    {L"unsafe_device_nul.zip", "logs/nul.txt"},
    {L"unsafe_device_com1.zip", "COM1.log"},
    {L"unsafe_device_superscript.zip", "logs/COM\xC2\xB9.txt"},
    {L"unsafe_deep_name.zip", Repeated("a/", 12000) + "f"},
    {L"unsafe_deep_short.zip", Repeated("a/", 200) + "f"},
    // Stored as "innocent.txt"; its Unicode Path field says "../vorn_probe.txt".
    {L"unsafe_unicode_path.zip", "../vorn_probe.txt"},
    // Flagged UTF-8.
    {L"unsafe_utf8_parent.zip", "../проба.txt"},
};

std::wstring CurrentFolder() {
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    return folder;
}

} // namespace

TEST(ZipExtractSafety, EveryUnsafeNameFailsTheArchiveBeforeAnythingIsWritten) {
    TempDir temp;
    const std::wstring one = temp / L"one";
    const std::wstring two = one + L"\\two";
    const std::wstring destination = two + L"\\extract";
    CreateDirectoryW(one.c_str(), nullptr);
    CreateDirectoryW(two.c_str(), nullptr);
    CreateDirectoryW(destination.c_str(), nullptr);
    WriteBytes(one + L"\\vorn_probe.txt", "sentinel two levels up");
    WriteBytes(two + L"\\vorn_probe.txt", "sentinel one level up");
    const Tree around = ReadTree(one);

    const std::wstring current = CurrentFolder();
    const std::vector<std::wstring> elsewhere = {L"C:\\vorn_probe.txt", L"C:\\vorn_probe_dir",
                                                 current + L"\\vorn_probe.txt",
                                                 current.substr(0, 2) + L"\\vorn_probe.txt"};

    for (const UnsafeArchive& unsafe : kUnsafeArchives) {
        SCOPED_TRACE(ToUtf8(unsafe.archive));
        ASSERT_TRUE(ArchiveExists(unsafe.archive));
        ASSERT_NE(ReadBytes(ZipPath(unsafe.archive)).find(unsafe.storedName), std::string::npos)
            << "the archive does not hold the name it is meant to test";

        EXPECT_FALSE(ExtractZipArchive(ZipPath(unsafe.archive), destination));
        // Not even the safe entries before the hostile one.
        EXPECT_EQ(ReadTree(destination), Tree());
        // The sentinels one and two levels up are untouched, nothing joined them.
        EXPECT_EQ(ReadTree(one), around);
        EXPECT_EQ(ReadBytes(two + L"\\vorn_probe.txt"), "sentinel one level up");
        for (const std::wstring& path : elsewhere)
            EXPECT_FALSE(Exists(path)) << ToUtf8(path);
    }
}

// Archives that must fail.

TEST(ZipExtractDamage, CrcOrSizeThatDoesNotMatchFails) {
    for (const wchar_t* archive :
         {L"damaged_crc_stored.zip", L"damaged_crc_deflated.zip", L"damaged_size_stored.zip",
          L"damaged_size_deflated.zip", L"damaged_deflate_stream.zip"}) {
        SCOPED_TRACE(ToUtf8(archive));
        ASSERT_TRUE(ArchiveExists(archive));
        TempDir temp;
        EXPECT_FALSE(ExtractZipArchive(ZipPath(archive), temp / L"extract"));
        // The entry before the damaged one was good; the damaged one is not
        // left behind looking like a real file.
        EXPECT_EQ(ReadBytes(temp / L"extract\\first.txt"), "first");
        EXPECT_FALSE(Exists(temp / L"extract\\payload.bin"));
    }
}

TEST(ZipExtractDamage, TruncatedEmptyOrNotAZipFails) {
    ExpectFails(L"truncated_half.zip");
    ExpectFails(L"truncated_end_record.zip");
    ExpectFails(L"truncated_tail.zip");
    // An error page saved by the download.
    ExpectFails(L"not_a_zip.zip");
    ExpectFails(L"empty_file.zip");
    TempDir temp;
    EXPECT_FALSE(ExtractZipArchive(temp / L"missing.zip", temp / L"extract"));
}

TEST(ZipExtractDamage, EncryptedUnsupportedOrSplitArchivesAreRefusedBeforeAnythingIsWritten) {
    // The first two hold a plain deflated entry before the one that cannot be
    // unpacked (encrypted, bzip2).
    for (const wchar_t* archive : {L"encrypted.zip", L"bzip2.zip", L"multidisk.zip"}) {
        SCOPED_TRACE(ToUtf8(archive));
        ASSERT_TRUE(ArchiveExists(archive));
        TempDir temp;
        EXPECT_FALSE(ExtractZipArchive(ZipPath(archive), temp / L"extract"));
        EXPECT_EQ(ReadTree(temp / L"extract"), Tree());
    }
}

TEST(ZipExtractDamage, DirectoryThatOverlapsOrMiscountsItsEntriesIsRefusedBeforeAnythingIsWritten) {
    // 100 records pointing at one 10 MiB entry; three records of which the
    // end record counts one.
    for (const wchar_t* archive : {L"overlapping_entries.zip", L"short_count.zip"}) {
        SCOPED_TRACE(ToUtf8(archive));
        ASSERT_TRUE(ArchiveExists(archive));
        TempDir temp;
        EXPECT_FALSE(ExtractZipArchive(ZipPath(archive), temp / L"extract"));
        EXPECT_EQ(ReadTree(temp / L"extract"), Tree());
    }
}

TEST(ZipExtractDamage, LocalHeaderWithoutItsSignatureFails) {
    ExpectFails(L"damaged_local_signature.zip");
}

// Resources.

TEST(ZipExtractResources, AHugeEntryStreamsThroughFixedBuffers) {
    // 96 MiB of zeros packed into about 100 KiB: holding the entry, or
    // growing a buffer with it, would show in the peak working set.
    ASSERT_TRUE(ArchiveExists(L"zeros.zip"));
    PROCESS_MEMORY_COUNTERS before{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));
    TempDir temp;
    ASSERT_TRUE(ExtractZipArchive(ZipPath(L"zeros.zip"), temp / L"extract"));
    PROCESS_MEMORY_COUNTERS after{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));

    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(
        GetFileAttributesExW((temp / L"extract\\zeros.bin").c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow, 96ull << 20);
    EXPECT_LT(after.PeakWorkingSetSize - before.PeakWorkingSetSize, size_t(16) << 20);
}

TEST(ZipExtractResources, HandlesAreGivenBackOnSuccessAndOnFailure) {
    for (const wchar_t* archive :
         {L"infozip_deflated.zip", L"damaged_crc_stored.zip", L"damaged_deflate_stream.zip",
          L"unsafe_parent.zip", L"not_a_zip.zip", L"bzip2.zip"}) {
        SCOPED_TRACE(ToUtf8(archive));
        ASSERT_TRUE(ArchiveExists(archive));
        // A private copy, so that other tests reading the shared archives in
        // parallel cannot hold it open.
        TempDir temp;
        const std::wstring copy = temp / L"archive.zip";
        ASSERT_TRUE(CopyFileW(ZipPath(archive).c_str(), copy.c_str(), FALSE));
        DWORD handlesBefore = 0;
        ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesBefore));
        ExtractZipArchive(copy, temp / L"extract");
        DWORD handlesAfter = 0;
        ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &handlesAfter));
        EXPECT_EQ(handlesAfter, handlesBefore);
        // Nobody holds the archive open any more.
        HANDLE exclusive = CreateFileW(copy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
        if (exclusive != INVALID_HANDLE_VALUE)
            CloseHandle(exclusive);
    }
}
