// path.cc: the start of the directory model, path resolution and single-file mode. Both walks
// run from root_link_table under link_lock, release it while a missing table is built with the
// builder of the mode, and attach the result; of two threads building the same table, the
// first to relock attaches its own and the other frees its copy.
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"
#include "log.h"
#include "sonic.h"
#include "util.h"

LinkTable *single_LinkTable_new(const char *url)
{
    const char *slash = strrchr(url, '/');
    // A URL without any "/" is named after itself.
    const char *last = slash ? slash + 1 : url;
    std::string name = link_name_decode(last);

    LinkTable *linktbl = LinkTable_alloc(url);
    Link *link = Link_new(name.c_str(), LINK_UNINITIALISED_FILE);
    Link_set_url(link, url);
    LinkTable_add(linktbl, link);
    LinkTable_uninitialised_fill(linktbl);
    LinkTable_print(linktbl);
    return linktbl;
}

// The length of a root URL without its trailing "/", which the cache keys leave out.
static int32_t root_len_of(const char *url)
{
    size_t len = strnlen(url, MAX_PATH_LEN);
    if (len > 0 && url[len - 1] == '/')
        len--;
    return static_cast<int32_t>(len);
}

LinkTable *LinkSystem_init(const char *url)
{
    // The root's entries are confirmed once the filesystem serves (LinkSystem_serve).
    LinkSystem_hold_background();
    NetworkSystem_set_limits();
    root_url_len = root_len_of(url);
    root_url = checked_strndup(url, MAX_PATH_LEN, HERE);
    if (CONFIG.cache_enabled) {
        if (CONFIG.cache_location)
            CacheSystem_init(CONFIG.cache_location, 0);
        else
            CacheSystem_init(url, 1);
    }
    LinkTable *root = nullptr;
    switch (CONFIG.mode) {
    case MODE_SINGLE_FILE:
        root = single_LinkTable_new(url);
        break;
    case MODE_SONIC:
        sonic_config_init(url, CONFIG.sonic_username, CONFIG.sonic_password);
        root = CONFIG.sonic_id3 ? sonic_LinkTable_new_id3(0, "0") : sonic_LinkTable_new_index("0");
        break;
    case MODE_LISTING:
        root = LinkTable_new(url);
        break;
    default:
        log_fatal(HERE, "Invalid CONFIG.mode\n");
    }
    // A mounted URL that redirects: the cache keys of the entries are their paths below the
    // URL the root listing came from.
    if (root && CONFIG.mode == MODE_LISTING)
        root_url_len = root_len_of(root->links[0]->f_url);
    root_link_table = root;
    return root;
}

// A directory entry's table, built by the builder of the mode; null when it cannot be built.
// Only confirmed directories are built: a file is never fetched as if it were a listing.
static LinkTable *build_table(Link *link)
{
    if (Link_type(link) != LINK_DIR)
        return nullptr;
    switch (CONFIG.mode) {
    case MODE_LISTING:
        return LinkTable_new(link->f_url);
    case MODE_SONIC:
        if (!link->sonic_id)
            return nullptr;
        if (CONFIG.sonic_id3)
            return sonic_LinkTable_new_id3(link->sonic_depth, link->sonic_id);
        return sonic_LinkTable_new_index(link->sonic_id);
    case MODE_SINGLE_FILE:
        return single_LinkTable_new(link->f_url);
    default:
        log_fatal(HERE, "Invalid CONFIG.mode: %d\n", CONFIG.mode);
    }
}

// Tables up to this size are searched link by link; larger ones get a name index, since
// `ls -l` of a directory of n entries looks every one of them up.
static const int32_t INDEX_FROM_SIZE = 32;

struct LinkNameIndex {
    // A name's first link from index 1. The keys are the links' own names, which stay put
    // while the table lives.
    std::unordered_map<std::string_view, Link *> first;
};

void LinkNameIndex_free(LinkNameIndex *index)
{
    delete index;
}

// The first link from index 1 whose name equals `name` over at most 255 characters.
static Link *find_link(LinkTable *linktbl, const char *name) REQUIRES(link_lock)
{
    if (linktbl->size < 2)
        return nullptr;
    if (linktbl->size < INDEX_FROM_SIZE) {
        for (int32_t i = 1; i < linktbl->size; i++) {
            if (strncmp(linktbl->links[i]->linkname, name, MAX_FILENAME_LEN) == 0)
                return linktbl->links[i];
        }
        return nullptr;
    }
    if (!linktbl->name_index) {
        linktbl->name_index = new LinkNameIndex;
        for (int32_t i = 1; i < linktbl->size; i++)
            linktbl->name_index->first.emplace(linktbl->links[i]->linkname, linktbl->links[i]);
    }
    auto found = linktbl->name_index->first.find(std::string_view(name, strnlen(name, MAX_FILENAME_LEN)));
    return found == linktbl->name_index->first.end() ? nullptr : found->second;
}

LinkTable *Link_child_table(Link *link, LinkTable *(*build)(Link *))
{
    if (link->next)
        return link->next;
    LinkTable *parent = link->linktbl;
    LinkTable_ref_locked(parent, false);
    checked_mutex_unlock(&link_lock, HERE);
    LinkTable *built = build(link);
    checked_mutex_lock(&link_lock, HERE);
    if (built && !link->next) {
        // The hold taken for the build is now the new table's hold on its parent.
        link->next = built;
        built->parent = parent;
        built->parent_link = link;
        return built;
    }
    // The other thread's table won; it holds the parent, so giving back this hold frees nothing.
    // The new one goes, now or, when the confirmation of its links still holds it, then.
    if (built) {
        built->orphaned = 1;
        if (built->refcount == 0)
            LinkTable_free(built);
        LinkTable_unref_locked(parent);
        return link->next;
    }
    // A failed build: the parent may have been orphaned and released meanwhile, in which case
    // this hold was its last.
    LinkTable *released = LinkTable_unref_locked(parent);
    if (released) {
        checked_mutex_unlock(&link_lock, HERE);
        LinkTable_free_released(released);
        checked_mutex_lock(&link_lock, HERE);
    }
    return nullptr;
}

// Whether a link on the walk's path waits for its table's fill to confirm it: a path waits
// for its own entries only.
static bool awaits_confirmation(Link *link) REQUIRES(link_lock)
{
    LinkType type = Link_type(link);
    return (type == LINK_UNINITIALISED_FILE || type == LINK_UNINITIALISED_DIR) && link->linktbl->fill;
}

// The walk below `linktbl` along `path` (a private copy it may cut up).
static Link *walk(char *path, LinkTable *linktbl) REQUIRES(link_lock)
{
    while (linktbl) {
        if (*path == '/')
            path++;
        if (*path == '\0')
            return nullptr;
        size_t len = strlen(path);
        if (path[len - 1] == '/')
            path[len - 1] = '\0';
        char *slash = strchr(path, '/');
        if (slash)
            *slash = '\0';
        Link *link = find_link(linktbl, path);
        if (!link)
            return nullptr;
        // An entry not confirmed yet is confirmed now (its request started at once when still
        // queued), with the table held and link_lock released meanwhile. For the last
        // component that hold is the look-up's reference.
        bool held = awaits_confirmation(link);
        if (held) {
            LinkTable_ref_locked(linktbl, false);
            checked_mutex_unlock(&link_lock, HERE);
            LinkTable_confirm_link(linktbl, link);
            checked_mutex_lock(&link_lock, HERE);
        }
        if (!slash) {
            if (!held)
                LinkTable_ref_locked(linktbl, false);
            return link;
        }
        // An intermediate component that names a file or an invalid entry is not found.
        LinkTable *child = Link_child_table(link, build_table);
        if (held) {
            // A child table holds its parent; without one this hold may have been the last.
            LinkTable *released = LinkTable_unref_locked(linktbl);
            if (released) {
                checked_mutex_unlock(&link_lock, HERE);
                LinkTable_free_released(released);
                checked_mutex_lock(&link_lock, HERE);
            }
        }
        linktbl = child;
        path = slash + 1;
    }
    return nullptr;
}

Link *path_to_Link(const char *path)
{
    std::string copy(path, strnlen(path, MAX_PATH_LEN));
    log_printf(LOG_LINK_LOCK_DEBUG, HERE, "thread %lx: locking link_lock;\n", thread_id());
    checked_mutex_lock(&link_lock, HERE);
    Link *link = walk(copy.data(), root_link_table);
    log_printf(LOG_LINK_LOCK_DEBUG, HERE, "thread %lx: unlocking link_lock;\n", thread_id());
    checked_mutex_unlock(&link_lock, HERE);
    return link;
}

LinkTable *path_to_LinkTable(const char *path)
{
    if (strcmp(path, "/") == 0) {
        {
            ScopedLock guard(&link_lock, HERE);
            if (root_link_table)
                LinkTable_ref_locked(root_link_table, true);
        }
        LinkTable_confirm_deferred(root_link_table);
        return root_link_table;
    }
    LinkRef link(path_to_Link(path));
    if (!link)
        return nullptr;
    LinkTable *linktbl;
    {
        ScopedLock guard(&link_lock, HERE);
        linktbl = Link_child_table(link.get(), build_table);
        if (linktbl)
            LinkTable_ref_locked(linktbl, true);
    }
    if (linktbl && CONFIG.invalid_refresh)
        LinkTable_uninitialised_fill(linktbl);
    LinkTable_confirm_deferred(linktbl);
    return linktbl;
}
