// memcache.h: the response buffer, the bytes one transfer has received, and libcurl's write
// callback that fills it. A buffer that feeds the cache (cf set) is appended to under that
// Cache's active_dl_lock, inside transfer_lock; see cache.h for the order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

struct Link;
struct Cache;
struct ActiveDownload;

enum TransferType : int32_t {
    TRANSFER_DATA = 'd',     // a body download, owned by the code that runs it
    TRANSFER_FILESTAT = 's', // a header request for a link's size and time, freed by the loop
};

struct ResponseBuffer {
    char *data;  // null until the first byte; always followed by one NUL byte
    size_t size; // bytes received, the NUL not counted
    int32_t type;
    // 1 while the handle is in the multi handle. The loop clears it, under transfer_lock, after
    // its last use of the handle; the owner polls it without the lock. Buffers are returned by
    // value, so the field stays plain and every access goes through std::atomic_ref.
    int32_t transferring;
    Link *link; // TRANSFER_FILESTAT only
    // TRANSFER_FILESTAT: the requests still open of the fill that made this one, counted down
    // when the request is released; null when nobody counts.
    std::atomic<int> *outstanding;
    Cache *cf;          // appends happen under cf->active_dl_lock when set
    ActiveDownload *ad; // its cond is broadcast after each append when set
    // For a body that feeds the cache: the header lines of the same transfer. Joined readers
    // copy only from a 206 reply, never from an error page or a whole-file 200.
    const ResponseBuffer *headers;
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

// libcurl's write (and header) callback; userp is the ResponseBuffer. Never returns short.
size_t write_memory_callback(void *contents, size_t size, size_t nmemb, void *userp) noexcept;
