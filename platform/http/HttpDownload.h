#pragma once
// One HTTP(S) GET through WinINet, streamed to a file in pieces of up to 256 KiB
// as they arrive, with every cache bypassed. Used for the build archive and,
// where PowerShell is not available, for the manifest.
//
// A status of 400 or more fails at once. A connection cut before the
// response's headers is tried again, up to 3 times, a second apart. A
// transfer that is cut, stalls (no byte for the receive time limit) or ends
// short of its announced length is resumed from the last byte on disk with a
// Range request (If-Range on the server's ETag or Last-Modified): at once
// after a try that brought new bytes, else a second apart, up to 3 tries in a
// row without one; a server that answers with the whole body again restarts
// the file from zero. New bytes are those beyond the furthest point the file
// reached. The time without a new byte, summed over the tries, ends the
// transfer once it reaches twice the receive time limit (each wait lasts at
// most what is left of that); a new byte gives it back whole. A body the server
// compressed although identity was asked for (gzip or deflate) is decoded;
// percentages count the bytes on the wire. More bytes than the server
// announced fail the download.

#include <windows.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

// What HttpDownloadToFile raises when the transfer stopped on the network
// (cut or stalled past its tries): the bytes that arrived are the body's
// beginning, and a later download may go on from them.
class DownloadInterrupted : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a download raises when the server sent nothing within its time
// limits: the server, or the link to it, is gone for now, and another
// request to it would wait as long again.
class DownloadTimedOut : public DownloadInterrupted {
public:
    using DownloadInterrupted::DownloadInterrupted;
};

// Shortens every download's receive time limit (0: the usual 60 s), so that
// a test of a stalled server ends in seconds.
void SetReceiveTimeoutForTests(DWORD milliseconds);
DWORD DefaultReceiveTimeoutMs();

struct HttpDownloadEvents {
    // The announced length, before the file is created (only when known).
    std::function<void(unsigned long long length)> onLength;
    // Before the first chunk: whether the server announced a length.
    std::function<void(bool lengthKnown)> onStart;
    // After a chunk whose whole percentage differs from the last one reported
    // (only when the length is known); the first chunk always reports.
    std::function<void(int percent)> onPercent;

    // At most this many bytes of body (0: no limit), counted as written, so
    // after a compressed body is decoded: a longer one, announced or sent,
    // fails the download before more is written.
    unsigned long long maxBytes = 0;
    // The body's exact length once decoded (0: not known): a body announced
    // with another length fails before anything is written, a longer one as
    // soon as it goes past.
    unsigned long long exactBytes = 0;
    // HttpDownloadToFile: asked once the first answer's headers came, before
    // a byte is written: the most bytes of body, when a lower bound than
    // maxBytes (0: none). Lets a caller that learns the bound while the
    // request is on its way give it; may wait for it, and may raise.
    std::function<unsigned long long()> bodyLimit;
    // For a body without an announced length, as it grows: the bytes
    // written so far, every MiB. May raise, which ends the download.
    std::function<void(unsigned long long written)> onGrowth;
    // HttpDownloadRanges: the file's whole size as an answer's Content-Range
    // states it (0 when it does not).
    std::function<void(unsigned long long total)> onTotal;
    // HttpDownloadRanges: the version of the file the ranges must come from
    // (an earlier answer's strong ETag, else its Last-Modified), sent as
    // If-Range with every request; empty: the first answer's. onValidator
    // gets the one the ranges are bound to, once known; HttpDownloadToFile,
    // the one of the body it writes (empty: none).
    std::wstring ifRange;
    std::function<void(const std::wstring& validator)> onValidator;
    // HttpDownloadToFile: the file already holds the beginning of the body,
    // from an earlier download of the URL whose answer had this validator.
    // It is asked for from there with If-Range, and written from zero when
    // the server sends it whole.
    std::wstring resumeValidator;

    // Time limits: to connect, and without a byte received (twice that over
    // all the tries of a transfer).
    DWORD connectTimeoutMs = 30000;
    DWORD receiveTimeoutMs = DefaultReceiveTimeoutMs();
};

// Returns the SHA-256 of the file as written (lower-case hexadecimal), made
// while the body arrived: over the bytes appended by a resumed transfer, and
// from the start again when the server sends the whole body anew.
// Raises the launcher's error on failure: "Не удалось открыть URL: " + URL +
// ": " + system text when no response came, "Ошибка скачивания: " + the cause
// otherwise (the HTTP status, the system text, the bytes that arrived).
std::string HttpDownloadToFile(const std::wstring& url, const std::wstring& filePath,
                               const HttpDownloadEvents& events);

// The announced length as a formatted stream reads a number: leading blanks
// skipped, digits up to the first non-digit, 0 when there is no number.
unsigned long long ParseContentLength(const std::wstring& text);

// The URL as browsers send it: every byte of its UTF-8 form outside printable
// ASCII, and the space, percent-encoded; what is already encoded stays.
std::wstring EncodeUrlForRequest(const std::wstring& url);

// Bytes first to last of a file, both included.
struct ByteRange {
    unsigned long long first = 0;
    unsigned long long last = 0;
};

// Fetches the ranges of the URL over up to 6 connections at once, each kept
// for many requests. Neighbouring ranges go in one request (up to 64 a
// request) where the server answers several ranges with a 206 (as
// multipart/byteranges, or one part that covers them all); one that answers
// them with the whole file (200) is not read on, and from then on every range
// goes in a request of its own. Until one request has come back as a 206,
// only one is in flight.
//
// onData gets the bytes with the offset in the file of the first. Its calls
// come on the calling thread, one at a time, so it needs no lock; ranges come
// in any order, each range's bytes in increasing order, and on success every
// byte of every range exactly once.
//
// A range that a request leaves unfinished (cut, stalled or short) is asked
// again for its rest: right away when bytes of it came, else up to 3 times, a
// second apart. The time without a new byte of a range, summed over its
// tries, ends the fetch once it reaches twice the receive time limit.
//
// Every request after the first answer (and every one, with ifRange) carries
// If-Range, so that a file replaced on the server meanwhile is answered whole.
//
// False as soon as a request for one range is answered with anything but a
// 206 from that range's first byte (a server that ignores Range sends the
// whole file with 200, which is left unread), or with a compressed body:
// the caller then takes the whole file. Raises as HttpDownloadToFile does for
// an error status or a failed transfer, and passes on what onData raises.
// Only the events' time limits, onTotal, ifRange and onValidator are used.
bool HttpDownloadRanges(
    const std::wstring& url, const std::vector<ByteRange>& ranges,
    const std::function<void(unsigned long long offset, const BYTE* data, DWORD size)>& onData,
    const HttpDownloadEvents& events = HttpDownloadEvents());

// The file's last length bytes (all of it when it is smaller), asked for
// with a suffix range ("bytes=-N"), whose answer also states the file's size
// (onTotal): one request where a probe of the size would take two. Otherwise
// as HttpDownloadRanges; false unless the answer is a 206 that ends at the
// file's end and holds no more than was asked.
bool HttpDownloadTail(
    const std::wstring& url, unsigned long long length,
    const std::function<void(unsigned long long offset, const BYTE* data, DWORD size)>& onData,
    const HttpDownloadEvents& events);
