#pragma once
// Free space on the volume that holds a path, and the player's sentence for a
// volume that is too small. An update needs room for the archive, its
// unpacked build and the copy in the install folder; running out halfway
// would leave a half-written build, so the room is checked before.

#include <cstdint>
#include <string>

// Bytes this user may still write on the volume of the path. The path need not
// exist yet: its nearest existing parent decides. False when no volume answers.
bool FreeBytesAt(const std::wstring& path, uint64_t& freeBytes);

// True when both paths lie on one volume (a path need not exist yet).
bool SameVolume(const std::wstring& first, const std::wstring& second);

// Raises "Недостаточно места на диске C: нужно ещё 1,2 ГБ." when the volume of
// the path has less than the needed bytes free; the amount is what is
// missing, rounded up. A volume that cannot be asked is not refused.
void EnsureFreeSpace(const std::wstring& path, uint64_t neededBytes);

// "350 МБ" below a gibibyte, otherwise "1,2 ГБ"; always rounded up.
std::wstring FormatShortfall(uint64_t bytes);
