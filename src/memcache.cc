// memcache.cc: the response buffer's write callback and the judgement of ranged replies.
#include "memcache.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <string>
#include <strings.h>

#include "cache/cache.h"
#include "config.h"
#include "log.h"
#include "util.h"

// The start of the last status line of the lines, or null.
static const char *last_status_line(const ResponseBuffer *headers)
{
    if (!headers || !headers->data)
        return nullptr;
    // With redirects the buffer holds every response's lines in order: the last status line
    // is the one of the response now arriving.
    const char *status = nullptr;
    for (const char *p = headers->data; p; p = strchr(p, '\n')) {
        if (*p == '\n')
            p++;
        if (strncmp(p, "HTTP/", 5) == 0)
            status = p;
    }
    return status;
}

long ResponseBuffer_status(const ResponseBuffer *headers)
{
    const char *status = last_status_line(headers);
    if (!status)
        return 0;
    const char *code = strchr(status, ' ');
    return code ? strtol(code + 1, nullptr, 10) : 0;
}

// A decimal number of 0 or more at `text`, or -1; *end after it.
static int64_t parse_count(const char *text, const char **end)
{
    const char *p = text;
    int64_t value = 0;
    if (*p < '0' || *p > '9') {
        *end = text;
        return -1;
    }
    for (; *p >= '0' && *p <= '9'; p++) {
        if (value > (INT64_MAX - 9) / 10) {
            *end = p;
            return -1;
        }
        value = value * 10 + (*p - '0');
    }
    *end = p;
    return value;
}

// "bytes a-b/t", "bytes */t" or "bytes a-b/*" into the reply.
static void parse_content_range(const char *value, ReplyHeaders *reply)
{
    if (strncasecmp(value, "bytes", 5) != 0)
        return;
    reply->ranges = true;
    const char *p = value + 5;
    while (*p == ' ')
        p++;
    const char *end;
    if (*p == '*') {
        end = p + 1;
    } else {
        int64_t first = parse_count(p, &end);
        if (*end != '-')
            return;
        int64_t last = parse_count(end + 1, &end);
        if (first < 0 || last < first)
            return;
        reply->range_first = first;
        reply->range_last = last;
    }
    if (*end == '/')
        reply->range_total = parse_count(end + 1, &end);
}

ReplyHeaders ReplyHeaders_parse(const ResponseBuffer *headers)
{
    ReplyHeaders reply{0, false, -1, -1, -1, -1, -1};
    const char *status = last_status_line(headers);
    if (!status)
        return reply;
    reply.status = ResponseBuffer_status(headers);
    const char *line = strchr(status, '\n');
    while (line && line[1]) {
        line++;
        const char *end = line + strcspn(line, "\r\n");
        const char *colon = static_cast<const char *>(memchr(line, ':', static_cast<size_t>(end - line)));
        if (colon) {
            std::string name(line, static_cast<size_t>(colon - line));
            const char *v = colon + 1;
            while (v < end && (*v == ' ' || *v == '\t'))
                v++;
            std::string value(v, static_cast<size_t>(end - v));
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
                value.pop_back();
            if (strcasecmp(name.c_str(), "Content-Range") == 0) {
                parse_content_range(value.c_str(), &reply);
            } else if (strcasecmp(name.c_str(), "Accept-Ranges") == 0) {
                if (strcasecmp(value.c_str(), "bytes") == 0)
                    reply.ranges = true;
            } else if (strcasecmp(name.c_str(), "Content-Length") == 0) {
                const char *after;
                int64_t length = parse_count(value.c_str(), &after);
                if (*after == '\0')
                    reply.length = length;
            } else if (strcasecmp(name.c_str(), "Last-Modified") == 0) {
                time_t when = curl_getdate(value.c_str(), nullptr);
                if (when >= 0)
                    reply.last_modified = when;
            }
        }
        line = strchr(end, '\n');
    }
    return reply;
}

ReplyVerdict reply_verdict(const ReplyHeaders &reply, const RangeExpect &expect, bool no_range_check)
{
    bool time_changed = expect.time > 0 && reply.last_modified >= 0 && reply.last_modified != expect.time;
    switch (reply.status) {
    case 206:
        if (time_changed || (reply.range_total >= 0 && reply.range_total != expect.total))
            return VERDICT_CHANGED;
        if (reply.range_first < 0) {
            // No Content-Range: only the body's length can tell, and only a server that says it
            // serves ranges (or the user) is taken at its word.
            return !no_range_check && !reply.ranges ? VERDICT_NO_RANGES : VERDICT_RANGE;
        }
        // The bytes must start where asked; a body that ends elsewhere is a body of the wrong
        // length, which the download measures itself.
        if (reply.range_first != expect.first)
            return VERDICT_WRONG;
        return VERDICT_RANGE;
    case 200:
        if (time_changed)
            return VERDICT_CHANGED;
        if (!no_range_check && !reply.ranges)
            return VERDICT_NO_RANGES;
        if (reply.length >= 0 && reply.length != expect.total)
            return VERDICT_CHANGED;
        // Without a length nothing says that this body is the file as listed.
        return reply.length < 0 ? VERDICT_WRONG : VERDICT_WHOLE;
    case 416:
        // The range lies past the end: the file has shrunk since it was listed.
        if (reply.range_total >= 0 && reply.range_total != expect.total)
            return VERDICT_CHANGED;
        return VERDICT_STATUS;
    default:
        return VERDICT_STATUS;
    }
}

// Fixed mode: judges the reply at its first byte and keeps what it may. Returns whether the
// transfer should go on. Called with cf->active_dl_lock held when the buffer feeds the cache.
static bool keep_ranged(ResponseBuffer *buf, const char *contents, size_t n)
{
    if (buf->verdict == VERDICT_PENDING)
        buf->verdict = reply_verdict(ReplyHeaders_parse(buf->headers), *buf->expect, CONFIG.no_range_check);
    uint64_t at = buf->received;
    buf->received += n;
    uint64_t from; // position in the body of the first byte kept
    if (buf->verdict == VERDICT_RANGE)
        from = 0;
    else if (buf->verdict == VERDICT_WHOLE)
        from = static_cast<uint64_t>(buf->expect->first);
    else
        return true;
    uint64_t until = from + buf->capacity;
    uint64_t lo = at > from ? at : from;
    uint64_t hi = at + n < until ? at + n : until;
    if (lo < hi) {
        memcpy(buf->data + (lo - from), contents + (lo - at), static_cast<size_t>(hi - lo));
        if (lo - from + (hi - lo) > buf->size)
            buf->size = static_cast<size_t>(lo - from + (hi - lo));
    }
    // The rest of a whole file is of no use to this read.
    return !(buf->verdict == VERDICT_WHOLE && buf->received >= until);
}

// One chunk into the buffer; whether the transfer should go on.
static bool append(ResponseBuffer *buf, const char *contents, size_t n)
{
    if (buf->expect)
        return keep_ranged(buf, contents, n);
    buf->data = static_cast<char *>(checked_realloc(buf->data, buf->size + n + 1, HERE));
    memcpy(buf->data + buf->size, contents, n);
    buf->size += n;
    buf->data[buf->size] = '\0';
    return true;
}

size_t write_memory_callback(void *contents, size_t size, size_t nmemb, void *userp) noexcept
{
    ResponseBuffer *buf = static_cast<ResponseBuffer *>(userp);
    if (size != 0 && nmemb > (SIZE_MAX - 1 - buf->size) / size)
        log_fatal(HERE, "Response buffer size overflow!\n");
    size_t realsize = size * nmemb;
    const char *bytes = static_cast<const char *>(contents);
    bool go_on;
    if (buf->cf) {
        // The segment's joined readers copy from this buffer under the same lock.
        ScopedLock guard(&buf->cf->active_dl_lock, HERE);
        go_on = append(buf, bytes, realsize);
        if (buf->ad)
            checked_cond_broadcast(&buf->ad->cond, HERE);
    } else {
        go_on = append(buf, bytes, realsize);
    }
    return go_on ? realsize : 0;
}
