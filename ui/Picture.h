#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

// Decodes the picture held in a movable memory block (JPEG, BMP, GIF, ...).
// Takes the block over: it is freed on every path. Null when the stream
// cannot be made or the bytes are not a picture the system can decode.
IPicture* DecodePicture(HGLOBAL block, LONG size);
