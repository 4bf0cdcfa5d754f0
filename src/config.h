// config.h: the one record of run-time settings, CONFIG, and the --config path. Start-up
// (main.cc) writes both on the main thread before the FUSE host or any worker thread
// exists; afterwards every thread reads them without a lock.
#pragma once

#include <cstdint>
#include <curl/curl.h>

#define TARNWICK_VERSION "1.3.3"
#define DEFAULT_USER_AGENT "Tarnwick-" TARNWICK_VERSION

enum Mode {
    MODE_LISTING = 1,
    MODE_SONIC = 2,
    MODE_SINGLE_FILE = 3,
};

struct ConfigStruct {
    int32_t mode;
    int32_t log_level;
    char *username;
    char *password;
    char *proxy;
    char *proxy_username;
    char *proxy_password;
    char *proxy_cacert;
    char *proxy_capath;
    int64_t max_conns;
    // Either the constant DEFAULT_USER_AGENT or a heap copy owned by the record.
    char *user_agent;
    int32_t retry_wait;
    curl_slist *http_headers;
    int32_t no_range_check;
    int32_t zero_len_is_dir;
    int32_t insecure_tls;
    char *cacert;
    char *capath;
    int32_t refresh_timeout;
    int32_t invalid_refresh;
    int32_t external_links;
    int32_t cache_enabled;
    char *cache_location;
    int32_t data_blksz;
    int64_t cache_min_size;
    int64_t cache_max_size;
    char *sonic_username;
    char *sonic_password;
    int32_t sonic_id3;
    int32_t sonic_insecure;
};

extern ConfigStruct CONFIG;
// The default user agent; CONFIG.user_agent points here unless --user-agent gave a heap copy.
extern const char default_user_agent[];
// The file named with --config, or null; main releases it at the end.
extern char *config_path;

// Sets every default and registers the exit handler that frees CONFIG.http_headers.
void Config_init();
// Releases the string settings (never the default user agent); leaves http_headers alone.
void Config_cleanup();
