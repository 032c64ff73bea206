#pragma once
// The launcher's own ZIP unpacking, for systems without Windows PowerShell's
// Expand-Archive (Wine's powershell.exe does nothing). Stored and deflated
// entries, ZIP64, data descriptors, UTF-8 and OEM code page names. Every
// entry's name, method and encryption are checked before anything is written,
// so one hostile or unsupported entry leaves the disk untouched; every entry
// streams through fixed buffers and is checked against its CRC-32 and size.

#include <string>

// Unpacks a whole ZIP archive into the destination folder (created when
// missing), overwriting files that are already there. False on any failure
// but one: an archive that cannot fit on the drive raises the sentence of
// EnsureFreeSpace ("Недостаточно места на диске C: нужно ещё …") before
// anything is written.
bool ExtractZipArchive(const std::wstring& archivePath, const std::wstring& destinationFolder);

// The bytes the archive would unpack to in the destination folder, from its
// directory, checked as the unpacking checks it. False when the archive would
// be refused.
bool ReadZipUnpackedSize(const std::wstring& archivePath, const std::wstring& destinationFolder,
                         unsigned long long& bytes);
