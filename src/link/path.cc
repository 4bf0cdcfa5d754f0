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

LinkTable *LinkSystem_init(const char *url)
{
    size_t len = strnlen(url, MAX_PATH_LEN);
    root_url_len = static_cast<int32_t>(len);
    if (len > 0 && url[len - 1] == '/')
        root_url_len--;
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
    root_link_table = root;
    return root;
}

// A directory entry's table, built by the builder of the mode; null when it cannot be built.
// Only confirmed directories are built: a file is never fetched as if it were a listing.
static LinkTable *build_table(Link *link, bool walk)
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
        if (walk)
            log_fatal(HERE, "Invalid CONFIG.mode\n");
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

// The first link from index 1 whose name equals `name` over at most 255 characters. Called
// with link_lock held.
static Link *find_link(LinkTable *linktbl, const char *name)
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

// Frees a table whose last reference the walk held, when it is orphaned. Called with
// link_lock held; returns with it held.
static void release_built_parent(LinkTable *linktbl)
{
    linktbl->refcount--;
    if (linktbl->refcount != 0 || !linktbl->orphaned)
        return;
    LinkTable *parent = linktbl->parent;
    if (linktbl->parent_link)
        linktbl->parent_link->next = nullptr;
    checked_mutex_unlock(&link_lock, HERE);
    LinkTable_free(linktbl);
    LinkTable_unref(parent);
    checked_mutex_lock(&link_lock, HERE);
}

// The walk below the root, with link_lock held.
static Link *path_to_Link_recursive(char *path, LinkTable *linktbl)
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
        if (!slash) {
            Link *link = find_link(linktbl, path);
            if (link)
                link->linktbl->refcount++;
            return link;
        }
        *slash = '\0';
        Link *link = find_link(linktbl, path);
        if (!link)
            return nullptr;
        if (!link->next) {
            if (Link_type(link) != LINK_DIR)
                return nullptr;
            // Keep the current table alive while the lock is released for the build.
            linktbl->refcount++;
            checked_mutex_unlock(&link_lock, HERE);
            LinkTable *built = build_table(link, true);
            checked_mutex_lock(&link_lock, HERE);
            if (!built) {
                release_built_parent(linktbl);
                return nullptr;
            }
            if (link->next) {
                LinkTable_free(built);
                linktbl->refcount--;
            } else {
                link->next = built;
                built->parent = linktbl;
                built->parent_link = link;
            }
        }
        linktbl = link->next;
        path = slash + 1;
    }
    return nullptr;
}

Link *path_to_Link(const char *path)
{
    log_printf(LOG_LINK_LOCK_DEBUG, HERE, "thread %lx: locking link_lock;\n", thread_id());
    checked_mutex_lock(&link_lock, HERE);
    char *copy = strndup(path, MAX_PATH_LEN);
    if (!copy)
        log_fatal(HERE, "cannot allocate memory\n");
    Link *link = path_to_Link_recursive(copy, root_link_table);
    free(copy);
    log_printf(LOG_LINK_LOCK_DEBUG, HERE, "thread %lx: unlocking link_lock;\n", thread_id());
    checked_mutex_unlock(&link_lock, HERE);
    return link;
}

LinkTable *path_to_LinkTable(const char *path)
{
    if (strcmp(path, "/") == 0) {
        ScopedLock guard(&link_lock, HERE);
        if (root_link_table) {
            root_link_table->refcount++;
            root_link_table->orphaned = 0;
        }
        return root_link_table;
    }
    Link *link = path_to_Link(path);
    if (!link)
        return nullptr;

    checked_mutex_lock(&link_lock, HERE);
    LinkTable *next = link->next;
    if (next) {
        next->refcount++;
        next->orphaned = 0;
        checked_mutex_unlock(&link_lock, HERE);
        LinkTable_unref(link->linktbl);
        return next;
    }
    checked_mutex_unlock(&link_lock, HERE);

    LinkTable *built = build_table(link, false);
    if (!built) {
        LinkTable_unref(link->linktbl);
        return nullptr;
    }
    checked_mutex_lock(&link_lock, HERE);
    if (link->next) {
        LinkTable_free(built);
        built = link->next;
    } else {
        link->next = built;
        built->parent = link->linktbl;
        built->parent_link = link;
        if (built->parent)
            built->parent->refcount++;
    }
    built->refcount++;
    built->orphaned = 0;
    checked_mutex_unlock(&link_lock, HERE);

    if (CONFIG.invalid_refresh)
        LinkTable_uninitialised_fill(built);
    LinkTable_unref(link->linktbl);
    return built;
}
