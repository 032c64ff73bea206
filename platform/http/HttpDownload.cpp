#include "platform/http/HttpDownload.h"

#include "platform/Errors.h"
#include "platform/files/FileFaults.h"
#include "platform/files/FileOps.h"
#include "platform/Guards.h"
#include "platform/http/HttpRequest.h"
#include "platform/http/HttpResponse.h"
#include "platform/http/HttpStallBudget.h"
#include "platform/files/Paths.h"
#include "platform/files/LongPath.h"
#include "platform/trust/Sha256.h"
#include "platform/Text.h"

#define ZLIB_CONST
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

namespace {

const DWORD kChunkSize = 262144;
const unsigned long long kGrowthReportBytes = 1ull << 20;
// Tries in a row that bring no new byte before a transfer is given up; a
// try that brought some is followed at once.
const int kResumeAttempts = 3;
const DWORD kResumePauseMs = 1000;

// The connection was cut before the response's headers came: tried again,
// as a cut in the body is. A host that cannot be reached is not.
bool CutBeforeHeaders(DWORD code) {
    return code == ERROR_INTERNET_CONNECTION_ABORTED || code == ERROR_INTERNET_CONNECTION_RESET ||
           code == ERROR_HTTP_INVALID_SERVER_RESPONSE;
}

// Writes the body to the file, decoding it when the server compressed it, and
// digests exactly the bytes written, so that the digest is ready with the file.
class BodyWriter {
public:
    // checkWritten gets the decoded bytes the file will hold before they are
    // written, and may raise.
    BodyWriter(HANDLE file, const std::wstring& path,
               const std::function<void(unsigned long long total)>& checkWritten)
        : file_(file), path_(path), checkWritten_(checkWritten) {}
    ~BodyWriter() { EndDecoding(); }
    BodyWriter(const BodyWriter&) = delete;
    BodyWriter& operator=(const BodyWriter&) = delete;

    // Goes on after the bytes the file already holds (a body's beginning,
    // kept from an earlier download): they are digested first.
    void Continue(unsigned long long kept) {
        EndDecoding();
        digest_.reset();
        digest_.emplace();
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN))
            ThrowWithSystemText(L"Ошибка чтения файла: " + path_ + L": ", GetLastError());
        std::vector<BYTE> buffer(kChunkSize);
        for (unsigned long long done = 0; done < kept;) {
            DWORD read = 0;
            const DWORD wanted =
                static_cast<DWORD>(std::min<unsigned long long>(kept - done, kChunkSize));
            if (!ReadFile(file_, buffer.data(), wanted, &read, nullptr) || read == 0)
                ThrowWithSystemText(L"Ошибка чтения файла: " + path_ + L": ", GetLastError());
            digest_->Update(buffer.data(), read);
            done += read;
        }
        written_ = kept;
    }

    // Starts the file and its digest again for a body sent with this encoding.
    void Restart(const std::wstring& encoding) {
        EndDecoding();
        LARGE_INTEGER zero{};
        if (!SetFilePointerEx(file_, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(file_))
            ThrowWithSystemText(L"Ошибка записи файла: " + path_ + L": ", GetLastError());
        digest_.reset();
        digest_.emplace();
        written_ = 0;
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
        // Bounds count what reaches the disk: a small compressed body may
        // unpack to gigabytes.
        checkWritten_(written_ + size);
        written_ += size;
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
    const std::function<void(unsigned long long total)>& checkWritten_;
    unsigned long long written_ = 0;
    bool decoding_ = false;
    z_stream stream_{};
    std::vector<BYTE> output_;
    std::optional<Sha256> digest_;
};

DWORD g_receiveTimeoutForTests = 0;

} // namespace

void SetReceiveTimeoutForTests(DWORD milliseconds) {
    g_receiveTimeoutForTests = milliseconds;
}

DWORD DefaultReceiveTimeoutMs() {
    return g_receiveTimeoutForTests != 0 ? g_receiveTimeoutForTests : 60000;
}

unsigned long long ParseContentLength(const std::wstring& text) {
    std::wistringstream stream(text);
    unsigned long long length = 0;
    stream >> length;
    return stream.fail() ? 0 : length;
}

std::wstring EncodeUrlForRequest(const std::wstring& url) {
    const std::string utf8 = WideToUtf8(url);
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
    // The beginning of the body an earlier download left in the file.
    const unsigned long long kept =
        events.resumeValidator.empty() || !IsFile(filePath) ? 0 : FileSize(filePath);
    std::unique_ptr<HttpRequest> request;
    DWORD code = 0;
    bool rootFailed = false;
    HttpResponse response;
    for (int tries = 0;; ++tries) {
        request = std::make_unique<HttpRequest>(
            requested,
            DownloadRequestHeaders(kept, kept != 0 ? events.resumeValidator : std::wstring()));
        if (request->WaitForResponse(responseLimit, code, rootFailed)) {
            response = ReadHttpResponse(request->Handle());
            if (!CutBeforeStatusLine(response))
                break;
            code = ERROR_HTTP_INVALID_SERVER_RESPONSE;
        }
        if (rootFailed)
            ThrowWithSystemText(L"InternetOpenW failed: ", code);
        if (CutBeforeHeaders(code) && tries < kResumeAttempts) {
            Sleep(kResumePauseMs);
            continue;
        }
        const std::wstring target = request->RedirectedTo();
        ThrowWithSystemText(L"Не удалось открыть URL: " + url +
                                (target.empty() ? std::wstring() : L" (" + target + L")") + L": ",
                            code);
    }
    RejectFailedResponse(response, requested);
    // The same body goes on where the kept bytes end; anything else (200:
    // the file changed, or no ranges) starts from zero.
    const bool resumed = kept != 0 && response.status == 206 && response.hasRange &&
                         response.rangeFirst == kept && response.rangeTotal > kept &&
                         response.encoding.empty();
    if (resumed) {
        response.length = response.rangeTotal;
        response.validator = events.resumeValidator;
    }
    // What a later download may go on from: a body of known length, sent
    // as it is, with a validator.
    const auto reportValidator = [&] {
        if (events.onValidator)
            events.onValidator(response.encoding.empty() && response.length != 0
                                   ? response.validator
                                   : std::wstring());
    };
    reportValidator();
    unsigned long long most =
        events.exactBytes != 0 && (events.maxBytes == 0 || events.exactBytes < events.maxBytes)
            ? events.exactBytes
            : events.maxBytes;
    if (events.bodyLimit) {
        const unsigned long long limit = events.bodyLimit();
        if (limit != 0 && (most == 0 || limit < most))
            most = limit;
    }
    const auto rejectLonger = [&](unsigned long long bytes) {
        if (most != 0 && bytes > most)
            throw MakeError(L"Ошибка скачивания: ответ сервера длиннее " + std::to_wstring(most) +
                            L" байт" + ResponseSource(response, requested) + L".");
    };
    if (response.encoding.empty()) {
        rejectLonger(response.length);
        if (events.exactBytes != 0 && response.length != 0 && response.length != events.exactBytes)
            throw MakeError(L"Ошибка скачивания: сервер объявил " +
                            std::to_wstring(response.length) + L" байт вместо " +
                            std::to_wstring(events.exactBytes) +
                            ResponseSource(response, requested) + L".");
    }
    if (response.length != 0 && events.onLength)
        events.onLength(response.length);
    // A body without a length is looked at as it grows, every MiB.
    unsigned long long nextGrowthReport = kGrowthReportBytes;
    const std::function<void(unsigned long long)> checkWritten = [&](unsigned long long total) {
        rejectLonger(total);
        if (response.length == 0 && events.onGrowth && total >= nextGrowthReport) {
            nextGrowthReport = total + kGrowthReportBytes;
            events.onGrowth(total);
        }
    };

    HandleGuard file(FileOperationFault(L"create-file", filePath)
                         ? INVALID_HANDLE_VALUE
                         : CreateFileW(ExtendedLengthPath(filePath).c_str(),
                                       GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       resumed ? OPEN_EXISTING : CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
        ThrowWithSystemText(L"Не удалось создать файл: " + filePath + L": ", GetLastError());
    BodyWriter output(file.Get(), filePath, checkWritten);
    if (resumed)
        output.Continue(kept);
    else
        output.Restart(response.encoding);

    if (events.onStart)
        events.onStart(response.length != 0);

    unsigned long long received = resumed ? kept : 0;
    // The furthest the file has reached over the tries: only bytes beyond
    // it are progress. A body sent again from zero gives no time back.
    unsigned long long furthest = received;
    bool progressed = false; // new bytes in this try
    int barren = 0;          // tries in a row without new bytes
    int lastPercent = -1;
    StallBudget stall(events.receiveTimeoutMs);
    for (;;) {
        const BYTE* piece = nullptr;
        DWORD read = 0;
        DWORD failure = code;
        const ULONGLONG waitStart = GetTickCount64();
        const DWORD waitLimit = stall.NextWait();
        if (request != nullptr && request->Read(waitLimit, piece, read, failure) && read > 0) {
            // Never more than the server announced.
            if (response.length != 0 && received + read > response.length)
                throw MakeError(L"Ошибка скачивания: сервер прислал больше " +
                                std::to_wstring(response.length) + L" байт, которые объявил" +
                                ResponseSource(response, requested) + L".");
            output.Write(piece, read);
            received += read;
            if (received > furthest) {
                furthest = received;
                progressed = true;
                stall.Refill();
            }
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

        // Cut, stalled or short: go on from what is on disk, unless the
        // tries or the time without a byte are used up (a wait that ran out
        // counts whole, whatever the clock's grain).
        const ULONGLONG waited = GetTickCount64() - waitStart;
        stall.Spend(request != nullptr && failure == ERROR_INTERNET_TIMEOUT
                        ? std::max<ULONGLONG>(waited, waitLimit)
                        : waited);
        if (!progressed)
            ++barren;
        if (barren > kResumeAttempts || stall.Exhausted()) {
            if (failure != 0)
                ThrowInterrupted(L"Ошибка скачивания" + ResponseSource(response, requested) + L": ",
                                 failure);
            throw DownloadInterrupted(MakeError(L"Ошибка скачивания: получено " +
                                                std::to_wstring(received) + L" из " +
                                                std::to_wstring(response.length) + L" байт" +
                                                ResponseSource(response, requested) + L".")
                                          .what());
        }
        if (progressed)
            barren = 0;
        else
            Sleep(kResumePauseMs);
        progressed = false;
        const bool resumable = response.encoding.empty() && response.length != 0 &&
                               !response.validator.empty() && received > 0;
        request = std::make_unique<HttpRequest>(
            requested, DownloadRequestHeaders(resumable ? received : 0,
                                              resumable ? response.validator : std::wstring()));
        code = 0;
        const ULONGLONG asked = GetTickCount64();
        const DWORD headersLimit = events.connectTimeoutMs + stall.NextWait();
        if (!request->WaitForResponse(headersLimit, code, rootFailed)) {
            const ULONGLONG waited = GetTickCount64() - asked;
            stall.Spend(code == ERROR_INTERNET_TIMEOUT ? std::max<ULONGLONG>(waited, headersLimit)
                                                       : waited);
            request.reset();
            continue;
        }
        const HttpResponse next = ReadHttpResponse(request->Handle());
        if (CutBeforeStatusLine(next)) {
            request.reset();
            code = ERROR_HTTP_INVALID_SERVER_RESPONSE;
            continue;
        }
        RejectFailedResponse(next, requested);
        if (resumable && next.status == 206 && next.hasRange && next.rangeFirst == received)
            continue;
        // The whole body again (no range, or the file changed): from zero.
        if (next.status != 200) {
            request.reset();
            code = ERROR_INTERNET_INVALID_OPERATION;
            continue;
        }
        response = next;
        reportValidator();
        output.Restart(response.encoding);
        received = 0;
        lastPercent = -1;
        nextGrowthReport = kGrowthReportBytes;
    }
}
