// fuzz_support.cc: the shared start-up, files and invariant checks of the fuzz targets.
#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <vector>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"

static std::vector<std::string> temp_dirs;

static void remove_temp_dirs()
{
    std::error_code ignored;
    for (const std::string &dir : temp_dirs)
        std::filesystem::remove_all(dir, ignored);
}

void fuzz_quiet_config()
{
    Config_init();
    CONFIG.log_level = 0;
}

void fuzz_mount_root(const char *url)
{
    root_link_table = LinkTable_alloc(url);
    root_url_len = static_cast<int32_t>(strlen(url)) - 1;
}

std::string fuzz_temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tarnwick-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        perror("mkdtemp");
        abort();
    }
    if (temp_dirs.empty())
        atexit(remove_temp_dirs);
    temp_dirs.push_back(pattern);
    return pattern;
}

void fuzz_start_cache()
{
    CacheSystem_init(fuzz_temp_dir().c_str(), 0);
}

void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size)
{
    FILE *fp = fopen(path.c_str(), "wb");
    bool ok = fp && (size == 0 || fwrite(data, size, 1, fp) == 1);
    if (fp && fclose(fp))
        ok = false;
    if (!ok) {
        perror(path.c_str());
        abort();
    }
}

void fuzz_require(bool ok, const char *what, const std::string &detail)
{
    if (ok)
        return;
    fprintf(stderr, "invariant broken: %s: %s\n", what, detail.c_str());
    abort();
}

void fuzz_require_entry_name(const char *name, const char *where)
{
    std::string shown = std::string(where) + ": \"" + (name ? name : "(null)") + "\"";
    fuzz_require(name != nullptr, "a link has a name", shown);
    fuzz_require(name[0] != '\0', "no entry name is empty", shown);
    fuzz_require(strcmp(name, ".") != 0 && strcmp(name, "..") != 0, "no entry is named . or ..", shown);
    fuzz_require(strchr(name, '/') == nullptr, "no entry name holds /", shown);
}

void fuzz_require_contained_key(const char *key, const char *where)
{
    std::string shown = std::string(where) + ": \"" + (key ? key : "(null)") + "\"";
    fuzz_require(key != nullptr, "a URL has a cache key", shown);
    std::string_view rest(key);
    while (true) {
        size_t slash = rest.find('/');
        fuzz_require(rest.substr(0, slash) != "..", "no cache key climbs out with ..", shown);
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
}

void fuzz_require_tables_equal(const LinkTable *a, const LinkTable *b, const char *where)
{
    fuzz_require(a->size == b->size, "a reloaded table has as many links",
                 std::string(where) + ": " + std::to_string(a->size) + " then " + std::to_string(b->size));
    fuzz_require(a->index_time == b->index_time, "a reloaded table keeps its listing time", where);
    for (int32_t i = 0; i < a->size; i++) {
        const Link *x = a->links[i];
        const Link *y = b->links[i];
        std::string shown = std::string(where) + ", link " + std::to_string(i);
        const char *name_x = x->linkname;
        const char *name_y = y->linkname;
        const char *url_x = x->f_url;
        const char *url_y = y->f_url;
        fuzz_require(strcmp(name_x, name_y) == 0, "a reloaded link keeps its name",
                     shown + ": \"" + name_x + "\" then \"" + name_y + "\"");
        fuzz_require(strcmp(url_x, url_y) == 0, "a reloaded link keeps its URL",
                     shown + ": \"" + url_x + "\" then \"" + url_y + "\"");
        fuzz_require(Link_type(x) == Link_type(y), "a reloaded link keeps its type", shown);
        fuzz_require(x->content_length == y->content_length, "a reloaded link keeps its size", shown);
        fuzz_require(x->time == y->time, "a reloaded link keeps its time", shown);
    }
}
