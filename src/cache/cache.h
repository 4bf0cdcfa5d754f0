// cache.h: the on-disk segment cache. Owns this mount's cache directories (meta_dir, data_dir),
// the meta and data files, the background downloads, and one Cache per open file (shared by
// its openers, freed by the last close).
// Locks, and the only orders in which they nest:
//   cf_lock        before link_lock and before active_dl_lock
//   bitmap_lock    before active_dl_lock
//   transfer_lock  before active_dl_lock        (transfer_lock belongs to network.h)
// No lock is held across an HTTP transfer or a read or write of the data file (pread, pwrite);
// the last Cache_close waits for its background downloads without any lock.
#pragma once

#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <semaphore.h>

#include "link/link.h"
#include "memcache.h"
#include "util.h"

struct Link;

// ---- cache directories (dirs.cc) ----
extern int cache_system_enabled;
extern char *meta_dir;
extern char *data_dir;
extern Mutex cf_lock;

// The cache root: --cache-location, $XDG_CACHE_HOME, $HOME/.cache, or ./.cache. Heap string.
char *CacheSystem_get_cache_dir();
// path is the root URL with calc_dir 1 (the directory is derived from it), or the cache
// directory itself with calc_dir 0, made here when missing (one level, as the cache root is).
// Runs at start-up only: a directory or tag file that cannot be made ends the process with its
// "Fatal:" line and status 1 but no crash report (log_exit), since the location is the user's.
void CacheSystem_init(const char *path, int calc_dir);
void CacheSystem_cleanup();
// Removes the cache tree and ends the process with status 0.
[[noreturn]] void CacheSystem_clear();
// Creates meta_dir/dirn and data_dir/dirn; 0, or -1 (logged) when either cannot be made.
int CacheDir_create(const char *dirn);

// ---- records and file formats (format.cc) ----
// One segment download in progress; found by offset in its Cache's list. Its Cache's
// active_dl_lock (`lock`) guards it; code that found it under that lock says so with
// checked_mutex_assert_held(ad->lock) before touching it.
struct ActiveDownload {
    int64_t offset; // set when made, then fixed
    Mutex *lock;    // its Cache's active_dl_lock
    // The reply now filling the segment, written in place, or null. Only a reply judged to be
    // the segment itself is ever attached (memcache.h). Not owned.
    ResponseBuffer *transfer GUARDED_BY(*lock);
    // The whole segment, once downloaded, until the record goes: owned by the record, never
    // changed, so a reader holding a reference copies from it without the lock.
    char *complete GUARDED_BY(*lock);
    int64_t complete_size GUARDED_BY(*lock);
    int64_t result GUARDED_BY(*lock);   // the download's result, once done
    pthread_cond_t cond;                // with *lock: bytes came, or the download ended
    int32_t refcount GUARDED_BY(*lock); // the list's, one per attached transfer, one per reader
    int32_t done GUARDED_BY(*lock);     // set when taken off the list
    ActiveDownload *next GUARDED_BY(*lock);
};

// One open cached file ("cf" in messages).
struct Cache {
    int32_t cache_opened GUARDED_BY(cf_lock);
    FILE *dfp;  // the data file; read and written with pread and pwrite on its descriptor
    FILE *mfp;  // the meta file; only under cf_lock (open, last close)
    char *fn;   // the cache key
    Link *link; // not owned; its table is referenced while the Cache exists
    int32_t blksz;
    int64_t segbc;
    char *seg PT_GUARDED_BY(bitmap_lock); // one byte per segment, 1 = present
    Mutex bitmap_lock;
    sem_t bgdl_sem;
    Mutex active_dl_lock;
    ActiveDownload *active_downloads GUARDED_BY(active_dl_lock); // newest first
    int32_t waiter_count GUARDED_BY(active_dl_lock);
    pthread_cond_t waiter_cond;
    int32_t closing GUARDED_BY(active_dl_lock);
    int32_t bgdl_slots;
    // Background downloads that gave their slot back once their bytes had come and are still
    // storing them: at most bgdl_slots, so that at most twice bgdl_slots segments are held in
    // memory. The last close waits for them (waiter_cond) before it closes the files.
    int32_t storing GUARDED_BY(active_dl_lock);
    // The version of the file the pair was made for: every download judges its replies by it.
    FileVersion version;
    // The file changed on the server. `changed` is set once, by the download that found it,
    // which then removes the pair; `stale` follows, and from then on every read fails and the
    // last close writes nothing.
    std::atomic<bool> changed;
    std::atomic<bool> stale;
    // No longer its link's Cache: an open after the change made a new one.
    int32_t detached GUARDED_BY(cf_lock);
    // A last close waits, outside cf_lock, for the background downloads.
    int32_t closer_waiting GUARDED_BY(cf_lock);
};

// ceil(content_length / blksz), at most 2147483647; 0 unless both are positive.
int64_t segment_count(int64_t content_length, int32_t blksz);
// 1 when segment `index` is present in the bitmap.
int Cache_segment_present(const Cache *cf, int64_t index) REQUIRES(cf->bitmap_lock);
// Marks segment `index` present; an index without a bitmap byte is ignored. Called after the
// segment's bytes are in the data file.
void Cache_segment_mark(Cache *cf, int64_t index) REQUIRES(cf->bitmap_lock);
// Whether `received` bytes downloaded for the segment at seg_start are all it should have: a
// whole segment, or any length for the file's last, partial one. Otherwise logs the error, at
// the caller's site, and gives false.
bool Cache_segment_length_ok(const Cache *cf, int64_t seg_start, int64_t received, const char *file,
                             const char *func, int line);

// Meta_create and Data_create return 0, or -1 (logged) when the file cannot be made.
int Meta_create(Cache *cf);
int Meta_open(Cache *cf);
int Meta_read(Cache *cf);
int Meta_write(Cache *cf);
int Data_create(Cache *cf);
int64_t Data_size(const char *fn);
int Data_open(Cache *cf);
// Bytes read at `offset`, cut at the link's size (0 at or past it), or -EINVAL. Takes no lock.
int64_t Data_read(Cache *cf, char *buf, int64_t len, int64_t offset);
// Bytes written to the data file, or -EINVAL / -EIO. Only a full count means the segment may
// be marked present. Takes no lock.
int64_t Data_write(Cache *cf, const char *buf, int64_t len, int64_t offset);

// The list operations.
ActiveDownload *ActiveDownload_find(Cache *cf, int64_t offset) REQUIRES(cf->active_dl_lock);
// A new record for `offset` at the head of the list, holding the list's reference; returned.
ActiveDownload *ActiveDownload_add(Cache *cf, int64_t offset) REQUIRES(cf->active_dl_lock);
// Takes the record off the list with the download's result, marks it done, wakes its readers
// and drops the list's reference.
void ActiveDownload_remove(Cache *cf, int64_t offset, int64_t result = 0) REQUIRES(cf->active_dl_lock);
// Drops one reference; the last frees the record and its complete segment.
void ActiveDownload_unref(ActiveDownload *ad) REQUIRES(*ad->lock);
void Cache_waiter_decrement(Cache *cf) REQUIRES(cf->active_dl_lock);

// ---- lifecycle (lifecycle.cc) ----
// The link's Cache, shared by its openers, with its files validated or rebuilt; or null. The
// caller holds a look-up reference on the link's table for the call; a new Cache takes one of
// its own, which its last close gives back.
Cache *Cache_open(Link *link) EXCLUDES(cf_lock);
void Cache_close(Cache *cf) EXCLUDES(cf_lock);
// 0 when both files of `key` exist and are not empty, 1 otherwise (a lone survivor is removed).
int Cache_exist(const char *key);
// Removes the pair of the link's cache files.
void Cache_delete(Link *link);
// Makes the pair anew, with an empty bitmap: 0, or 1 when it cannot be made.
int Cache_create(Link *link);
Cache *Cache_alloc();
void Cache_free(Cache *cf);

// The file changed on the server (a download found it so): the pair is removed once, and the
// Cache is stale from then on. Takes no lock.
void Cache_drop_changed(Cache *cf);

// ---- background downloads (bgdl.cc) ----
// The caller holds a slot of bgdl_sem and has listed an ActiveDownload for `offset`.
void Cache_bgdl_launcher(Cache *cf, int64_t offset) EXCLUDES(cf->active_dl_lock);
void *Cache_bgdl(void *arg);
// Downloads the segment of the listed record `ad` in this thread and stores it: the download
// feeds the segment's joined readers as it arrives, the whole segment is published to them
// (ad->complete) before it is written to the data file and marked present, and the record is
// then taken off the list with the result: the byte count, or a negative errno. With
// `slot_given` (a background download), the download gives its bgdl_sem slot back before
// storing when fewer than bgdl_slots others are storing, counts in `storing` instead, and sets
// *slot_given; the caller then leaves `storing`, broadcasting waiter_cond, instead of posting.
int64_t Cache_segment_download(Cache *cf, ActiveDownload *ad, bool *slot_given = nullptr)
    EXCLUDES(cf->bitmap_lock, cf->active_dl_lock);

// ---- segmented reads (read.cc) ----
// Bytes placed in buf, 0 at or past the end, or a negative errno. `ahead`: how many segments
// after the one read may be fetched in the background meanwhile (the reader reads on
// sequentially); 0 for a random access, which fetches only what it touches.
int64_t Cache_read(Cache *cf, char *buf, int64_t len, int64_t offset, int ahead = 1);
int64_t Cache_read_segment(Cache *cf, char *dest, int64_t len, int64_t p, int ahead = 1);
