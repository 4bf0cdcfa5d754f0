// url_fuzz.cc: the URL rules on arbitrary text. The input is one or two lines: a URL, and a
// second URL to compare it with. A cache key must stay inside the cache directories, both for
// the text below the mounted root and for the text as a URL of its own; another server's key
// is one flat name. Origins compare the same both ways round. Link names made from URLs are
// listable. A Sonic request URL in a log line shows no credential value.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "config.h"
#include "fuzz_support.h"
#include "link/link.h"
#include "util.h"

// The mounted root, as LinkSystem_init leaves it: root_url_len without the trailing "/".
static const char ROOT_URL[] = "http://127.0.0.1:8080/pub/";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_config();
    fuzz_mount_root(ROOT_URL);
    return 0;
}

static void check_key(const std::string &url, const char *where)
{
    char *key = url_to_cache_path(url.c_str());
    fuzz_require_contained_key(key, where);
    if (url_origins_differ(ROOT_URL, url.c_str()))
        fuzz_require(strchr(key, '/') == nullptr, "another server's cache key is one flat name", key);
    checked_free(key);
}

// Every value of the parameters p, t and s in the query of a logged URL (the part before any
// "#") is masked.
static void check_masked(const char *logged)
{
    std::string_view text(logged);
    size_t query = text.find('?');
    if (query == std::string_view::npos)
        return;
    std::string_view rest = text.substr(query + 1);
    rest = rest.substr(0, rest.find('#'));
    while (true) {
        size_t amp = rest.find('&');
        std::string_view param = rest.substr(0, amp);
        if (param.size() >= 2 && param[1] == '=' && (param[0] == 'p' || param[0] == 't' || param[0] == 's'))
            fuzz_require(param.substr(2) == "***", "no credential reaches a log line", logged);
        if (amp == std::string_view::npos)
            break;
        rest.remove_prefix(amp + 1);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    input.resize(strlen(input.c_str()));
    size_t newline = input.find('\n');
    std::string a = input.substr(0, newline);
    std::string b = newline == std::string::npos ? ROOT_URL : input.substr(newline + 1);

    check_key(std::string(ROOT_URL) + a, "a URL below the root");
    check_key(a, "a URL of its own");

    fuzz_require(url_origins_differ(a.c_str(), b.c_str()) == url_origins_differ(b.c_str(), a.c_str()),
                 "origins compare the same both ways round", a + " / " + b);

    char *name = external_url_to_filename(a.c_str());
    if (name[0] != '\0')
        fuzz_require(strchr(name, '/') == nullptr, "an external link's name holds no /", name);
    checked_free(name);
    std::string decoded = link_name_decode(a.c_str());
    if (!a.empty() && a.find('/') == std::string::npos) // the callers pass one path element
        fuzz_require(!decoded.empty() && decoded.find('/') == std::string::npos,
                     "a decoded link name is not empty and holds no /", decoded);

    CONFIG.mode = MODE_SONIC;
    check_masked(url_for_log(a.c_str()).c_str());
    CONFIG.mode = MODE_LISTING;
    return 0;
}
