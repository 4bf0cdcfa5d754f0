// sonic.cc: Sonic mode. Builds the authenticated request URLs, fetches the server's XML replies
// and turns them into link tables: the folder tree (index mode) or group/artist/album/song
// (ID3 mode).
#include "sonic.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "config.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

SonicConfigStruct sonic_config;

// What one reply's parse works on: the table being filled and, in the ID3 root reply, the
// group table the artists now met belong to. Each parse has its own, so parses in several
// threads at once share nothing.
struct SonicParse {
    LinkTable *table;
    LinkTable *group;
};

// Every request URL and authentication string is formatted into a buffer of this size.
static constexpr size_t URL_BUF_LEN = MAX_PATH_LEN + 1;

void sonic_config_init(const char *server, const char *username, const char *password)
{
    sonic_config.server = checked_strndup(server, MAX_PATH_LEN, HERE);
    size_t len = strlen(sonic_config.server);
    if (len > 0 && sonic_config.server[len - 1] == '/')
        sonic_config.server[len - 1] = '\0';
    sonic_config.username = checked_strndup(username, MAX_FILENAME_LEN, HERE);
    sonic_config.password = checked_strndup(password, MAX_FILENAME_LEN, HERE);
    sonic_config.client = DEFAULT_USER_AGENT;
    sonic_config.api_version = CONFIG.sonic_insecure ? "1.8.0" : "1.13.0";
}

// At most URL_BUF_LEN - 1 bytes of `text`, as a heap string: every request URL and
// authentication string is cut there.
static char *url_buffer(const std::string &text)
{
    return checked_strndup(text.c_str(), URL_BUF_LEN - 1, HERE);
}

char *sonic_gen_auth_str()
{
    // Query values are percent-encoded except for the unreserved characters, so that a user name
    // or an id holding '&', '=', '#' or a space reaches the server as one value.
    std::string user = percent_encode(sonic_config.username);
    std::string auth;
    if (CONFIG.sonic_insecure) {
        auth = ".view?u=" + user + "&p=enc:" + take_string(str_to_hex(sonic_config.password));
    } else {
        std::string salt = take_string(generate_salt());
        std::string salted =
            std::string(sonic_config.password, strnlen(sonic_config.password, MAX_FILENAME_LEN)) +
            salt.substr(0, MAX_FILENAME_LEN);
        std::string token = take_string(generate_md5sum(salted.c_str()));
        auth = ".view?u=" + user + "&t=" + token + "&s=" + salt;
    }
    auth += std::string("&v=") + sonic_config.api_version + "&c=" + sonic_config.client;
    return url_buffer(auth);
}

char *sonic_gen_url_first_part(const char *method)
{
    return url_buffer(std::string(sonic_config.server) + "/rest/" + method +
                      take_string(sonic_gen_auth_str()));
}

// `method`'s first part followed by `params` and the escaped id.
static std::string sonic_id_link(const char *method, const char *params, const char *id)
{
    std::string url = take_string(sonic_gen_url_first_part(method)) + params + "&id=" + percent_encode(id);
    return url.substr(0, URL_BUF_LEN - 1);
}

// A zeroed link as the parsers start it; Link_new keeps its atomics constructed.
static Link *sonic_link_new(LinkType type, int32_t depth)
{
    Link *link = Link_new("", type);
    link->sonic_depth = depth;
    return link;
}

static void sonic_set_id(Link *link, const char *value)
{
    checked_free(link->sonic_id);
    link->sonic_id = checked_strndup(value, MAX_FILENAME_LEN, HERE);
}

static void sonic_set_name(Link *link, const char *value)
{
    Link_set_name(link, value);
}

// The server's dates are UTC, with ".000Z" or without any fraction: only the fields up to the
// seconds are read, and the zone of the machine plays no part.
static int64_t sonic_parse_time(const char *value)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    strptime(value, "%Y-%m-%dT%H:%M:%S", &tm);
    return static_cast<int64_t>(timegm(&tm));
}

static void sonic_log_error_element(const char *first_line, const char **attr)
{
    log_printf(LOG_ERROR, HERE, "%s", first_line);
    for (int i = 0; attr[i] && attr[i + 1]; i += 2)
        log_printf(LOG_ERROR, HERE, "%s: %s\n", attr[i], attr[i + 1]);
}

void XMLCALL XML_parser_general(void *data, const char *elem, const char **attr)
{
    LinkTable *linktbl = static_cast<SonicParse *>(data)->table;
    if (!strcmp(elem, "error")) {
        sonic_log_error_element("error:\n", attr);
        return;
    }
    // The wrappers of the ID3 replies (the artist of a getArtist reply, the album of a
    // getAlbum reply) make nothing, because each element counts only at its own level.
    int32_t depth = linktbl->links[0]->sonic_depth;
    Link *link;
    if (!strcmp(elem, "child"))
        link = sonic_link_new(LINK_DIR, 0);
    else if (!strcmp(elem, "artist") && depth != 3)
        link = sonic_link_new(LINK_DIR, 0);
    else if (!strcmp(elem, "album") && depth == 3)
        link = sonic_link_new(LINK_DIR, 4);
    else if (!strcmp(elem, "song") && depth == 4)
        link = sonic_link_new(LINK_FILE, 0);
    else
        return;

    bool has_id = false;
    bool has_name = false;
    for (int i = 0; attr[i] && attr[i + 1]; i += 2) {
        const char *name = attr[i];
        const char *value = attr[i + 1];
        if (!strcmp(name, "id")) {
            sonic_set_id(link, value);
            has_id = true;
        } else if (!strcmp(name, "path")) {
            // A file is named after its last path component: the name it has on the server.
            const char *slash = strrchr(value, '/');
            sonic_set_name(link, slash ? slash + 1 : value);
            has_name = true;
        } else if (!has_name && (!strcmp(name, "title") || !strcmp(name, "name"))) {
            sonic_set_name(link, value);
            has_name = true;
        } else if (!strcmp(name, "isDir")) {
            if (!strcmp(value, "false"))
                link->type = LINK_FILE;
        } else if (!strcmp(name, "created")) {
            link->time = sonic_parse_time(value);
        } else if (!strcmp(name, "size")) {
            link->content_length = strtoll(value, nullptr, 10);
        }
    }
    // An empty name (a path ending in "/", an empty title) could never be looked up.
    if (!has_id || !has_name || link->linkname[0] == '\0') {
        Link_free(link);
        return;
    }
    if (Link_type(link) == LINK_FILE) {
        // format=raw asks for the file as stored, so its bytes and size match the reply's size.
        Link_set_url(link, sonic_id_link("stream", "&format=raw", link->sonic_id).c_str());
    }
    LinkTable_add(linktbl, link);
}

// The tables are being built, seen by no other thread: their links' child tables are read
// without link_lock.
void sonic_sanitise_linknames(LinkTable *linktbl) NO_THREAD_SAFETY_ANALYSIS
{
    for (int32_t i = 0; i < linktbl->size; i++) {
        Link *link = linktbl->links[i];
        // "." and ".." are taken by the directory itself and its parent: an entry of that name
        // could never be opened.
        std::string name = link->linkname;
        if (name == ".")
            name = "__DOT__";
        else if (name == "..")
            name = "__DOTDOT__";
        else if (name == "/")
            name = "__FORWARD-SLASH__";
        std::replace(name.begin(), name.end(), '/', '-');
        if (name != link->linkname)
            Link_set_name(link, name.c_str());
        if (link->next)
            sonic_sanitise_linknames(link->next);
    }
}

void sonic_parse_reply(LinkTable *linktbl, const char *xml, size_t len, XML_StartElementHandler handler)
{
    XML_Parser parser = XML_ParserCreate(nullptr);
    if (!parser)
        log_fatal(HERE, "%s!\n", strerror(ENOMEM));
    SonicParse parse{linktbl, nullptr};
    XML_SetUserData(parser, &parse);
    XML_SetStartElementHandler(parser, handler);
    if (handler == XML_parser_id3_root)
        XML_SetEndElementHandler(parser, XML_parser_id3_end);
    // The links added before a parse error stay: a cut reply still shows what it held.
    // expat takes an int length, so a reply beyond that goes in pieces.
    while (true) {
        size_t piece = std::min(len, static_cast<size_t>(INT_MAX));
        int last = piece == len;
        if (XML_Parse(parser, xml, static_cast<int>(piece), last) == XML_STATUS_ERROR) {
            log_printf(LOG_ERROR, HERE, "Parse error at line %lu: %s\n",
                       static_cast<unsigned long>(XML_GetCurrentLineNumber(parser)),
                       XML_ErrorString(XML_GetErrorCode(parser)));
            break;
        }
        if (last)
            break;
        xml += piece;
        len -= piece;
    }
    XML_ParserFree(parser);
    LinkTable_print(linktbl);
    sonic_sanitise_linknames(linktbl);
}

LinkTable *sonic_url_to_LinkTable(const char *url, XML_StartElementHandler handler, int32_t depth)
{
    LinkTable *linktbl = LinkTable_alloc(url);
    linktbl->links[0]->sonic_depth = depth;
    ResponseBuffer buf = Link_download_full(linktbl->links[0]);
    if (buf.size == 0) {
        checked_free(buf.data);
        LinkTable_free(linktbl);
        return nullptr;
    }
    sonic_parse_reply(linktbl, buf.data, buf.size, handler);
    checked_free(buf.data);
    return linktbl;
}

LinkTable *sonic_LinkTable_new_index(const char *id)
{
    if (!id)
        return nullptr;
    std::string url = !strcmp(id, "0") ? take_string(sonic_gen_url_first_part("getIndexes"))
                                       : sonic_id_link("getMusicDirectory", "", id);
    return sonic_url_to_LinkTable(url.c_str(), XML_parser_general, 0);
}

LinkTable *sonic_LinkTable_new_id3(int32_t depth, const char *id)
{
    std::string url;
    XML_StartElementHandler handler = XML_parser_general;
    switch (depth) {
    case 0:
        url = take_string(sonic_gen_url_first_part("getArtists"));
        handler = XML_parser_id3_root;
        break;
    case 3:
    case 4:
        if (!id)
            return nullptr;
        url = sonic_id_link(depth == 3 ? "getArtist" : "getAlbum", "", id);
        break;
    default:
        log_fatal(HERE, "case %d.\n", depth);
    }
    return sonic_url_to_LinkTable(url.c_str(), handler, depth);
}

// The root table and its group tables are being built, seen by no other thread: the groups are
// attached without link_lock.
void XMLCALL XML_parser_id3_root(void *data, const char *elem, const char **attr) NO_THREAD_SAFETY_ANALYSIS
{
    SonicParse *parse = static_cast<SonicParse *>(data);
    LinkTable *root = parse->table;
    if (!strcmp(elem, "error")) {
        sonic_log_error_element("\n", attr);
        return;
    }
    if (!strcmp(elem, "index")) {
        const char *name = nullptr;
        for (int i = 0; attr[i] && attr[i + 1]; i += 2) {
            if (!strcmp(attr[i], "name"))
                name = attr[i + 1];
        }
        if (!name || !*name)
            return;
        Link *link = sonic_link_new(LINK_DIR, 0);
        sonic_set_name(link, name);
        // A group table cannot be rebuilt (its link has no id, and the only request that
        // yields it is the whole root), so it holds one reference of its own for as long as
        // the root lives: releasing the group directory never brings it to 0.
        link->next = LinkTable_alloc("/");
        link->next->refcount = 1;
        LinkTable_add(root, link);
        parse->group = link->next;
        return;
    }
    if (!strcmp(elem, "artist")) {
        if (!parse->group) {
            log_printf(LOG_WARNING, HERE, "Ignoring <artist> outside of any <index>\n");
            return;
        }
        Link *link = sonic_link_new(LINK_DIR, 3);
        bool has_id = false;
        bool has_name = false;
        for (int i = 0; attr[i] && attr[i + 1]; i += 2) {
            if (!strcmp(attr[i], "name")) {
                sonic_set_name(link, attr[i + 1]);
                has_name = attr[i + 1][0] != '\0';
            } else if (!strcmp(attr[i], "id")) {
                sonic_set_id(link, attr[i + 1]);
                has_id = true;
            }
        }
        if (!has_id || !has_name) {
            Link_free(link);
            return;
        }
        LinkTable_add(parse->group, link);
    }
}

void XMLCALL XML_parser_id3_end(void *data, const char *elem)
{
    if (!strcmp(elem, "index"))
        static_cast<SonicParse *>(data)->group = nullptr;
}
