// fill.cc: building a listing table: the saved table while fresh, otherwise the page fetched,
// parsed, given URLs and names, and confirmed by header requests started all at once.
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

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

static bool uninitialised(const Link *link)
{
    LinkType type = Link_type(link);
    return type == LINK_UNINITIALISED_FILE || type == LINK_UNINITIALISED_DIR;
}

void Link_defer(Link *link)
{
    if (!link->deferred.exchange(true))
        link->linktbl->deferred_count.fetch_add(1);
}

LinkTable *LinkTable_new(const char *url)
{
    char *cache_path = url_to_cache_path(url);
    // Without its place in the cache the table is neither loaded nor saved.
    bool saved_table = cache_system_enabled && CacheDir_create(cache_path) == 0;
    if (saved_table) {
        LinkTable *saved = LinkTable_disk_open(cache_path);
        if (saved) {
            int64_t now = time(nullptr);
            // A listing time in the future (clock skew, a damaged file) is not fresh.
            int64_t age = now - saved->index_time;
            if (age >= 0 && age <= static_cast<int64_t>(CONFIG.refresh_timeout)) {
                checked_free(cache_path);
                // Links saved unconfirmed were left so by temporary failures: they are asked
                // again when the directory is opened.
                for (int32_t i = 1; i < saved->size; i++) {
                    if (uninitialised(saved->links[i]))
                        Link_defer(saved->links[i]);
                }
                LinkTable_print(saved);
                return saved;
            }
            log_printf(LOG_INFO, HERE, "time_now: %ld, index_time: %ld\n", static_cast<long>(now),
                       static_cast<long>(saved->index_time));
            log_printf(LOG_INFO, HERE, "diff: %ld, limit: %d\n", static_cast<long>(now - saved->index_time),
                       CONFIG.refresh_timeout);
            LinkTable_free(saved);
        }
    }

    LinkTable *linktbl = LinkTable_alloc(url);
    linktbl->index_time = time(nullptr);
    std::string served_from;
    ResponseBuffer page = Link_download_page(linktbl->links[0], &served_from);
    if (page.size == 0) {
        checked_free(page.data);
        LinkTable_free(linktbl);
        checked_free(cache_path);
        return nullptr;
    }
    // A directory URL that redirects ("/old" to "/tree/", "name" to "name/"): its entries
    // are where the page that lists them was served from.
    if (served_from != url)
        Link_set_url(linktbl->links[0], served_from.c_str());
    LinkTable_parse_html(linktbl, linktbl->links[0]->f_url, page.data);
    checked_free(page.data);
    LinkTable_fill(linktbl);
    LinkTable_uninitialised_fill(linktbl);

    if (saved_table && LinkTable_disk_save(linktbl, cache_path))
        log_printf(LOG_ERROR, HERE, "Failed to save the LinkTable!\n");
    checked_free(cache_path);
    LinkTable_print(linktbl);
    return linktbl;
}

void LinkTable_fill(LinkTable *linktbl)
{
    const char *base = linktbl->links[0]->f_url;
    for (int32_t i = 1; i < linktbl->size; i++) {
        Link *link = linktbl->links[i];
        if (link->f_url[0] != '\0')
            continue;
        // Decoding and then encoding gives every entry one canonical encoding, whatever the
        // page used.
        char *decoded = curl_easy_unescape(nullptr, link->linkpath, 0, nullptr);
        char *encoded = curl_easy_escape(nullptr, decoded ? decoded : link->linkpath, 0);
        curl_free(decoded);
        char *url;
        if (encoded) {
            size_t len = strlen(encoded);
            if (len >= 3 && strcmp(encoded + len - 3, "%2F") == 0)
                strcpy(encoded + len - 3, "/");
            url = path_append(base, encoded);
            curl_free(encoded);
        } else {
            url = path_append(base, link->linkpath);
        }
        Link_set_url(link, url);
        checked_free(url);
        Link_set_name(link, link_name_decode(link->linkname).c_str());
    }
}

// Header requests in flight at once while a table is filled. The multi handle runs only
// max_conns of them at a time anyway; the rest would wait inside it, and libcurl walks every
// waiting handle on each pass and keeps a transfer buffer per handle, which for a directory of
// thousands of entries costs far more time and memory than the requests themselves.
static const int FILL_WINDOW = 16;

// A request of a link's confirmation: its HEAD, or, for a file whose HEAD gave no length, a
// GET of its first byte whose Content-Range tells the size. `url` is where the request goes
// (the link's URL, or where a redirect sent it).
static CURL *file_stat_handle(ResponseBuffer *buf, const char *url)
{
    CURL *curl = Link_to_curl_url(buf->link, url);
    if (buf->probe) {
        // The header lines land in the buffer, for the Content-Range; the body is only counted.
        set_option_result(curl_easy_setopt(curl, CURLOPT_RANGE, "0-0"));
        set_option_result(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, write_memory_callback));
        set_option_result(curl_easy_setopt(curl, CURLOPT_HEADERDATA, buf));
        set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, probe_body_callback));
    } else {
        set_option_result(curl_easy_setopt(curl, CURLOPT_NOBODY, 1L));
    }
    set_option_result(curl_easy_setopt(curl, CURLOPT_FILETIME, 1L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_PRIVATE, buf));
    // A body sent against the rules lands here rather than on standard output.
    set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEDATA, buf));
    return curl;
}

size_t probe_body_callback(void *, size_t size, size_t nmemb, void *userp) noexcept
{
    ResponseBuffer *buf = static_cast<ResponseBuffer *>(userp);
    size_t n = size * nmemb;
    buf->received += n;
    // A 206 carries the one byte asked for; any other body says only that the file is not
    // empty, and need not come whole.
    return ResponseBuffer_status(buf) == 206 ? n : 0;
}

void Link_req_file_stat(Link *link, std::atomic<int> *outstanding, Confirm *confirm)
{
    ResponseBuffer *buf = static_cast<ResponseBuffer *>(checked_calloc(1, sizeof(ResponseBuffer), HERE));
    buf->type = TRANSFER_FILESTAT;
    buf->link = link;
    buf->outstanding = outstanding;
    buf->confirm = confirm;
    transfer_nonblocking(file_stat_handle(buf, link->f_url));
}

// The request of `buf` asked again at `url`, as a new handle in the multi handle. Called with
// transfer_lock held (from the completion handling); false when it could not be added.
static bool file_stat_reissue(ResponseBuffer *buf, const char *url) REQUIRES(transfer_lock)
{
    checked_free(buf->data);
    buf->data = nullptr;
    buf->size = 0;
    buf->received = 0;
    CURL *curl = file_stat_handle(buf, url);
    if (transfer_add_locked(curl))
        return true;
    curl_easy_cleanup(curl);
    return false;
}

static void confirm_state(Confirm *confirm, int32_t state)
{
    if (confirm)
        confirm->state.store(state);
}

// A confirmed file of `length` bytes (a directory instead, for length 0 under
// --zero-len-is-dir).
static void confirm_file(Link *link, int64_t length)
{
    if (length == 0 && CONFIG.zero_len_is_dir) {
        link->type = LINK_DIR;
    } else {
        link->content_length = length;
        link->type = LINK_FILE;
    }
}

// The size of a file from the answer to the GET of its first byte; -1 when it cannot be known.
static int64_t probed_size(const ResponseBuffer *buf, long code)
{
    ReplyHeaders reply = ReplyHeaders_parse(buf);
    if (code == 206)
        return reply.range_total;
    // Asking for the first byte of an empty file is asking past its end.
    if (code == 416)
        return 0;
    if (code == 200 && buf->received == 0 && reply.length <= 0)
        return 0;
    return -1;
}

static bool redirect_status(long code)
{
    return code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
}

// A temporary failure: counted against the confirmation's retries, which the fill asks again
// after a wait; a request nobody retries leaves its link unconfirmed.
static void file_stat_temporary(ResponseBuffer *buf, CURL *curl, CURLcode result)
{
    Confirm *confirm = buf->confirm;
    if (!confirm)
        return;
    long wait = retry_delay_seconds(transfer_retry_after(curl));
    if (RetryBudget_spend(&confirm->budget, result == CURLE_OPERATION_TIMEDOUT)) {
        confirm->retry_at_ms = now_milliseconds() + wait * 1000;
        confirm->state.store(CONFIRM_WAITING);
    } else {
        confirm->state.store(CONFIRM_GAVE_UP);
    }
}

bool Link_file_stat_done(ResponseBuffer *buf, CURL *curl, CURLcode result)
{
    Link *link = buf->link;
    long code = 0;
    if (result == CURLE_OK || buf->probe)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (result != CURLE_OK && code == 0) {
        if (is_temporary_transfer_failure(result)) {
            file_stat_temporary(buf, curl, result);
        } else {
            link->type = LINK_INVALID;
            confirm_state(buf->confirm, CONFIRM_DONE);
        }
        return false;
    }

    if (redirect_status(code)) {
        char *location = nullptr;
        curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
        if (location && buf->hops < MAX_REDIRECTS) {
            buf->hops++;
            // A directory linked without its trailing slash is redirected to "name/".
            size_t len = strlen(location);
            if (Link_type(link) == LINK_UNINITIALISED_FILE && len > 0 && location[len - 1] == '/')
                buf->to_dir = true;
            std::string next(location);
            if (file_stat_reissue(buf, next.c_str()))
                return true;
        }
    }

    if (code == 200 || (buf->probe && (code == 206 || code == 416))) {
        curl_off_t length = -1;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        curl_off_t filetime = -1;
        curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &filetime);
        link->time = filetime;
        LinkType type = Link_type(link);
        if (type == LINK_UNINITIALISED_DIR || (type == LINK_UNINITIALISED_FILE && buf->to_dir)) {
            link->type = LINK_DIR;
        } else if (type == LINK_UNINITIALISED_FILE) {
            if (buf->probe) {
                int64_t size = probed_size(buf, code);
                if (size >= 0) {
                    confirm_file(link, size);
                } else {
                    std::string safe = url_for_log(link->f_url);
                    log_printf(LOG_WARNING, HERE, "%s: the server gives no size for it\n", safe.c_str());
                    link->type = LINK_INVALID;
                }
            } else if (length < 0) {
                // Some servers answer HEAD without a length (Apache for an empty file): the first
                // byte's answer tells the size.
                buf->probe = true;
                if (file_stat_reissue(buf, link->f_url))
                    return true;
                link->type = LINK_INVALID;
            } else {
                confirm_file(link, length);
            }
        }
        confirm_state(buf->confirm, CONFIRM_DONE);
        return false;
    }

    std::string safe = url_for_log(link->f_url);
    log_printf(LOG_WARNING, HERE, "%s: HTTP %ld\n", safe.c_str(), code);
    if (CONFIG.external_links && (code == 401 || code == 403) && mounted_origin_url() &&
        url_origins_differ(mounted_origin_url(), link->f_url))
        log_printf(LOG_WARNING, HERE,
                   "External link %s requires authentication (HTTP %ld). Credentials are only "
                   "applied to the mounted server.\n",
                   safe.c_str(), code);
    if (is_temporary_http_failure(code)) {
        log_printf(LOG_WARNING, HERE, ", retrying later.\n");
        file_stat_temporary(buf, curl, result);
        return false;
    }
    if (CONFIG.invalid_refresh) {
        log_printf(LOG_WARNING, HERE, ", retrying later.\n");
        confirm_state(buf->confirm, CONFIRM_DONE);
        return false;
    }
    link->type = LINK_INVALID;
    confirm_state(buf->confirm, CONFIRM_DONE);
    return false;
}

void LinkTable_uninitialised_fill(LinkTable *linktbl)
{
    if (!linktbl || linktbl->size == 0)
        return;
    // A deque: the requests in flight point at their Confirm, which must stay put.
    std::deque<Confirm> confirms;
    for (int32_t i = 0; i < linktbl->size; i++) {
        Link *link = linktbl->links[i];
        if (uninitialised(link))
            confirms.emplace_back(link);
    }
    int requests = static_cast<int>(confirms.size());
    if (requests == 0)
        return;

    size_t next = 0;
    // This fill's own requests still open: the window and the end are counted on them, never on
    // the other threads' transfers, which may run for as long as somebody reads a big file.
    std::atomic<int> outstanding{0};
    bool progress = CONFIG.log_level & LOG_DEBUG;
    std::string shown;
    auto ask = [&](Confirm &confirm) {
        confirm.state.store(CONFIRM_ASKING);
        outstanding.fetch_add(1);
        Link_req_file_stat(confirm.link, &outstanding, &confirm);
    };
    while (true) {
        // Retries that are due first, then links not asked yet.
        int64_t now = now_milliseconds();
        int64_t next_retry = -1;
        for (Confirm &confirm : confirms) {
            if (confirm.state.load() != CONFIRM_WAITING)
                continue;
            if (confirm.retry_at_ms <= now && outstanding.load() < FILL_WINDOW)
                ask(confirm);
            else if (next_retry < 0 || confirm.retry_at_ms < next_retry)
                next_retry = confirm.retry_at_ms;
        }
        while (next < confirms.size() && outstanding.load() < FILL_WINDOW)
            ask(confirms[next++]);
        if (outstanding.load() == 0) {
            if (next_retry < 0)
                break;
            // Nothing in flight: only waits for a retry are left.
            sleep_milliseconds(next_retry - now_milliseconds());
            continue;
        }
        if (progress) {
            int answered = 0;
            for (const Confirm &confirm : confirms)
                answered += confirm.state.load() >= CONFIRM_DONE;
            if (!shown.empty())
                erase_string(stderr, 64, shown.c_str());
            shown = std::to_string(answered) + " / " + std::to_string(requests);
            fputs(shown.c_str(), stderr);
        }
        transfer_wait();
    }
    for (Confirm &confirm : confirms) {
        Link *link = confirm.link;
        if (!uninitialised(link))
            continue;
        std::string safe = url_for_log(link->f_url);
        log_printf(LOG_ERROR, HERE, "Failed to initialize: %s\n", safe.c_str());
        // A link left unconfirmed by temporary failures is asked again when its directory is
        // next opened; any other stays invalid until its table is built again.
        if (confirm.state.load() == CONFIRM_GAVE_UP)
            Link_defer(link);
        else
            link->type = LINK_INVALID;
    }
    if (progress) {
        erase_string(stderr, 64, shown.c_str());
        fputs("... Done!\n", stderr);
    }
}

void LinkTable_confirm_deferred(LinkTable *linktbl)
{
    if (!linktbl || linktbl->deferred_count.load() == 0 || linktbl->refilling.exchange(true))
        return;
    for (int32_t i = 1; i < linktbl->size; i++) {
        Link *link = linktbl->links[i];
        if (link->deferred.exchange(false))
            linktbl->deferred_count.fetch_sub(1);
    }
    LinkTable_uninitialised_fill(linktbl);
    if (cache_system_enabled && CONFIG.mode == MODE_LISTING) {
        char *cache_path = url_to_cache_path(linktbl->links[0]->f_url);
        if (LinkTable_disk_save(linktbl, cache_path))
            log_printf(LOG_ERROR, HERE, "Failed to save the LinkTable!\n");
        checked_free(cache_path);
    }
    linktbl->refilling.store(false);
}
