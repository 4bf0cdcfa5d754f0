// read.cc: segmented reads of an open Cache. A read is cut at segment boundaries; each piece
// comes from the data file when its segment is present, or from the one download of that
// segment, which the first reader starts (in the background when a slot is free, else in its
// own thread) and later readers join: they copy from its reply while it arrives, and from the
// whole segment once it is in, before and while it is stored. A reader reading on sequentially
// has the segments after its own fetched in the background meanwhile.
// Every function here leaves with exactly the locks it entered with; bitmap_lock covers a
// segment's presence test together with the decision to read it from disk, join its download
// or start one, and no lock is held while a reader waits, copies a whole segment, or a
// download runs.
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

// What a reader does about its piece, decided under bitmap_lock and active_dl_lock.
enum Plan {
    PLAN_READ,     // the segment is present: read it from the data file
    PLAN_JOIN,     // a download of it runs: wait on its record
    PLAN_DELEGATE, // a background slot was free: a background download of it is to start
    PLAN_FETCH,    // no slot: download it in this thread
};

// What a join came to when it brought no bytes.
const int64_t JOIN_ENDED = INT64_MIN; // the download ended without the segment: look again

} // namespace

// Decides, with the segment's presence and its download list seen in one step, what the
// reader does. For PLAN_JOIN and PLAN_FETCH, *ad is the record, referenced and with the
// reader counted in waiter_count; for PLAN_DELEGATE it is the new record, whose slot the
// caller now holds for the background download.
static Plan segment_plan(Cache *cf, const Piece &pc, bool may_delegate, ActiveDownload **ad)
    EXCLUDES(cf->bitmap_lock, cf->active_dl_lock)
{
    ScopedLock bitmap(&cf->bitmap_lock, HERE);
    if (Cache_segment_present(cf, pc.index))
        return PLAN_READ;
    ScopedLock list(&cf->active_dl_lock, HERE);
    *ad = ActiveDownload_find(cf, pc.seg_start);
    if (*ad) {
        checked_mutex_assert_held((*ad)->lock, HERE);
        (*ad)->refcount++;
        cf->waiter_count++;
        return PLAN_JOIN;
    }
    if (may_delegate && checked_sem_trywait(&cf->bgdl_sem, HERE) == 0) {
        *ad = ActiveDownload_add(cf, pc.seg_start);
        return PLAN_DELEGATE;
    }
    *ad = ActiveDownload_add(cf, pc.seg_start);
    checked_mutex_assert_held((*ad)->lock, HERE);
    (*ad)->refcount++;
    cf->waiter_count++;
    return PLAN_FETCH;
}

// A reader's way out of a record it joined or fetched: its count and its reference go.
static void segment_leave(Cache *cf, ActiveDownload *ad) EXCLUDES(cf->active_dl_lock)
{
    ScopedLock list(&cf->active_dl_lock, HERE);
    checked_mutex_assert_held(ad->lock, HERE);
    Cache_waiter_decrement(cf);
    ActiveDownload_unref(ad);
}

// Waits on the segment's record until the piece's bytes are there, and copies them: from the
// reply while it arrives (under the lock, since the reply is written meanwhile), or from the
// whole segment once it is in (without the lock: it never changes, and this reader's
// reference keeps it). Returns the piece's length, a negative errno when the download failed
// for good (or the Cache is closing), or JOIN_ENDED when it ended without the segment for
// another reason.
static int64_t segment_wait(Cache *cf, const Piece &pc, ActiveDownload *ad) EXCLUDES(cf->active_dl_lock)
{
    const char *complete = nullptr;
    int64_t result = 0;
    {
        ScopedLock list(&cf->active_dl_lock, HERE);
        checked_mutex_assert_held(ad->lock, HERE);
        for (;;) {
            if (cf->closing) {
                result = -EIO;
                break;
            }
            if (ad->complete && ad->complete_size >= pc.need) {
                complete = ad->complete;
                break;
            }
            const ResponseBuffer *transfer = ad->transfer;
            if (transfer && static_cast<int64_t>(transfer->size) >= pc.need) {
                memcpy(pc.dest, transfer->data + pc.seg_off, static_cast<size_t>(pc.len));
                result = pc.len;
                break;
            }
            if (ad->done) {
                // A download that used up its retries, or found the file changed, has spoken
                // for every reader of the segment; after any other end, one looks again.
                result = ad->result == -EIO ? -EIO : JOIN_ENDED;
                break;
            }
            checked_cond_wait(&ad->cond, &cf->active_dl_lock, HERE);
        }
    }
    if (complete) {
        memcpy(pc.dest, complete + pc.seg_off, static_cast<size_t>(pc.len));
        result = pc.len;
    }
    segment_leave(cf, ad);
    return result;
}

// Starts background downloads of up to `ahead` segments after the one at seg_start that are
// absent and not being downloaded, while slots are free.
static void read_ahead(Cache *cf, int64_t seg_start, int ahead) EXCLUDES(cf->bitmap_lock, cf->active_dl_lock)
{
    int64_t content_length = cf->version.size;
    for (int i = 1; i <= ahead; i++) {
        int64_t next = seg_start + static_cast<int64_t>(i) * cf->blksz;
        if (next >= content_length)
            return;
        bool start = false;
        {
            ScopedLock bitmap(&cf->bitmap_lock, HERE);
            if (Cache_segment_present(cf, next / cf->blksz))
                continue;
            ScopedLock list(&cf->active_dl_lock, HERE);
            if (ActiveDownload_find(cf, next))
                continue;
            if (checked_sem_trywait(&cf->bgdl_sem, HERE))
                return; // every slot is taken: nothing further can start either
            ActiveDownload_add(cf, next);
            start = true;
        }
        if (start)
            Cache_bgdl_launcher(cf, next);
    }
}

int64_t Cache_read_segment(Cache *cf, char *dest, int64_t len, int64_t p, int ahead)
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
        ActiveDownload *ad = nullptr;
        int64_t r;
        switch (segment_plan(cf, pc, !delegated, &ad)) {
        case PLAN_READ:
            r = Data_read(cf, dest, len, p);
            break;
        case PLAN_DELEGATE:
            // The slot now belongs to the background download; the next look joins it.
            Cache_bgdl_launcher(cf, pc.seg_start);
            delegated = true;
            continue;
        case PLAN_JOIN:
            r = segment_wait(cf, pc, ad);
            if (r == JOIN_ENDED)
                continue;
            break;
        case PLAN_FETCH:
        default:
            r = Cache_segment_download(cf, ad);
            if (r >= 0) {
                // This reader's own download: its bytes are in the record's whole segment.
                r = segment_wait(cf, pc, ad);
                if (r == JOIN_ENDED)
                    r = -EIO;
            } else {
                segment_leave(cf, ad);
            }
            break;
        }
        if (r >= 0)
            read_ahead(cf, pc.seg_start, ahead);
        return r;
    }
}

int64_t Cache_read(Cache *cf, char *buf, int64_t len, int64_t offset, int ahead)
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
    int64_t content_length = cf->version.size;
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
        int64_t r = Cache_read_segment(cf, buf + (p - offset), piece, p, ahead);
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
