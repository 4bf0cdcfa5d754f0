// request.cc: the easy handle of a link, with the options every request shares, and libcurl's
// verbose trace with the credentials masked.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "config.h"
#include "link/link.h"
#include "log.h"
#include "network.h"

static void set_option_result(CURLcode res)
{
    if (res)
        log_printf(LOG_ERROR, HERE, "%s\n", curl_easy_strerror(res));
}

// Credentials and extra headers go only to the mounted server's own origin, also while the
// root table is being built and on every hop of a redirect: a request for another origin gets
// none.
static bool credentials_allowed(const char *url)
{
    const char *origin = mounted_origin_url();
    if (!origin)
        return true;
    return !url_origins_differ(origin, url);
}

// Whether a request header line carries a secret: credentials, cookies, and every header the
// user gave with --http-header (an API key, say).
static bool secret_header(const char *line, size_t len)
{
    const char *colon = static_cast<const char *>(memchr(line, ':', len));
    if (!colon)
        return false;
    std::string name(line, static_cast<size_t>(colon - line));
    for (const char *known : {"Authorization", "Proxy-Authorization", "Cookie"}) {
        if (strcasecmp(name.c_str(), known) == 0)
            return true;
    }
    for (const curl_slist *h = CONFIG.http_headers; h; h = h->next) {
        const char *given = strchr(h->data, ':');
        if (!given)
            given = strchr(h->data, ';');
        size_t given_len = given ? static_cast<size_t>(given - h->data) : strlen(h->data);
        if (given_len == name.size() && strncasecmp(h->data, name.c_str(), given_len) == 0)
            return true;
    }
    return false;
}

// libcurl's verbose trace, as libcurl would print it, but with the value of every request
// header that carries a secret replaced by "***". Bodies are not shown.
static int debug_trace(CURL *, curl_infotype type, char *data, size_t size, void *) noexcept
{
    const char *prefix;
    switch (type) {
    case CURLINFO_TEXT:
        prefix = "* ";
        break;
    case CURLINFO_HEADER_IN:
        prefix = "< ";
        break;
    case CURLINFO_HEADER_OUT:
        prefix = "> ";
        break;
    default:
        return 0;
    }
    std::string out;
    for (size_t at = 0; at < size;) {
        const char *line = data + at;
        const char *nl = static_cast<const char *>(memchr(line, '\n', size - at));
        size_t len = nl ? static_cast<size_t>(nl - line) + 1 : size - at;
        out += prefix;
        if (type == CURLINFO_HEADER_OUT && secret_header(line, len)) {
            const char *colon = static_cast<const char *>(memchr(line, ':', len));
            out.append(line, static_cast<size_t>(colon - line) + 1);
            out += " ***\r\n";
        } else {
            out.append(line, len);
            if (!nl)
                out += "\n";
        }
        at += len;
    }
    fwrite(out.data(), 1, out.size(), stderr);
    return 0;
}

// The stall time-out: a transfer that receives nothing for this long has failed.
static long stall_seconds()
{
    static const long seconds = [] {
        const char *env = getenv("TARNWICK_STALL_TIMEOUT");
        long value = env ? strtol(env, nullptr, 10) : 0;
        return value > 0 ? value : 30L;
    }();
    return seconds;
}

CURL *Link_to_curl_url(Link *link, const char *url)
{
    (void)link;
    CURL *curl = curl_easy_init();
    if (!curl)
        log_fatal(HERE, "curl_easy_init() failed!\n");

    set_option_result(curl_easy_setopt(curl, CURLOPT_USERAGENT, CONFIG.user_agent));
    // Redirects are followed by the callers, one hop at a time, so that every hop to another
    // origin goes without the user's credentials and extra headers (libcurl would keep sending
    // the extra headers).
    set_option_result(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_URL, url));
    set_option_result(curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L));
    // Over TLS a request added while the first connection is still being set up waits to see
    // whether it can share it (HTTP/2). Over cleartext it never can, and libcurl would hold it
    // back until the first transfer had ended, not just until its headers.
    set_option_result(curl_easy_setopt(curl, CURLOPT_PIPEWAIT, strncasecmp(url, "https://", 8) == 0 ? 1L : 0L));
    // HTTP/2 where TLS negotiates it, HTTP/1.1 otherwise. The cleartext upgrade (h2c) that a
    // request for HTTP/2 on http:// makes libcurl try hands replies to the wrong transfers with
    // some servers.
    set_option_result(
        curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS)));
    set_option_result(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L));
    // A server that accepts and then sends nothing must not hold a reader for ever.
    set_option_result(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, stall_seconds()));
    set_option_result(curl_easy_setopt(curl, CURLOPT_SHARE, curl_share));
    set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_memory_callback));
    if (CONFIG.capath || CONFIG.cacert) {
        set_option_result(curl_easy_setopt(curl, CURLOPT_CAPATH, CONFIG.capath));
        set_option_result(curl_easy_setopt(curl, CURLOPT_CAINFO, CONFIG.cacert));
    }
    if (CONFIG.insecure_tls) {
        set_option_result(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L));
        set_option_result(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L));
    }
    if (CONFIG.log_level & LOG_LIBCURL_DEBUG) {
        set_option_result(curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, debug_trace));
        set_option_result(curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L));
    }

    bool credentials = credentials_allowed(url);
    if (CONFIG.http_headers && credentials)
        set_option_result(curl_easy_setopt(curl, CURLOPT_HTTPHEADER, CONFIG.http_headers));
    if (CONFIG.username && credentials)
        set_option_result(curl_easy_setopt(curl, CURLOPT_USERNAME, CONFIG.username));
    if (CONFIG.password && credentials)
        set_option_result(curl_easy_setopt(curl, CURLOPT_PASSWORD, CONFIG.password));
    if (CONFIG.proxy)
        set_option_result(curl_easy_setopt(curl, CURLOPT_PROXY, CONFIG.proxy));
    if (CONFIG.proxy_username)
        set_option_result(curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, CONFIG.proxy_username));
    if (CONFIG.proxy_password)
        set_option_result(curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, CONFIG.proxy_password));
    if (CONFIG.proxy_capath || CONFIG.proxy_cacert) {
        set_option_result(curl_easy_setopt(curl, CURLOPT_PROXY_CAPATH, CONFIG.proxy_capath));
        set_option_result(curl_easy_setopt(curl, CURLOPT_PROXY_CAINFO, CONFIG.proxy_cacert));
    }
    return curl;
}

CURL *Link_to_curl(Link *link)
{
    return Link_to_curl_url(link, link->f_url);
}
