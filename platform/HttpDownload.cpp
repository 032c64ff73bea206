#include "platform/HttpDownload.h"

#include "platform/Errors.h"
#include "platform/FileFaults.h"
#include "platform/Guards.h"
#include "platform/HttpRequest.h"
#include "platform/Paths.h"
#include "platform/LongPath.h"
#include "platform/Sha256.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

namespace {

const DWORD kChunkSize = 262144;
const int kResumeAttempts = 3;
const DWORD kResumePauseMs = 1000;
[[noreturn]] void ThrowWithSystemText(const std::wstring& prefix, DWORD code) {
    const std::wstring systemText = GetWinErrorMessage(code);
    throw MakeError(prefix + systemText);
}

std::wstring QueryHeader(HINTERNET request, DWORD query) {
    std::vector<wchar_t> text(256, L'\0');
    DWORD size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    if (!HttpQueryInfoW(request, query, text.data(), &size, nullptr)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return std::wstring();
        text.assign(size / sizeof(wchar_t) + 1, L'\0');
        if (!HttpQueryInfoW(request, query, text.data(), &size, nullptr))
            return std::wstring();
    }
    return std::wstring(text.data(), size / sizeof(wchar_t));
}

// What the transfer needs to know of one response.
struct Response {
    DWORD status = 0;
    unsigned long long length = 0; // 0: not announced
    unsigned long long rangeStart = 0;
    unsigned long long rangeTotal = 0; // after the '/'; 0 for '*' or none
    std::wstring validator; // for If-Range: the ETag, else Last-Modified
    std::wstring encoding;  // lower case; empty for identity
    std::wstring url;       // where it came from, after any redirect
};

Response ReadResponse(HINTERNET request) {
    Response response;
    DWORD status = 0;
    DWORD statusSize = sizeof(status);
    if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                       &statusSize, nullptr))
        response.status = status;
    response.length = ParseContentLength(QueryHeader(request, HTTP_QUERY_CONTENT_LENGTH));
    // "bytes 1000-1999/2000": the first byte of the part.
    const std::wstring range = QueryHeader(request, HTTP_QUERY_CONTENT_RANGE);
    const size_t digits = range.find_first_of(L"0123456789");
    if (digits != std::wstring::npos)
        response.rangeStart = ParseContentLength(range.substr(digits));
    const size_t slash = range.find(L'/');
    if (slash != std::wstring::npos)
        response.rangeTotal = ParseContentLength(range.substr(slash + 1));
    response.validator = QueryHeader(request, HTTP_QUERY_ETAG);
    if (response.validator.empty())
        response.validator = QueryHeader(request, HTTP_QUERY_LAST_MODIFIED);
    response.encoding = ToLowerW(QueryHeader(request, HTTP_QUERY_CONTENT_ENCODING));
    if (response.encoding == L"identity")
        response.encoding.clear();

    DWORD size = 0;
    InternetQueryOptionW(request, INTERNET_OPTION_URL, nullptr, &size);
    if (size > 0) {
        std::vector<wchar_t> url(size / sizeof(wchar_t) + 1, L'\0');
        if (InternetQueryOptionW(request, INTERNET_OPTION_URL, url.data(), &size))
            response.url = url.data();
    }
    return response;
}

// The request's extra header lines: from a byte on, only while the body is
// still the one the validator names (otherwise the server sends it whole).
std::wstring RequestHeaders(unsigned long long from, const std::wstring& validator) {
    // Caches in front of the server must ask it too; the body is wanted as it
    // is, so that its length and digest are the file's.
    std::wstring headers = L"Cache-Control: no-cache\r\nAccept-Encoding: identity\r\n";
    if (from > 0) {
        headers += L"Range: bytes=" + std::to_wstring(from) + L"-\r\n";
        if (!validator.empty())
            headers += L"If-Range: " + validator + L"\r\n";
    }
    return headers;
}

// Writes the body to the file, decoding it when the server compressed it, and
// digests exactly the bytes written, so that the digest is ready with the file.
class BodyWriter {
public:
    BodyWriter(HANDLE file, const std::wstring& path) : file_(file), path_(path) {}
    ~BodyWriter() { EndDecoding(); }
    BodyWriter(const BodyWriter&) = delete;
    BodyWriter& operator=(const BodyWriter&) = delete;

    // Starts the file and its digest again for a body sent with this encoding.
    void Restart(const std::wstring& encoding) {
        EndDecoding();
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file_))
            ThrowWithSystemText(L"Ошибка записи файла: " + path_ + L": ", GetLastError());
        digest_.reset();
        digest_.emplace();
        if (encoding.empty())
            return;
        if (encoding != L"gzip" && encoding != L"x-gzip" && encoding != L"deflate")
            throw MakeError(L"Ошибка скачивания: сервер сжал ответ неизвестным способом: " +
                            encoding);
        // 15 + 32: a gzip or a zlib header, whichever the body has.
        stream_ = z_stream{};
        if (inflateInit2(&stream_, 15 + 32) != Z_OK)
            throw MakeError(L"Ошибка скачивания: не удалось распаковать ответ сервера.");
        decoding_ = true;
        output_.resize(kChunkSize);
    }

    void Write(const BYTE* data, DWORD size) {
        if (!decoding_) {
            WriteOut(data, size);
            return;
        }
        stream_.next_in = data;
        stream_.avail_in = size;
        do {
            stream_.next_out = output_.data();
            stream_.avail_out = static_cast<uInt>(output_.size());
            const int status = inflate(&stream_, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR)
                throw MakeError(L"Ошибка скачивания: сжатый ответ сервера повреждён.");
            WriteOut(output_.data(), static_cast<DWORD>(output_.size() - stream_.avail_out));
            if (status == Z_STREAM_END)
                break;
        } while (stream_.avail_in > 0 || stream_.avail_out == 0);
    }

    std::string FinishDigest() { return digest_->Finish(); }

private:
    void WriteOut(const BYTE* data, DWORD size) {
        if (size == 0)
            return;
        DWORD written = 0;
        if (FileOperationFault(L"write", path_) ||
            !WriteFile(file_, data, size, &written, nullptr) || written != size)
            ThrowWithSystemText(L"Ошибка записи файла: " + path_ + L": ", GetLastError());
        digest_->Update(data, size);
    }

    void EndDecoding() {
        if (decoding_)
            inflateEnd(&stream_);
        decoding_ = false;
    }

    HANDLE file_;
    const std::wstring& path_;
    bool decoding_ = false;
    z_stream stream_{};
    std::vector<BYTE> output_;
    std::optional<Sha256> digest_;
};

// " (URL)" when the response came from elsewhere than asked, after a redirect.
std::wstring WhereFrom(const Response& response, const std::wstring& requested) {
    if (response.url.empty() || response.url == requested)
        return std::wstring();
    return L" (" + response.url + L")";
}

void RejectErrorStatus(const Response& response, const std::wstring& requested) {
    if (response.status >= 400)
        throw MakeError(L"Ошибка скачивания: сервер ответил HTTP " +
                        std::to_wstring(response.status) + WhereFrom(response, requested));
}

} // namespace

unsigned long long ParseContentLength(const std::wstring& text) {
    std::wistringstream stream(text);
    unsigned long long length = 0;
    stream >> length;
    return stream.fail() ? 0 : length;
}

std::wstring EncodeUrlForRequest(const std::wstring& url) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, url.data(), static_cast<int>(url.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string utf8(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, url.data(), static_cast<int>(url.size()), utf8.data(), size,
                            nullptr, nullptr);
    const wchar_t* const hex = L"0123456789ABCDEF";
    std::wstring encoded;
    for (const unsigned char byte : utf8) {
        if (byte <= 0x20 || byte >= 0x7F || byte == '"' || byte == '<' || byte == '>' ||
            byte == '\\' || byte == '^' || byte == '`' || byte == '{' || byte == '|' ||
            byte == '}') {
            encoded += L'%';
            encoded += hex[byte >> 4];
            encoded += hex[byte & 0x0F];
        } else {
            encoded += static_cast<wchar_t>(byte);
        }
    }
    return encoded;
}

std::string HttpDownloadToFile(const std::wstring& url, const std::wstring& filePath,
                               const HttpDownloadEvents& events) {
    // A server that never answers, or stops sending, becomes a failure.
    const DWORD responseLimit = events.connectTimeoutMs + events.receiveTimeoutMs;
    const std::wstring requested = EncodeUrlForRequest(url);
    auto request = std::make_unique<HttpRequest>(requested, RequestHeaders(0, std::wstring()));
    DWORD code = 0;
    bool rootFailed = false;
    if (!request->WaitForResponse(responseLimit, code, rootFailed)) {
        if (rootFailed)
            ThrowWithSystemText(L"InternetOpenW failed: ", code);
        const std::wstring target = request->RedirectedTo();
        ThrowWithSystemText(L"Не удалось открыть URL: " + url +
                                (target.empty() ? std::wstring() : L" (" + target + L")") + L": ",
                            code);
    }
    Response response = ReadResponse(request->Handle());
    RejectErrorStatus(response, requested);
    const auto rejectLonger = [&](unsigned long long bytes) {
        if (events.maxBytes != 0 && bytes > events.maxBytes)
            throw MakeError(L"Ошибка скачивания: ответ сервера длиннее " +
                            std::to_wstring(events.maxBytes) + L" байт" +
                            WhereFrom(response, requested) + L".");
    };
    rejectLonger(response.length);
    if (response.length != 0 && events.onLength)
        events.onLength(response.length);

    HandleGuard file(FileOperationFault(L"create-file", filePath)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(ExtendedLengthPath(filePath).c_str(), GENERIC_WRITE, 0,
                                       nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        ThrowWithSystemText(L"Не удалось создать файл: " + filePath + L": ", GetLastError());
    BodyWriter output(file.Get(), filePath);
    output.Restart(response.encoding);

    if (events.onStart)
        events.onStart(response.length != 0);

    unsigned long long received = 0;
    int lastPercent = -1;
    int resumes = 0;
    for (;;) {
        const BYTE* piece = nullptr;
        DWORD read = 0;
        DWORD failure = code;
        if (request != nullptr && request->Read(events.receiveTimeoutMs, piece, read, failure) &&
            read > 0) {
            rejectLonger(received + read);
            output.Write(piece, read);
            received += read;
            if (response.length == 0)
                continue;
            const int percent = static_cast<int>(received * 100 / response.length);
            if (percent != lastPercent) {
                lastPercent = percent;
                if (events.onPercent)
                    events.onPercent(percent);
            }
            continue;
        }
        if (request != nullptr && failure == 0 &&
            (response.length == 0 || received == response.length))
            return output.FinishDigest();

        // Cut, stalled or short: go on from what is on disk.
        if (resumes == kResumeAttempts) {
            if (failure != 0)
                ThrowWithSystemText(L"Ошибка скачивания" + WhereFrom(response, requested) + L": ",
                                    failure);
            throw MakeError(L"Ошибка скачивания: получено " + std::to_wstring(received) + L" из " +
                            std::to_wstring(response.length) + L" байт" +
                            WhereFrom(response, requested) + L".");
        }
        ++resumes;
        Sleep(kResumePauseMs);
        const bool resumable = response.encoding.empty() && response.length != 0 &&
                               !response.validator.empty() && received > 0;
        request = std::make_unique<HttpRequest>(
            requested, RequestHeaders(resumable ? received : 0,
                                      resumable ? response.validator : std::wstring()));
        code = 0;
        if (!request->WaitForResponse(responseLimit, code, rootFailed)) {
            request.reset();
            continue;
        }
        const Response next = ReadResponse(request->Handle());
        RejectErrorStatus(next, requested);
        if (resumable && next.status == 206 && next.rangeStart == received)
            continue;
        // The whole body again (no range, or the file changed): from zero.
        if (next.status != 200) {
            request.reset();
            code = ERROR_INTERNET_INVALID_OPERATION;
            continue;
        }
        response = next;
        output.Restart(response.encoding);
        received = 0;
        lastPercent = -1;
    }
}

bool HttpDownloadRanges(
    const std::wstring& url, const std::vector<ByteRange>& ranges,
    const std::function<void(unsigned long long offset, const BYTE* data, DWORD size)>& onData,
    const HttpDownloadEvents& events) {
    const DWORD responseLimit = events.connectTimeoutMs + events.receiveTimeoutMs;
    const std::wstring requested = EncodeUrlForRequest(url);
    for (const ByteRange& range : ranges) {
        unsigned long long next = range.first;
        int resumes = 0;
        while (next <= range.last) {
            const std::wstring headers = RequestHeaders(0, std::wstring()) + L"Range: bytes=" +
                                         std::to_wstring(next) + L"-" +
                                         std::to_wstring(range.last) + L"\r\n";
            HttpRequest request(requested, headers);
            DWORD failure = 0;
            bool rootFailed = false;
            if (request.WaitForResponse(responseLimit, failure, rootFailed)) {
                const Response response = ReadResponse(request.Handle());
                RejectErrorStatus(response, requested);
                // Anything but this very range (a 200 with the whole file from
                // a server that ignores Range) ends the piecemeal fetch.
                if (response.status != 206 || response.rangeStart != next ||
                    !response.encoding.empty())
                    return false;
                if (events.onTotal)
                    events.onTotal(response.rangeTotal);
                const BYTE* piece = nullptr;
                DWORD read = 0;
                while (next <= range.last &&
                       request.Read(events.receiveTimeoutMs, piece, read, failure) && read > 0) {
                    const DWORD wanted = static_cast<DWORD>(
                        std::min<unsigned long long>(read, range.last - next + 1));
                    onData(next, piece, wanted);
                    next += wanted;
                }
            }
            if (next > range.last)
                break;
            // Cut, stalled or short: the rest of the range again.
            if (resumes == kResumeAttempts) {
                if (failure != 0)
                    ThrowWithSystemText(L"Ошибка скачивания: ", failure);
                throw MakeError(L"Ошибка скачивания: получено не всё.");
            }
            ++resumes;
            Sleep(kResumePauseMs);
        }
    }
    return true;
}
