// format.cc: the byte layout of a cached file's meta and data files, their validation against
// the file's Link, the transfers between the data file and memory, and the list of segment
// downloads in progress of one Cache. Repairs nothing: a failed read or validation is left to
// the lifecycle (lifecycle.cc), which rebuilds the pair.
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

// time, content_length, blksz and segbc, packed.
static const int64_t META_HEADER_SIZE = 28;

int64_t segment_count(int64_t content_length, int32_t blksz)
{
    if (content_length <= 0 || blksz <= 0)
        return 0;
    uint64_t length = static_cast<uint64_t>(content_length);
    uint64_t size = static_cast<uint64_t>(blksz);
    uint64_t quotient = length / size;
    if (quotient > 2147483646)
        return 2147483647;
    return static_cast<int64_t>(quotient + (length % size ? 1 : 0));
}

int Cache_segment_present(const Cache *cf, int64_t index)
{
    return cf->segbc > 0 && cf->blksz > 0 && index >= 0 && index < cf->segbc && cf->seg &&
           cf->seg[index] != 0;
}

void Cache_segment_mark(Cache *cf, int64_t index)
{
    if (cf->segbc > 0 && cf->blksz > 0 && index >= 0 && index < cf->segbc && cf->seg)
        cf->seg[index] = 1;
}

bool Cache_segment_length_ok(const Cache *cf, int64_t seg_start, int64_t received, const char *file,
                             const char *func, int line)
{
    int64_t content_length = cf->link->content_length;
    int64_t last_start = content_length - content_length % cf->blksz;
    if (received == cf->blksz || seg_start == last_start)
        return true;
    log_printf(LOG_ERROR, file, func, line, "received %ld rather than %d, possible network error.\n",
               received, cf->blksz);
    return false;
}

int Meta_create(Cache *cf)
{
    std::string path = path_join(meta_dir, cf->fn);
    FILE *fp = fopen(path.c_str(), "w");
    if (!fp) {
        // A full disk or an unwritable cache fails this file's cache, not the mount.
        log_printf(LOG_ERROR, HERE, "fopen(%s): %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    if (fclose(fp))
        log_printf(LOG_ERROR, HERE, "cannot close metadata after creation: %s.\n", strerror(errno));
    return 0;
}

// The file `fn` below `dir` opened "r+", or null with the failure logged at the caller's site.
static FILE *open_existing(const char *dir, const char *fn, const char *file, const char *func, int line)
{
    std::string path = path_join(dir, fn);
    FILE *fp = fopen(path.c_str(), "r+");
    if (!fp)
        log_printf(LOG_ERROR, file, func, line, "fopen(%s): %s\n", path.c_str(), strerror(errno));
    return fp;
}

int Meta_open(Cache *cf)
{
    cf->mfp = open_existing(meta_dir, cf->fn, HERE);
    return cf->mfp ? 0 : -1;
}

// One whole item of `size` bytes, with the stream's error flag clear.
static bool read_item(void *item, size_t size, FILE *fp)
{
    return fread(item, size, 1, fp) == 1 && !ferror(fp);
}

// The meta file's stream, rewound to its start, for a Cache that has its Link; null, with the
// reason logged at the caller's site, otherwise.
static FILE *meta_rewound(Cache *cf, const char *file, const char *func, int line)
{
    FILE *fp = cf->mfp;
    if (!fp) {
        log_printf(LOG_ERROR, file, func, line, "fopen(): %s\n", strerror(errno));
        return nullptr;
    }
    if (fseeko(fp, 0, SEEK_SET)) {
        log_printf(LOG_ERROR, file, func, line, "fseek(): %s\n", strerror(errno));
        return nullptr;
    }
    if (!cf->link) {
        log_printf(LOG_ERROR, file, func, line, "cf->link is NULL in %s\n", func);
        return nullptr;
    }
    return fp;
}

int Meta_read(Cache *cf)
{
    FILE *fp = meta_rewound(cf, HERE);
    if (!fp)
        return -1;

    int64_t time = 0;
    int64_t content_length = 0;
    if (!read_item(&time, sizeof(time), fp) || !read_item(&content_length, sizeof(content_length), fp) ||
        !read_item(&cf->blksz, sizeof(cf->blksz), fp) || !read_item(&cf->segbc, sizeof(cf->segbc), fp)) {
        log_printf(LOG_ERROR, HERE, "error reading core metadata %s!\n", cf->fn);
        return -1;
    }
    if (content_length <= 0 || cf->blksz <= 0 || cf->segbc <= 0) {
        log_printf(LOG_ERROR, HERE, "corruption: content_length: %jd, blksz: %d, segbc: %jd\n",
                   content_length, cf->blksz, cf->segbc);
        return -1;
    }
    // The stored segment size governs this file, whatever the configuration says now.
    if (cf->blksz != CONFIG.data_blksz)
        log_printf(LOG_WARNING, HERE, "Warning: cf->blksz != CONFIG.data_blksz\n");
    if (content_length > INT64_MAX - cf->blksz) {
        log_printf(LOG_ERROR, HERE, "Error: segbc upper bound overflow\n");
        return -1;
    }
    int64_t link_time = cf->link->time;
    if (time != link_time) {
        log_printf(LOG_WARNING, HERE, "outdated cache file: %s (disk: %ld, link: %ld)\n", cf->fn, time,
                   link_time);
        return -1;
    }
    int64_t link_length = cf->link->content_length;
    if (content_length != link_length) {
        log_printf(LOG_WARNING, HERE, "cache size mismatch: %s (disk: %jd, link: %zu)\n", cf->fn,
                   content_length, static_cast<size_t>(link_length));
        return -1;
    }
    int64_t expected = segment_count(content_length, cf->blksz);
    if (cf->segbc != expected) {
        log_printf(LOG_ERROR, HERE, "Error: invalid segbc size: %ld (expected: %ld)\n", cf->segbc, expected);
        return -1;
    }

    // A file too short for its bitmap is refused before the bitmap is allocated.
    struct stat st;
    if (fstat(fileno(fp), &st) == 0 && st.st_size < META_HEADER_SIZE + cf->segbc) {
        log_printf(LOG_ERROR, HERE, "attempted to read past the end of the file!\n");
        return -1;
    }
    checked_free(cf->seg);
    cf->seg = static_cast<char *>(checked_calloc(static_cast<size_t>(cf->segbc), 1, HERE));
    size_t got = fread(cf->seg, 1, static_cast<size_t>(cf->segbc), fp);
    if (got < static_cast<size_t>(cf->segbc)) {
        if (feof(fp))
            log_printf(LOG_ERROR, HERE, "attempted to read past the end of the file!\n");
        else if (ferror(fp))
            log_printf(LOG_ERROR, HERE, "error reading bitmap!\n");
        else
            log_printf(LOG_ERROR, HERE, "corrupted metadata!\n");
        return -1;
    }
    return 0;
}

int Meta_write(Cache *cf)
{
    FILE *fp = meta_rewound(cf, HERE);
    if (!fp)
        return -1;
    int64_t time = cf->link->time;
    int64_t content_length = cf->link->content_length;
    int64_t expected = segment_count(content_length, cf->blksz);
    if (cf->segbc != expected || cf->segbc <= 0 || !cf->seg) {
        log_printf(LOG_ERROR, HERE,
                   "invalid metadata for write: content_length: %jd, blksz: %d, segbc: %ld (expected: %ld)\n",
                   content_length, cf->blksz, cf->segbc, expected);
        return -1;
    }
    fwrite(&time, sizeof(time), 1, fp);
    fwrite(&content_length, sizeof(content_length), 1, fp);
    fwrite(&cf->blksz, sizeof(cf->blksz), 1, fp);
    fwrite(&cf->segbc, sizeof(cf->segbc), 1, fp);
    fwrite(cf->seg, 1, static_cast<size_t>(cf->segbc), fp);
    if (ferror(fp)) {
        log_printf(LOG_ERROR, HERE, "fwrite(): encountered error!\n");
        return -1;
    }
    return 0;
}

int Data_create(Cache *cf)
{
    std::string path = path_join(data_dir, cf->fn);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd == -1) {
        log_printf(LOG_ERROR, HERE, "open(): %s\n", strerror(errno));
        return -1;
    }
    if (!cf->link)
        log_fatal(HERE, "cf->link is NULL in Data_create\n");
    int64_t size = cf->link->content_length;
    if (size < 0)
        log_fatal(HERE, "File size too large for system off_t: %zu\n", static_cast<size_t>(size));
    // Full length without writing: the file system keeps the absent segments as holes.
    if (ftruncate(fd, size))
        log_printf(LOG_WARNING, HERE, "ftruncate(): %s\n", strerror(errno));
    int result = 0;
    if (close(fd)) {
        log_printf(LOG_ERROR, HERE, "close:(): %s\n", strerror(errno));
        result = -1;
    }
    return result;
}

int64_t Data_size(const char *fn)
{
    std::string path = path_join(data_dir, fn);
    struct stat st;
    int64_t size = -1;
    if (stat(path.c_str(), &st))
        log_printf(LOG_ERROR, HERE, "stat(): %s\n", strerror(errno));
    else
        size = st.st_size;
    return size;
}

int Data_open(Cache *cf)
{
    cf->dfp = open_existing(data_dir, cf->fn, HERE);
    return cf->dfp ? 0 : -1;
}

int64_t Data_read(Cache *cf, char *buf, int64_t len, int64_t offset)
{
    if (!cf->link) {
        log_printf(LOG_ERROR, HERE, "cf->link is NULL in Data_read\n");
        return -EINVAL;
    }
    int64_t content_length = cf->link->content_length;
    if (content_length < 0) {
        log_printf(LOG_ERROR, HERE, "content_length overflow in Data_read\n");
        return -EINVAL;
    }
    if (len < 0) {
        log_printf(LOG_ERROR, HERE, "requested to read negative bytes: %jd\n", len);
        return -EINVAL;
    }
    if (len == 0) {
        log_printf(LOG_ERROR, HERE, "requested to read 0 byte!\n");
        return -EINVAL;
    }

    // pread and pwrite carry their own offset: readers, stores and background downloads of
    // one file go on at once, and no lock of this file is held while the disk works.
    if (offset >= content_length)
        return 0;
    int64_t want = len < content_length - offset ? len : content_length - offset;
    int64_t got = 0;
    while (got < want) {
        ssize_t n = pread(fileno(cf->dfp), buf + got, static_cast<size_t>(want - got), offset + got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            log_printf(LOG_ERROR, HERE, "fread(): encountered error!\n");
            break;
        }
        if (n == 0) {
            log_printf(LOG_ERROR, HERE, "fread(): reached the end of the file!\n");
            break;
        }
        got += n;
    }
    return got;
}

int64_t Data_write(Cache *cf, const char *buf, int64_t len, int64_t offset)
{
    if (len <= 0) {
        log_printf(LOG_ERROR, HERE, "requested to write 0 or negative bytes: %jd\n", len);
        return -EINVAL;
    }
    // Straight to the file, no stream buffer: the caller marks the segment present on a full
    // count, and a failed write (a full disk) must leave it absent rather than let it be served
    // from a hole.
    int64_t written = 0;
    while (written < len) {
        ssize_t n =
            pwrite(fileno(cf->dfp), buf + written, static_cast<size_t>(len - written), offset + written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            log_printf(LOG_ERROR, HERE, "fwrite(): requested %ld, returned %ld!\n", len, written);
            log_printf(LOG_ERROR, HERE, "fwrite(): encountered error!\n");
            return -EIO;
        }
        written += n;
    }
    return written;
}

ActiveDownload *ActiveDownload_find(Cache *cf, int64_t offset)
{
    for (ActiveDownload *ad = cf->active_downloads; ad; ad = ad->next) {
        checked_mutex_assert_held(ad->lock, HERE);
        if (ad->offset == offset)
            return ad;
    }
    return nullptr;
}

ActiveDownload *ActiveDownload_add(Cache *cf, int64_t offset)
{
    ActiveDownload *ad = static_cast<ActiveDownload *>(checked_calloc(1, sizeof(ActiveDownload), HERE));
    ad->offset = offset;
    ad->lock = &cf->active_dl_lock;
    checked_mutex_assert_held(ad->lock, HERE);
    ad->refcount = 1;
    checked_cond_init(&ad->cond, nullptr, HERE);
    ad->next = cf->active_downloads;
    cf->active_downloads = ad;
    return ad;
}

void ActiveDownload_remove(Cache *cf, int64_t offset, int64_t result)
{
    for (ActiveDownload **slot = &cf->active_downloads; *slot;) {
        ActiveDownload *ad = *slot;
        checked_mutex_assert_held(ad->lock, HERE);
        if (ad->offset != offset) {
            slot = &ad->next;
            continue;
        }
        *slot = ad->next;
        ad->next = nullptr;
        ad->done = 1;
        ad->result = result;
        checked_cond_broadcast(&ad->cond, HERE);
        ActiveDownload_unref(ad);
        return;
    }
}

void ActiveDownload_unref(ActiveDownload *ad)
{
    if (!ad)
        return;
    if (--ad->refcount == 0) {
        checked_cond_destroy(&ad->cond, HERE);
        checked_free(ad->complete);
        checked_free(ad);
    }
}

void Cache_waiter_decrement(Cache *cf)
{
    cf->waiter_count--;
    if (cf->closing && cf->waiter_count == 0)
        checked_cond_broadcast(&cf->waiter_cond, HERE);
}
