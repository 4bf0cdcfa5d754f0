// fill.cc: building a listing table: the saved table while fresh, otherwise the page fetched,
// parsed, given URLs and names, and confirmed by header requests started all at once.
#include <cstring>
#include <ctime>
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

LinkTable *LinkTable_new(const char *url)
{
    char *cache_path = url_to_cache_path(url);
    if (cache_system_enabled) {
        CacheDir_create(cache_path);
        LinkTable *saved = LinkTable_disk_open(cache_path);
        if (saved) {
            int64_t now = time(nullptr);
            // A listing time in the future (clock skew, a damaged file) is not fresh.
            int64_t age = now - saved->index_time;
            if (age >= 0 && age <= static_cast<int64_t>(CONFIG.refresh_timeout)) {
                checked_free(cache_path);
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
    ResponseBuffer page = Link_download_full(linktbl->links[0]);
    if (page.size == 0) {
        checked_free(page.data);
        LinkTable_free(linktbl);
        checked_free(cache_path);
        return nullptr;
    }
    LinkTable_parse_html(linktbl, url, page.data);
    checked_free(page.data);
    LinkTable_fill(linktbl);
    LinkTable_uninitialised_fill(linktbl);

    if (cache_system_enabled && LinkTable_disk_save(linktbl, cache_path))
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

static bool uninitialised(const Link *link)
{
    LinkType type = Link_type(link);
    return type == LINK_UNINITIALISED_FILE || type == LINK_UNINITIALISED_DIR;
}

// Header requests in flight at once while a table is filled. The multi handle runs only
// max_conns of them at a time anyway; the rest would wait inside it, and libcurl walks every
// waiting handle on each pass and keeps a transfer buffer per handle, which for a directory of
// thousands of entries costs far more time and memory than the requests themselves.
static const int FILL_WINDOW = 16;

void LinkTable_uninitialised_fill(LinkTable *linktbl)
{
    if (!linktbl || linktbl->size == 0)
        return;
    std::vector<Link *> pending;
    for (int32_t i = 0; i < linktbl->size; i++) {
        if (uninitialised(linktbl->links[i]))
            pending.push_back(linktbl->links[i]);
    }
    int requests = static_cast<int>(pending.size());
    if (requests == 0)
        return;

    size_t next = 0;
    // This fill's own requests still open: the window and the end are counted on them, never on
    // the other threads' transfers, which may run for as long as somebody reads a big file.
    std::atomic<int> outstanding{0};
    bool progress = CONFIG.log_level & LOG_DEBUG;
    std::string shown;
    while (true) {
        while (next < pending.size() && outstanding.load() < FILL_WINDOW) {
            outstanding.fetch_add(1);
            Link_req_file_stat(pending[next++], &outstanding);
        }
        if (outstanding.load() == 0)
            break;
        if (progress) {
            int answered = static_cast<int>(next) - outstanding.load();
            if (!shown.empty())
                erase_string(stderr, 64, shown.c_str());
            shown = std::to_string(answered) + " / " + std::to_string(requests);
            fputs(shown.c_str(), stderr);
        }
        transfer_wait();
    }
    // Every request has been answered: a link still unconfirmed (a temporary failure) will not be.
    for (Link *link : pending) {
        if (uninitialised(link)) {
            std::string safe = url_for_log(link->f_url);
            log_printf(LOG_ERROR, HERE, "Failed to initialize: %s\n", safe.c_str());
            link->type = LINK_INVALID;
        }
    }
    if (progress) {
        erase_string(stderr, 64, shown.c_str());
        fputs("... Done!\n", stderr);
    }
}

void Link_req_file_stat(Link *link, std::atomic<int> *outstanding)
{
    CURL *curl = Link_to_curl(link);
    set_option_result(curl_easy_setopt(curl, CURLOPT_NOBODY, 1L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_FILETIME, 1L));
    ResponseBuffer *buf = static_cast<ResponseBuffer *>(checked_calloc(1, sizeof(ResponseBuffer), HERE));
    buf->type = TRANSFER_FILESTAT;
    buf->link = link;
    buf->outstanding = outstanding;
    set_option_result(curl_easy_setopt(curl, CURLOPT_PRIVATE, buf));
    // A body sent against the rules lands here rather than on standard output.
    set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEDATA, buf));
    transfer_nonblocking(curl);
}

void Link_set_file_stat(Link *link, CURL *curl)
{
    long code = 0;
    CURLcode res = curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (res)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
    if (code == 200) {
        curl_off_t length = 0;
        res = curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        if (res) {
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
            length = 0;
        }
        curl_off_t filetime = -1;
        res = curl_easy_getinfo(curl, CURLINFO_FILETIME_T, &filetime);
        if (res)
            log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
        link->time = filetime;
        LinkType type = Link_type(link);
        if (type == LINK_UNINITIALISED_DIR) {
            link->type = LINK_DIR;
        } else if (type == LINK_UNINITIALISED_FILE) {
            if (length < 0) {
                link->type = LINK_INVALID;
            } else if (length == 0 && CONFIG.zero_len_is_dir) {
                link->type = LINK_DIR;
            } else {
                link->content_length = length;
                link->type = LINK_FILE;
            }
        }
        return;
    }
    std::string safe = url_for_log(link->f_url);
    log_printf(LOG_WARNING, HERE, "%s: HTTP %ld\n", safe.c_str(), code);
    if (CONFIG.external_links && (code == 401 || code == 403) && mounted_origin_url() &&
        url_origins_differ(mounted_origin_url(), link->f_url))
        log_printf(LOG_WARNING, HERE,
                   "External link %s requires authentication (HTTP %ld). Credentials are only "
                   "applied to the mounted server.\n",
                   safe.c_str(), code);
    if (is_temporary_http_failure(code) || CONFIG.invalid_refresh) {
        log_printf(LOG_WARNING, HERE, ", retrying later.\n");
        return;
    }
    link->type = LINK_INVALID;
}
