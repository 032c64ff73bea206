// HttpDownloadRanges: one thread drives up to 6 requests at once. Each
// request reads on a thread of its own (HttpRequest) and signals when its
// headers or a piece of its body are there; this thread waits for any of
// them, hands the bytes out and starts the next request on a free connection.

#include "platform/http/HttpDownload.h"

#include "platform/Errors.h"
#include "platform/http/HttpMultipart.h"
#include "platform/http/HttpRequest.h"
#include "platform/http/HttpResponse.h"
#include "platform/http/HttpStallBudget.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <vector>

namespace {

// Six connections at once, as browsers open to one server, so what servers
// and CDNs are sized for. Measured over real links, 8 connections fetched 75
// scattered ranges as fast as one multi-range request; beyond that they only
// add handshakes and load on the server.
const size_t kConnections = 6;
// 64 ranges keep the Range header under 3 KB even with 20-digit offsets, well
// within the 8 KB header lines that servers accept.
const size_t kMostRangesPerRequest = 64;
const int kRangeRetries = 3;
const DWORD kRetryPauseMs = 1000;
// Bytes past everything a request asked for that are still read, so that
// WinINet keeps the connection; more than that, and the response is left.
const unsigned long long kMostExtraBytes = 65536;

using DataSink = std::function<void(unsigned long long offset, const BYTE* data, DWORD size)>;

struct RangeFetch {
    ByteRange range;
    // The file's last this many bytes, until an answer says where they
    // start: asked as "bytes=-N", and range is set from its Content-Range.
    unsigned long long suffix = 0;
    unsigned long long next = 0; // the first byte not yet handed out
    int retries = 0;             // failed tries since its last byte came
    StallBudget stall;
    ULONGLONG notBefore = 0; // a retry waits until then
    bool inFlight = false;   // asked for by a request now
    bool Done() const { return next > range.last; }
};

// A connection and the request on it, if any.
struct Connection {
    std::unique_ptr<HttpRequest> request;
    std::vector<size_t> asked;    // the ranges it asked for
    std::vector<char> progressed; // for each: bytes of it came in this try
    bool responded = false;       // its headers came
    std::optional<MultipartReader> parts;
    unsigned long long position = 0; // a body of one part: the file offset of its next byte
    unsigned long long extra = 0;    // bytes read once every range asked was done
    ULONGLONG waitStart = 0;         // of the wait for the headers or the next piece
    ULONGLONG waitLimit = 0;
};

class RangeFetcher {
public:
    // The ranges, or (with tail) the file's last tail bytes alone.
    RangeFetcher(const std::wstring& url, const std::vector<ByteRange>& ranges,
                 const DataSink& onData, const HttpDownloadEvents& events,
                 unsigned long long tail = 0)
        : requested_(EncodeUrlForRequest(url)), onData_(onData), events_(events),
          validator_(events.ifRange), connections_(kConnections) {
        for (const ByteRange& range : ranges) {
            if (range.last < range.first)
                continue;
            RangeFetch fetch;
            fetch.range = range;
            fetch.next = range.first;
            fetch.stall = StallBudget(events.receiveTimeoutMs);
            fetches_.push_back(fetch);
        }
        if (tail != 0) {
            RangeFetch fetch;
            fetch.range = {0, ~0ULL};
            fetch.suffix = tail;
            fetch.stall = StallBudget(events.receiveTimeoutMs);
            fetches_.push_back(fetch);
        }
        std::stable_sort(
            fetches_.begin(), fetches_.end(),
            [](const RangeFetch& a, const RangeFetch& b) { return a.range.first < b.range.first; });
        // Spread over the connections, one request each when nothing fails.
        groupSize_ = std::clamp<size_t>((fetches_.size() + kConnections - 1) / kConnections, 1,
                                        kMostRangesPerRequest);
    }

    bool Run() {
        for (;;) {
            if (std::all_of(fetches_.begin(), fetches_.end(),
                            [](const RangeFetch& fetch) { return fetch.Done(); }))
                return true;
            StartRequests(GetTickCount64());
            Wait(GetTickCount64());
            const ULONGLONG now = GetTickCount64();
            for (Connection& connection : connections_)
                if (connection.request != nullptr && !Step(connection, now))
                    return false;
        }
    }

private:
    void StartRequests(ULONGLONG now) {
        for (Connection& connection : connections_) {
            if (connection.request != nullptr)
                continue;
            // Until a range came back as asked, one request at a time: a
            // server that sends the whole file instead costs one answer left
            // unread, not one on each connection.
            const bool busy =
                std::any_of(connections_.begin(), connections_.end(),
                            [](const Connection& other) { return other.request != nullptr; });
            if (busy && !rangesServed_)
                return;
            const size_t most = severalRefused_ ? 1 : groupSize_;
            std::vector<size_t> group;
            for (size_t i = 0; i < fetches_.size() && group.size() < most; ++i) {
                const RangeFetch& fetch = fetches_[i];
                if (!fetch.Done() && !fetch.inFlight && fetch.notBefore <= now)
                    group.push_back(i);
            }
            if (group.empty())
                return;
            Start(connection, group, now);
        }
    }

    void Start(Connection& connection, const std::vector<size_t>& group, ULONGLONG now) {
        std::wstring range = L"Range: bytes=";
        for (size_t i : group) {
            RangeFetch& fetch = fetches_[i];
            fetch.inFlight = true;
            if (i != group.front())
                range += L",";
            if (fetch.suffix != 0)
                range += L"-" + std::to_wstring(fetch.suffix);
            else
                range += std::to_wstring(fetch.next) + L"-" + std::to_wstring(fetch.range.last);
        }
        range += L"\r\n";
        if (!validator_.empty())
            range += L"If-Range: " + validator_ + L"\r\n";
        connection = Connection();
        connection.request = std::make_unique<HttpRequest>(
            requested_, DownloadRequestHeaders(0, std::wstring()) + range);
        connection.asked = group;
        connection.progressed.assign(group.size(), 0);
        connection.waitStart = now;
        connection.waitLimit = events_.connectTimeoutMs + WaitLimit(connection);
    }

    // The next wait of a request: at most what is left to the ranges it still owes.
    ULONGLONG WaitLimit(const Connection& connection) const {
        ULONGLONG limit = events_.receiveTimeoutMs;
        for (size_t i : connection.asked)
            if (!fetches_[i].Done())
                limit = std::min<ULONGLONG>(limit, fetches_[i].stall.NextWait());
        return limit;
    }

    // Until a request has something, a wait runs out, or a retry is due.
    void Wait(ULONGLONG now) {
        std::vector<HANDLE> events;
        ULONGLONG wait = INFINITE;
        for (Connection& connection : connections_) {
            if (connection.request == nullptr)
                continue;
            events.push_back(connection.responded ? connection.request->PieceEvent()
                                                  : connection.request->ResponseEvent());
            const ULONGLONG deadline = connection.waitStart + connection.waitLimit;
            wait = std::min(wait, deadline > now ? deadline - now : 0);
        }
        // A retry due starts on a free connection, unless the one request
        // allowed until ranges are served is out.
        if (events.size() < connections_.size() && (events.empty() || rangesServed_))
            for (const RangeFetch& fetch : fetches_)
                if (!fetch.Done() && !fetch.inFlight)
                    wait = std::min(wait, fetch.notBefore > now ? fetch.notBefore - now : 0);
        const DWORD timeout = static_cast<DWORD>(std::min<ULONGLONG>(wait, INFINITE));
        if (events.empty())
            Sleep(timeout);
        else
            WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE,
                                   timeout);
    }

    // Takes what the connection's request has. False when the server does
    // not serve ranges.
    bool Step(Connection& connection, ULONGLONG now) {
        HttpRequest& request = *connection.request;
        const HANDLE event = connection.responded ? request.PieceEvent() : request.ResponseEvent();
        if (WaitForSingleObject(event, 0) != WAIT_OBJECT_0) {
            if (now - connection.waitStart >= connection.waitLimit)
                EndTry(connection, ERROR_INTERNET_TIMEOUT, now);
            return true;
        }
        DWORD code = 0;
        if (!connection.responded) {
            bool rootFailed = false;
            if (!request.WaitForResponse(0, code, rootFailed)) {
                if (rootFailed)
                    ThrowWithSystemText(L"InternetOpenW failed: ", code);
                EndTry(connection, code, now);
                return true;
            }
            return TakeResponse(connection, now);
        }
        const BYTE* data = nullptr;
        DWORD size = 0;
        if (!request.Read(0, data, size, code) || size == 0) {
            EndTry(connection, code, now);
            return true;
        }
        TakeBody(connection, data, size, now);
        return true;
    }

    bool TakeResponse(Connection& connection, ULONGLONG now) {
        const HttpResponse response = ReadHttpResponse(connection.request->Handle());
        if (CutBeforeStatusLine(response)) {
            EndTry(connection, ERROR_HTTP_INVALID_SERVER_RESPONSE, now);
            return true;
        }
        RejectFailedResponse(response, requested_);
        RangeFetch& first = fetches_[connection.asked.front()];
        const bool partial = response.status == 206 && response.encoding.empty();
        // The file's end, as asked: now a range like any other.
        if (first.suffix != 0 && partial && response.hasRange && response.rangeTotal != 0 &&
            response.rangeLast + 1 == response.rangeTotal &&
            response.rangeLast - response.rangeFirst < first.suffix) {
            first.range = {response.rangeFirst, response.rangeLast};
            first.next = response.rangeFirst;
            first.suffix = 0;
        }
        unsigned long long last = 0;
        for (size_t i : connection.asked)
            last = std::max(last, fetches_[i].range.last);
        const bool several = connection.asked.size() > 1;
        const std::string boundary = MultipartBoundary(response.contentType);
        if (first.suffix != 0) {
            connection.request->Park();
            return false;
        } else if (partial && !boundary.empty()) {
            connection.parts.emplace(boundary);
        } else if (partial && response.hasRange && (several || response.rangeFirst == first.next)) {
            if (events_.onTotal)
                events_.onTotal(response.rangeTotal);
            connection.position = response.rangeFirst;
            // One part for several ranges: fine when it covers them all; the
            // bytes it holds are taken either way.
            if (several && (response.rangeFirst > first.next || response.rangeLast < last))
                severalRefused_ = true;
        } else if (several && response.encoding.empty()) {
            // The whole file, or something else, for several ranges: from now
            // on each range goes in a request of its own.
            severalRefused_ = true;
            GiveBack(connection);
            return true;
        } else {
            connection.request->Park();
            return false;
        }
        rangesServed_ = true;
        if (validator_.empty() && !response.validator.empty()) {
            validator_ = response.validator;
            if (events_.onValidator)
                events_.onValidator(validator_);
        }
        connection.responded = true;
        connection.waitStart = now;
        connection.waitLimit = WaitLimit(connection);
        connection.request->AskForPiece();
        return true;
    }

    void TakeBody(Connection& connection, const BYTE* data, DWORD size, ULONGLONG now) {
        const bool doneBefore = AllDone(connection);
        if (connection.parts) {
            const bool parts = connection.parts->Feed(
                data, size, [&](unsigned long long offset, const BYTE* bytes, DWORD count) {
                    HandOut(connection, offset, bytes, count);
                });
            if (!parts) {
                // Not the parts it announced: each range on its own from now on.
                severalRefused_ = true;
                EndTry(connection, ERROR_INTERNET_INVALID_OPERATION, now);
                return;
            }
        } else {
            HandOut(connection, connection.position, data, size);
            connection.position += size;
        }
        if (doneBefore) {
            connection.extra += size;
            if (connection.extra > kMostExtraBytes) {
                // More than was asked for, and still coming: leave it unread.
                connection.request->Park();
                connection.request.reset();
                for (size_t i : connection.asked)
                    fetches_[i].inFlight = false;
                return;
            }
        }
        connection.waitStart = now;
        connection.waitLimit = WaitLimit(connection);
    }

    // The bytes of the piece that continue a range the request asked for.
    void HandOut(Connection& connection, unsigned long long offset, const BYTE* data, DWORD size) {
        for (size_t k = 0; k < connection.asked.size(); ++k) {
            RangeFetch& fetch = fetches_[connection.asked[k]];
            if (fetch.Done() || offset > fetch.next || offset + size <= fetch.next)
                continue;
            const unsigned long long from = fetch.next;
            const unsigned long long end = std::min(fetch.range.last + 1, offset + size);
            fetch.next = end;
            fetch.retries = 0;
            fetch.stall.Refill();
            connection.progressed[k] = 1;
            onData_(from, data + (from - offset), static_cast<DWORD>(end - from));
        }
    }

    bool AllDone(const Connection& connection) const {
        return std::all_of(connection.asked.begin(), connection.asked.end(),
                           [&](size_t i) { return fetches_[i].Done(); });
    }

    // The request ended (its body, a failure, or a wait run out): what it
    // left of its ranges is asked again, or the fetch fails.
    void EndTry(Connection& connection, DWORD failure, ULONGLONG now) {
        const ULONGLONG waited = now - connection.waitStart;
        connection.request.reset();
        for (size_t k = 0; k < connection.asked.size(); ++k) {
            RangeFetch& fetch = fetches_[connection.asked[k]];
            fetch.inFlight = false;
            if (fetch.Done())
                continue;
            fetch.stall.Spend(waited);
            if (fetch.stall.Exhausted())
                ThrowWithSystemText(L"Ошибка скачивания: ", ERROR_INTERNET_TIMEOUT);
            if (connection.progressed[k]) {
                fetch.notBefore = now;
                continue;
            }
            if (fetch.retries == kRangeRetries) {
                if (failure != 0)
                    ThrowWithSystemText(L"Ошибка скачивания: ", failure);
                throw MakeError(L"Ошибка скачивания: получено не всё.");
            }
            ++fetch.retries;
            fetch.notBefore = now + kRetryPauseMs;
        }
    }

    // Leaves the response unread and its ranges for other requests, as if
    // never asked.
    void GiveBack(Connection& connection) {
        connection.request->Park();
        connection.request.reset();
        for (size_t i : connection.asked)
            fetches_[i].inFlight = false;
    }

    const std::wstring requested_;
    const DataSink& onData_;
    const HttpDownloadEvents& events_;
    std::wstring validator_;          // sent as If-Range once known
    std::vector<RangeFetch> fetches_; // by first byte
    size_t groupSize_ = 1;
    bool rangesServed_ = false;   // a request came back as a 206
    bool severalRefused_ = false; // several ranges a request are not answered as asked
    std::vector<Connection> connections_;
};

} // namespace

bool HttpDownloadRanges(const std::wstring& url, const std::vector<ByteRange>& ranges,
                        const DataSink& onData, const HttpDownloadEvents& events) {
    RangeFetcher fetcher(url, ranges, onData, events);
    return fetcher.Run();
}

bool HttpDownloadTail(const std::wstring& url, unsigned long long length, const DataSink& onData,
                      const HttpDownloadEvents& events) {
    RangeFetcher fetcher(url, {}, onData, events, length);
    return fetcher.Run();
}
