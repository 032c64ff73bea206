#include "ui/Picture.h"

IPicture* DecodePicture(HGLOBAL block, LONG size) {
    IStream* stream = nullptr;
    // The stream frees the block when it is released.
    if (FAILED(CreateStreamOnHGlobal(block, TRUE, &stream)) || stream == nullptr) {
        GlobalFree(block);
        return nullptr;
    }
    IPicture* picture = nullptr;
    OleLoadPicture(stream, size, FALSE, IID_IPicture, reinterpret_cast<void**>(&picture));
    stream->Release();
    return picture;
}
