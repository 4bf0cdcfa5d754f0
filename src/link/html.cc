// html.cc: the HTML listing parser. Turns a listing page into one uninitialised link per
// distinct entry of the directory: the anchors whose references name a file or a subdirectory
// of the directory itself and, when external links are on, anchors to other servers. Nothing
// is requested here; table filling gives the entries their URLs and confirms them.
// Runs in the thread that builds the table, before the table is published; takes no lock.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <curl/curl.h>
#include <gumbo.h>
#include <string>
#include <strings.h>
#include <utility>
#include <vector>

#include "config.h"
#include "link/link.h"
#include "util.h"

// A page is parsed in pieces of about this size: the parse tree of a whole page of 200,000
// entries would take some 200 MB, where the entries themselves take a fifth of that.
static const size_t PAGE_PIECE = 1 << 20;
// Distinct references a page may hold before the name set first grows.
static const int32_t NAME_SET_CAPACITY = 4096;
// Listing pages nest a few dozen levels. A deeper tree is flattened before gumbo releases it,
// because gumbo_destroy_output recurses once per level and a hostile page would overflow the
// thread's stack there.
static const size_t MAX_TREE_DEPTH = 1000;

// The path of a base URL, from its third "/" on; "/" for a URL of scheme and host only; null
// when the URL has fewer than two "/".
static const char *base_path(const char *url)
{
    const char *third = nth_slash(url, 3);
    if (third)
        return third;
    return nth_slash(url, 2) ? "/" : nullptr;
}

// Whether a reference names the directory itself or its parent once table filling has made
// it a URL. Filling decodes the reference (a decoded NUL ends it) and encodes it again, and a
// decoded "/" at the end becomes a real one: "%2F" and "%00" name the directory itself,
// "..%2F" its parent. Those are no entries of the directory: the filesystem lists "." and ".."
// itself.
static bool names_dot_entry(const std::string &ref)
{
    std::string name = ref;
    char *decoded = curl_easy_unescape(nullptr, ref.c_str(), 0, nullptr);
    if (decoded) {
        name = decoded;
        curl_free(decoded);
    }
    while (!name.empty() && name.back() == '/')
        name.pop_back();
    return name.empty() || name == "." || name == "..";
}

// Whether a reference holds an encoded NUL byte: no file name holds one, and what the
// reference would name is cut short there.
static bool decodes_to_nul(const std::string &ref)
{
    int len = 0;
    char *decoded = curl_easy_unescape(nullptr, ref.c_str(), 0, &len);
    if (!decoded)
        return false;
    bool nul = strlen(decoded) != static_cast<size_t>(len);
    curl_free(decoded);
    return nul;
}

// A reference relative to the directory (or from the server root into it): kept when it names
// one entry of the directory itself, in the percent-encoded form the page gives.
static void add_relative_link(const char *base, const char *href, LinkTable *linktbl, LinkHashSet *set)
{
    std::string ref(href, strnlen(href, MAX_PATH_LEN));

    if (ref.starts_with("./")) {
        ref.erase(0, 2);
    } else if (ref.starts_with("/")) {
        const char *path = base_path(base);
        if (path) {
            size_t len = strlen(path);
            if (ref.compare(0, len, path) == 0) {
                if (path[len - 1] == '/')
                    ref.erase(0, len);
                else if (ref.size() > len && ref[len] == '/')
                    ref.erase(0, len + 1);
            }
        }
    }

    // A reference into a subdirectory names the subdirectory.
    size_t slash = ref.find('/');
    if (slash != std::string::npos && slash != 0 && ref[slash - 1] != ':' &&
        (slash + 1 == ref.size() || ref[slash + 1] != '/'))
        ref.resize(slash + 1);

    // The directory itself (again), or only a query or a fragment of its page: the sort links
    // of a listing are no entries.
    if (ref.empty() || ref[0] == '/' || ref[0] == '?' || ref[0] == '#')
        return;
    for (char c : ref) {
        if (c < 0x20 || c > 0x7E)
            return;
    }
    size_t last = std::min(ref.size(), static_cast<size_t>(MAX_FILENAME_LEN)) - 1;
    for (size_t i = 0; i < ref.size(); i++) {
        if (ref[i] == '/' && i != last)
            return;
    }
    if (names_dot_entry(ref) || decodes_to_nul(ref))
        return;

    // Two references that decode to one name are one entry, the first.
    std::string bare = ref.back() == '/' ? ref.substr(0, ref.size() - 1) : ref;
    if (LinkHashSet_add(set, link_name_decode(bare.c_str()).c_str()) == 1) {
        LinkType type = ref[last] == '/' ? LINK_UNINITIALISED_DIR : LINK_UNINITIALISED_FILE;
        LinkTable_add(linktbl, Link_new(ref.c_str(), type));
    }
}

// An absolute reference to another server: listed under the decoded last element of its path,
// with the reference itself as its URL.
static void add_external_link(const char *href, LinkTable *linktbl, LinkHashSet *set)
{
    char *name = external_url_to_filename(href);
    if (name[0] && strcmp(name, ".") != 0 && strcmp(name, "..") != 0) {
        size_t end = strcspn(href, "?#");
        LinkType type = end > 0 && href[end - 1] == '/' ? LINK_UNINITIALISED_DIR : LINK_UNINITIALISED_FILE;
        if (LinkHashSet_add(set, name) == 1) {
            Link *link = Link_new(name, type);
            Link_set_url(link, href);
            LinkTable_add(linktbl, link);
        }
    }
    checked_free(name);
}

// The entry of one node, if it is an anchor with a reference; its children are the walk's.
static void HTML_to_LinkTable(const char *url, GumboNode *node, LinkTable *linktbl, LinkHashSet *set)
{
    if (node->type != GUMBO_NODE_ELEMENT || node->v.element.tag != GUMBO_TAG_A)
        return;
    GumboAttribute *href = gumbo_get_attribute(&node->v.element.attributes, "href");
    if (!href || !href->value)
        return;
    const char *value = href->value;
    if (CONFIG.external_links && is_absolute_url(value) && url_origins_differ(url, value) == 1)
        add_external_link(value, linktbl, set);
    else
        add_relative_link(url, value, linktbl, set);
}

// Every element below and including `root`, depth first in document order. The walk keeps its
// own stack, since a page may nest as deep as its size allows. A node that is no element ends
// its branch, subtree and all.
static void walk_elements(const char *url, GumboNode *root, LinkTable *linktbl, LinkHashSet *set)
{
    std::vector<GumboNode *> pending{root};
    while (!pending.empty()) {
        GumboNode *node = pending.back();
        pending.pop_back();
        HTML_to_LinkTable(url, node, linktbl, set);
        const GumboVector &children = node->v.element.children;
        for (unsigned int i = children.length; i-- > 0;) {
            GumboNode *child = static_cast<GumboNode *>(children.data[i]);
            if (child->type == GUMBO_NODE_ELEMENT)
                pending.push_back(child);
        }
    }
}

static GumboVector *child_nodes(GumboNode *node)
{
    switch (node->type) {
    case GUMBO_NODE_DOCUMENT:
        return &node->v.document.children;
    case GUMBO_NODE_ELEMENT:
    case GUMBO_NODE_TEMPLATE:
        return &node->v.element.children;
    default:
        return nullptr;
    }
}

// Makes a tree deeper than MAX_TREE_DEPTH flat: every node becomes a child of the document
// and keeps no children of its own, so that gumbo_destroy_output, which frees each node's
// children before the node, recurses two levels only. The new child array of the document
// comes from calloc, which matches the free of gumbo's default deallocator.
static void flatten_deep_tree(GumboOutput *output)
{
    std::vector<std::pair<GumboNode *, size_t>> pending{{output->document, 0}};
    std::vector<GumboNode *> nodes;
    size_t max_depth = 0;
    while (!pending.empty()) {
        auto [node, depth] = pending.back();
        pending.pop_back();
        nodes.push_back(node);
        max_depth = std::max(max_depth, depth);
        if (GumboVector *children = child_nodes(node)) {
            for (unsigned int i = 0; i < children->length; i++)
                pending.emplace_back(static_cast<GumboNode *>(children->data[i]), depth + 1);
        }
    }
    if (max_depth <= MAX_TREE_DEPTH)
        return;

    for (GumboNode *node : nodes) {
        if (GumboVector *children = child_nodes(node))
            children->length = 0;
    }
    size_t count = nodes.size() - 1; // every node but the document
    void **data = static_cast<void **>(checked_calloc(count, sizeof(void *), HERE));
    std::copy(nodes.begin() + 1, nodes.end(), data);
    GumboVector &top = output->document->v.document.children;
    checked_free(top.data);
    top.data = data;
    top.length = static_cast<unsigned int>(count);
    top.capacity = static_cast<unsigned int>(count);
}

// Parses one piece of a page (the whole page, mostly) and adds its entries.
static void parse_piece(LinkTable *linktbl, const char *url, const char *html, size_t len, LinkHashSet *set)
{
    // Parse errors are never read; recording them copies the stack of open elements for each
    // one, which on a deeply nested page takes memory in the square of its depth.
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    GumboOutput *output = gumbo_parse_with_options(&options, html, len);
    if (!output)
        return;
    if (output->root && output->root->type == GUMBO_NODE_ELEMENT)
        walk_elements(url, output->root, linktbl, set);
    flatten_deep_tree(output);
    gumbo_destroy_output(&options, output);
}

// Elements whose content is text, not markup, up to their end tag.
static bool text_element(const std::string &name)
{
    for (const char *text : {"script", "style", "textarea", "title", "xmp", "iframe", "noembed", "noframes",
                             "noscript", "plaintext"}) {
        if (name == text)
            return true;
    }
    return false;
}

// Where a page may be cut into pieces that each parse to the entries the whole page gives, in
// the same order: at line breaks in plain text between tags, outside comments and outside the
// elements whose content is text (an anchor written inside a comment or a script is none).
// Cuts come about every `piece` bytes; the scan follows the tokenizer's rules closely enough
// for that: "<" opens a tag only before a letter, "/", "!" or "?".
static std::vector<size_t> piece_ends(const char *html, size_t len, size_t piece)
{
    enum { TEXT, TAG, COMMENT, RAW } state = TEXT;
    std::vector<size_t> ends;
    std::string name;    // the name of the tag being read, lower-case
    std::string raw_end; // "</script" while in a script, and so on
    bool name_done = false;
    bool end_tag = false;
    char quote = 0;
    size_t last = 0;
    for (size_t i = 0; i < len; i++) {
        char c = html[i];
        char next = i + 1 < len ? html[i + 1] : '\0';
        switch (state) {
        case TEXT:
            if (c == '<' && strncmp(html + i, "<!--", 4) == 0) {
                state = COMMENT;
                i += 3;
            } else if (c == '<' && (isalpha(static_cast<unsigned char>(next)) || next == '/' || next == '!' ||
                                    next == '?')) {
                state = TAG;
                name.clear();
                name_done = next == '!' || next == '?';
                end_tag = next == '/';
                quote = 0;
                if (end_tag)
                    i++;
            } else if (c == '\n' && i + 1 - last >= piece) {
                ends.push_back(i + 1);
                last = i + 1;
            }
            break;
        case TAG:
            if (!name_done) {
                if (isalnum(static_cast<unsigned char>(c))) {
                    name.push_back(static_cast<char>(tolower(static_cast<unsigned char>(c))));
                    break;
                }
                name_done = true;
            }
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                state = TEXT;
                if (!end_tag && text_element(name)) {
                    state = RAW;
                    raw_end = "</" + name;
                }
            }
            break;
        case COMMENT:
            if (strncmp(html + i, "-->", 3) == 0) {
                state = TEXT;
                i += 2;
            }
            break;
        case RAW:
            // <plaintext> has no end: the rest of the page is its text.
            if (name != "plaintext" && strncasecmp(html + i, raw_end.c_str(), raw_end.size()) == 0) {
                state = TAG;
                name = name.substr(0, 0);
                name_done = true;
                end_tag = true;
                i += raw_end.size() - 1;
            }
            break;
        }
    }
    ends.push_back(len);
    return ends;
}

void LinkTable_parse_html_pieces(LinkTable *linktbl, const char *url, const char *html, size_t piece)
{
    if (!linktbl || !url || !html)
        return;
    LinkHashSet *set = LinkHashSet_new(NAME_SET_CAPACITY);
    size_t len = strlen(html);
    size_t begin = 0;
    for (size_t end : piece_ends(html, len, piece)) {
        parse_piece(linktbl, url, html + begin, end - begin, set);
        begin = end;
    }
    LinkHashSet_free(set);
}

void LinkTable_parse_html(LinkTable *linktbl, const char *url, const char *html)
{
    LinkTable_parse_html_pieces(linktbl, url, html, PAGE_PIECE);
}
