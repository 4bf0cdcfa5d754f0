// html_fuzz.cc: the HTML listing parser and table filling on arbitrary pages. An input that
// starts with an absolute URL line is that directory's page; any other input is a page of
// the default directory. Each page is parsed and filled twice, without and with external
// links. Every entry must then be listable (a name not empty, not "." or "..", without "/"),
// every relative entry's URL must be the directory's URL and one segment that, decoded, names
// something inside the directory, and every entry's cache key must stay inside the cache
// directories.
#include <cstdint>
#include <cstring>
#include <curl/curl.h>
#include <string>

#include "config.h"
#include "fuzz_support.h"
#include "link/link.h"
#include "util.h"

// The mounted root; the fuzzed pages belong to it or to a directory below.
static const char ROOT_URL[] = "http://127.0.0.1:8080/";
static const char DEFAULT_DIR_URL[] = "http://127.0.0.1:8080/pub/dir/";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_config();
    fuzz_mount_root(ROOT_URL);
    return 0;
}

// The part of `url` after `dir`, for a URL that begins with it; null otherwise.
static const char *below(const char *url, const std::string &dir)
{
    return strncmp(url, dir.c_str(), dir.size()) == 0 ? url + dir.size() : nullptr;
}

static void check_table(const LinkTable *linktbl, const std::string &dir)
{
    for (int32_t i = 1; i < linktbl->size; i++) {
        const Link *link = linktbl->links[i];
        const char *name = link->linkname;
        const char *url = link->f_url;
        fuzz_require_entry_name(name, "a filled link");
        LinkType type = Link_type(link);
        fuzz_require(type == LINK_UNINITIALISED_FILE || type == LINK_UNINITIALISED_DIR,
                     "a parsed link waits for its header request", name);
        fuzz_require(url[0] != '\0', "a filled link has a URL", name);

        char *key = url_to_cache_path(url);
        fuzz_require_contained_key(key, url);
        if (url_origins_differ(ROOT_URL, url))
            fuzz_require(strchr(key, '/') == nullptr, "another server's cache key is one flat name", key);
        checked_free(key);

        const char *rest = below(url, dir);
        if (!rest || strlen(url) >= MAX_PATH_LEN)
            continue; // an external link keeps its reference; a URL cut at its length is shorter
        std::string segment(rest);
        while (!segment.empty() && segment.back() == '/')
            segment.pop_back();
        fuzz_require(segment.find('/') == std::string::npos,
                     "a relative entry's URL is its directory's URL and one segment", url);
        // What the server sees once it decodes the segment.
        char *decoded = curl_easy_unescape(nullptr, segment.c_str(), 0, nullptr);
        std::string target = decoded ? decoded : segment;
        curl_free(decoded);
        while (!target.empty() && target.back() == '/')
            target.pop_back();
        fuzz_require(!target.empty() && target != "." && target != "..",
                     "a relative entry's URL names something inside its directory", url);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    input.resize(strlen(input.c_str())); // the page is a C string: it ends at its first NUL
    std::string dir = DEFAULT_DIR_URL;
    std::string page = input;
    size_t newline = input.find('\n');
    if (is_absolute_url(input.c_str()) && newline != std::string::npos) {
        dir = input.substr(0, newline);
        page = input.substr(newline + 1);
    }
    for (int external = 0; external < 2; external++) {
        CONFIG.external_links = external;
        LinkTable *linktbl = LinkTable_alloc(dir.c_str());
        LinkTable_parse_html(linktbl, dir.c_str(), page.c_str());
        LinkTable_fill(linktbl);
        // path_append puts one "/" between the directory's URL and an entry's reference.
        std::string dir_prefix = linktbl->links[0]->f_url;
        if (dir_prefix.back() != '/')
            dir_prefix += '/';
        check_table(linktbl, dir_prefix);
        LinkTable_free(linktbl);
    }
    CONFIG.external_links = 0;
    return 0;
}
