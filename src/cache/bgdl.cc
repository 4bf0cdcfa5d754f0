// bgdl.cc: background downloads. One detached thread per segment fetches it, stores it in the
// data file and marks it present, while joined readers copy from its transfer (read.cc). A
// running download holds one of its Cache's bgdl_sem slots and counts in waiter_count. Once
// its bytes have come it gives the slot back, so that the next segment's download need not
// wait for the disk, and counts in `storing` while it stores (when fewer than bgdl_slots
// others do; else it keeps the slot). Giving the slot back, or leaving `storing`, is its last
// touch of the Cache, which is what lets the last Cache_close go on.
#include <cerrno>
#include <cstring>
#include <pthread.h>

#include "cache/cache.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

// What the launcher hands its thread; the thread releases it first thing.
struct BgdlLaunch {
    Cache *cf;
    int64_t offset;
};

void Cache_bgdl_launcher(Cache *cf, int64_t offset)
{
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err)
        log_fatal(HERE, "pthread_attr_init():%d, %s\n", err, strerror(err));
    err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (err)
        log_fatal(HERE, "pthread_attr_setdetachstate():%d, %s\n", err, strerror(err));

    BgdlLaunch *launch = static_cast<BgdlLaunch *>(checked_calloc(1, sizeof(BgdlLaunch), HERE));
    launch->cf = cf;
    launch->offset = offset;
    {
        ScopedLock guard(&cf->active_dl_lock, HERE);
        cf->waiter_count++;
    }
    pthread_t thread;
    err = pthread_create(&thread, &attr, Cache_bgdl, launch);
    if (err) {
        // No thread to be had (the process's limit): the segment's record goes, so that its
        // readers fetch it themselves, and the slot comes back.
        log_printf(LOG_ERROR, HERE, "pthread_create(): %d, %s\n", err, strerror(err));
        {
            ScopedLock guard(&cf->active_dl_lock, HERE);
            ActiveDownload_remove(cf, offset);
            Cache_waiter_decrement(cf);
        }
        checked_free(launch);
        checked_sem_post(&cf->bgdl_sem, HERE);
    }
    err = pthread_attr_destroy(&attr);
    if (err)
        log_fatal(HERE, "pthread_attr_destroy(): %d, %s\n", err, strerror(err));
}

int64_t Cache_segment_download(Cache *cf, ActiveDownload *ad, bool *slot_given)
{
    int64_t offset = ad->offset;
    char *buf = static_cast<char *>(checked_calloc(static_cast<size_t>(cf->blksz), 1, HERE));
    int64_t received = Link_download(cf->link, buf, static_cast<uint64_t>(cf->blksz), offset, cf);
    if (received >= 0 && !Cache_segment_length_ok(cf, offset, received, HERE))
        received = -EIO;
    if (received < 0) {
        checked_free(buf);
    } else {
        // The readers take their bytes from here while the segment goes to the disk.
        bool give = false;
        {
            ScopedLock list(&cf->active_dl_lock, HERE);
            checked_mutex_assert_held(ad->lock, HERE);
            ad->complete = buf;
            ad->complete_size = received;
            checked_cond_broadcast(&ad->cond, HERE);
            if (slot_given && cf->storing < cf->bgdl_slots) {
                cf->storing++;
                give = true;
            }
        }
        if (give) {
            *slot_given = true;
            checked_sem_post(&cf->bgdl_sem, HERE);
        }
        // A short write leaves the segment absent; its readers still have their bytes.
        if (Data_write(cf, buf, received, offset) == received) {
            ScopedLock bitmap(&cf->bitmap_lock, HERE);
            Cache_segment_mark(cf, offset / cf->blksz);
        }
    }
    // Marked before removed: a reader that looks after the removal finds it on disk.
    ScopedLock list(&cf->active_dl_lock, HERE);
    ActiveDownload_remove(cf, offset, received);
    return received;
}

void *Cache_bgdl(void *arg)
{
    BgdlLaunch *launch = static_cast<BgdlLaunch *>(arg);
    Cache *cf = launch->cf;
    int64_t offset = launch->offset;
    checked_free(launch);

    ActiveDownload *ad;
    {
        ScopedLock list(&cf->active_dl_lock, HERE);
        ad = ActiveDownload_find(cf, offset);
    }
    bool slot_given = false;
    if (ad) {
        int64_t received = Cache_segment_download(cf, ad, &slot_given);
        if (received < 0)
            log_printf(LOG_ERROR, HERE, "thread %lx received %ld bytes, which doesn't make sense\n",
                       thread_id(), received);
    }
    {
        ScopedLock list(&cf->active_dl_lock, HERE);
        Cache_waiter_decrement(cf);
        if (slot_given) {
            // The last touch of the Cache: a last close waiting for the stores goes on.
            cf->storing--;
            checked_cond_broadcast(&cf->waiter_cond, HERE);
        }
    }
    // The last touch of the Cache: the slot lets its last close go on.
    if (!slot_given)
        checked_sem_post(&cf->bgdl_sem, HERE);
    pthread_exit(nullptr);
}
