// fuse_local.cc: the operations of the read-only mount. Attributes and listings come straight
// from the directory model; reads from the cache or directly from the server.
#define FUSE_USE_VERSION 314
#include "fuse_local.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <sstream>
#include <fstream>
#include <fcntl.h>
#include <fuse.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"
#include "log.h"

// What an open of a file found, for the life of its handle: the link, whose table stays
// referenced until fs_release, and the file's Cache when it is read through the cache.
struct FileHandle {
    Link *link;
    // The file's size and time when it was opened: reads are of that version only, and fail
    // once the server has another.
    FileVersion version;
    Cache *cf;     // null: read from the server
    Prefetch *pf; // read from the server: the read-ahead
    // Where a reader reading on would read next: the end of the reads so far while they follow
    // each other (the kernel's own read-ahead sends them a little out of order), -1 before the
    // first read; and where that run of reads began.
    std::atomic<int64_t> next_offset{-1};
    std::atomic<int64_t> run_start{0};
};

// How far from where a sequential reader was a read may start and still count as reading on:
// the kernel sends the reads of its read-ahead in parallel, a few out of order.
static const int64_t SEQUENTIAL_SLACK = 4 << 20;

// How far the handle's reads have gone on sequentially up to this read of `size` at `offset`
// (a read that starts the file counts as reading on from nothing); -1 when this read does not
// follow the earlier ones, which starts a new run. Records where the next one would start.
static int64_t reads_on(FileHandle *fh, int64_t offset, int64_t size)
{
    int64_t next = fh->next_offset.load();
    bool sequential =
        next < 0 ? offset == 0 : offset >= next - SEQUENTIAL_SLACK && offset <= next + SEQUENTIAL_SLACK;
    int64_t end = offset + size;
    if (!sequential) {
        fh->run_start.store(offset);
        fh->next_offset.store(end);
        return -1;
    }
    while (next < end && !fh->next_offset.compare_exchange_weak(next, end)) {
    }
    return end - fh->run_start.load();
}

// Segments a cached reader has fetched ahead: none for a read that does not follow the earlier
// ones (random access fetches only what it touches), then one more for every segment the run
// has read, up to the background slots.
static int segments_ahead(const Cache *cf, int64_t run)
{
    if (run < 0)
        return 0;
    int64_t segments = run / cf->blksz + 1;
    return static_cast<int>(std::min<int64_t>(segments, cf->bgdl_slots));
}

// When the mount started: the time of entries whose server gives none and whose table has no
// listing time either.
static int64_t mount_time;

// The entry's modification time. A server that sends no Last-Modified (nginx for its
// directories, say) leaves it at -1, which would show as 1969-12-31: such an entry shows the
// time its directory was listed instead.
static int64_t shown_time(const Link *link)
{
    int64_t time = link->time;
    if (time >= 0)
        return time;
    return link->linktbl->index_time > 0 ? link->linktbl->index_time : mount_time;
}

// The handles open now with a Cache. The kernel sends a file's release when it likes, and an
// unmount may come first: the filesystem's end closes what is still open, so that the meta
// file gets the segments read, and a release after that finds its handle gone.
static Mutex handles_lock = MUTEX_INITIALIZER;
static std::unordered_set<FileHandle *> cached_handles GUARDED_BY(handles_lock);

// Ends a handle: its Cache closed, its link's table let go.
static void FileHandle_free(FileHandle *fh)
{
    Prefetch_free(fh->pf);
    Cache_close(fh->cf);
    LinkTable_unref(fh->link->linktbl);
    delete fh;
}

static FileHandle *file_handle(const struct fuse_file_info *fi)
{
    return reinterpret_cast<FileHandle *>(fi->fh);
}

static int fs_getattr(const char *path, struct stat *stbuf, struct fuse_file_info *) noexcept
{
    memset(stbuf, 0, sizeof(struct stat));
    if (strcmp(path, "/") == 0) {
        stbuf->st_mode = S_IFDIR | 0755;
        stbuf->st_nlink = 1;
    } else {
        LinkRef link(path_to_Link(path));
        if (!link)
            return -ENOENT;
        stbuf->st_mtim.tv_sec = shown_time(link.get());
        stbuf->st_mtim.tv_nsec = 0;
        switch (Link_type(link.get())) {
        case LINK_FILE: {
            int64_t length = link->content_length;
            stbuf->st_mode = S_IFREG | 0444;
            stbuf->st_nlink = 1;
            stbuf->st_size = length;
            stbuf->st_blksize = 128 * 1024;
            stbuf->st_blocks = length / 512;
            break;
        }
        case LINK_DIR:
            stbuf->st_mode = S_IFDIR | 0755;
            stbuf->st_nlink = 1;
            break;
        default:
            return -ENOENT;
        }
    }
    stbuf->st_uid = getuid();
    stbuf->st_gid = getgid();
    return 0;
}

static int fs_open(const char *path, struct fuse_file_info *fi) noexcept
{
    log_printf(LOG_INFO, HERE, "%s\n", path);
    LinkRef link(path_to_Link(path));
    if (!link)
        return -ENOENT;
    // The mount is read-only: any open for writing is refused.
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    int64_t n = link->content_length;
    Cache *cf = nullptr;
    if (cache_system_enabled) {
        if (n == 0) {
            fi->fh = 0; // nothing to read, nothing to hold
            return 0;
        }
        if (n > 0 && n >= CONFIG.cache_min_size &&
            static_cast<uint64_t>(n) <= static_cast<uint64_t>(CONFIG.cache_max_size)) {
            cf = Cache_open(link.get());
            // A cache that cannot be opened (disk full, directory unwritable) must not end the
            // mount: this file is served from the server directly.
            if (!cf)
                log_printf(LOG_ERROR, HERE, "Cache file creation failure for %s.\n", path);
        }
    }
    FileHandle *fh = new FileHandle{};
    fh->version = cf ? cf->version : FileVersion{n, link->time.load()};
    fh->link = link.release();
    fh->cf = cf;
    if (!cf)
        fh->pf = Prefetch_new(fh->link, fh->version);
    if (cf) {
        ScopedLock guard(&handles_lock, HERE);
        cached_handles.insert(fh);
    }
    fi->fh = reinterpret_cast<uint64_t>(fh);
    return 0;
}

static int fs_read(const char *, char *buf, size_t size, off_t offset, struct fuse_file_info *fi) noexcept
{
    FileHandle *fh = file_handle(fi);
    if (!fh)
        return 0;
    int64_t result;
    int64_t run = reads_on(fh, offset, static_cast<int64_t>(size));
    if (fh->cf)
        result = Cache_read(fh->cf, buf, static_cast<int64_t>(size), offset, segments_ahead(fh->cf, run));
    else
        result = Prefetch_read(fh->pf, buf, size, offset, run);
    return static_cast<int>(result);
}

static int fs_release(const char *path, struct fuse_file_info *fi) noexcept
{
    log_printf(LOG_INFO, HERE, "%s\n", path);
    FileHandle *fh = file_handle(fi);
    if (!fh)
        return 0;
    if (fh->cf) {
        ScopedLock guard(&handles_lock, HERE);
        // Gone already: the filesystem's end has closed it.
        if (cached_handles.erase(fh) == 0)
            return 0;
    }
    FileHandle_free(fh);
    return 0;
}

static int fs_opendir(const char *path, struct fuse_file_info *fi) noexcept
{
    LinkTable *linktbl = path_to_LinkTable(path);
    if (!linktbl)
        return -ENOENT;
    fi->fh = reinterpret_cast<uint64_t>(linktbl); // the look-up's reference, dropped in fs_releasedir
    return 0;
}

static int fs_readdir(const char *, void *buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info *fi,
                      enum fuse_readdir_flags) noexcept
{
    LinkTable *linktbl = reinterpret_cast<LinkTable *>(fi->fh);
    if (!linktbl)
        return -ENOENT;
    filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    for (int32_t i = 1; i < linktbl->size; i++) {
        Link *link = linktbl->links[i];
        // Entries that temporary failures left unconfirmed show again once confirmed.
        if (Link_type(link) != LINK_INVALID && !link->deferred.load())
            filler(buf, link->linkname, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    }
    return 0;
}

static int fs_releasedir(const char *path, struct fuse_file_info *fi) noexcept
{
    LinkTable *linktbl = reinterpret_cast<LinkTable *>(fi->fh);
    if (linktbl) {
        // Every directory but the root may be dropped and rebuilt once nobody holds it.
        if (strcmp(path, "/") != 0)
            LinkTable_mark_orphaned(linktbl);
        LinkTable_unref(linktbl);
    }
    return 0;
}

// Whether the FUSE host detaches: it stays in the foreground only for -f or -d, which the option
// loop hands over as entries of their own.
static bool host_detaches;

// The mount point, as the FUSE host mounts it (the last entry of its vector).
static std::string mount_point;

// The kernel's read-ahead of this mount, in KiB: its reads then reach the filesystem in
// requests of up to a MiB (with max_write, which sets the largest request), instead of 128 KiB
// each, and a sequential reader has several in flight.
static const int READ_AHEAD_KB = 4096;

// Raises the read-ahead of the mount's backing device (/sys/class/bdi/MAJ:MIN/read_ahead_kb),
// which the kernel lets only root change; the INIT reply can only lower it. The device comes
// from /proc/self/mountinfo, not from a stat of the mount point, which would wait for this
// very INIT to end.
static void raise_read_ahead()
{
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        // mountinfo writes blanks and the like as octal escapes.
        std::string unescaped;
        for (size_t i = 0; i < point.size(); i++) {
            if (point[i] == '\\' && i + 3 < point.size()) {
                unescaped += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
                i += 3;
            } else {
                unescaped += point[i];
            }
        }
        if (unescaped != mount_point)
            continue;
        std::ofstream knob("/sys/class/bdi/" + device + "/read_ahead_kb");
        knob << READ_AHEAD_KB << "\n";
        knob.flush();
        if (!knob)
            log_printf(LOG_DEBUG, HERE, "read-ahead of %s stays the kernel's\n", mount_point.c_str());
        return;
    }
}

static void *fs_init(struct fuse_conn_info *conn, struct fuse_config *) noexcept
{
    // Read requests of up to a MiB (libfuse sizes them after max_write), and as much read-ahead
    // as the kernel offers.
    conn->max_write = 1 << 20;
    conn->max_readahead = UINT32_MAX;
    conn->max_background = 16;
    raise_read_ahead();
    // The host has detached before it serves (standard error is /dev/null from then on), and
    // this runs once it serves: from here on lines go to the system log.
    if (host_detaches)
        log_to_syslog();
    // No fork is to come: the root's entries are confirmed in a thread of their own from now.
    LinkSystem_serve();
    return nullptr;
}

static void fs_destroy(void *) noexcept
{
    std::unordered_set<FileHandle *> open;
    {
        ScopedLock guard(&handles_lock, HERE);
        open.swap(cached_handles);
    }
    for (FileHandle *fh : open)
        FileHandle_free(fh);
}

int fuse_local_init(int argc, char **argv)
{
    mount_time = time(nullptr);
    if (argc > 1)
        mount_point = argv[argc - 1];
    host_detaches = true;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-o") == 0)
            i++;
        else if (strcmp(argv[i], "-f") == 0 || strcmp(argv[i], "-d") == 0)
            host_detaches = false;
    }
    // libfuse 3.14 hands its own default idle-thread limit (UINT_MAX) to a check that refuses it
    // with "Ignoring invalid max threads value 4294967295 > max (100000)." on every mount. The
    // largest valid value keeps what that default means (idle threads are never ended); it
    // stands first, so a max_idle_threads of the user's own later in the vector still wins.
    static char idle_option[] = "-o";
    static char idle_value[] = "max_idle_threads=100000";
    std::vector<char *> host_argv = {argv[0], idle_option, idle_value};
    host_argv.insert(host_argv.end(), argv + 1, argv + argc);
    host_argv.push_back(nullptr);

    struct fuse_operations ops {
    };
    ops.getattr = fs_getattr;
    ops.open = fs_open;
    ops.read = fs_read;
    ops.release = fs_release;
    ops.opendir = fs_opendir;
    ops.readdir = fs_readdir;
    ops.releasedir = fs_releasedir;
    ops.init = fs_init;
    ops.destroy = fs_destroy;
    return fuse_main_real(static_cast<int>(host_argv.size()) - 1, host_argv.data(), &ops, sizeof(ops),
                          nullptr);
}
