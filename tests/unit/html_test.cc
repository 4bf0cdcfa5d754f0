// The HTML listing parser over pages saved from nginx, Apache and lighttpd, one hand-written page
// of nasty references, small generated pages for single rules, and a hostile deep page.
#include <gtest/gtest.h>

#include <fstream>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "config.h"
#include "link/link.h"

namespace
{

struct Entry {
    std::string name;
    char type;
    std::string f_url = ""; // set for external links only
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string fixture(const std::string &name, const char *extension)
{
    return read_file(std::string(TARNWICK_FIXTURES_DIR) + "/listings/" + name + extension);
}

LinkTable *parse(const std::string &url, const std::string &page, bool external_links = false)
{
    CONFIG.external_links = external_links;
    LinkTable *linktbl = LinkTable_alloc(url.c_str());
    LinkTable_parse_html(linktbl, url.c_str(), page.c_str());
    CONFIG.external_links = 0;
    return linktbl;
}

std::vector<Entry> entries(const LinkTable *linktbl)
{
    std::vector<Entry> result;
    for (int32_t i = 1; i < linktbl->size; i++) {
        const Link *link = linktbl->links[i];
        result.push_back({link->linkname, static_cast<char>(Link_type(link)), link->f_url});
    }
    return result;
}

// Checks the table against the expected entries, and the fields every parsed link must have.
void expect_table(const LinkTable *linktbl, const std::vector<Entry> &expected, const std::string &what)
{
    std::vector<Entry> got = entries(linktbl);
    std::ostringstream listing;
    for (const Entry &e : got)
        listing << "  " << e.type << " " << e.name << " " << e.f_url << "\n";
    ASSERT_EQ(got.size(), expected.size()) << what << ", parsed:\n" << listing.str();
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].name, expected[i].name) << what << ", entry " << i + 1;
        EXPECT_EQ(got[i].type, expected[i].type) << what << ", " << got[i].name;
        EXPECT_EQ(got[i].f_url, expected[i].f_url) << what << ", " << got[i].name;
        const Link *link = linktbl->links[i + 1];
        std::string linkpath = link->linkpath;
        if (expected[i].f_url.empty() && expected[i].type == 'V')
            EXPECT_EQ(linkpath, got[i].name + "/") << what;
        else
            EXPECT_EQ(linkpath, got[i].name) << what;
    }
}

std::string anchor(const std::string &href)
{
    std::string escaped;
    for (char c : href) {
        if (c == '&')
            escaped += "&amp;";
        else if (c == '"')
            escaped += "&quot;";
        else
            escaped += c;
    }
    return "<a href=\"" + escaped + "\">x</a>\n";
}

const std::string LONG_NAME = std::string(251, 'L') + ".bin";

// The tree behind the server pages, as each server writes its references.
const std::vector<Entry> NGINX_ROOT = {
    {"sub%20dir", 'V'},
    {"%2541.txt", 'U'},
    {"100%25.txt", 'U'},
    {"%3Cb%3E.txt", 'U'},
    {LONG_NAME, 'U'},
    {"a%2Bb.txt", 'U'},
    {"caf%C3%A9.txt", 'U'},
    {"empty", 'U'},
    {"hash%23tag.txt", 'U'},
    {"it%27s.txt", 'U'},
    {"plain.txt", 'U'},
    {"rock%26roll.txt", 'U'},
    {"say%20%22hi%22.txt", 'U'},
    {"semi%3Bcolon.txt", 'U'},
    {"what%3F.txt", 'U'},
    {"with%20space.txt", 'U'},
    {"x%3Dy.txt", 'U'},
    {"%E6%97%A5%E6%9C%AC%E8%AA%9E.txt", 'U'},
};
// Apache's sort links ("?C=N;O=D") are no entries.
std::vector<Entry> apache_root()
{
    std::vector<Entry> table;
    table.insert(table.end(), {
                                  {"%e6%97%a5%e6%9c%ac%e8%aa%9e.txt", 'U'},
                                  {"%2541.txt", 'U'},
                                  {"100%25.txt", 'U'},
                                  {"%3cb%3e.txt", 'U'},
                                  {LONG_NAME, 'U'},
                                  {"a+b.txt", 'U'},
                                  {"caf%c3%a9.txt", 'U'},
                                  {"empty", 'U'},
                                  {"hash%23tag.txt", 'U'},
                                  {"it's.txt", 'U'},
                                  {"plain.txt", 'U'},
                                  {"rock&roll.txt", 'U'},
                                  {"say%20%22hi%22.txt", 'U'},
                                  {"semi;colon.txt", 'U'},
                                  {"sub%20dir", 'V'},
                                  {"what%3f.txt", 'U'},
                                  {"with%20space.txt", 'U'},
                                  {"x=y.txt", 'U'},
                              });
    return table;
}
std::vector<Entry> apache_subdir()
{
    // "Parent Directory" is "/", outside the directory.
    return {{"deeper", 'V'}, {"inner.txt", 'U'}};
}
const std::vector<Entry> SUBDIR = {{"deeper", 'V'}, {"inner.txt", 'U'}}; // "../" is no entry

const std::vector<Entry> NASTY = {
    {"plain.txt", 'U'},
    {"rooted.txt", 'U'},
    {"twice", 'U'},
    {"sub", 'V'},
    {"two", 'V'},
    {"dotted", 'V'},
    {".hidden", 'U'},
    {"%2E%2E%2Fescape", 'U'},
    {"mailto:someone@example.org", 'U'},
    {"with%20space.txt", 'U'},
};
std::vector<Entry> nasty(bool external_links)
{
    std::vector<Entry> table = NASTY;
    if (external_links) {
        table.insert(table.end(), {
                                      {"other-port.txt", 'U', "HTTP://127.0.0.1:80/pub/dir/other-port.txt"},
                                      {"tls.txt", 'U', "https://127.0.0.1:8080/pub/dir/tls.txt"},
                                      {"music", 'V', "http://mirror.example/pub/music/"},
                                      {"b_c.txt", 'U', "http://mirror.example/a/b%2Fc.txt?x=1#f"},
                                  });
    }
    table.insert(table.end(), {{"in-svg.txt", 'U'}, {"last.txt", 'U'}});
    return table;
}

} // namespace

TEST(HtmlParser, ServerAndHandWrittenPages)
{
    struct {
        const char *fixture;
        bool external_links;
        std::vector<Entry> expected;
    } cases[] = {
        {"nginx-root", false, NGINX_ROOT},         {"nginx-root", true, NGINX_ROOT},
        {"nginx-subdir", false, SUBDIR},           {"nginx-subdir", true, SUBDIR},
        {"apache-root", false, apache_root()},     {"apache-root", true, apache_root()},
        {"apache-subdir", false, apache_subdir()}, {"apache-subdir", true, apache_subdir()},
        {"lighttpd-root", false, NGINX_ROOT}, // the same references, in the same order
        {"lighttpd-root", true, NGINX_ROOT},       {"lighttpd-subdir", false, SUBDIR},
        {"lighttpd-subdir", true, SUBDIR},         {"handwritten-nasty", false, nasty(false)},
        {"handwritten-nasty", true, nasty(true)},
    };
    for (const auto &c : cases) {
        std::string url = fixture(c.fixture, ".url");
        url.erase(url.find_last_not_of("\n") + 1);
        LinkTable *linktbl = parse(url, fixture(c.fixture, ".html"), c.external_links);
        expect_table(linktbl, c.expected,
                     std::string(c.fixture) + (c.external_links ? " (external links on)" : ""));
        LinkTable_free(linktbl);
    }
}

TEST(HtmlParser, ReferenceRules)
{
    std::string l254(254, 'l'), l255(255, 'l'), l300(300, 'l');
    struct {
        const char *base;
        std::string href;
        const char *name; // null: dropped
        char type;
    } cases[] = {
        {"http://h/pub/", "file", "file", 'U'},
        {"http://h/pub/", "./file", "file", 'U'},
        {"http://h/pub/", "/pub/file", "file", 'U'},
        {"http://h/pub/", "/pub/sub/", "sub", 'V'},
        {"http://h/pub/", "/pub/", nullptr, 0}, // the directory itself
        {"http://h/pub/", "/pubx/file", nullptr, 0},
        {"http://h/pub/", "/file", nullptr, 0},
        // a base path without its "/": the reference continues with one
        {"http://h/pub/dir", "/pub/dir/file", "file", 'U'},
        {"http://h/pub/dir", "/pub/dirt/file", nullptr, 0},
        {"http://h/pub/dir", "/pub/dir", nullptr, 0},
        {"http://h", "/file", "file", 'U'}, // a base of scheme and host only: path "/"
        {"http://h", "/", nullptr, 0},
        {"h", "/file", nullptr, 0}, // fewer than two "/": nothing removed
        {"http://h/", "a/b/c.txt", "a", 'V'},
        {"http://h/", "./", nullptr, 0},
        {"http://h/", "", nullptr, 0},
        {"http://h/", "//h/x", nullptr, 0},
        {"http://h/", "a//b", nullptr, 0},
        {"http://h/", "a b", "a b", 'U'}, // a space is printable
        {"http://h/", "a\x7f", nullptr, 0},
        {"http://h/", "\xc3\xa9", nullptr, 0},
        {"http://h/", "http://h/file", nullptr, 0}, // absolute, external links off
        {"http://h/", "http://other/file", nullptr, 0},
        {"http://h/", "x:/", "x:", 'V'}, // a "/" after ":" is not cut, but it is the last
        {"http://h/", "..", nullptr, 0},
        {"http://h/", "../", nullptr, 0},
        {"http://h/", "./.", nullptr, 0},
        {"http://h/", "%2e%2E", nullptr, 0},
        {"http://h/", "%2E/", nullptr, 0},
        // Filling decodes a reference up to a decoded NUL and turns a decoded "/" at its end into
        // a real one: these would be filled with the URL of the directory or of its parent.
        {"http://h/", "..%2F", nullptr, 0},
        {"http://h/", "%2e%2e%2f%2f", nullptr, 0},
        {"http://h/", "..%2F/", nullptr, 0},
        {"http://h/", ".%2F", nullptr, 0},
        {"http://h/", "%2F", nullptr, 0},
        {"http://h/", "%00", nullptr, 0},
        {"http://h/", "%00x", nullptr, 0},
        {"http://h/", "a%2F", "a%2F", 'U'},
        {"http://h/", "..%2Fx", "..%2Fx", 'U'},
        {"http://h/", "...", "...", 'U'},
        // Only a query or a fragment of the page itself: sort links and anchors.
        {"http://h/", "?C=N;O=D", nullptr, 0},
        {"http://h/", "?sort=name&order=asc", nullptr, 0},
        {"http://h/", "#top", nullptr, 0},
        {"http://h/pub/", "/pub/?C=M;O=A", nullptr, 0},
        // An encoded NUL names nothing.
        {"http://h/", "%00nul.txt", nullptr, 0},
        {"http://h/", "a%00/", nullptr, 0},
        {"http://h/", "..x/", "..x", 'V'},
        // 255 characters: longer file references are cut, longer directory references dropped
        {"http://h/", l300, l255.c_str(), 'U'},
        {"http://h/", std::string(1100, 'l'), l255.c_str(), 'U'},
        {"http://h/", l254 + "/", l254.c_str(), 'V'},
        {"http://h/", l255 + "/", nullptr, 0},
        {"http://h/", l254 + "/deeper", l254.c_str(), 'V'},
    };
    for (const auto &c : cases) {
        LinkTable *linktbl = parse(c.base, anchor(c.href));
        std::string what = std::string(c.base) + " + " + c.href;
        if (!c.name) {
            EXPECT_EQ(linktbl->size, 1)
                << what << " gave " << (linktbl->size > 1 ? linktbl->links[1]->linkname : "");
        } else if (linktbl->size != 2) {
            ADD_FAILURE() << what << ": " << linktbl->size - 1 << " entries";
        } else {
            EXPECT_STREQ(linktbl->links[1]->linkname, c.name) << what;
            EXPECT_EQ(Link_type(linktbl->links[1]), c.type) << what;
            EXPECT_STREQ(linktbl->links[1]->f_url, "") << what;
        }
        LinkTable_free(linktbl);
    }
}

TEST(HtmlParser, ExternalRules)
{
    struct {
        std::string href;
        const char *name; // null: dropped
        char type;
    } cases[] = {
        {"http://other/pub/dir/", "dir", 'V'},
        {"http://other/pub/dir/?sort=1", "dir", 'V'},
        {"http://other/pub/file?dir/", "file", 'U'},
        {"http://other/pub/a%20b%2Fc", "a b_c", 'U'},
        {"https://h/pub/file", "file", 'U'}, // another scheme is another server
        {"http://h:8080/pub/file", "file", 'U'},
        {"http://other/", nullptr, 0},
        {"http://other", nullptr, 0},
        {"http://other/pub/.", nullptr, 0},
        {"http://other/pub/../", nullptr, 0},
        {"http://other/pub/%2E%2E/", nullptr, 0},
        {"http://H/pub/file", nullptr, 0}, // this server
        {"http://h:80/elsewhere/file", nullptr, 0},
    };
    for (const auto &c : cases) {
        LinkTable *linktbl = parse("http://h/pub/", anchor(c.href), true);
        if (!c.name) {
            EXPECT_EQ(linktbl->size, 1) << c.href;
        } else if (linktbl->size != 2) {
            ADD_FAILURE() << c.href << ": " << linktbl->size - 1 << " entries";
        } else {
            EXPECT_STREQ(linktbl->links[1]->linkname, c.name) << c.href;
            EXPECT_EQ(Link_type(linktbl->links[1]), c.type) << c.href;
            EXPECT_EQ(linktbl->links[1]->f_url, c.href);
        }
        LinkTable_free(linktbl);
    }
}

TEST(HtmlParser, RelativeAndExternalNamesShareOneSet)
{
    std::string page = anchor("http://other/a/song.mp3") + anchor("song.mp3") + anchor("dir/") +
                       anchor("http://other/b/dir/");
    LinkTable *linktbl = parse("http://h/pub/", page, true);
    expect_table(linktbl, {{"song.mp3", 'U', "http://other/a/song.mp3"}, {"dir", 'V'}}, "shared set");
    LinkTable_free(linktbl);
}

TEST(HtmlParser, ReferencesThatDecodeToOneNameAreOneEntry)
{
    // The first wins, with its own encoding; the others would list the same name again.
    std::string page = anchor("a%20b.txt") + anchor("a b.txt") + anchor("a%20b.txt/") +
                       anchor("%61%20b.txt") + anchor("sub/") + anchor("s%75b");
    LinkTable *linktbl = parse("http://h/pub/", page);
    expect_table(linktbl, {{"a%20b.txt", 'U'}, {"sub", 'V'}}, "decoded duplicates");
    LinkTable_free(linktbl);
}

TEST(HtmlParser, APageParsedInPiecesGivesWhatTheWholePageGives)
{
    // Anchors in comments, scripts, styles, titles and text areas are none; tags and quoted
    // values may hold line breaks and ">"; a "<" before a blank is text; <plaintext> runs to
    // the end. Cut into pieces at every line break it allows, the page must give the entries,
    // in the order, that it gives whole.
    std::string tricky = "<html><head><title>a\n<a href=\"in-title\">x</a>\n</title>\n"
                         "<style>\n<a href=\"in-style\">\n</style><script>\nx = '<a href=\"in-script\">';\n"
                         "</script></head><body>\n<a href=\"one\">1</a>\n<!-- a comment, 2 > 1\n"
                         "<a href=\"in-comment\">\n--> 1 < 2\n<a\nhref=\"two\"\ntitle=\"a > b\n\">2</a>\n"
                         "<a href='three'>3</a>\n<textarea>\n<a href=\"in-textarea\">\n</textarea>\n"
                         "<a href=\"one\">again</a>\n<table>\n<tr><td><a href=\"four/\">4</a></td></tr>\n"
                         "</table>\n<plaintext>\n<a href=\"in-plaintext\">\n";
    struct Page {
        std::string name, url, page;
    };
    std::vector<Page> pages = {{"tricky", "http://h/pub/", tricky}};
    for (const char *f : {"apache-root", "apache-subdir", "handwritten-nasty", "lighttpd-root", "nginx-root",
                          "nginx-subdir"}) {
        std::string url = fixture(f, ".url");
        while (!url.empty() && (url.back() == '\n' || url.back() == '\r'))
            url.pop_back();
        pages.push_back({f, url, fixture(f, ".html")});
    }
    // The entries of a table, one line each, for comparing tables.
    auto listing = [](const LinkTable *linktbl) {
        std::string text;
        for (const Entry &e : entries(linktbl))
            text += std::string(1, e.type) + " " + e.name + " " + e.f_url + "\n";
        return text;
    };
    for (const auto &p : pages) {
        LinkTable *whole = LinkTable_alloc(p.url.c_str());
        LinkTable_parse_html_pieces(whole, p.url.c_str(), p.page.c_str(), SIZE_MAX);
        for (size_t piece : {1, 7, 64}) {
            LinkTable *cut = LinkTable_alloc(p.url.c_str());
            LinkTable_parse_html_pieces(cut, p.url.c_str(), p.page.c_str(), piece);
            EXPECT_EQ(listing(cut), listing(whole)) << p.name << " in pieces of " << piece;
            LinkTable_free(cut);
        }
        if (p.name == "tricky") {
            EXPECT_EQ(listing(whole), "U one \nU two \nU three \nV four \n");
        }
        LinkTable_free(whole);
    }
}

TEST(HtmlParser, ManyDistinctReferencesOutgrowTheNameSet)
{
    const int n = 5000; // more than the 2048 the set holds before it first grows
    std::string page = "<html><body><pre>\n";
    for (int i = 0; i < n; i++)
        page += anchor("file-" + std::to_string(i) + ".txt") + anchor("file-" + std::to_string(i) + ".txt");
    LinkTable *linktbl = parse("http://h/pub/", page);
    ASSERT_EQ(linktbl->size, n + 1);
    for (int i = 0; i < n; i++)
        ASSERT_EQ(linktbl->links[i + 1]->linkname, "file-" + std::to_string(i) + ".txt");
    LinkTable_free(linktbl);
}

TEST(HtmlParser, PagesWithoutEntries)
{
    const char *pages[] = {"", "plain text, no markup", "<<<>>>\x01\xff", "<a>no href</a><a href>empty</a>",
                           "<template><a href=\"inert.txt\">template content</a></template>"};
    for (const char *page : pages) {
        LinkTable *linktbl = parse("http://h/pub/", page);
        EXPECT_EQ(linktbl->size, 1) << page;
        LinkTable_free(linktbl);
    }
    LinkTable *linktbl = LinkTable_alloc("http://h/");
    LinkTable_parse_html(nullptr, "http://h/", "<a href=\"x\">x</a>");
    LinkTable_parse_html(linktbl, nullptr, "<a href=\"x\">x</a>");
    LinkTable_parse_html(linktbl, "http://h/", nullptr);
    EXPECT_EQ(linktbl->size, 1);
    LinkTable_free(linktbl);
}

namespace
{

struct DeepParse {
    std::string page;
    LinkTable *linktbl;
};

void *parse_deep(void *arg)
{
    auto *job = static_cast<DeepParse *>(arg);
    job->linktbl = LinkTable_alloc("http://h/pub/");
    LinkTable_parse_html(job->linktbl, "http://h/pub/", job->page.c_str());
    return nullptr;
}

// Parses on a thread of a 1 MiB stack: a walk, or a release of the parse tree, that recurses
// once per level does not survive 100,000 levels there.
LinkTable *parse_on_small_stack(const std::string &page)
{
    DeepParse job{page, nullptr};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 1 << 20);
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, &attr, parse_deep, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    return job.linktbl;
}

std::string nested(int depth, const std::string &inside)
{
    std::string page;
    page.reserve(static_cast<size_t>(depth) * 13 + inside.size());
    for (int i = 0; i < depth; i++)
        page += "<span>";
    page += inside;
    for (int i = 0; i < depth; i++)
        page += "</span>";
    return page;
}

} // namespace

TEST(HtmlParser, HostileDeepPageInDocumentOrder)
{
    const int depth = 100000;
    std::string page = "<html><body>" + anchor("first") + nested(depth, anchor("deep")) + anchor("after");
    LinkTable *linktbl = parse_on_small_stack(page);
    expect_table(linktbl, {{"first", 'U'}, {"deep", 'U'}, {"after", 'U'}}, "100,000 nested elements");
    LinkTable_free(linktbl);

    // The same depth where the walk does not go: inside template contents.
    page = "<html><body><template>" + nested(depth, anchor("inert")) + "</template>" + anchor("after");
    linktbl = parse_on_small_stack(page);
    expect_table(linktbl, {{"after", 'U'}}, "100,000 nested elements in a template");
    LinkTable_free(linktbl);
}

namespace
{

[[noreturn]] void parse_with_little_memory(const std::string &page)
{
    rlimit limit{1UL << 30, 1UL << 30};
    setrlimit(RLIMIT_AS, &limit);
    LinkTable *linktbl = parse_on_small_stack(page);
    exit(linktbl->size == 2 && std::string(linktbl->links[1]->linkname) == "deep" ? 0 : 2);
}

} // namespace

TEST(HtmlParserDeathTest, UnclosedDeepPageParsesInLittleMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address space limit does not leave room for a sanitizer's shadow memory";
#endif
    // Every element left open is a parse error, and recording one copies the stack of open
    // elements: 100,000 of them would take tens of gigabytes.
    std::string page = "<html><body>";
    for (int i = 0; i < 100000; i++)
        page += "<span>";
    page += anchor("deep");
    EXPECT_EXIT(parse_with_little_memory(page), testing::ExitedWithCode(0), "");
}
