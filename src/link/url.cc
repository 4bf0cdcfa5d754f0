// url.cc: the URL rules: absolute references, origins, names of external links, cache keys,
// and the form of a URL that may appear in a log line.
#include <cctype>
#include <cstring>
#include <curl/curl.h>
#include <string>
#include <string_view>
#include <strings.h>

#include "config.h"
#include "link/link.h"
#include "util.h"

static const size_t SCHEME_SIZE = 32;
static const size_t HOST_SIZE = 1024;
// Ports above this are no ports; refusing them also keeps the parse free of overflow.
static const int32_t MAX_PORT = 65535;

// The text percent-decoded by libcurl, or the text itself when decoding fails. A decoded NUL
// ends the result: none of these strings can carry one further.
static std::string percent_decode(const char *text)
{
    int len = 0;
    // libcurl 7.88 ignores the handle here, so none is needed.
    char *decoded = curl_easy_unescape(nullptr, text, 0, &len);
    if (!decoded)
        return text;
    std::string result(decoded);
    curl_free(decoded);
    return result;
}

// Replaces every "..", left to right, with "__".
static void replace_dot_dot(std::string &text)
{
    for (size_t pos = text.find(".."); pos != std::string::npos; pos = text.find("..", pos + 2))
        text.replace(pos, 2, "__");
}

const char *nth_slash(const char *text, int n)
{
    for (const char *p = text; *p; p++) {
        if (*p == '/' && --n == 0)
            return p;
    }
    return nullptr;
}

int is_absolute_url(const char *url)
{
    if (!url)
        return 0;
    return strncasecmp(url, "http://", 7) == 0 || strncasecmp(url, "https://", 8) == 0;
}

// The length of the origin prefix of `url` (scheme, "://" and authority), or -1 when it has
// none: before the third "/" when one comes ahead of any "?" or "#"; otherwise the part before
// the query or fragment of an http or https URL without a path.
static ssize_t origin_prefix_length(const char *url)
{
    int slashes = 0;
    const char *p = url;
    for (; *p && *p != '?' && *p != '#'; p++) {
        if (*p == '/' && ++slashes == 3)
            return p - url;
    }
    if (!is_absolute_url(url))
        return -1;
    return p - url;
}

int url_parse_origin(const char *url, size_t len, char *scheme, char *host, int32_t *port)
{
    if (!url || len < 3 || strnlen(url, len) < len)
        return -1;
    std::string_view prefix(url, len);
    size_t sep = prefix.find("://");
    if (sep == std::string_view::npos)
        return -1;
    if (sep >= SCHEME_SIZE)
        return -1;
    std::string_view authority = prefix.substr(sep + 3);
    if (authority.empty())
        return -1;

    size_t colon;
    if (authority[0] == '[') {
        size_t bracket = authority.find(']', 1);
        colon = bracket == std::string_view::npos ? authority.find(':') : authority.find(':', bracket);
    } else {
        colon = authority.find(':');
    }
    std::string_view host_part = authority;
    int32_t value = 0;
    if (colon != std::string_view::npos) {
        host_part = authority.substr(0, colon);
        for (char c : authority.substr(colon + 1)) {
            if (c < '0' || c > '9')
                return -1;
            value = value * 10 + (c - '0');
            if (value > MAX_PORT)
                return -1;
        }
    }
    if (host_part.size() >= HOST_SIZE)
        return -1;

    for (size_t i = 0; i < sep; i++)
        scheme[i] = static_cast<char>(tolower(static_cast<unsigned char>(url[i])));
    scheme[sep] = '\0';
    if (colon == std::string_view::npos) {
        if (strcmp(scheme, "http") == 0)
            value = 80;
        else if (strcmp(scheme, "https") == 0)
            value = 443;
    }
    for (size_t i = 0; i < host_part.size(); i++)
        host[i] = static_cast<char>(tolower(static_cast<unsigned char>(host_part[i])));
    host[host_part.size()] = '\0';
    *port = value;
    return 0;
}

int url_origins_differ(const char *a, const char *b)
{
    if (!a || !b)
        return 1;
    ssize_t len_a = origin_prefix_length(a);
    ssize_t len_b = origin_prefix_length(b);
    if (len_a < 0 || len_b < 0)
        return 1;
    char scheme_a[SCHEME_SIZE], scheme_b[SCHEME_SIZE], host_a[HOST_SIZE], host_b[HOST_SIZE];
    int32_t port_a, port_b;
    if (url_parse_origin(a, static_cast<size_t>(len_a), scheme_a, host_a, &port_a) != 0 ||
        url_parse_origin(b, static_cast<size_t>(len_b), scheme_b, host_b, &port_b) != 0)
        return 1;
    if (strcmp(scheme_a, scheme_b) != 0 || strcmp(host_a, host_b) != 0)
        return 1;
    return port_a != port_b;
}

char *external_url_to_filename(const char *url)
{
    const char *third = url ? nth_slash(url, 3) : nullptr;
    if (!third || !third[1])
        return checked_strdup("", HERE);
    std::string path(third + 1, strcspn(third + 1, "?#"));
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    size_t last = path.rfind('/');
    std::string name = last == std::string::npos ? path : path.substr(last + 1);

    return checked_strdup(link_name_decode(name.c_str()).c_str(), HERE);
}

std::string link_name_decode(const char *encoded)
{
    std::string name = percent_decode(encoded);
    // A decoded "%2F" must not make the name a path.
    for (char &c : name) {
        if (c == '/')
            c = '_';
    }
    // Nor may a decoded "%00" leave no name at all.
    return name.empty() ? encoded : name;
}

char *url_to_cache_path(const char *url)
{
    if (!url)
        return nullptr;
    if (root_link_table && url_origins_differ(root_link_table->links[0]->f_url, url) == 1) {
        // Another server's file: one flat name made from the whole URL.
        std::string name = percent_decode(url);
        replace_dot_dot(name);
        for (char &c : name) {
            if (c == '/' || c == ':')
                c = '_';
        }
        return checked_strdup(name.c_str(), HERE);
    }
    size_t skip = root_url_len > 0 ? static_cast<size_t>(root_url_len) : 0;
    size_t len = strlen(url);
    std::string path = percent_decode(skip <= len ? url + skip : url);
    // A hostile listing can reference "%2E%2E/": the key must stay inside the cache directories.
    replace_dot_dot(path);
    return checked_strdup(path.c_str(), HERE);
}

std::string url_for_log(const char *url)
{
    if (!url)
        return "";
    const char *query = strchr(url, '?');
    if (CONFIG.mode != MODE_SONIC || !query)
        return url;
    // Sonic request URLs carry the password (hex form) or the token and its salt.
    std::string safe(url, static_cast<size_t>(query - url) + 1);
    const char *param = query + 1;
    while (true) {
        const char *end = param + strcspn(param, "&#");
        const char *eq = static_cast<const char *>(memchr(param, '=', static_cast<size_t>(end - param)));
        size_t name_len = eq ? static_cast<size_t>(eq - param) : 0;
        if (eq && name_len == 1 && (*param == 'p' || *param == 't' || *param == 's')) {
            safe.append(param, name_len + 1);
            safe.append("***");
        } else {
            safe.append(param, static_cast<size_t>(end - param));
        }
        if (*end != '&') {
            safe.append(end);
            break;
        }
        safe.push_back('&');
        param = end + 1;
    }
    return safe;
}
