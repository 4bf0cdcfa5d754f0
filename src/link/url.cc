// url.cc: the URL rules: absolute references, origins, names of external links, cache keys,
// and the form of a URL that may appear in a log line.
#include <cstring>
#include <string>

#include "config.h"
#include "link/link.h"
#include "util.h"

char *url_for_log(const char *url)
{
    if (!url)
        return checked_strdup("", HERE);
    const char *query = strchr(url, '?');
    if (CONFIG.mode != MODE_SONIC || !query)
        return checked_strdup(url, HERE);
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
    return checked_strdup(safe.c_str(), HERE);
}
