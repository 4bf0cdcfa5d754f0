// memcache.h: the response buffer, the bytes one transfer has received, and libcurl's write
// callback that fills it; and the judgement of a ranged reply from its header lines, made
// before a byte of its body is used. A buffer that feeds the cache (cf set) is appended to
// under that Cache's active_dl_lock, inside transfer_lock; see cache.h for the order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct Link;
struct Cache;
struct ActiveDownload;
struct Confirm;

enum TransferType : int32_t {
    TRANSFER_DATA = 'd',     // a body download, owned by the code that runs it
    TRANSFER_FILESTAT = 's', // a header request for a link's size and time, freed by the loop
    TRANSFER_STREAM = 'r',   // a range read ahead of a reader (stream.cc), owned by its Prefetch
};

// What a ranged download asks of the reply it gets.
struct RangeExpect {
    int64_t first, last; // the range asked for, both inclusive
    int64_t total;       // the file's size as listed
    int64_t time;        // its time as listed; 0 or less when unknown
};

// The judgement of a reply to a range request, from its status and header lines.
enum ReplyVerdict : int32_t {
    VERDICT_PENDING = 0, // not judged yet: no body byte and no end so far
    VERDICT_RANGE,       // 206 of the file as listed, from the first byte asked for
    VERDICT_WHOLE,       // 200 with the whole file as listed: the range is cut from it
    VERDICT_CHANGED,     // the file's size or time differs from the listing: it changed
    VERDICT_NO_RANGES,   // 200 or 206 of a server that does not serve ranges
    VERDICT_WRONG,       // a 206 of another range, or a 200 that cannot be the file
    VERDICT_STATUS,      // any other status: its body is not the file's
};

// The parts of a reply's header lines that decide about its body. With several responses in
// the lines (redirects), the last one counts.
struct ReplyHeaders {
    long status;         // 0 when no status line came
    bool ranges;         // "Accept-Ranges: bytes", or a Content-Range in bytes
    int64_t range_first; // Content-Range "bytes a-b/t": a, b and t; -1 for what is absent
    int64_t range_last;  // or "*"
    int64_t range_total;
    int64_t length;        // Content-Length; -1 when absent
    int64_t last_modified; // Last-Modified in seconds since the epoch; -1 when absent
};

struct ResponseBuffer {
    char *data;  // null until the first byte; always followed by one NUL byte (growing mode)
    size_t size; // bytes received (growing mode) or kept in place (fixed mode), NUL not counted
    int32_t type;
    // 1 while the handle is in the multi handle. The loop clears it, under transfer_lock, after
    // its last use of the handle; the owner polls it without the lock. Buffers are returned by
    // value, so the field stays plain and every access goes through std::atomic_ref.
    int32_t transferring;
    // The transfer's libcurl result, set by the loop before it clears `transferring`.
    int32_t result;
    Link *link; // TRANSFER_FILESTAT only
    // TRANSFER_FILESTAT: the requests still open of the fill that made this one, counted down
    // when the request is released; null when nobody counts.
    std::atomic<int> *outstanding;
    // TRANSFER_FILESTAT: what the fill keeps about the link's confirmation (attempts, what to
    // ask next); null when nobody retries it.
    Confirm *confirm;
    Cache *cf;          // appends happen under cf->active_dl_lock when set
    ActiveDownload *ad; // its cond is broadcast after each append when set
    // Fixed mode, for ranged downloads (expect set): `data` is the caller's buffer of
    // `capacity` bytes. The reply is judged from the header lines in `headers` when its first
    // body byte arrives; only a reply judged VERDICT_RANGE or VERDICT_WHOLE is kept (of a whole
    // file, the bytes from expect->first on), and never beyond `capacity`. `received` counts
    // every body byte that came.
    const ResponseBuffer *headers;
    const RangeExpect *expect;
    size_t capacity;
    int32_t verdict;
    uint64_t received;
    // TRANSFER_FILESTAT: redirects followed so far; whether one went from a file's URL to a
    // directory's ("name" to "name/"); whether this request is the GET of the first byte that
    // asks a file's size when its HEAD gave none.
    int32_t hops;
    bool to_dir;
    bool probe;
};

inline int32_t transferring_get(ResponseBuffer *buf)
{
    return std::atomic_ref<int32_t>(buf->transferring).load(std::memory_order_acquire);
}
inline void transferring_set(ResponseBuffer *buf, int32_t value)
{
    std::atomic_ref<int32_t>(buf->transferring).store(value, std::memory_order_release);
}

// The status code of the last response whose header lines are in `headers`, or 0.
long ResponseBuffer_status(const ResponseBuffer *headers);
// The deciding parts of the last response in `headers` (null or empty: nothing came).
ReplyHeaders ReplyHeaders_parse(const ResponseBuffer *headers);
// The verdict on a reply to the range `expect` describes. With `no_range_check`, a server
// need not say that it serves ranges: a whole-file 200 of the listed size is cut instead.
ReplyVerdict reply_verdict(const ReplyHeaders &reply, const RangeExpect &expect, bool no_range_check);

// libcurl's write (and header) callback; userp is the ResponseBuffer. Never returns short in
// growing mode; in fixed mode it ends the transfer once a whole-file reply has given every
// byte it keeps.
size_t write_memory_callback(void *contents, size_t size, size_t nmemb, void *userp) noexcept;
