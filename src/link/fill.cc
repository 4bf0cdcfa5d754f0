// fill.cc: building a listing table: the saved table while fresh, otherwise the page fetched,
// parsed, given URLs and names, and confirmed by header requests started all at once.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>
#include <pthread.h>
#include <string>
#include <unordered_map>
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
    // The names are known: the table is usable now, while its entries are confirmed in the
    // background (and saved once every one is answered).
    LinkTable_confirm_in_background(linktbl, saved_table ? cache_path : nullptr);
    checked_free(cache_path);
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
        return;
    }
    // Out of retries: the entry is left unconfirmed, unlisted, to be asked again when its
    // directory is next opened; so from now on, for every look-up and listing alike.
    std::string safe = url_for_log(buf->link->f_url);
    log_printf(LOG_ERROR, HERE, "Failed to initialize: %s\n", safe.c_str());
    Link_defer(buf->link);
    confirm->state.store(CONFIRM_GAVE_UP);
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
        long version = 0;
        curl_easy_getinfo(curl, CURLINFO_HTTP_VERSION, &version);
        if (version == CURL_HTTP_VERSION_2_0 && buf->confirm && buf->confirm->multiplexed)
            buf->confirm->multiplexed->store(true);
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

// A table's confirmation in progress: its links' header requests, asked a window at a time
// by whoever runs it (a thread of its own, or the caller), and by look-ups that want one entry
// now. Found through the table (LinkTable::fill, under link_lock) by look-ups, which hold a
// reference while they wait; the runner holds one until it is done.
struct Fill {
    LinkTable *table;
    std::deque<Confirm> confirms;                        // a deque: requests point at their Confirm
    std::unordered_map<const Link *, Confirm *> by_link; // the look-ups' way in
    std::atomic<size_t> next{0};                         // the first confirm the queue has not reached
    std::atomic<int> outstanding{0};                     // this fill's requests in flight
    std::atomic<int> refcount{1};
    std::atomic<bool> multiplexed{false}; // a reply came over HTTP/2: requests share a connection
    char *save_path = nullptr;            // the table's cache path, when it is saved at the end
    bool holds_table = false;             // the runner holds a reference on the table
};

static void Fill_unref(Fill *fill)
{
    if (fill->refcount.fetch_sub(1) == 1) {
        checked_free(fill->save_path);
        delete fill;
    }
}

// A fill over the table's links that are not confirmed yet, or null when there are none.
static Fill *Fill_new(LinkTable *linktbl)
{
    Fill *fill = nullptr;
    for (int32_t i = 0; i < linktbl->size; i++) {
        Link *link = linktbl->links[i];
        if (!uninitialised(link))
            continue;
        if (!fill) {
            fill = new Fill;
            fill->table = linktbl;
        }
        Confirm &confirm = fill->confirms.emplace_back(link);
        confirm.multiplexed = &fill->multiplexed;
        fill->by_link.emplace(link, &confirm);
    }
    return fill;
}

// Starts the request of `confirm` unless someone else already did; `from` is the state it
// must be in (queued, or waiting for a retry).
static void Fill_ask(Fill *fill, Confirm &confirm, int32_t from)
{
    if (!confirm.state.compare_exchange_strong(from, CONFIRM_ASKING))
        return;
    fill->outstanding.fetch_add(1);
    Link_req_file_stat(confirm.link, &fill->outstanding, &confirm);
}

// Requests in flight at once. Over HTTP/1.1 the multi handle runs max_conns of them at a time
// and keeps the rest waiting for a connection: twice that many keeps every connection busy
// without libcurl walking thousands of waiting handles on each pass. Over HTTP/2 they share a
// connection, up to its stream limit (nginx allows 128).
static int Fill_window(const Fill *fill)
{
    if (fill->multiplexed.load())
        return 100;
    int64_t conns = CONFIG.max_conns > 0 ? CONFIG.max_conns : 1;
    return static_cast<int>(std::min<int64_t>(std::max<int64_t>(2 * conns, 8), 100));
}

// Drives the fill until every link is answered or out of retries, then gives each link left
// unconfirmed its end (deferred after temporary failures, invalid otherwise), saves the table
// when asked, and lets the table go of the fill.
static void Fill_run(Fill *fill)
{
    std::deque<Confirm> &confirms = fill->confirms;
    int requests = static_cast<int>(confirms.size());
    bool progress = CONFIG.log_level & LOG_DEBUG;
    std::string shown;
    while (true) {
        // Retries that are due first, then links not asked yet.
        int64_t now = now_milliseconds();
        int64_t next_retry = -1;
        int window = Fill_window(fill);
        bool open = false;
        for (Confirm &confirm : confirms) {
            int32_t state = confirm.state.load();
            if (state == CONFIRM_WAITING) {
                open = true;
                if (confirm.retry_at_ms <= now && fill->outstanding.load() < window)
                    Fill_ask(fill, confirm, CONFIRM_WAITING);
                else if (next_retry < 0 || confirm.retry_at_ms < next_retry)
                    next_retry = confirm.retry_at_ms;
            } else if (state == CONFIRM_QUEUED || state == CONFIRM_ASKING) {
                open = true;
            }
        }
        for (size_t next = fill->next.load(); next < confirms.size() && fill->outstanding.load() < window;
             next = fill->next.load()) {
            fill->next.store(next + 1);
            Fill_ask(fill, confirms[next], CONFIRM_QUEUED);
        }
        if (!open && fill->outstanding.load() == 0)
            break;
        if (progress) {
            int answered = 0;
            for (const Confirm &confirm : confirms)
                answered += confirm.state.load() >= CONFIRM_DONE;
            if (!shown.empty())
                erase_string(stderr, 64, shown.c_str());
            shown = std::to_string(answered) + " / " + std::to_string(requests);
            fputs(shown.c_str(), stderr);
        }
        if (fill->outstanding.load() == 0 && next_retry >= 0)
            sleep_milliseconds(std::min<int64_t>(next_retry - now_milliseconds(), 100));
        else
            transfer_wait();
    }
    // A link still unconfirmed though answered (--invalid-refresh keeps a failed one so) stays
    // invalid until its table is built again; one that temporary failures kept unconfirmed was
    // deferred when its retries ran out.
    for (Confirm &confirm : confirms) {
        Link *link = confirm.link;
        if (!uninitialised(link) || confirm.state.load() == CONFIRM_GAVE_UP)
            continue;
        std::string safe = url_for_log(link->f_url);
        log_printf(LOG_ERROR, HERE, "Failed to initialize: %s\n", safe.c_str());
        link->type = LINK_INVALID;
    }
    if (progress) {
        erase_string(stderr, 64, shown.c_str());
        fputs("... Done!\n", stderr);
    }
    if (fill->save_path && LinkTable_disk_save(fill->table, fill->save_path))
        log_printf(LOG_ERROR, HERE, "Failed to save the LinkTable!\n");
    LinkTable_print(fill->table);
    // The table lets go of the fill and the runner of the table in one step: whoever sees the
    // fill gone may free the table.
    LinkTable *released = nullptr;
    {
        ScopedLock guard(&link_lock, HERE);
        fill->table->fill = nullptr;
        if (fill->holds_table)
            released = LinkTable_unref_locked(fill->table);
    }
    LinkTable_free_released(released);
    Fill_unref(fill);
}

// Publishes a new fill of the table, or gives null when its links are all confirmed or a fill
// of it runs already.
static Fill *Fill_attach(LinkTable *linktbl, const char *save_path)
{
    {
        ScopedLock guard(&link_lock, HERE);
        if (linktbl->fill)
            return nullptr;
    }
    Fill *fill = Fill_new(linktbl);
    if (!fill)
        return nullptr;
    fill->save_path = save_path ? checked_strdup(save_path, HERE) : nullptr;
    ScopedLock guard(&link_lock, HERE);
    if (linktbl->fill) {
        Fill_unref(fill);
        return nullptr;
    }
    linktbl->fill = fill;
    return fill;
}

void LinkTable_uninitialised_fill(LinkTable *linktbl)
{
    if (!linktbl || linktbl->size == 0)
        return;
    if (Fill *fill = Fill_attach(linktbl, nullptr))
        Fill_run(fill);
}

static void *confirm_thread(void *arg)
{
    Fill_run(static_cast<Fill *>(arg));
    return nullptr;
}

// Before the filesystem serves, the FUSE host may still fork to detach, which a thread would
// not survive: the fill made then (the root's) waits here for LinkSystem_serve.
static bool serving = true;
static Fill *waiting_fill;

static void start_fill_thread(Fill *fill)
{
    pthread_attr_t attr;
    pthread_t thread;
    bool started = pthread_attr_init(&attr) == 0 &&
                   pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0 &&
                   pthread_create(&thread, &attr, confirm_thread, fill) == 0;
    pthread_attr_destroy(&attr);
    if (!started) {
        // No thread to be had: the fill runs here, before the table is used.
        log_printf(LOG_ERROR, HERE, "cannot start the header requests in the background\n");
        confirm_thread(fill);
    }
}

void LinkTable_confirm_in_background(LinkTable *linktbl, const char *save_path)
{
    Fill *fill = Fill_attach(linktbl, save_path);
    if (!fill) {
        if (save_path && LinkTable_disk_save(linktbl, save_path))
            log_printf(LOG_ERROR, HERE, "Failed to save the LinkTable!\n");
        LinkTable_print(linktbl);
        return;
    }
    // The thread keeps the table for as long as it runs, attached or not.
    LinkTable_ref(linktbl);
    fill->holds_table = true;
    if (!serving && !waiting_fill) {
        waiting_fill = fill;
        return;
    }
    start_fill_thread(fill);
}

void LinkSystem_hold_background()
{
    serving = false;
}

void LinkSystem_serve()
{
    serving = true;
    if (waiting_fill)
        start_fill_thread(waiting_fill);
    waiting_fill = nullptr;
}

void LinkTable_wait_confirmed(LinkTable *linktbl)
{
    while (true) {
        {
            ScopedLock guard(&link_lock, HERE);
            if (!linktbl->fill)
                return;
        }
        transfer_wait();
    }
}

void LinkTable_confirm_link(LinkTable *linktbl, Link *link)
{
    if (!uninitialised(link))
        return;
    Fill *fill;
    {
        ScopedLock guard(&link_lock, HERE);
        fill = linktbl->fill;
        if (fill)
            fill->refcount.fetch_add(1);
    }
    if (!fill)
        return;
    auto found = fill->by_link.find(link);
    if (found != fill->by_link.end()) {
        Confirm &confirm = *found->second;
        // Bounded by the request's own retries and time-outs.
        while (true) {
            int32_t state = confirm.state.load();
            if (state == CONFIRM_DONE || state == CONFIRM_GAVE_UP)
                break;
            if (state == CONFIRM_QUEUED) {
                Fill_ask(fill, confirm, CONFIRM_QUEUED);
                continue;
            }
            if (state == CONFIRM_WAITING) {
                int64_t wait = confirm.retry_at_ms - now_milliseconds();
                if (wait <= 0)
                    Fill_ask(fill, confirm, CONFIRM_WAITING);
                else
                    sleep_milliseconds(std::min<int64_t>(wait, 100));
                continue;
            }
            transfer_wait();
        }
    }
    Fill_unref(fill);
}

void LinkTable_confirm_deferred(LinkTable *linktbl)
{
    if (!linktbl || linktbl->deferred_count.load() == 0 || linktbl->refilling.exchange(true))
        return;
    {
        // A fill of the table runs still: it answers every link there is to answer.
        ScopedLock guard(&link_lock, HERE);
        if (linktbl->fill) {
            linktbl->refilling.store(false);
            return;
        }
    }
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
