// names.cc: the link name set, which makes every entry of a listing page one Link however often
// the page links it. Open addressing with linear probing, power-of-two capacities, load kept at
// most one half. A name and the same name with one trailing "/" are one entry; names compare
// over their first 255 bytes.
#include <cstring>

#include "link/link.h"
#include "log.h"
#include "util.h"

static const int32_t DEFAULT_CAPACITY = 16;
static const int32_t MAX_CAPACITY = 1 << 30;

static size_t name_length(const char *name)
{
    return strnlen(name, MAX_FILENAME_LEN);
}

uint32_t linkname_hash(const char *name)
{
    size_t len = name_length(name);
    while (len > 0 && name[len - 1] == '/')
        len--;
    uint32_t hash = 5381;
    for (size_t i = 0; i < len; i++)
        hash = hash * 33 + static_cast<unsigned char>(name[i]);
    return hash;
}

int linknames_equal(const char *a, const char *b)
{
    if (!a || !b)
        return 0;
    size_t la = name_length(a);
    size_t lb = name_length(b);
    size_t m = la < lb ? la : lb;
    if (m == 0)
        return 0;
    if ((la > lb ? la - lb : lb - la) > 1)
        return 0;
    if (memcmp(a, b, m) != 0)
        return 0;
    if (la == lb)
        return 1;
    const char *longer = la > lb ? a : b;
    return longer[m] == '/';
}

LinkHashSet *LinkHashSet_new(int32_t capacity)
{
    int32_t slots = DEFAULT_CAPACITY;
    if (capacity > 0) {
        slots = 1;
        while (slots < capacity && slots < MAX_CAPACITY)
            slots *= 2;
    }
    LinkHashSet *set = static_cast<LinkHashSet *>(checked_calloc(1, sizeof(LinkHashSet), HERE));
    set->items = static_cast<char **>(checked_calloc(static_cast<size_t>(slots), sizeof(char *), HERE));
    set->capacity = slots;
    return set;
}

// Doubles the slot array and moves every stored name to its slot there. Stored names are
// distinct already, so the move makes no equality test.
static void LinkHashSet_resize(LinkHashSet *set)
{
    if (set->capacity >= MAX_CAPACITY)
        log_fatal(HERE, "LinkHashSet capacity overflow\n");
    int32_t old_capacity = set->capacity;
    char **old_items = set->items;
    set->capacity = old_capacity * 2;
    set->items =
        static_cast<char **>(checked_calloc(static_cast<size_t>(set->capacity), sizeof(char *), HERE));
    uint32_t mask = static_cast<uint32_t>(set->capacity) - 1;
    for (int32_t i = 0; i < old_capacity; i++) {
        if (!old_items[i])
            continue;
        uint32_t slot = linkname_hash(old_items[i]) & mask;
        while (set->items[slot])
            slot = (slot + 1) & mask;
        set->items[slot] = old_items[i];
    }
    checked_free(old_items);
}

int LinkHashSet_add(LinkHashSet *set, const char *name)
{
    if (!set || !name || set->capacity <= 0)
        return 0;
    // Grows whenever the set is half full, before looking: every probe sequence then ends.
    if (set->count >= set->capacity / 2)
        LinkHashSet_resize(set);
    uint32_t mask = static_cast<uint32_t>(set->capacity) - 1;
    uint32_t slot = linkname_hash(name) & mask;
    while (set->items[slot]) {
        if (linknames_equal(set->items[slot], name))
            return 0;
        slot = (slot + 1) & mask;
    }
    set->items[slot] = checked_strdup(name, HERE);
    set->count++;
    return 1;
}

void LinkHashSet_free(LinkHashSet *set)
{
    if (!set)
        return;
    for (int32_t i = 0; i < set->capacity; i++)
        checked_free(set->items[i]);
    checked_free(set->items);
    checked_free(set);
}
