// sonic_fuzz.cc: the Sonic reply parser on arbitrary replies, each parsed in every layout: the
// folder tree (index mode) and the ID3 root, artist and album replies. Every entry of the
// table and of the ID3 group tables must be listable (a name not empty, not "." or "..",
// without "/") and reachable: a server id, or the group's own table; a song has its stream URL.
#include <cstdint>
#include <expat.h>
#include <string>

#include "fuzz_support.h"
#include "link/link.h"
#include "sonic.h"

static const char SERVER[] = "http://127.0.0.1:4040";

struct Layout {
    const char *name;
    XML_StartElementHandler handler;
    int32_t depth;
};

static const Layout LAYOUTS[] = {
    {"index", XML_parser_general, 0},
    {"ID3 root", XML_parser_id3_root, 0},
    {"ID3 artist", XML_parser_general, 3},
    {"ID3 album", XML_parser_general, 4},
};

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_config();
    sonic_config_init(SERVER, "fuzz", "secret");
    return 0;
}

static void check_table(const LinkTable *linktbl, const std::string &where)
{
    for (int32_t i = 1; i < linktbl->size; i++) {
        const Link *link = linktbl->links[i];
        const char *name = link->linkname;
        fuzz_require_entry_name(name, where.c_str());
        fuzz_require(link->sonic_id != nullptr || link->next != nullptr,
                     "a Sonic entry has a server id or its own table", where + ": " + name);
        if (Link_type(link) == LINK_FILE) {
            const char *url = link->f_url;
            fuzz_require(url[0] != '\0', "a song has its stream URL", where + ": " + name);
        }
        if (link->next)
            check_table(link->next, where + " / " + name);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *xml = reinterpret_cast<const char *>(data);
    for (const Layout &layout : LAYOUTS) {
        LinkTable *linktbl = LinkTable_alloc(SERVER);
        linktbl->links[0]->sonic_depth = layout.depth;
        sonic_parse_reply(linktbl, xml, size, layout.handler);
        check_table(linktbl, layout.name);
        LinkTable_free(linktbl);
    }
    return 0;
}
