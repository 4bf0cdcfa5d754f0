// download.cc: ranged downloads of file contents, whole-body downloads of listing pages and
// Sonic replies, and the uncached read of a path. Both downloads block: the calling thread
// drives the shared multi loop until its transfer is done. Temporary HTTP failures are retried
// without limit, CONFIG.retry_wait seconds apart, with no lock held while sleeping.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"
#include "log.h"
#include "network.h"
#include "util.h"

static void retry_pause()
{
    if (CONFIG.retry_wait > 0)
        sleep(static_cast<unsigned int>(CONFIG.retry_wait));
}

static void set_option_result(CURLcode res)
{
    if (res)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
}

// libcurl's receive buffer for range downloads, held per running download.
static const long DOWNLOAD_CHUNK_SIZE = 512L * 1024;

static CURL *Link_download_curl_setup(Link *link, ResponseBuffer *header, ResponseBuffer *body,
                                      const char *range)
{
    CURL *curl = Link_to_curl(link);
    set_option_result(curl_easy_setopt(curl, CURLOPT_HEADERDATA, header));
    set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEDATA, body));
    set_option_result(curl_easy_setopt(curl, CURLOPT_PRIVATE, body));
    set_option_result(curl_easy_setopt(curl, CURLOPT_RANGE, range));
    // The body buffer grows by an exact reallocation per delivered chunk, so the chunk size
    // decides how often a segment's bytes are copied on the way in: libcurl's default of 16 KiB
    // makes that 512 times per 8 MiB segment, and halves the throughput of cold cached reads.
    set_option_result(curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, DOWNLOAD_CHUNK_SIZE));
    return curl;
}

// Drops the bytes a buffer holds, leaving it empty for another attempt.
static void empty_buffer(ResponseBuffer *buf)
{
    checked_free(buf->data);
    buf->data = nullptr;
    buf->size = 0;
}

// Ends the attempt's hold on the segment's download record; after this no other thread
// touches the body buffer.
static void Link_download_finish_transfer(Cache *cf, int64_t offset, ResponseBuffer *body)
{
    if (!cf) {
        transferring_set(body, 0);
        return;
    }
    ScopedLock guard(&cf->active_dl_lock, HERE);
    transferring_set(body, 0);
    ActiveDownload *ad = ActiveDownload_find(cf, offset);
    if (ad && ad->transfer == body)
        ad->transfer = nullptr;
    if (body->ad) {
        ActiveDownload_unref(body->ad);
        body->ad = nullptr;
    }
}

// The server must say it serves ranges; without any response there is nothing to judge.
static void range_check(const ResponseBuffer *header)
{
    if (CONFIG.no_range_check || !header->data)
        return;
    if (strcasestr(header->data, "Accept-Ranges: bytes") || strcasestr(header->data, "Content-Range: bytes"))
        return;
    fprintf(stderr,
            "This web server does not support HTTP range requests. If you do not believe that is "
            "the case, and if you plan to file a bug report, please include the following HTTP "
            "header information:\n%s\n",
            header->data);
    exit(EXIT_FAILURE);
}

int64_t Link_download(Link *link, char *output_buf, uint64_t req_size, int64_t offset, Cache *cf)
{
    if (req_size == 0)
        return 0;
    int64_t content_length = link->content_length;
    if (offset < 0 || offset >= content_length)
        return 0;
    uint64_t remaining = static_cast<uint64_t>(content_length - offset);
    uint64_t n = req_size;
    if (remaining < req_size) {
        log_printf(LOG_INFO, HERE,
                   "requested size larger than remaining size, req_size: %zu, remaining: %zu\n",
                   static_cast<size_t>(req_size), static_cast<size_t>(remaining));
        n = remaining;
    }
    uint64_t last = static_cast<uint64_t>(offset) + n - 1;

    while (true) {
        ResponseBuffer body{};
        body.type = TRANSFER_DATA;
        body.transferring = 1;
        body.cf = cf;
        ResponseBuffer header{};
        if (cf) {
            body.headers = &header;
            ScopedLock guard(&cf->active_dl_lock, HERE);
            ActiveDownload *ad = ActiveDownload_find(cf, offset);
            if (ad) {
                ad->transfer = &body;
                body.ad = ad;
                ad->refcount++;
                checked_cond_broadcast(&ad->cond, HERE);
            }
        }
        char range[64];
        snprintf(range, sizeof(range), "%" PRIu64 "-%" PRIu64, static_cast<uint64_t>(offset), last);
        CURL *curl = Link_download_curl_setup(link, &header, &body, range);

        transfer_blocking(curl);
        range_check(&header);
        empty_buffer(&header);

        long code = 0;
        CURLcode res = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        if (res)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        int64_t recv;
        // A 416 means the file has shrunk below the range since it was listed: asking again
        // would never end, and its body is an error page, so it fails like any other status.
        if (code == 200 || code == 206) {
            curl_off_t size = 0;
            res = curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &size);
            if (res) {
                log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
                recv = -1;
            } else {
                recv = size;
            }
        } else {
            char *url = nullptr;
            curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &url);
            std::string safe = url_for_log(url ? url : link->f_url);
            log_printf(LOG_WARNING, HERE, "Could not download %s, HTTP %ld\n", safe.c_str(), code);
            recv = is_temporary_http_failure(code) ? -EAGAIN : -ENOENT;
        }
        curl_easy_cleanup(curl);
        Link_download_finish_transfer(cf, offset, &body);

        if (recv < 0) {
            checked_free(body.data);
            if (recv == -EAGAIN) {
                log_printf(LOG_WARNING, HERE, "HTTP temporary failure, retrying...\n");
                retry_pause();
                continue;
            }
            return recv;
        }
        if (static_cast<uint64_t>(recv) == n && body.size >= n) {
            memcpy(output_buf, body.data, n);
            checked_free(body.data);
            return static_cast<int64_t>(n);
        }
        // A server that ignores Range sends the whole file: hand over the asked-for bytes
        // instead of asking again for ever.
        if (code == 200 && recv == content_length && body.size == static_cast<uint64_t>(content_length)) {
            memcpy(output_buf, body.data + offset, n);
            checked_free(body.data);
            return static_cast<int64_t>(n);
        }
        log_printf(LOG_ERROR, HERE, "req_size != recv, req_size: %lu, recv: %ld, retrying...\n",
                   static_cast<unsigned long>(n), static_cast<long>(recv));
        checked_free(body.data);
        retry_pause();
    }
}

ResponseBuffer Link_download_full(Link *link)
{
    CURL *curl = Link_to_curl(link);
    ResponseBuffer buf{};
    buf.type = TRANSFER_DATA;
    buf.transferring = 1;
    set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &buf));
    set_option_result(curl_easy_setopt(curl, CURLOPT_PRIVATE, &buf));
    set_option_result(curl_easy_setopt(curl, CURLOPT_FILETIME, 1L));

    while (true) {
        empty_buffer(&buf);
        transferring_set(&buf, 1);
        transfer_blocking(curl);

        long code = 0;
        CURLcode res = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        if (res)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        if (is_temporary_http_failure(code)) {
            std::string safe = url_for_log(link->f_url);
            log_printf(LOG_WARNING, HERE, "URL: %s, HTTP %ld, retrying later.\n", safe.c_str(), code);
            retry_pause();
            continue;
        }
        if (code != 200) {
            std::string safe = url_for_log(link->f_url);
            log_printf(LOG_WARNING, HERE, "cannot retrieve URL: %s, HTTP %ld\n", safe.c_str(), code);
            empty_buffer(&buf);
            curl_easy_cleanup(curl);
            return buf;
        }
        break;
    }
    curl_off_t filetime = -1;
    CURLcode res = curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &filetime);
    if (res)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
    link->time = filetime;
    curl_easy_cleanup(curl);
    return buf;
}

int64_t path_download(const char *path, char *output_buf, uint64_t size, int64_t offset)
{
    if (!path)
        log_fatal(HERE, "NULL path supplied\n");
    LinkRef link(path_to_Link(path));
    if (!link)
        return -ENOENT;
    return Link_download(link.get(), output_buf, size, offset, nullptr);
}
