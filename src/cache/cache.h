// cache.h: the on-disk segment cache. Owns this mount's cache directories (meta_dir, data_dir),
// the meta and data files, the background downloads, and one Cache per open file (shared by
// its openers, freed by the last close).
// Locks, and the only orders in which they nest:
//   cf_lock        before link_lock and before active_dl_lock
//   bitmap_lock    before active_dl_lock and before seek_lock
//   transfer_lock  before active_dl_lock        (transfer_lock belongs to network.h)
// seek_lock is held only around one seek and its transfer and nothing is taken under it.
// No lock is held across an HTTP transfer; the last Cache_close waits under cf_lock for its
// background downloads, which never take cf_lock.
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
// One segment download in progress; found by offset in its Cache's list. All fields are
// guarded by the Cache's active_dl_lock.
struct ActiveDownload {
    int64_t offset;
    ResponseBuffer *transfer; // the buffer now filling the segment, or null; not owned
    pthread_cond_t cond;      // used with active_dl_lock
    int32_t refcount;         // the list's, one per attached transfer, one per waiting reader
    int32_t done;             // set when taken off the list
    ActiveDownload *next;
};

// One open cached file ("cf" in messages).
struct Cache {
    int32_t cache_opened; // guarded by cf_lock
    FILE *dfp;
    FILE *mfp;
    char *fn;   // the cache key
    Link *link; // not owned; its table is referenced while the Cache exists
    int32_t blksz;
    int64_t segbc;
    char *seg; // one byte per segment, 1 = present; guarded by bitmap_lock
    Mutex seek_lock;
    Mutex bitmap_lock;
    sem_t bgdl_sem;
    Mutex active_dl_lock;
    ActiveDownload *active_downloads; // newest first
    int32_t waiter_count;
    pthread_cond_t waiter_cond;
    int32_t closing;
    int32_t bgdl_slots;
    // The version of the file the pair was made for: every download judges its replies by it.
    FileVersion version;
    // The file changed on the server. `changed` is set once, by the download that found it,
    // which then removes the pair; `stale` follows, and from then on every read fails and the
    // last close writes nothing.
    std::atomic<bool> changed;
    std::atomic<bool> stale;
    // No longer its link's Cache: an open after the change made a new one. Guarded by cf_lock.
    int32_t detached;
    // A last close waits, outside cf_lock, for the background downloads. Guarded by cf_lock.
    int32_t closer_waiting;
};

// ceil(content_length / blksz), at most 2147483647; 0 unless both are positive.
int64_t segment_count(int64_t content_length, int32_t blksz);
// 1 when segment `index` is present in the bitmap. Called with bitmap_lock held.
int Cache_segment_present(const Cache *cf, int64_t index);
// Marks segment `index` present; an index without a bitmap byte is ignored. Called with
// bitmap_lock held, after the segment's bytes are in the data file.
void Cache_segment_mark(Cache *cf, int64_t index);
// Whether `received` bytes downloaded for the segment at seg_start are all it should have: a
// whole segment, or any length for the file's last, partial one. Otherwise logs the error, at
// the caller's site, and gives false. Called with bitmap_lock held.
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
// Bytes read at `offset`, cut at the link's size (0 at or past it), or -EINVAL / -EIO.
int64_t Data_read(Cache *cf, char *buf, int64_t len, int64_t offset);
// Bytes written and flushed to the data file, or -EINVAL / -EIO. Only a full count means the
// segment may be marked present.
int64_t Data_write(Cache *cf, const char *buf, int64_t len, int64_t offset);

// The list operations; each is called with cf->active_dl_lock held.
ActiveDownload *ActiveDownload_find(Cache *cf, int64_t offset);
void ActiveDownload_add(Cache *cf, int64_t offset);
void ActiveDownload_remove(Cache *cf, int64_t offset);
void ActiveDownload_unref(ActiveDownload *ad);
void Cache_waiter_decrement(Cache *cf);

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
void Cache_bgdl_launcher(Cache *cf, int64_t offset);
void *Cache_bgdl(void *arg);

// ---- segmented reads (read.cc) ----
// Bytes placed in buf, 0 at or past the end, or a negative errno.
int64_t Cache_read(Cache *cf, char *buf, int64_t len, int64_t offset);
int64_t Cache_read_segment(Cache *cf, char *dest, int64_t len, int64_t p);
