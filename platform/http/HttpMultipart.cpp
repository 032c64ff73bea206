#include "platform/http/HttpMultipart.h"

#include "platform/http/HttpResponse.h"
#include "platform/Text.h"

#include <algorithm>

namespace {

// Boundary and header lines of one part take a few hundred bytes; more
// without an empty line is no multipart body.
const size_t kMostHeadText = 16384;

bool EndsWith(const std::string& text, const char* end) {
    const size_t size = std::char_traits<char>::length(end);
    return text.size() >= size && text.compare(text.size() - size, size, end) == 0;
}

// The Content-Range line among a part's header lines.
bool PartRange(const std::string& lines, unsigned long long& first, unsigned long long& last) {
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos)
            end = lines.size();
        const std::string line = lines.substr(start, end - start);
        const size_t colon = line.find(':');
        if (colon != std::string::npos && ToLowerAscii(line.substr(0, colon)) == "content-range")
            return ParseContentRange(line.substr(colon + 1), first, last);
        start = end + 1;
    }
    return false;
}

} // namespace

std::string MultipartBoundary(const std::wstring& contentType) {
    const std::string type(contentType.begin(), contentType.end());
    const std::string lower = ToLowerAscii(type);
    const size_t kind = lower.find_first_not_of(" \t");
    if (kind == std::string::npos || lower.compare(kind, 20, "multipart/byteranges") != 0)
        return std::string();
    const size_t at = lower.find("boundary=");
    if (at == std::string::npos)
        return std::string();
    std::string boundary = type.substr(at + 9);
    if (!boundary.empty() && boundary[0] == '"')
        return boundary.substr(1, boundary.find('"', 1) - 1);
    boundary = boundary.substr(0, boundary.find(';'));
    const size_t last = boundary.find_last_not_of(" \t");
    return last == std::string::npos ? std::string() : boundary.substr(0, last + 1);
}

MultipartReader::MultipartReader(const std::string& boundary) : delimiter_("--" + boundary) {}

bool MultipartReader::Feed(
    const BYTE* data, DWORD size,
    const std::function<void(unsigned long long offset, const BYTE* data, DWORD size)>& onPart) {
    while (size > 0 && !ended_) {
        if (left_ > 0) {
            const DWORD take = static_cast<DWORD>(std::min<unsigned long long>(size, left_));
            onPart(offset_, data, take);
            offset_ += take;
            left_ -= take;
            data += take;
            size -= take;
            continue;
        }
        head_ += static_cast<char>(*data);
        ++data;
        --size;
        if (head_.size() > kMostHeadText)
            return false;
        const size_t at = head_.find(delimiter_);
        if (at == std::string::npos)
            continue;
        const size_t after = at + delimiter_.size();
        if (head_.size() == after + 2 && head_.compare(after, 2, "--") == 0) {
            ended_ = true; // what follows the closing boundary means nothing
            continue;
        }
        // The part's header lines end with an empty line.
        if (!EndsWith(head_, "\r\n\r\n") && !EndsWith(head_, "\n\n"))
            continue;
        unsigned long long first = 0;
        unsigned long long last = 0;
        if (!PartRange(head_.substr(after), first, last))
            return false;
        offset_ = first;
        left_ = last - first + 1;
        head_.clear();
    }
    return true;
}
