// download.cc: ranged downloads of file contents, whole-body downloads of listing pages and
// Sonic replies, and the uncached read of a path. Both downloads block: the calling thread
// drives the shared multi loop until its transfer is done. Every reply to a range request is
// judged from its header lines before a byte of it is used (memcache.h), redirects are
// followed one hop at a time, and temporary failures are asked again under the shared retry
// rules (network.h), with no lock held while waiting.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"
#include "log.h"
#include "network.h"
#include "util.h"

static void set_option_result(CURLcode res)
{
    if (res)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
}

// libcurl's receive buffer for range downloads, held per running download.
static const long DOWNLOAD_CHUNK_SIZE = 512L * 1024;

static CURL *Link_download_curl_setup(Link *link, const char *url, ResponseBuffer *header,
                                      ResponseBuffer *body, const char *range)
{
    CURL *curl = Link_to_curl_url(link, url);
    set_option_result(curl_easy_setopt(curl, CURLOPT_HEADERDATA, header));
    set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEDATA, body));
    set_option_result(curl_easy_setopt(curl, CURLOPT_PRIVATE, body));
    if (range)
        set_option_result(curl_easy_setopt(curl, CURLOPT_RANGE, range));
    // The body lands in place, so the chunk size only decides how often libcurl calls back;
    // its default of 16 KiB costs a callback, a lock and a wake-up of joined readers per 16 KiB.
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
    if (ad) {
        checked_mutex_assert_held(ad->lock, HERE);
        if (ad->transfer == body)
            ad->transfer = nullptr;
    }
    if (body->ad) {
        checked_mutex_assert_held(body->ad->lock, HERE);
        ActiveDownload_unref(body->ad);
        body->ad = nullptr;
    }
}

// The link's size and time now, as one version.
static FileVersion current_version(const Link *link)
{
    return FileVersion{link->content_length.load(), link->time.load()};
}

// Whether reads may judge replies by their Last-Modified: the link's time came from the
// server's own Last-Modified (a Sonic entry's time is its creation date instead).
static int64_t comparable_time(int64_t time)
{
    return CONFIG.mode == MODE_SONIC ? 0 : time;
}

// A reply says that the file is no longer the one listed. Reported once per change, with the
// old and new size or time; the link takes the new ones (so the next open sees the new file),
// and the file's cache is dropped, so that no reader ever gets bytes of two versions.
static void file_changed(Link *link, const FileVersion &version, const ReplyHeaders &reply, Cache *cf)
{
    int64_t new_size = reply.range_total >= 0                     ? reply.range_total
                       : reply.status == 200 && reply.length >= 0 ? reply.length
                                                                  : version.size;
    int64_t new_time = reply.last_modified >= 0 ? reply.last_modified : version.time;
    int64_t size = version.size;
    int64_t time = version.time;
    bool first = link->content_length.compare_exchange_strong(size, new_size);
    first = link->time.compare_exchange_strong(time, new_time) || first;
    if (first) {
        std::string safe = url_for_log(link->f_url);
        if (new_size != version.size)
            log_printf(LOG_ERROR, HERE, "%s changed on the server: it had %jd bytes, it has %jd now\n",
                       safe.c_str(), static_cast<intmax_t>(version.size), static_cast<intmax_t>(new_size));
        else
            log_printf(LOG_ERROR, HERE, "%s changed on the server: it was modified at %jd, now at %jd\n",
                       safe.c_str(), static_cast<intmax_t>(version.time), static_cast<intmax_t>(new_time));
    }
    if (cf)
        Cache_drop_changed(cf);
}

// A server that does not serve ranges: reads of its files fail, with one line per file.
static void no_range_support(Link *link, const ResponseBuffer *header)
{
    if (link->no_ranges_reported.exchange(true))
        return;
    std::string safe = url_for_log(link->f_url);
    log_printf(LOG_ERROR, HERE,
               "This web server does not support HTTP range requests (%s). Reads of its files fail; "
               "mount it with --no-range-check to read them whole. Its answer began:\n%.*s\n",
               safe.c_str(), 512, header->data ? header->data : "");
}

int64_t Link_download(Link *link, char *output_buf, uint64_t req_size, int64_t offset, Cache *cf)
{
    FileVersion version = cf ? cf->version : current_version(link);
    return Link_read(link, version, output_buf, req_size, offset, cf);
}

int64_t Link_read(Link *link, const FileVersion &version, char *output_buf, uint64_t req_size, int64_t offset,
                  Cache *cf, RetryBudget spent)
{
    if (req_size == 0)
        return 0;
    int64_t content_length = version.size;
    if (offset < 0 || offset >= content_length)
        return 0;
    // Another read found the file changed since this one's open: its bytes are of another file.
    FileVersion now = current_version(link);
    if (now.size != version.size || now.time != version.time)
        return -EIO;
    uint64_t remaining = static_cast<uint64_t>(content_length - offset);
    uint64_t n = req_size;
    if (remaining < req_size) {
        log_printf(LOG_INFO, HERE,
                   "requested size larger than remaining size, req_size: %zu, remaining: %zu\n",
                   static_cast<size_t>(req_size), static_cast<size_t>(remaining));
        n = remaining;
    }
    uint64_t last = static_cast<uint64_t>(offset) + n - 1;
    RangeExpect expect{offset, static_cast<int64_t>(last), content_length, comparable_time(version.time)};
    char range[64];
    snprintf(range, sizeof(range), "%" PRIu64 "-%" PRIu64, static_cast<uint64_t>(offset), last);

    RetryBudget budget = spent;
    std::string url = link->f_url;
    int hops = 0;
    while (true) {
        ResponseBuffer header{};
        ResponseBuffer body{};
        body.type = TRANSFER_DATA;
        body.transferring = 1;
        body.cf = cf;
        body.headers = &header;
        body.expect = &expect;
        body.data = output_buf;
        body.capacity = n;
        if (cf) {
            ScopedLock guard(&cf->active_dl_lock, HERE);
            ActiveDownload *ad = ActiveDownload_find(cf, offset);
            if (ad) {
                checked_mutex_assert_held(ad->lock, HERE);
                ad->transfer = &body;
                body.ad = ad;
                ad->refcount++;
                checked_cond_broadcast(&ad->cond, HERE);
            }
        }
        CURL *curl = Link_download_curl_setup(link, url.c_str(), &header, &body, range);
        transfer_blocking(curl);

        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        CURLcode result = static_cast<CURLcode>(body.result);
        ReplyHeaders reply = ReplyHeaders_parse(&header);
        if (body.verdict == VERDICT_PENDING && code != 0)
            body.verdict = reply_verdict(reply, expect, CONFIG.no_range_check);
        char *location = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
        std::string next_url = location ? location : "";
        long retry_after = transfer_retry_after(curl);
        curl_easy_cleanup(curl);
        Link_download_finish_transfer(cf, offset, &body);

        bool timed_out = result == CURLE_OPERATION_TIMEDOUT;
        int64_t outcome = 0; // 0: ask again; otherwise the result
        if (code >= 300 && code < 400 && !next_url.empty() && hops < MAX_REDIRECTS) {
            url = next_url;
            hops++;
            continue;
        }
        switch (body.verdict) {
        case VERDICT_RANGE:
        case VERDICT_WHOLE:
            if (body.size == n && (body.verdict == VERDICT_WHOLE || body.received == n))
                return static_cast<int64_t>(n);
            log_printf(LOG_ERROR, HERE, "req_size != recv, req_size: %lu, recv: %ld, retrying...\n",
                       static_cast<unsigned long>(n), static_cast<long>(body.received));
            break;
        case VERDICT_CHANGED:
            file_changed(link, version, reply, cf);
            return -EIO;
        case VERDICT_NO_RANGES:
            no_range_support(link, &header);
            return -EIO;
        case VERDICT_WRONG:
            log_printf(LOG_ERROR, HERE, "Wrong answer to the range %s of %s, retrying...\n", range,
                       url_for_log(url.c_str()).c_str());
            break;
        default: {
            // No usable reply: a status, or no answer at all (code 0).
            std::string safe = url_for_log(url.c_str());
            log_printf(LOG_WARNING, HERE, "Could not download %s, HTTP %ld\n", safe.c_str(), code);
            if (is_temporary_http_failure(code)) {
                log_printf(LOG_WARNING, HERE, "HTTP temporary failure, retrying...\n");
            } else if (code == 0 && is_temporary_transfer_failure(result)) {
                // The server went away or stalled: worth asking again.
            } else if (code == 0) {
                outcome = -EIO;
            } else {
                outcome = -ENOENT;
            }
        }
        }
        if (outcome)
            return outcome;
        if (!RetryBudget_spend(&budget, timed_out)) {
            std::string safe = url_for_log(link->f_url);
            log_printf(LOG_ERROR, HERE, "Giving up on %s after %d attempts\n", safe.c_str(), budget.attempts);
            return -EIO;
        }
        sleep(static_cast<unsigned int>(retry_delay_seconds(retry_after)));
        url = link->f_url;
        hops = 0;
    }
}

// A page that could not be had, said so that the user can act on it: which TLS check failed,
// that the server refused the credentials, that the proxy could not be reached.
static void report_failure(const char *url, long code, CURLcode result, const char *errbuf)
{
    std::string safe = url_for_log(url);
    const char *detail = errbuf[0] ? errbuf : curl_easy_strerror(result);
    if (result == CURLE_PEER_FAILED_VERIFICATION || result == CURLE_SSL_CACERT_BADFILE ||
        result == CURLE_SSL_CONNECT_ERROR) {
        if (strstr(detail, "subject name") || strstr(detail, "host name") || strstr(detail, "hostname"))
            log_printf(LOG_ERROR, HERE,
                       "TLS: the certificate of %s is for another name (%s); --insecure-tls skips the "
                       "check\n",
                       safe.c_str(), detail);
        else
            log_printf(LOG_ERROR, HERE,
                       "TLS: the certificate of %s is not signed by a known certificate authority (%s); "
                       "name one with --cacert or --capath\n",
                       safe.c_str(), detail);
    } else if (code == 401 || code == 403) {
        log_printf(LOG_ERROR, HERE,
                   "The server refused authentication for %s (HTTP %ld): check the user name and "
                   "password given with -u and -p\n",
                   safe.c_str(), code);
    } else if (code == 407) {
        log_printf(LOG_ERROR, HERE,
                   "The proxy %s refused authentication (HTTP 407): check --proxy-username and "
                   "--proxy-password\n",
                   CONFIG.proxy ? CONFIG.proxy : "");
    } else if (CONFIG.proxy && (result == CURLE_COULDNT_RESOLVE_PROXY || result == CURLE_COULDNT_CONNECT)) {
        log_printf(LOG_ERROR, HERE, "Could not reach the proxy %s: %s\n", CONFIG.proxy, detail);
    } else if (result != CURLE_OK) {
        log_printf(LOG_ERROR, HERE, "Could not reach %s: %s\n", safe.c_str(), detail);
    }
}

ResponseBuffer Link_download_page(Link *link, std::string *served_from)
{
    ResponseBuffer buf{};
    buf.type = TRANSFER_DATA;
    RetryBudget budget{};
    std::string url = link->f_url;
    int hops = 0;
    while (true) {
        empty_buffer(&buf);
        transferring_set(&buf, 1);
        CURL *curl = Link_to_curl_url(link, url.c_str());
        char errbuf[CURL_ERROR_SIZE] = "";
        set_option_result(curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf));
        set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &buf));
        set_option_result(curl_easy_setopt(curl, CURLOPT_PRIVATE, &buf));
        set_option_result(curl_easy_setopt(curl, CURLOPT_FILETIME, 1L));
        transfer_blocking(curl);

        long code = 0;
        CURLcode res = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        if (res)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        CURLcode result = static_cast<CURLcode>(buf.result);
        char *location = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
        if (code >= 300 && code < 400 && location && hops < MAX_REDIRECTS) {
            url = location;
            hops++;
            curl_easy_cleanup(curl);
            continue;
        }
        std::string safe = url_for_log(link->f_url);
        bool temporary =
            is_temporary_http_failure(code) || (code == 0 && is_temporary_transfer_failure(result));
        // A body cut short is no page: it is asked again like a broken transfer.
        if (code == 200 && result != CURLE_OK)
            temporary = is_temporary_transfer_failure(result);
        if (temporary) {
            long wait = retry_delay_seconds(transfer_retry_after(curl));
            curl_easy_cleanup(curl);
            log_printf(LOG_WARNING, HERE, "URL: %s, HTTP %ld, retrying later.\n", safe.c_str(), code);
            if (RetryBudget_spend(&budget, result == CURLE_OPERATION_TIMEDOUT)) {
                sleep(static_cast<unsigned int>(wait));
                url = link->f_url;
                hops = 0;
                continue;
            }
            log_printf(LOG_ERROR, HERE, "Giving up on %s after %d attempts\n", safe.c_str(), budget.attempts);
            empty_buffer(&buf);
            return buf;
        }
        if (code != 200 || result != CURLE_OK) {
            log_printf(LOG_WARNING, HERE, "cannot retrieve URL: %s, HTTP %ld\n", safe.c_str(), code);
            report_failure(url.c_str(), code, result, errbuf);
            empty_buffer(&buf);
            curl_easy_cleanup(curl);
            return buf;
        }
        curl_off_t filetime = -1;
        res = curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &filetime);
        if (res)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        link->time = filetime;
        if (served_from)
            *served_from = url;
        curl_easy_cleanup(curl);
        return buf;
    }
}

ResponseBuffer Link_download_full(Link *link)
{
    return Link_download_page(link, nullptr);
}
