// lifecycle.cc: the life of a cached file. Derives its cache key, opens its Cache (shared by
// every opener through the Link's cache_ptr, its files validated against the Link and rebuilt
// when missing or stale), and closes it (the last closer waits for the background downloads,
// writes the bitmap back and frees the Cache). cf_lock serialises every open and close; the
// smaller operations here run with it held.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

// A server's id as one file name inside meta_dir and data_dir. The id comes from the server's
// replies, so every byte but letters, digits and "-._~" is percent-encoded (no "/" is left,
// and two ids never share a name), and "." and ".." themselves, which would name a directory,
// are encoded too.
static char *sonic_id_to_key(const char *id)
{
    std::string key = percent_encode(id);
    if (key.empty() || key == "." || key == "..") {
        std::string dots;
        for (size_t i = 0; i < key.size(); i++)
            dots += "%2E";
        key = dots.empty() ? "%" : dots;
    }
    return checked_strdup(key.c_str(), HERE);
}

// The name of both files of the link's cached file below meta_dir and data_dir: the cache
// path of its URL (listing), its server id (Sonic), or its mount path (single file, where the
// file sits alone in the root). A heap string, or null when the mode gives none.
static char *Cache_key(const Link *link)
{
    switch (CONFIG.mode) {
    case MODE_LISTING:
        return url_to_cache_path(link->f_url);
    case MODE_SONIC:
        return link->sonic_id ? sonic_id_to_key(link->sonic_id) : nullptr;
    case MODE_SINGLE_FILE:
        return checked_strdup(("/" + std::string(link->linkname)).c_str(), HERE);
    default:
        log_fatal(HERE, "Invalid CONFIG.mode\n");
    }
}

static bool file_bad(const char *path)
{
    struct stat st;
    return stat(path, &st) || st.st_size == 0;
}

int Cache_exist(const char *key)
{
    std::string meta = path_join(meta_dir, key);
    std::string data = path_join(data_dir, key);
    bool meta_bad = file_bad(meta.c_str());
    bool data_bad = file_bad(data.c_str());
    if (meta_bad != data_bad) {
        log_printf(LOG_WARNING, HERE, "Cache file partially missing or invalid (zero-length).\n");
        const std::string &survivor = meta_bad ? data : meta;
        // One that cannot be removed (a directory in its place) is left; making the pair anew
        // then fails, and the file is read without the cache.
        if (unlink(survivor.c_str()) && errno != ENOENT)
            log_printf(LOG_ERROR, HERE, "unlink(): %s\n", strerror(errno));
    }
    return meta_bad || data_bad;
}

// Removes both files of a key; a failure other than "not there" is logged at the caller's site
// when `report`.
static void unlink_pair(const char *key, bool report, const char *file, const char *func, int line)
{
    for (const char *dir : {meta_dir, data_dir}) {
        std::string path = path_join(dir, key);
        if (unlink(path.c_str()) && errno != ENOENT && report)
            log_printf(LOG_ERROR, file, func, line, "unlink(): %s\n", strerror(errno));
    }
}

void Cache_delete(Link *link)
{
    char *key = Cache_key(link);
    if (!key) {
        if (CONFIG.mode == MODE_LISTING)
            log_printf(LOG_ERROR, HERE, "Failed to derive cache key from URL: %s\n", link->f_url);
        return;
    }
    unlink_pair(key, true, HERE);
    checked_free(key);
}

int Cache_create(Link *link)
{
    int64_t content_length = link->content_length;
    if (content_length == 0) {
        log_printf(LOG_ERROR, HERE, "Zero-length files are not supported in cache system\n");
        return 1;
    }
    char *key = Cache_key(link);
    if (!key) {
        log_printf(LOG_ERROR, HERE, "Failed to derive cache key/name from URL or linkname\n");
        return 1;
    }

    Cache *cf = Cache_alloc();
    cf->fn = checked_strndup(key, MAX_PATH_LEN, HERE);
    cf->link = link;
    cf->blksz = CONFIG.data_blksz;
    cf->segbc = segment_count(content_length, cf->blksz);
    cf->seg = static_cast<char *>(checked_calloc(static_cast<size_t>(cf->segbc), 1, HERE));

    int result = 0;
    if (Meta_create(cf)) {
        result = 1;
    } else if (Meta_open(cf)) {
        log_printf(LOG_ERROR, HERE, "cannot open metadata file, %s.\n", key);
        result = 1;
    } else {
        if (Meta_write(cf))
            log_printf(LOG_ERROR, HERE, "Meta_write() failed!\n");
        if (fclose(cf->mfp))
            log_printf(LOG_ERROR, HERE, "cannot close metadata after write, %s.\n", strerror(errno));
        cf->mfp = nullptr;
        int data_made = Data_create(cf);
        log_printf(LOG_CACHE_DEBUG, HERE, "Flushing cache file for %s after creating.\n", key);
        // Files that could not be made whole (a full disk, an unwritable cache directory) fail
        // this file's cache; the filesystem then reads it without one.
        if (data_made || Cache_exist(key)) {
            log_printf(LOG_ERROR, HERE, "Cache file creation failed for %s\n", key);
            unlink_pair(key, false, HERE);
            result = 1;
        }
    }
    Cache_free(cf);
    checked_free(key);
    return result;
}

// A new Cache is seen by no other thread yet: its guarded fields are set without their locks.
Cache *Cache_alloc() NO_THREAD_SAFETY_ANALYSIS
{
    Cache *cf = static_cast<Cache *>(checked_calloc(1, sizeof(Cache), HERE));
    cf->cache_opened = 1;
    checked_mutex_init(&cf->bitmap_lock, nullptr, HERE);
    checked_mutex_init(&cf->active_dl_lock, nullptr, HERE);
    checked_cond_init(&cf->waiter_cond, nullptr, HERE);
    // Half the connection limit, 1 to 3: background downloads leave connections to readers.
    int64_t conns = std::min<int64_t>(CONFIG.max_conns, 6);
    cf->bgdl_slots = static_cast<int32_t>(std::max<int64_t>(1, conns / 2));
    checked_sem_init(&cf->bgdl_sem, 0, static_cast<unsigned int>(cf->bgdl_slots), HERE);
    return cf;
}

void Cache_free(Cache *cf)
{
    checked_free(cf->fn);
    cf->fn = nullptr;
    {
        ScopedLock bitmap(&cf->bitmap_lock, HERE);
        checked_free(cf->seg);
        cf->seg = nullptr;
    }
    {
        ScopedLock list(&cf->active_dl_lock, HERE);
        cf->closing = 1;
        ActiveDownload *ad = cf->active_downloads;
        cf->active_downloads = nullptr;
        while (ad) {
            checked_mutex_assert_held(ad->lock, HERE);
            ActiveDownload *next = ad->next;
            if (ad->refcount >= 2)
                log_printf(LOG_WARNING, HERE,
                           "Cache_free: ActiveDownload at offset %jd has refcount %d (transfer or waiters "
                           "still active)\n",
                           ad->offset, ad->refcount);
            ad->next = nullptr;
            ad->done = 1;
            checked_cond_broadcast(&ad->cond, HERE);
            ActiveDownload_unref(ad);
            ad = next;
        }
        // Woken waiters see closing and leave; the last one to go broadcasts waiter_cond.
        while (cf->waiter_count > 0)
            checked_cond_wait(&cf->waiter_cond, &cf->active_dl_lock, HERE);
    }
    checked_mutex_destroy(&cf->bitmap_lock, HERE);
    checked_mutex_destroy(&cf->active_dl_lock, HERE);
    checked_cond_destroy(&cf->waiter_cond, HERE);
    checked_sem_destroy(&cf->bgdl_sem, HERE);
    checked_free(cf);
}

// One attempt at opening the existing pair of `key`; the Cache, or null after the pair was
// found unusable (and removed).
static Cache *Cache_open_attempt(const char *key, Link *link)
{
    Cache *cf = Cache_alloc();
    cf->fn = checked_strndup(key, MAX_PATH_LEN, HERE);
    cf->link = link;
    cf->version = FileVersion{link->content_length.load(), link->time.load()};

    int64_t size;
    if (Meta_open(cf)) {
        log_printf(LOG_ERROR, HERE, "cannot open metadata file %s.\n", key);
    } else if (Meta_read(cf)) {
        log_printf(LOG_ERROR, HERE, "metadata error: %s.\n", key);
    } else if ((size = Data_size(key)) < 0) {
        log_printf(LOG_ERROR, HERE, "cannot stat data file %s.\n", key);
    } else if (link->content_length > size) {
        log_printf(LOG_ERROR, HERE,
                   "metadata inconsistency %s, cf->link->content_length: %jd, Data_size(fn): %jd.\n", key,
                   link->content_length.load(), size);
    } else if (Data_open(cf)) {
        log_printf(LOG_ERROR, HERE, "cannot open data file %s.\n", key);
    } else {
        return cf;
    }

    if (cf->mfp)
        fclose(cf->mfp);
    if (cf->dfp)
        fclose(cf->dfp);
    cf->mfp = nullptr;
    cf->dfp = nullptr;
    Cache_free(cf);
    Cache_delete(link);
    return nullptr;
}

// The new Cache of a link that has none open: its pair validated, or made anew when missing or
// unusable (a pair that fails validation is removed by the first attempt and made anew by the
// second). Called with cf_lock held.
static Cache *Cache_open_new(Link *link) REQUIRES(cf_lock)
{
    char *key = Cache_key(link);
    if (!key) {
        if (CONFIG.mode == MODE_LISTING)
            log_printf(LOG_ERROR, HERE, "Failed to derive cache path from URL: %s\n", link->f_url);
        return nullptr;
    }
    Cache *cf = nullptr;
    if (link->content_length == 0) {
        log_printf(LOG_ERROR, HERE, "Zero-length files are not supported in cache system\n");
    } else {
        for (int attempt = 0; attempt < 2 && !cf; attempt++) {
            if (Cache_exist(key)) {
                Cache_delete(link);
                if (Cache_create(link))
                    break;
            }
            cf = Cache_open_attempt(key, link);
        }
    }
    checked_free(key);
    return cf;
}

void Cache_drop_changed(Cache *cf)
{
    if (cf->changed.exchange(true))
        return;
    unlink_pair(cf->fn, true, HERE);
    // Only now may an open make a new pair under the same name.
    cf->stale.store(true);
}

Cache *Cache_open(Link *link)
{
    log_printf(LOG_CACHE_DEBUG, HERE, "thread %lx: locking cf_lock;\n", thread_id());
    ScopedLock guard(&cf_lock, HERE);
    Cache *cf = link->cache_ptr;
    if (cf && cf->stale.load()) {
        // The file changed while this Cache was open: its openers keep failing, this open
        // gets a new pair for the new file.
        cf->detached = 1;
        link->cache_ptr = nullptr;
        cf = nullptr;
    }
    if (cf) {
        cf->cache_opened++;
    } else {
        cf = Cache_open_new(link);
        if (cf) {
            link->cache_ptr = cf;
            // The Cache keeps the link's table for as long as it lives.
            ScopedLock links(&link_lock, HERE);
            LinkTable_ref_locked(link->linktbl, false);
        }
    }
    log_printf(LOG_CACHE_DEBUG, HERE, "thread %lx: unlocking cf_lock;\n", thread_id());
    return cf;
}

// The last opener's work: the bitmap to the meta file, both files closed, the Cache freed and
// its hold on the link's table given back. Called with cf_lock held.
static void Cache_close_last(Cache *cf) REQUIRES(cf_lock)
{
    // A segment marked present must be on the disk before the mark: after a power loss the
    // meta file must not promise bytes that never reached the data file.
    bool synced = false;
    if (cf->dfp) {
        synced = fflush(cf->dfp) == 0 && fdatasync(fileno(cf->dfp)) == 0;
        if (!synced)
            log_printf(LOG_ERROR, HERE, "cannot sync data file %s: %s\n", cf->fn, strerror(errno));
    }
    if (cf->mfp) {
        // A stale pair is gone already; one whose data could not be synced keeps the marks it
        // had when it was opened.
        if (synced && !cf->stale.load() && Meta_write(cf))
            log_printf(LOG_ERROR, HERE, "Meta_write() error.");
        if (fclose(cf->mfp))
            log_printf(LOG_ERROR, HERE, "cannot close metadata: %s.\n", strerror(errno));
        cf->mfp = nullptr;
    }
    if (cf->dfp) {
        if (fclose(cf->dfp))
            log_printf(LOG_ERROR, HERE, "cannot close data file %s.\n", strerror(errno));
        cf->dfp = nullptr;
    }
    Link *link = cf->link;
    if (!cf->detached)
        link->cache_ptr = nullptr;
    log_printf(LOG_CACHE_DEBUG, HERE, "thread %lx: unlocking cf_lock, cache closed: %s\n", thread_id(),
               cf->fn);
    Cache_free(cf);
    LinkTable *released;
    {
        ScopedLock links(&link_lock, HERE);
        released = LinkTable_unref_locked(link->linktbl);
    }
    // Freeing tables takes no cache lock; the order cf_lock before link_lock holds.
    LinkTable_free_released(released);
}

void Cache_close(Cache *cf)
{
    if (!cf)
        return;
    {
        log_printf(LOG_CACHE_DEBUG, HERE, "thread %lx: locking cf_lock: %s\n", thread_id(), cf->fn);
        ScopedLock guard(&cf_lock, HERE);
        if (cf->cache_opened-- >= 2 || cf->closer_waiting) {
            log_printf(LOG_CACHE_DEBUG, HERE, "thread %lx: unlocking cf_lock: %s, cache_opened: %d\n",
                       thread_id(), cf->fn, cf->cache_opened);
            return;
        }
        cf->closer_waiting = 1;
    }

    // Every running background download holds a slot until it is done with the Cache. The wait
    // is made without cf_lock, so that a stalled download of this file holds up no other file;
    // opens of this file meanwhile still share this Cache.
    log_printf(LOG_CACHE_DEBUG, HERE, "thread %lx: waiting for background download to finish for %s\n",
               thread_id(), cf->fn);
    for (int32_t i = 0; i < cf->bgdl_slots; i++)
        checked_sem_wait(&cf->bgdl_sem, HERE);
    // Downloads that gave their slot back may still be storing; with every slot held here, no
    // new one can start.
    {
        ScopedLock list(&cf->active_dl_lock, HERE);
        while (cf->storing > 0)
            checked_cond_wait(&cf->waiter_cond, &cf->active_dl_lock, HERE);
    }

    ScopedLock guard(&cf_lock, HERE);
    cf->closer_waiting = 0;
    if (cf->cache_opened > 0) {
        // Opened again while this close waited: the Cache lives on, its slots with it.
        for (int32_t i = 0; i < cf->bgdl_slots; i++)
            checked_sem_post(&cf->bgdl_sem, HERE);
        return;
    }
    Cache_close_last(cf);
}
