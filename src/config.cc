// config.cc: the defaults of CONFIG and the release of its parts.
#include "config.h"

#include <cstdlib>

#include "log.h"
#include "util.h"

ConfigStruct CONFIG;
char *config_path;

// The one default user agent. Release decisions compare against this address, not its text,
// so a heap copy that happens to hold the default text is still released.
const char default_user_agent[] = DEFAULT_USER_AGENT;

static void Config_free_http_headers()
{
    if (CONFIG.http_headers) {
        curl_slist_free_all(CONFIG.http_headers);
        CONFIG.http_headers = nullptr;
    }
}

void Config_init()
{
    CONFIG = ConfigStruct{};
    CONFIG.mode = MODE_LISTING;
    CONFIG.log_level = log_level_init();
    CONFIG.max_conns = 6;
    CONFIG.user_agent = const_cast<char *>(default_user_agent);
    CONFIG.retry_wait = 5;
    CONFIG.refresh_timeout = 3600;
    CONFIG.data_blksz = 8 * 1024 * 1024;
    CONFIG.cache_min_size = -1;
    CONFIG.cache_max_size = -1;
    atexit(Config_free_http_headers);
}

static void release(char *&field)
{
    checked_free(field);
    field = nullptr;
}

void Config_cleanup()
{
    release(CONFIG.username);
    release(CONFIG.password);
    release(CONFIG.proxy);
    release(CONFIG.proxy_username);
    release(CONFIG.proxy_password);
    release(CONFIG.proxy_cacert);
    release(CONFIG.proxy_capath);
    if (CONFIG.user_agent != default_user_agent)
        checked_free(CONFIG.user_agent);
    CONFIG.user_agent = nullptr;
    release(CONFIG.cacert);
    release(CONFIG.capath);
    release(CONFIG.cache_location);
    release(CONFIG.sonic_username);
    release(CONFIG.sonic_password);
}
