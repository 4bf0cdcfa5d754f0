// table.cc: links and link tables, their references, orphaning and the debug dump.
#include <cassert>
#include <cstring>
#include <new>
#include <string>

#include "config.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

LinkTable *root_link_table;
char *root_url;
int32_t root_url_len;
Mutex link_lock = MUTEX_INITIALIZER;

// The one empty string every link shares: most heads have no name and no linkpath is kept
// in a table loaded from disk.
static char EMPTY_TEXT[1] = "";

static void release_text(char *text)
{
    if (text != EMPTY_TEXT)
        checked_free(text);
}

void Link_set_text(char *&field, const char *value, size_t max)
{
    char *copy = value[0] ? checked_strndup(value, max, HERE) : EMPTY_TEXT;
    if (field)
        release_text(field);
    field = copy;
}

Link *Link_new(const char *name, LinkType type)
{
    Link *link = new (checked_calloc(1, sizeof(Link), HERE)) Link{};
    Link_set_text(link->linkpath, name, MAX_FILENAME_LEN);
    std::string shown(link->linkpath);
    if (!shown.empty() && shown.back() == '/')
        shown.pop_back();
    Link_set_name(link, shown.c_str());
    Link_set_url(link, "");
    link->type = type;
    return link;
}

void Link_free(Link *link)
{
    checked_free(link->sonic_id);
    release_text(link->linkname);
    release_text(link->linkpath);
    release_text(link->f_url);
    link->~Link();
    checked_free(link);
}

LinkTable *LinkTable_alloc(const char *url)
{
    LinkTable *linktbl = static_cast<LinkTable *>(checked_calloc(1, sizeof(LinkTable), HERE));
    Link *head = Link_new("/", LINK_HEAD);
    LinkTable_add(linktbl, head);
    Link_set_url(head, url);
    assert(linktbl->size == 1);
    return linktbl;
}

void LinkTable_add(LinkTable *linktbl, Link *link)
{
    linktbl->links = static_cast<Link **>(
        checked_realloc(linktbl->links, (static_cast<size_t>(linktbl->size) + 1) * sizeof(Link *), HERE));
    linktbl->links[linktbl->size] = link;
    link->linktbl = linktbl;
    linktbl->size++;
}

// A table being freed is unreachable: nobody else can hold link_lock for it.
void LinkTable_free(LinkTable *linktbl) NO_THREAD_SAFETY_ANALYSIS
{
    if (!linktbl)
        return;
    for (int32_t i = 0; i < linktbl->size; i++) {
        if (linktbl->links && linktbl->links[i]) {
            LinkTable_free(linktbl->links[i]->next);
            Link_free(linktbl->links[i]);
        }
    }
    checked_free(linktbl->links);
    linktbl->links = nullptr;
    LinkNameIndex_free(linktbl->name_index);
    checked_free(linktbl);
}

void LinkTable_ref_locked(LinkTable *linktbl, bool opened)
{
    linktbl->refcount++;
    if (opened)
        linktbl->orphaned = 0;
}

LinkTable *LinkTable_unref_locked(LinkTable *linktbl)
{
    linktbl->refcount--;
    if (linktbl->refcount != 0 || !linktbl->orphaned)
        return nullptr;
    if (linktbl->parent_link)
        linktbl->parent_link->next = nullptr;
    return linktbl;
}

// A released table is unreachable: its parent is read without link_lock.
void LinkTable_free_released(LinkTable *linktbl) NO_THREAD_SAFETY_ANALYSIS
{
    // A freed table gives back its hold on its parent, which may free that one in turn.
    while (linktbl) {
        LinkTable *parent = linktbl->parent;
        LinkTable_free(linktbl);
        if (!parent)
            return;
        ScopedLock guard(&link_lock, HERE);
        linktbl = LinkTable_unref_locked(parent);
    }
}

void LinkTable_ref(LinkTable *linktbl)
{
    if (!linktbl)
        return;
    ScopedLock guard(&link_lock, HERE);
    LinkTable_ref_locked(linktbl, true);
}

void LinkTable_mark_orphaned(LinkTable *linktbl)
{
    if (!linktbl)
        return;
    ScopedLock guard(&link_lock, HERE);
    linktbl->orphaned = 1;
}

void LinkTable_unref(LinkTable *linktbl)
{
    if (!linktbl)
        return;
    LinkTable *released;
    {
        ScopedLock guard(&link_lock, HERE);
        released = LinkTable_unref_locked(linktbl);
    }
    LinkTable_free_released(released);
}

const char *mounted_origin_url()
{
    return root_url;
}

void LinkTable_print(LinkTable *linktbl)
{
    if (!linktbl || !(CONFIG.log_level & LOG_INFO))
        return;
    static const char SEPARATOR[] = "--------------------------------------------\n";
    std::string head_url = url_for_log(linktbl->links[0]->f_url);
    log_printf(LOG_INFO, HERE, "%s", SEPARATOR);
    log_printf(LOG_INFO, HERE, " LinkTable %p for %s\n", static_cast<void *>(linktbl), head_url.c_str());
    log_printf(LOG_INFO, HERE, "%s", SEPARATOR);
    int invalid = 0;
    for (int32_t i = 0; i < linktbl->size; i++) {
        Link *link = linktbl->links[i];
        LinkType type = Link_type(link);
        std::string url = url_for_log(link->f_url);
        log_printf(LOG_INFO, HERE, "%d %c %lu %s %s\n", i, static_cast<char>(type),
                   static_cast<unsigned long>(link->content_length.load()), link->linkname, url.c_str());
        if (type != LINK_DIR && type != LINK_FILE && type != LINK_HEAD)
            invalid++;
    }
    log_printf(LOG_INFO, HERE, "%s", SEPARATOR);
    log_printf(LOG_INFO, HERE, " Invalid link count: %d\n", invalid);
    log_printf(LOG_INFO, HERE, "%s", SEPARATOR);
}
