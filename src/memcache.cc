// memcache.cc: the response buffer's write callback.
#include "memcache.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cache/cache.h"
#include "log.h"
#include "util.h"

long ResponseBuffer_status(const ResponseBuffer *headers)
{
    if (!headers || !headers->data)
        return 0;
    // With redirects the buffer holds every response's lines in order: the last status line
    // is the one of the response now arriving.
    const char *status = nullptr;
    for (const char *p = headers->data; p; p = strchr(p, '\n')) {
        if (*p == '\n')
            p++;
        if (strncmp(p, "HTTP/", 5) == 0)
            status = p;
    }
    if (!status)
        return 0;
    const char *code = strchr(status, ' ');
    return code ? strtol(code + 1, nullptr, 10) : 0;
}

size_t write_memory_callback(void *contents, size_t size, size_t nmemb, void *userp) noexcept
{
    ResponseBuffer *buf = static_cast<ResponseBuffer *>(userp);
    if (size != 0 && nmemb > (SIZE_MAX - 1 - buf->size) / size)
        log_fatal(HERE, "Response buffer size overflow!\n");
    size_t realsize = size * nmemb;

    if (buf->cf)
        checked_mutex_lock(&buf->cf->active_dl_lock, HERE);
    buf->data = static_cast<char *>(checked_realloc(buf->data, buf->size + realsize + 1, HERE));
    memcpy(buf->data + buf->size, contents, realsize);
    buf->size += realsize;
    buf->data[buf->size] = '\0';
    if (buf->cf) {
        if (buf->ad) {
            // A reply other than the asked-for range must not reach the segment's readers:
            // they keep waiting for the download to end or for a new attempt.
            if (buf->ad->transfer == buf && ResponseBuffer_status(buf->headers) != 206)
                buf->ad->transfer = nullptr;
            checked_cond_broadcast(&buf->ad->cond, HERE);
        }
        checked_mutex_unlock(&buf->cf->active_dl_lock, HERE);
    }
    return realsize;
}
