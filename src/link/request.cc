// request.cc: the easy handle of a link, with the options every request shares.
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
// root table is being built: the root listing's links to other servers get none.
static bool credentials_allowed(const Link *link)
{
    const char *origin = mounted_origin_url();
    if (!CONFIG.external_links || !origin)
        return true;
    return !url_origins_differ(origin, link->f_url);
}

CURL *Link_to_curl(Link *link)
{
    CURL *curl = curl_easy_init();
    if (!curl)
        log_fatal(HERE, "curl_easy_init() failed!\n");

    set_option_result(curl_easy_setopt(curl, CURLOPT_USERAGENT, CONFIG.user_agent));
    set_option_result(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 2L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_URL, link->f_url));
    set_option_result(curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_PIPEWAIT, 1L));
    // HTTP/3 where libcurl can do it; a refusal falls back to HTTP/2 without a message.
    if (curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_3)))
        set_option_result(
            curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2_0)));
    set_option_result(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L));
    set_option_result(curl_easy_setopt(curl, CURLOPT_SHARE, curl_share));
    set_option_result(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_memory_callback));
    if (CONFIG.capath || CONFIG.cacert) {
        set_option_result(curl_easy_setopt(curl, CURLOPT_CAPATH, CONFIG.capath));
        set_option_result(curl_easy_setopt(curl, CURLOPT_CAINFO, CONFIG.cacert));
    }
    if (CONFIG.insecure_tls)
        set_option_result(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L));
    if (CONFIG.log_level & LOG_LIBCURL_DEBUG)
        set_option_result(curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L));

    bool credentials = credentials_allowed(link);
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
