// link.h: the directory model, its one header. Owns the Link and LinkTable records, the
// process-wide root_link_table, root_url_len and link_lock, the link name set, the URL rules,
// the HTML listing parser, table filling and refresh, table files on disk, path resolution,
// and the request set-up and downloads of a link.
// link_lock is a leaf: no other lock is taken while it is held. It guards every table's
// refcount, orphaned, parent, parent_link and name index, and every link's next. Tables are
// built unlocked and attached under it.
// References: LinkTable_ref_locked and LinkTable_unref_locked are the only code that changes a
// refcount; every other function (LinkTable_ref, LinkTable_unref, the walks of path.cc, the
// LinkRef guard) goes through them.
#pragma once

#include <atomic>
#include <cstdint>
#include <curl/curl.h>
#include <pthread.h>
#include <string>
#include <sys/types.h>

#include "memcache.h"
#include "network.h"
#include "util.h"

struct Cache;
struct Fill;
struct LinkTable;
struct LinkNameIndex;

extern Mutex link_lock;

#define MAX_FILENAME_LEN 255
#define MAX_PATH_LEN 1024

// The character codes are also the bytes stored in table files.
enum LinkType : int32_t {
    LINK_HEAD = 'H',
    LINK_DIR = 'D',
    LINK_FILE = 'F',
    LINK_INVALID = 'I',
    LINK_UNINITIALISED_FILE = 'U',
    LINK_UNINITIALISED_DIR = 'V',
};

// One directory entry. Always allocated zeroed by Link_new (or the loaders), never copied.
// Its strings are heap strings at their own length (a directory of 200,000 entries must not
// cost fixed-size arrays per entry), never null, set only through Link_set_text, and not
// changed once the table is published to other threads.
struct Link {
    LinkTable *linktbl; // the table holding this link; not owned
    char *linkname;     // shown name, no trailing "/"; at most 255 bytes
    char *linkpath;     // reference as found in the listing; at most 255 bytes
    char *f_url;        // absolute URL of the entry; at most 1024 bytes
    // type, content_length and time may change on an attached table (a re-request of
    // uninitialised links) while other threads read them: each is one atomic value.
    std::atomic<int32_t> type;
    std::atomic<int64_t> content_length;
    LinkTable *next GUARDED_BY(link_lock); // child table of a directory
    std::atomic<int64_t> time;
    Cache *cache_ptr; // the open Cache of this file; guarded by cf_lock
    // Left unconfirmed by temporary failures of its header requests: not listed, and asked
    // again when its directory is next opened (LinkTable_confirm_deferred).
    std::atomic<bool> deferred;
    // The server was found not to serve ranges for this file, and the line saying so is out.
    std::atomic<bool> no_ranges_reported;
    char *sonic_id; // Sonic mode: the server's id (at most 255 bytes), else null
    int32_t sonic_depth;
};

// One directory; links[0] is the head link (the directory itself).
struct LinkTable {
    int32_t size;
    int64_t index_time;
    Link **links;
    int32_t refcount GUARDED_BY(link_lock);
    int32_t orphaned GUARDED_BY(link_lock);
    LinkTable *parent GUARDED_BY(link_lock);
    Link *parent_link GUARDED_BY(link_lock);
    // The links of a large table by name, made by the first look-up in it (path.cc). Not part
    // of the table file.
    LinkNameIndex *name_index GUARDED_BY(link_lock);
    // Links of this table that are deferred (Link::deferred), and whether a fill is asking
    // them again now.
    std::atomic<int32_t> deferred_count;
    std::atomic<bool> refilling;
    // The confirmation of its links while it runs (fill.cc), for look-ups that want one now.
    Fill *fill GUARDED_BY(link_lock);
};

extern LinkTable *root_link_table;
// The mounted URL, set by LinkSystem_init before the root table is built; null before.
extern char *root_url;
extern int32_t root_url_len;

// ---- tables (table.cc) ----
// A new zeroed link: at most 255 characters of `name` in linkname and linkpath; one trailing
// "/" is then dropped from linkname.
Link *Link_new(const char *name, LinkType type);
// Releases a link that belongs to no table (a table frees its own links).
void Link_free(Link *link);
// Replaces one of a link's strings (linkname, linkpath, f_url) with a copy of at most `max`
// bytes of `value`. The empty string is shared, not allocated.
void Link_set_text(char *&field, const char *value, size_t max);
inline void Link_set_name(Link *link, const char *name)
{
    Link_set_text(link->linkname, name, MAX_FILENAME_LEN);
}
inline void Link_set_url(Link *link, const char *url)
{
    Link_set_text(link->f_url, url, MAX_PATH_LEN);
}
// A new table holding only its head (name "/", LINK_HEAD, f_url = url cut to 1024).
LinkTable *LinkTable_alloc(const char *url);
void LinkTable_add(LinkTable *linktbl, Link *link);
// Frees the table, its links and every child table below; ignores references and parents.
void LinkTable_free(LinkTable *linktbl);
// One reference more; `opened` (a directory handle, not a look-up) also clears the orphan
// mark. Called with link_lock held.
void LinkTable_ref_locked(LinkTable *linktbl, bool opened) REQUIRES(link_lock);
// One reference less. An orphaned table that drops to 0 is detached from its parent entry and
// returned, for LinkTable_free_released outside the lock; otherwise null. Called with
// link_lock held.
LinkTable *LinkTable_unref_locked(LinkTable *linktbl) REQUIRES(link_lock);
// Frees a table LinkTable_unref_locked released, and gives back its hold on its parent, which
// may free that one in turn, and so on up. Called without link_lock.
void LinkTable_free_released(LinkTable *linktbl) EXCLUDES(link_lock);
// refcount + 1 and orphaned = 0, under link_lock.
void LinkTable_ref(LinkTable *linktbl) EXCLUDES(link_lock);
void LinkTable_mark_orphaned(LinkTable *linktbl) EXCLUDES(link_lock);
// Drops one reference; an orphaned table at 0 is detached and freed, and so on up the parents.
void LinkTable_unref(LinkTable *linktbl) EXCLUDES(link_lock);
// The URL whose origin is the mounted server's: the mounted URL as given, also when its listing
// was served from another origin (credentials go to none but this one); null before start-up.
const char *mounted_origin_url();
// The debug dump, at LOG_INFO.
void LinkTable_print(LinkTable *linktbl);
// The type of the link as one atomic read (Link::type); convenience for readers.
inline LinkType Link_type(const Link *link)
{
    return static_cast<LinkType>(link->type.load());
}

// ---- link name set (names.cc) ----
struct LinkHashSet {
    char **items;
    int32_t capacity;
    int32_t count;
};
LinkHashSet *LinkHashSet_new(int32_t capacity);
// 1 when `name` was new and a copy is stored, 0 when an equal name is present (or bad input).
int LinkHashSet_add(LinkHashSet *set, const char *name);
void LinkHashSet_free(LinkHashSet *set);
uint32_t linkname_hash(const char *name);
// A name and the same name with one trailing "/" are equal; the empty name equals nothing.
int linknames_equal(const char *a, const char *b);

// ---- URL rules (url.cc) ----
// The position of the n-th "/" of `text`, or null.
const char *nth_slash(const char *text, int n);
int is_absolute_url(const char *url);
// 0 for the same scheme, host and port; 1 otherwise, and for anything unparsable.
int url_origins_differ(const char *a, const char *b);
// Parses an origin prefix of `len` characters: scheme (32 bytes), host (1024 bytes), port.
int url_parse_origin(const char *url, size_t len, char *scheme, char *host, int32_t *port);
// The listed name of an external link (heap string, possibly empty, never null).
char *external_url_to_filename(const char *url);
// A link name from its encoded form: percent-decoded, with every "/" of the result made "_";
// a result that would be empty leaves the encoded form as it is.
std::string link_name_decode(const char *encoded);
// The cache key of a listing-mode URL, relative to the meta and data directories; never
// reaches outside them. Heap string; null only for a null url.
char *url_to_cache_path(const char *url);
// A copy of `url` fit for a log line: in Sonic mode the values of the credential parameters
// p, t and s are masked.
std::string url_for_log(const char *url);

// ---- HTML listing parser (html.cc) ----
// Adds one uninitialised link per distinct entry referenced by the page.
void LinkTable_parse_html(LinkTable *linktbl, const char *url, const char *html);
// The same, the page parsed in pieces of about `piece` bytes, cut where the pieces give the
// entries the whole page gives (LinkTable_parse_html uses pieces of 1 MiB).
void LinkTable_parse_html_pieces(LinkTable *linktbl, const char *url, const char *html, size_t piece);

// ---- filling and refresh (fill.cc) ----
// A complete table for a directory URL (from its table file while fresh), or null.
LinkTable *LinkTable_new(const char *url);
// Gives every parsed link without f_url its full URL and decoded name.
void LinkTable_fill(LinkTable *linktbl);
// One link's confirmation within a fill. The transfer loop's completion handling writes it,
// under transfer_lock, and then moves `state` on; the fill reads it once `state` has moved.
enum ConfirmState : int32_t {
    CONFIRM_QUEUED,  // not asked yet
    CONFIRM_ASKING,  // a request is in flight
    CONFIRM_WAITING, // a temporary failure: ask again at retry_at_ms
    CONFIRM_DONE,    // answered: the link has its type
    CONFIRM_GAVE_UP, // temporary failures used up its retries: the link stays unconfirmed
};
struct Confirm {
    explicit Confirm(Link *l) : link(l) {}
    Link *link;
    RetryBudget budget{};
    int64_t retry_at_ms = 0;
    std::atomic<int32_t> state{CONFIRM_QUEUED};
    // Set when a reply came over HTTP/2, so that the fill lets its requests share a connection.
    std::atomic<bool> *multiplexed = nullptr;
};

// Requests every uninitialised link, a window at a time, asks again after temporary failures
// (the shared retry rules of network.h), and returns when each is answered or out of retries.
// A link that only temporary failures kept unconfirmed is deferred; any other still
// unconfirmed becomes invalid.
void LinkTable_uninitialised_fill(LinkTable *linktbl);
// Asks again, once the table's directory is opened, the links that temporary failures left
// unconfirmed, and saves the table again when the cache is on.
void LinkTable_confirm_deferred(LinkTable *linktbl);
// Confirms the table's links in a thread of its own, which holds a reference on the table
// while it runs and saves the table to `save_path` (when given) once every link is answered.
// The table is usable meanwhile: its names are there, and a look-up of one entry waits only
// for that entry (LinkTable_confirm_link).
void LinkTable_confirm_in_background(LinkTable *linktbl, const char *save_path) EXCLUDES(link_lock);
// Waits until no fill of the table runs (every link answered or out of retries, the table
// file saved). Called without link_lock.
void LinkTable_wait_confirmed(LinkTable *linktbl) EXCLUDES(link_lock);
// Waits until `link`, not confirmed yet, is answered by its table's running fill; its request
// is started at once when the fill has not reached it yet. Returns at once when no fill runs.
// The caller holds a reference on the link's table and no lock.
void LinkTable_confirm_link(LinkTable *linktbl, Link *link) EXCLUDES(link_lock);
// Marks a link deferred (and counts it in its table).
void Link_defer(Link *link);
// Starts a header request for the link; `outstanding`, when given, is counted down once the
// request is released; `confirm`, when given, receives its outcome for the fill's retries.
void Link_req_file_stat(Link *link, std::atomic<int> *outstanding = nullptr, Confirm *confirm = nullptr);
// The end of a header request (a HEAD, or the GET of a file's first byte), called by the
// transfer loop under transfer_lock with the transfer's libcurl result. Sets the link's type,
// size and time from the answer; a redirect, or a HEAD that gave no length, goes on as a new
// request of the same buffer (true: the buffer now belongs to that one); a temporary failure
// goes to `buf->confirm` for the fill to ask again.
bool Link_file_stat_done(ResponseBuffer *buf, CURL *curl, CURLcode result) REQUIRES(transfer_lock);
// The body callback of the first-byte GET: counts the body, and ends any that is not a 206.
size_t probe_body_callback(void *contents, size_t size, size_t nmemb, void *userp) noexcept;

// ---- table files (tablefile.cc); only while the cache system runs ----
int LinkTable_disk_save(LinkTable *linktbl, const char *cache_path);
LinkTable *LinkTable_disk_open(const char *cache_path);
void LinkTable_disk_delete(const char *cache_path);

// ---- path resolution and link system start (path.cc) ----
void LinkNameIndex_free(LinkNameIndex *index);
// Starts the directory model: the cache system when asked for, then the root table by mode.
// The confirmation of the root's entries waits for LinkSystem_serve.
LinkTable *LinkSystem_init(const char *url);
// Before the FUSE host serves (it may still fork to detach): background confirmations wait.
void LinkSystem_hold_background();
// The host serves, in the process that stays: waiting confirmations start.
void LinkSystem_serve();
LinkTable *single_LinkTable_new(const char *url);
// The link named by `path` with one reference taken on its linktbl (release it with
// LinkTable_unref(link->linktbl), or hold it in a LinkRef), or null. "/" names no link.
Link *path_to_Link(const char *path) EXCLUDES(link_lock);
// The table of a directory path with LinkTable_ref semantics, or null.
LinkTable *path_to_LinkTable(const char *path) EXCLUDES(link_lock);
// The table below the directory entry `link`: its `next`, or one built now with `build`, with
// link_lock released, and attached. The entry's table is held across the build; an attached
// table keeps that hold as its own on its parent, while a lost race (another thread attached
// first: its table is taken and the new one freed) or a failed build gives it back. Null when
// the build failed. Called with link_lock held, returns with it held; when it returns null,
// nothing found before the call may be used.
LinkTable *Link_child_table(Link *link, LinkTable *(*build)(Link *)) REQUIRES(link_lock);

// A look-up's reference on the table that holds a link (from path_to_Link), released on every
// way out of the scope.
class LinkRef
{
  public:
    explicit LinkRef(Link *link) : link_(link) {}
    ~LinkRef()
    {
        if (link_)
            LinkTable_unref(link_->linktbl);
    }
    LinkRef(const LinkRef &) = delete;
    LinkRef &operator=(const LinkRef &) = delete;

    Link *get() const { return link_; }
    Link *operator->() const { return link_; }
    explicit operator bool() const { return link_ != nullptr; }
    // Hands the reference on to the caller: the guard then releases nothing.
    Link *release()
    {
        Link *link = link_;
        link_ = nullptr;
        return link;
    }

  private:
    Link *link_;
};

// ---- requests and downloads (request.cc, download.cc) ----
// A new easy handle for the link's f_url with every common option; owned by the caller.
CURL *Link_to_curl(Link *link);
// The same for another URL of the link's (where a redirect sent it): credentials and extra
// headers go only when `url` is on the mounted server's origin. Redirects are not followed by
// the handle: callers follow them one hop at a time, at most MAX_REDIRECTS.
CURL *Link_to_curl_url(Link *link, const char *url);
// The version of a file a read is for: its size and time when it was opened.
struct FileVersion {
    int64_t size;
    int64_t time;
};
// Reads `req_size` bytes at `offset` (cut at the end of the file) of the file as `version`
// says it is into output_buf with range requests: the byte count; 0 past the end; -ENOENT on a
// final HTTP failure (404, say); -EIO when the file changed on the server (reported, the link
// takes the new size and time, a Cache is dropped), when the server does not serve ranges,
// or when temporary failures used up the retries. The bytes come straight into output_buf,
// and only from a reply of exactly that range of that version. With `cf`, joined readers of
// the segment at `offset` are fed as bytes arrive; the caller must not hold
// cf->active_dl_lock. `spent`: the attempts already made at these bytes, which count against
// the retries.
int64_t Link_read(Link *link, const FileVersion &version, char *output_buf, uint64_t req_size, int64_t offset,
                  Cache *cf, RetryBudget spent = {});
// Link_read of the version of cf (when given), or of the link as it is now.
int64_t Link_download(Link *link, char *output_buf, uint64_t req_size, int64_t offset, Cache *cf);
// Read-ahead of one file open for reading without the cache (stream.cc).
struct Prefetch;
Prefetch *Prefetch_new(Link *link, const FileVersion &version);
// Ends its transfers and frees it.
void Prefetch_free(Prefetch *pf);
// Reads `size` bytes at `offset` like Link_read of the file's version, for a reader whose run
// of sequential reads has come `run` bytes (-1: this read does not follow the earlier ones):
// from the streams running ahead of the reader, started and grown while it reads on, or with
// one exact range request.
int64_t Prefetch_read(Prefetch *pf, char *buf, uint64_t size, int64_t offset, int64_t run);
// The bytes of every read-ahead ring in the process, which PREFETCH_TOTAL bounds (stream.cc).
int64_t Prefetch_ring_bytes();
// The whole body after HTTP 200 (the caller frees data), else size 0 and no data. Redirects are
// followed; `served_from`, when given, receives the URL that finally answered.
ResponseBuffer Link_download_page(Link *link, std::string *served_from);
ResponseBuffer Link_download_full(Link *link);
