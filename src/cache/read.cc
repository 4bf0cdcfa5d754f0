// read.cc: segmented reads of an open Cache. A read is cut at segment boundaries; each piece
// comes from the data file when its segment is present, or from the one download of that
// segment, which the first reader starts (in the background when a slot is free, else in its
// own thread) and later readers join, copying from its live buffer as the bytes arrive. After
// each piece the next segment is handed to a background download (read-ahead).
// bitmap_lock covers a segment's presence test together with the decision to read it from
// disk or to start its download; it is never held while a reader waits or a download runs.
#include <cerrno>
#include <cstring>

#include "cache/cache.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

namespace
{

// One piece of a request: the bytes [p, p + len) of the segment that starts at seg_start.
struct Piece {
    char *dest;
    int64_t len;
    int64_t p;
    int64_t seg_start;
    int64_t index;
    int64_t seg_off; // where the piece starts inside its segment
    int64_t need;    // bytes of the segment, from its start, that the piece requires
};

// Results of the steps that do not end the piece.
const int64_t START_OVER = INT64_MIN;
const int64_t FETCH = INT64_MIN + 1;

} // namespace

// Starts a background download of the segment after the one at seg_start when it is absent,
// not being downloaded, and a slot is free. Called with no lock held.
static void read_ahead(Cache *cf, int64_t seg_start)
{
    int64_t next = seg_start + cf->blksz;
    if (next >= cf->link->content_length)
        return;
    int64_t index = next / cf->blksz;
    {
        ScopedLock guard(&cf->bitmap_lock, HERE);
        if (Cache_segment_present(cf, index))
            return;
    }
    if (checked_sem_trywait(&cf->bgdl_sem, HERE))
        return;

    checked_mutex_lock(&cf->bitmap_lock, HERE);
    bool start = !Cache_segment_present(cf, index);
    checked_mutex_lock(&cf->active_dl_lock, HERE);
    if (start && !ActiveDownload_find(cf, next))
        ActiveDownload_add(cf, next);
    else
        start = false;
    checked_mutex_unlock(&cf->active_dl_lock, HERE);
    checked_mutex_unlock(&cf->bitmap_lock, HERE);
    if (start)
        Cache_bgdl_launcher(cf, next);
    else
        checked_sem_post(&cf->bgdl_sem, HERE);
}

// A joined reader's way out: its count and its reference go. Called with active_dl_lock held,
// which it releases.
static void leave(Cache *cf, ActiveDownload *ad)
{
    Cache_waiter_decrement(cf);
    ActiveDownload_unref(ad);
    checked_mutex_unlock(&cf->active_dl_lock, HERE);
}

// Join: entered with bitmap_lock and active_dl_lock held and `ad` the segment's record. Returns
// the piece's result, or FETCH with bitmap_lock held when the download ended without storing
// the segment.
static int64_t segment_join(Cache *cf, const Piece &pc, ActiveDownload *ad)
{
    checked_mutex_unlock(&cf->bitmap_lock, HERE);
    ad->refcount++;
    cf->waiter_count++;
    if (cf->closing) {
        leave(cf, ad);
        return -EIO;
    }
    for (;;) {
        if (ad->done) {
            leave(cf, ad);
            checked_mutex_lock(&cf->bitmap_lock, HERE);
            if (!Cache_segment_present(cf, pc.index))
                return FETCH;
            int64_t r = Data_read(cf, pc.dest, pc.len, pc.p);
            checked_mutex_unlock(&cf->bitmap_lock, HERE);
            read_ahead(cf, pc.seg_start);
            return r;
        }
        // The write callback appends under active_dl_lock, so the buffer holds still here.
        const ResponseBuffer *transfer = ad->transfer;
        if (transfer && transfer->data && static_cast<int64_t>(transfer->size) >= pc.need) {
            memcpy(pc.dest, transfer->data + pc.seg_off, static_cast<size_t>(pc.len));
            leave(cf, ad);
            read_ahead(cf, pc.seg_start);
            return pc.len;
        }
        checked_cond_wait(&ad->cond, &cf->active_dl_lock, HERE);
        if (cf->closing) {
            leave(cf, ad);
            return -EIO;
        }
    }
}

// Fetch: entered with bitmap_lock held. Downloads the segment in this thread unless a download
// of it has appeared (START_OVER); stores it, marks it and serves the piece from memory.
static int64_t segment_fetch(Cache *cf, const Piece &pc)
{
    checked_mutex_lock(&cf->active_dl_lock, HERE);
    if (ActiveDownload_find(cf, pc.seg_start)) {
        checked_mutex_unlock(&cf->active_dl_lock, HERE);
        checked_mutex_unlock(&cf->bitmap_lock, HERE);
        return START_OVER;
    }
    ActiveDownload_add(cf, pc.seg_start);
    cf->waiter_count++;
    checked_mutex_unlock(&cf->active_dl_lock, HERE);
    checked_mutex_unlock(&cf->bitmap_lock, HERE);

    char *buf = static_cast<char *>(checked_calloc(static_cast<size_t>(cf->blksz), 1, HERE));
    int64_t r = Link_download(cf->link, buf, static_cast<uint64_t>(cf->blksz), pc.seg_start, cf);

    checked_mutex_lock(&cf->bitmap_lock, HERE);
    int64_t result;
    if (r < 0) {
        result = r;
    } else if (!Cache_segment_length_ok(cf, pc.seg_start, r, HERE)) {
        result = -EIO;
    } else if (r < pc.need) {
        log_printf(LOG_ERROR, HERE, "received %ld bytes, but required at least %ld bytes\n", r, pc.need);
        result = -EIO;
    } else {
        // A short write leaves the segment absent; this reader still has its bytes.
        if (Data_write(cf, buf, r, pc.seg_start) == r)
            Cache_segment_mark(cf, pc.index);
        result = pc.len;
    }
    {
        ScopedLock guard(&cf->active_dl_lock, HERE);
        ActiveDownload_remove(cf, pc.seg_start);
        Cache_waiter_decrement(cf);
    }
    if (result >= 0)
        memcpy(pc.dest, buf + pc.seg_off, static_cast<size_t>(pc.len));
    checked_free(buf);
    checked_mutex_unlock(&cf->bitmap_lock, HERE);
    if (result >= 0)
        read_ahead(cf, pc.seg_start);
    return result;
}

int64_t Cache_read_segment(Cache *cf, char *dest, int64_t len, int64_t p)
{
    Piece pc;
    pc.dest = dest;
    pc.len = len;
    pc.p = p;
    pc.seg_start = p - p % cf->blksz;
    pc.index = pc.seg_start / cf->blksz;
    pc.seg_off = p - pc.seg_start;
    pc.need = pc.seg_off + len;
    // A reader hands a segment to the background once per piece: should that download end
    // before the reader has joined it, the reader fetches the segment itself instead of
    // starting one background download after another.
    bool delegated = false;

    for (;;) {
        checked_mutex_lock(&cf->bitmap_lock, HERE);
        if (Cache_segment_present(cf, pc.index)) {
            int64_t r = Data_read(cf, dest, len, p);
            checked_mutex_unlock(&cf->bitmap_lock, HERE);
            read_ahead(cf, pc.seg_start);
            return r;
        }

        int64_t r;
        checked_mutex_lock(&cf->active_dl_lock, HERE);
        if (ActiveDownload *ad = ActiveDownload_find(cf, pc.seg_start)) {
            r = segment_join(cf, pc, ad);
            if (r != FETCH)
                return r;
        } else {
            checked_mutex_unlock(&cf->active_dl_lock, HERE);
            if (!delegated && checked_sem_trywait(&cf->bgdl_sem, HERE) == 0) {
                checked_mutex_lock(&cf->active_dl_lock, HERE);
                if (!ActiveDownload_find(cf, pc.seg_start)) {
                    ActiveDownload_add(cf, pc.seg_start);
                    checked_mutex_unlock(&cf->active_dl_lock, HERE);
                    // The slot now belongs to the background download.
                    Cache_bgdl_launcher(cf, pc.seg_start);
                    checked_mutex_unlock(&cf->bitmap_lock, HERE);
                    delegated = true;
                    continue;
                }
                checked_mutex_unlock(&cf->active_dl_lock, HERE);
                checked_sem_post(&cf->bgdl_sem, HERE);
            }
        }
        r = segment_fetch(cf, pc);
        if (r != START_OVER)
            return r;
    }
}

int64_t Cache_read(Cache *cf, char *buf, int64_t len, int64_t offset)
{
    if (!cf || !cf->link || cf->blksz <= 0) {
        log_printf(LOG_ERROR, HERE, "Invalid cache or link in Cache_read\n");
        return -EINVAL;
    }
    if (len < 0) {
        log_printf(LOG_ERROR, HERE, "requested to read negative bytes: %jd\n", len);
        return -EINVAL;
    }
    // The file changed on the server: this pair holds bytes of a file that is no more.
    if (cf->stale.load())
        return -EIO;
    int64_t content_length = cf->link->content_length;
    if (offset < 0 || offset >= content_length)
        return 0;
    if (len > content_length - offset)
        len = content_length - offset;
    if (len == 0)
        return 0;

    int64_t end = offset + len;
    int64_t total = 0;
    for (int64_t p = offset; p < end;) {
        int64_t seg_start = p - p % cf->blksz;
        int64_t piece_end = seg_start + cf->blksz < end ? seg_start + cf->blksz : end;
        int64_t piece = piece_end - p;
        int64_t r = Cache_read_segment(cf, buf + (p - offset), piece, p);
        // A failed piece fails the read, whatever earlier pieces delivered.
        if (r < 0)
            return r;
        total += r;
        if (r < piece)
            return total;
        p = piece_end;
    }
    return total;
}
