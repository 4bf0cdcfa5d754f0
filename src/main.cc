// main.cc: start-up and shutdown. Turns the process arguments and the configuration file into
// CONFIG and into the short argument vector of the FUSE host, checks the URL and the mount
// point, starts the network and link systems and hands over to the FUSE host. Owns the two
// counted argument vectors; everything runs on the main thread.
#include "main.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "cache/cache.h"
#include "config.h"
#include "fuse_local.h"
#include "link/link.h"
#include "log.h"
#include "network.h"
#include "util.h"

static const char HELP_TEXT[] =
    "general options:\n"
    "        --config            Specify a configuration file \n"
    "    -o opt,[opt...]         Mount options\n"
    "    -h  --help              Print help\n"
    "    -V  --version           Print version\n"
    "    -f                      Foreground operation\n"
    "    -s                      Disable multi-threaded operation\n"
    "    -d  --debug             Enable debug output (implies -f)\n"
    "\n"
    "Tarnwick options:\n"
    "    -u  --username          HTTP authentication username\n"
    "    -p  --password          HTTP authentication password\n"
    "    -P  --proxy             Proxy for libcurl, for more details refer to\n"
    "                            https://curl.se/libcurl/c/CURLOPT_PROXY.html\n"
    "        --proxy-username    Username for the proxy\n"
    "        --proxy-password    Password for the proxy\n"
    "        --proxy-cacert      Certificate authority for the proxy\n"
    "        --proxy-capath      Certificate authority directory for the proxy\n"
    "        --cache             Enable cache (default: off)\n"
    "        --cache-location    Set a custom cache location\n"
    "                            (default: \"${XDG_CACHE_HOME}/tarnwick\")\n"
    "        --cache-clear       Delete the cache directory or the custom location\n"
    "                            specified with `--cache-location`, if the option is\n"
    "                            seen first. Then exit in either case.\n"
    "        --cache-min-size    Set minimum file size threshold for caching, in bytes\n"
    "                            (default: none)\n"
    "        --cache-max-size    Set maximum file size threshold for caching, in bytes\n"
    "                            (default: none)\n"
    "        --cacert            Certificate authority for the server\n"
    "        --capath            Certificate authority directory for the server\n"
    "        --dl-seg-size       Set cache download segment size, in MB (default: 8)\n"
    "                            Note: this setting is ignored if previously\n"
    "                            cached data is found for the requested file.\n"
    "        --http-header       Set one or more HTTP headers\n"
    "        --max-conns         Set maximum number of network connections that\n"
    "                            libcurl is allowed to make. (default: 6)\n"
    "        --refresh-timeout   The directories are refreshed after the specified\n"
    "                            time, in seconds (default: 3600)\n"
    "        --retry-wait        Set delay in seconds before retrying an HTTP request\n"
    "                            after encountering an error. (default: 5)\n"
    "        --invalid-refresh   Try refreshing invalid links when reading a directory.\n"
    "        --user-agent        Set user agent string (default: \"Tarnwick-1.3.3\")\n"
    "        --no-range-check    Disable the built-in check for the server's support\n"
    "                            for HTTP range requests\n"
    "        --zero-len-is-dir   If a file has a zero length, treat it as a directory\n"
    "        --insecure-tls      Disable libcurl TLS certificate verification by\n"
    "                            setting CURLOPT_SSL_VERIFYHOST to 0\n"
    "        --external-links    Include external (cross-origin) links from\n"
    "                            directory listings (default: off)\n"
    "        --single-file-mode  Single file mode - rather than mounting a whole\n"
    "                            directory, present a single file inside a virtual\n"
    "                            directory.\n"
    "\n"
    "    For mounting a Airsonic / Subsonic server:\n"
    "        --sonic-username    The username for your Airsonic / Subsonic server\n"
    "        --sonic-password    The password for your Airsonic / Subsonic server\n"
    "        --sonic-id3         Enable ID3 mode - this present the server content in\n"
    "                            Artist/Album/Song layout \n"
    "        --sonic-insecure    Authenticate against your Airsonic / Subsonic server\n"
    "                            using the insecure username / hex encoded password\n"
    "                            scheme\n";

// Long options without a short letter.
enum LongOnly {
    OPT_PROXY_USERNAME = 256,
    OPT_PROXY_PASSWORD,
    OPT_CACHE,
    OPT_DL_SEG_SIZE,
    OPT_MAX_CONNS,
    OPT_USER_AGENT,
    OPT_RETRY_WAIT,
    OPT_CACHE_LOCATION,
    OPT_SONIC_USERNAME,
    OPT_SONIC_PASSWORD,
    OPT_SONIC_ID3,
    OPT_NO_RANGE_CHECK,
    OPT_SONIC_INSECURE,
    OPT_INSECURE_TLS,
    OPT_CONFIG,
    OPT_SINGLE_FILE_MODE,
    OPT_CACERT,
    OPT_PROXY_CACERT,
    OPT_REFRESH_TIMEOUT,
    OPT_HTTP_HEADER,
    OPT_CACHE_CLEAR,
    OPT_ZERO_LEN_IS_DIR,
    OPT_INVALID_REFRESH,
    OPT_CAPATH,
    OPT_PROXY_CAPATH,
    OPT_EXTERNAL_LINKS,
    OPT_CACHE_MIN_SIZE,
    OPT_CACHE_MAX_SIZE,
};

static const struct option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"debug", no_argument, nullptr, 'd'},
    {"username", required_argument, nullptr, 'u'},
    {"password", required_argument, nullptr, 'p'},
    {"proxy", required_argument, nullptr, 'P'},
    {"proxy-username", required_argument, nullptr, OPT_PROXY_USERNAME},
    {"proxy-password", required_argument, nullptr, OPT_PROXY_PASSWORD},
    {"cache", no_argument, nullptr, OPT_CACHE},
    {"dl-seg-size", required_argument, nullptr, OPT_DL_SEG_SIZE},
    {"max-conns", required_argument, nullptr, OPT_MAX_CONNS},
    {"user-agent", required_argument, nullptr, OPT_USER_AGENT},
    {"retry-wait", required_argument, nullptr, OPT_RETRY_WAIT},
    {"cache-location", required_argument, nullptr, OPT_CACHE_LOCATION},
    {"sonic-username", required_argument, nullptr, OPT_SONIC_USERNAME},
    {"sonic-password", required_argument, nullptr, OPT_SONIC_PASSWORD},
    {"sonic-id3", no_argument, nullptr, OPT_SONIC_ID3},
    {"no-range-check", no_argument, nullptr, OPT_NO_RANGE_CHECK},
    {"sonic-insecure", no_argument, nullptr, OPT_SONIC_INSECURE},
    {"insecure-tls", no_argument, nullptr, OPT_INSECURE_TLS},
    {"config", required_argument, nullptr, OPT_CONFIG},
    {"single-file-mode", no_argument, nullptr, OPT_SINGLE_FILE_MODE},
    {"cacert", required_argument, nullptr, OPT_CACERT},
    {"proxy-cacert", required_argument, nullptr, OPT_PROXY_CACERT},
    {"refresh-timeout", required_argument, nullptr, OPT_REFRESH_TIMEOUT},
    {"http-header", required_argument, nullptr, OPT_HTTP_HEADER},
    {"cache-clear", no_argument, nullptr, OPT_CACHE_CLEAR},
    {"zero-len-is-dir", no_argument, nullptr, OPT_ZERO_LEN_IS_DIR},
    {"invalid-refresh", no_argument, nullptr, OPT_INVALID_REFRESH},
    {"capath", required_argument, nullptr, OPT_CAPATH},
    {"proxy-capath", required_argument, nullptr, OPT_PROXY_CAPATH},
    {"external-links", no_argument, nullptr, OPT_EXTERNAL_LINKS},
    {"cache-min-size", required_argument, nullptr, OPT_CACHE_MIN_SIZE},
    {"cache-max-size", required_argument, nullptr, OPT_CACHE_MAX_SIZE},
    {nullptr, 0, nullptr, 0},
};

void add_arg(char ***vector, int *count, const char *text)
{
    *vector = static_cast<char **>(
        checked_realloc(*vector, (static_cast<size_t>(*count) + 1) * sizeof(char *), HERE));
    (*vector)[*count] = checked_strdup(text, HERE);
    (*count)++;
}

void free_args(char **vector, int count)
{
    for (int i = 0; i < count; i++)
        checked_free(vector[i]);
    checked_free(vector);
}

void print_usage(const char *prog)
{
    fprintf(stderr, "usage: %s [options] URL mountpoint\n", prog);
}

void print_version()
{
    fprintf(stderr, "Tarnwick version " TARNWICK_VERSION "\n");
    const char *ssl = curl_version_info(CURLVERSION_NOW)->ssl_version;
    fprintf(stderr, "libcurl SSL engine: %s\n", ssl ? ssl : "none");
}

void print_help()
{
    fprintf(stderr, "\n%s\n", HELP_TEXT);
}

static void replace_string(char *&field, const char *value)
{
    checked_free(field);
    field = checked_strdup(value, HERE);
}

// strtol with base 10 and no validation, reduced to 32 bits.
static int32_t parse_int(const char *text)
{
    return static_cast<int32_t>(strtol(text, nullptr, 10));
}

// A file offset of 0 or more, else the option's error and exit status 1.
static int64_t parse_size(const char *text, const char *option)
{
    errno = 0;
    char *end = nullptr;
    long long value = strtoll(text, &end, 10);
    if (errno == ERANGE || end == text || *end != '\0' || value < 0) {
        fprintf(stderr, "Error: %s requires a non-negative integer within off_t range\n", option);
        exit(EXIT_FAILURE);
    }
    return value;
}

// Segment sizes are whole MiB whose byte count fits a positive 32-bit number.
static int32_t parse_segment_size(const char *text)
{
    long mib = strtol(text, nullptr, 10);
    if (mib < 1 || mib > 2047) {
        fprintf(stderr, "Error: --dl-seg-size requires a whole number of MiB from 1 to 2047\n");
        exit(EXIT_FAILURE);
    }
    return static_cast<int32_t>(static_cast<uint32_t>(mib) << 20);
}

// The items of a -o list, as places in it: split at every comma that no backslash escapes.
struct ListItem {
    size_t start, len;
};

static std::vector<ListItem> split_mount_options(const char *list)
{
    std::vector<ListItem> items;
    size_t start = 0, i = 0;
    for (;; i++) {
        if (list[i] == '\\' && list[i + 1]) {
            i++;
        } else if (list[i] == ',' || list[i] == '\0') {
            items.push_back({start, i - start});
            if (list[i] == '\0')
                return items;
            start = i + 1;
        }
    }
}

// An item's text with its backslash escapes undone, as the FUSE host reads its own items.
static std::string unescape_mount_option(const char *text, size_t len)
{
    std::string out;
    for (size_t i = 0; i < len; i++) {
        if (text[i] == '\\' && i + 1 < len)
            i++;
        out += text[i];
    }
    return out;
}

// The long option whose name is exactly the item's name (its text up to "="), or null.
static const struct option *long_option_named(const char *item, size_t len)
{
    size_t name_len = 0;
    while (name_len < len && item[name_len] != '=')
        name_len++;
    for (const struct option *o = LONG_OPTIONS; o->name; o++)
        if (strlen(o->name) == name_len && strncmp(o->name, item, name_len) == 0)
            return o;
    return nullptr;
}

static int apply_option(int c, const char *value, char ***fuse_argv, int *fuse_argc, int *help,
                        const char *prog);

// A -o list: every item named exactly like a long option is that option ("name" for a flag,
// "name=value" otherwise), handled in its place in the list; the other items go on to the FUSE
// host as one -o list, unchanged, and none at all when every item was the program's own. So
// mount(8) and fstab can hand over the program's options the way they hand over the host's.
static int take_mount_options(const char *list, char ***fuse_argv, int *fuse_argc, int *help,
                              const char *prog)
{
    std::string rest;
    bool own = false;
    for (const ListItem &item : split_mount_options(list)) {
        const char *text = list + item.start;
        const struct option *o = long_option_named(text, item.len);
        if (!o) {
            if (item.len > 0)
                rest += (rest.empty() ? "" : ",") + std::string(text, item.len);
            continue;
        }
        own = true;
        const char *equals = static_cast<const char *>(memchr(text, '=', item.len));
        if (o->has_arg == no_argument && equals) {
            fprintf(stderr, "%s: option '-o %s' doesn't allow an argument\n", prog, o->name);
        } else if (o->has_arg != no_argument && !equals) {
            fprintf(stderr, "%s: option '-o %s' requires an argument\n", prog, o->name);
        } else {
            std::string value = equals ? unescape_mount_option(equals + 1, text + item.len - equals - 1) : "";
            if (apply_option(o->val, equals ? value.c_str() : nullptr, fuse_argv, fuse_argc, help, prog))
                return 1;
            continue;
        }
        fprintf(stderr, "see tarnwick -h for usage\n");
        exit(EXIT_FAILURE);
    }
    // A list without any item of the program's goes on exactly as it was given.
    if (!own || !rest.empty()) {
        add_arg(fuse_argv, fuse_argc, "-o");
        add_arg(fuse_argv, fuse_argc, own ? rest.c_str() : list);
    }
    return 0;
}

// What one option does, with `value` its argument (null for a flag). Returns 1 when help or
// version ends the option loop, 0 otherwise.
static int apply_option(int c, const char *value, char ***fuse_argv, int *fuse_argc, int *help,
                        const char *prog)
{
    switch (c) {
    case 'h':
        *help = 1;
        add_arg(fuse_argv, fuse_argc, "-h");
        return 1;
    case 'V':
        print_version();
        add_arg(fuse_argv, fuse_argc, "-V");
        return 1;
    case 'd':
        add_arg(fuse_argv, fuse_argc, "-d");
        CONFIG.log_level |= LOG_DEBUG;
        break;
    case 'u':
        replace_string(CONFIG.username, value);
        break;
    case 'p':
        replace_string(CONFIG.password, value);
        break;
    case 'P':
        replace_string(CONFIG.proxy, value);
        break;
    case OPT_PROXY_USERNAME:
        replace_string(CONFIG.proxy_username, value);
        break;
    case OPT_PROXY_PASSWORD:
        replace_string(CONFIG.proxy_password, value);
        break;
    case OPT_CACHE:
        CONFIG.cache_enabled = 1;
        break;
    case OPT_DL_SEG_SIZE:
        CONFIG.data_blksz = parse_segment_size(value);
        break;
    case OPT_MAX_CONNS:
        CONFIG.max_conns = parse_int(value);
        break;
    case OPT_USER_AGENT:
        if (CONFIG.user_agent != default_user_agent)
            checked_free(CONFIG.user_agent);
        CONFIG.user_agent = checked_strdup(value, HERE);
        break;
    case OPT_RETRY_WAIT:
        CONFIG.retry_wait = parse_int(value);
        break;
    case OPT_CACHE_LOCATION:
        replace_string(CONFIG.cache_location, value);
        break;
    case OPT_SONIC_USERNAME:
        replace_string(CONFIG.sonic_username, value);
        break;
    case OPT_SONIC_PASSWORD:
        replace_string(CONFIG.sonic_password, value);
        break;
    case OPT_SONIC_ID3:
        CONFIG.sonic_id3 = 1;
        break;
    case OPT_NO_RANGE_CHECK:
        CONFIG.no_range_check = 1;
        break;
    case OPT_SONIC_INSECURE:
        CONFIG.sonic_insecure = 1;
        break;
    case OPT_INSECURE_TLS:
        CONFIG.insecure_tls = 1;
        break;
    case OPT_CONFIG:
        // Handled by the pre-scan of the command line.
        break;
    case OPT_SINGLE_FILE_MODE:
        CONFIG.mode = MODE_SINGLE_FILE;
        break;
    case OPT_CACERT:
        replace_string(CONFIG.cacert, value);
        break;
    case OPT_PROXY_CACERT:
        replace_string(CONFIG.proxy_cacert, value);
        break;
    case OPT_REFRESH_TIMEOUT:
        CONFIG.refresh_timeout = parse_int(value);
        break;
    case OPT_HTTP_HEADER:
        CONFIG.http_headers = curl_slist_append(CONFIG.http_headers, value);
        break;
    case OPT_CACHE_CLEAR:
        CacheSystem_clear(); // ends the process
    case OPT_ZERO_LEN_IS_DIR:
        CONFIG.zero_len_is_dir = 1;
        break;
    case OPT_INVALID_REFRESH:
        CONFIG.invalid_refresh = 1;
        break;
    case OPT_CAPATH:
        replace_string(CONFIG.capath, value);
        break;
    case OPT_PROXY_CAPATH:
        replace_string(CONFIG.proxy_capath, value);
        break;
    case OPT_EXTERNAL_LINKS:
        CONFIG.external_links = 1;
        break;
    case OPT_CACHE_MIN_SIZE:
        CONFIG.cache_min_size = parse_size(value, "--cache-min-size");
        break;
    case OPT_CACHE_MAX_SIZE:
        CONFIG.cache_max_size = parse_size(value, "--cache-max-size");
        break;
    case 'f':
        add_arg(fuse_argv, fuse_argc, "-f");
        break;
    case 's':
        add_arg(fuse_argv, fuse_argc, "-s");
        break;
    case 'o':
        return take_mount_options(value, fuse_argv, fuse_argc, help, prog);
    default:
        fprintf(stderr, "see tarnwick -h for usage\n");
        exit(EXIT_FAILURE);
    }
    return 0;
}

int parse_arg_list(int argc, char **argv, char ***fuse_argv, int *fuse_argc, int *help)
{
    optind = 1;
    int c;
    while ((c = getopt_long(argc, argv, "o:hVdfsp:u:P:", LONG_OPTIONS, nullptr)) != -1) {
        if (apply_option(c, optarg, fuse_argv, fuse_argc, help, argv[0]))
            return 1;
    }
    return 0;
}

char *get_XDG_CONFIG_HOME()
{
    char *base = xdg_base_dir("XDG_CONFIG_HOME", "/.config", HERE);
    if (!base)
        log_printf(LOG_WARNING, HERE, "Could not get config directory\n");
    return base;
}

void parse_config_file(char ***vector, int *count)
{
    char *path = config_path;
    if (!path) {
        char *base = get_XDG_CONFIG_HOME();
        // Without a base directory there is no default file to read.
        if (!base)
            return;
        path = path_append(base, "/tarnwick/config");
        checked_free(base);
    }
    // A named file that cannot be read is the user's to mend: its message ends start-up, without
    // a crash report.
    FILE *file = fopen(path, "r");
    if (!file) {
        if (config_path)
            log_exit(HERE, "Could not open config file %s: %s\n", path, strerror(errno));
        checked_free(path);
        return;
    }
    char *line = nullptr;
    size_t capacity = 0;
    ssize_t len;
    int line_number = 0;
    while ((len = getline(&line, &capacity, file)) != -1) {
        line_number++;
        // A NUL ends the line: its words are C strings, and the blanks before it are its end.
        len = static_cast<ssize_t>(strnlen(line, static_cast<size_t>(len)));
        while (len > 0 && isspace(static_cast<unsigned char>(line[len - 1])))
            line[--len] = '\0';
        char *start = line;
        while (*start && isspace(static_cast<unsigned char>(*start)))
            start++;
        // Only "#" and ";" start comments; any other line that is no option (such as
        // "username=alice") is most likely a mistake. Its text may hold a secret and is not shown.
        if (*start != '-') {
            if (*start && *start != '#' && *start != ';')
                log_printf(LOG_WARNING, HERE,
                           "%s:%d: not an option, ignored (an option starts with \"-\", a comment with "
                           "\"#\" or \";\")\n",
                           path, line_number);
            continue;
        }
        char *sep = start + strcspn(start, " \t");
        if (*sep == '\0') {
            add_arg(vector, count, start);
            continue;
        }
        *sep = '\0';
        add_arg(vector, count, start);
        char *value = sep + 1;
        while (*value && isspace(static_cast<unsigned char>(*value)))
            value++;
        if (*value)
            add_arg(vector, count, value);
    }
    // A named file that opens but cannot be read (a directory) ends start-up as a missing one does.
    if (ferror(file) && config_path)
        log_exit(HERE, "Could not open config file %s: %s\n", path, strerror(errno));
    free(line);
    fclose(file);
    if (path != config_path)
        checked_free(path);
}

// Selects `path` as the configuration file; a missing or empty one ends start-up with the error
// at the caller's site.
static void select_config(const char *path, const char *file, const char *func, int line)
{
    if (!path || *path == '\0') {
        log_printf(LOG_ERROR, file, func, line, "--config requires a path\n");
        exit(EXIT_FAILURE);
    }
    checked_free(config_path);
    config_path = checked_strdup(path, HERE);
}

void prescan_config(int argc, char **argv, char ***vector, int *count)
{
    for (int i = 1; i < argc; i++) {
        add_arg(vector, count, argv[i]);
        const char *list = nullptr;
        if (strncmp(argv[i], "--config=", 9) == 0) {
            select_config(argv[i] + 9, HERE);
        } else if (strcmp(argv[i], "--config") == 0) {
            if (i + 1 < argc && argv[i + 1][0] != '\0' && argv[i + 1][0] != '-') {
                add_arg(vector, count, argv[i + 1]);
                select_config(argv[++i], HERE);
            } else {
                select_config(nullptr, HERE);
            }
        } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            add_arg(vector, count, argv[i + 1]);
            list = argv[++i];
        } else if (strncmp(argv[i], "-o", 2) == 0 && argv[i][2] != '\0') {
            list = argv[i] + 2;
        }
        // "config=PATH" in a -o list selects the file too: fstab has no other way to name it.
        for (const ListItem &item : list ? split_mount_options(list) : std::vector<ListItem>{}) {
            if (item.len >= 7 && strncmp(list + item.start, "config=", 7) == 0)
                select_config(unescape_mount_option(list + item.start + 7, item.len - 7).c_str(), HERE);
        }
    }
}

// Overwrites a secret in place with '*', so that no other user reads it in the process list.
static void blot(char *text, size_t len)
{
    memset(text, '*', len);
}

void hide_secrets(int argc, char **argv)
{
    // getopt permutes the vector it is given: it gets a copy of the pointers, so argv keeps its
    // order, while optarg points into argv's own strings.
    std::vector<char *> view(argv, argv + argc);
    view.push_back(nullptr);
    int saved_opterr = opterr;
    opterr = 0;
    optind = 0;
    int c;
    while ((c = getopt_long(argc, view.data(), "o:hVdfsp:u:P:", LONG_OPTIONS, nullptr)) != -1) {
        if (c == 'p' || c == OPT_PROXY_PASSWORD || c == OPT_SONIC_PASSWORD) {
            blot(optarg, strlen(optarg));
        } else if (c == 'o') {
            for (const ListItem &item : split_mount_options(optarg)) {
                char *text = optarg + item.start;
                const struct option *o = long_option_named(text, item.len);
                char *equals = static_cast<char *>(memchr(text, '=', item.len));
                if (o && equals &&
                    (o->val == 'p' || o->val == OPT_PROXY_PASSWORD || o->val == OPT_SONIC_PASSWORD))
                    blot(equals + 1, static_cast<size_t>(text + item.len - equals - 1));
            }
        }
    }
    opterr = saved_opterr;
}

int check_and_start(int argc, char **argv, char ***fuse_argv, int *fuse_argc)
{
    if (CONFIG.cache_min_size >= 0 && CONFIG.cache_max_size >= 0 &&
        CONFIG.cache_min_size > CONFIG.cache_max_size) {
        fprintf(stderr, "Error: --cache-min-size cannot be greater than --cache-max-size\n");
        return 1;
    }
    if (argc - optind != 2) {
        fprintf(stderr, "Error: You must provide exactly one URL and one mountpoint.\n");
        print_usage(argv[0]);
        return 1;
    }
    const char *url = argv[optind];
    const char *mountpoint = argv[optind + 1];
    if (access("/dev/fuse", F_OK)) {
        fprintf(stderr, "Error: FUSE kernel module is not loaded.\n");
        return 1;
    }
    char *resolved = checked_realpath(mountpoint, nullptr, HERE);
    if (!resolved) {
        fprintf(stderr, "Error: Invalid mountpoint %s: %s\n", mountpoint, strerror(errno));
        print_usage(argv[0]);
        return 1;
    }
    struct stat st;
    if (stat(resolved, &st)) {
        fprintf(stderr, "Error: Could not stat mountpoint %s: %s\n", resolved, strerror(errno));
        checked_free(resolved);
        return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "Error: Mountpoint %s is not a directory.\n", resolved);
        checked_free(resolved);
        return 1;
    }
    add_arg(fuse_argv, fuse_argc, resolved);
    checked_free(resolved);
    if (strncmp(url, "http://", 7) != 0 && strncmp(url, "https://", 8) != 0) {
        fprintf(stderr, "Error: Please supply a valid URL.\n");
        print_usage(argv[0]);
        return 1;
    }
    if (CONFIG.sonic_username && CONFIG.sonic_password) {
        CONFIG.mode = MODE_SONIC;
    } else if (CONFIG.sonic_username || CONFIG.sonic_password) {
        fprintf(stderr, "Error: You have to supply both username and password to activate Sonic "
                        "mode.\n");
        return 1;
    }
    if (!LinkSystem_init(url)) {
        fprintf(stderr, "Network initialisation failed.\n");
        return 1;
    }
    return 0;
}

#ifndef TARNWICK_NO_MAIN
int main(int argc, char **argv)
{
    // Running out of heap in std::string ends the process as in checked_calloc.
    std::set_new_handler([] { log_fatal(HERE, "%s!\n", strerror(ENOMEM)); });
    if (argc < 2) {
        print_usage(argv[0]);
        fprintf(stderr, "For more information, run \"%s --help.\"\n", argv[0]);
        return EXIT_FAILURE;
    }
    char **opt_argv = nullptr;
    int opt_argc = 0;
    char **fuse_argv = nullptr;
    int fuse_argc = 0;
    add_arg(&opt_argv, &opt_argc, argv[0]);
    add_arg(&fuse_argv, &fuse_argc, argv[0]);

    Config_init();
    NetworkSystem_init();
    prescan_config(argc, argv, &opt_argv, &opt_argc);
    hide_secrets(argc, argv);
    parse_config_file(&opt_argv, &opt_argc);

    int help = 0;
    if (!parse_arg_list(opt_argc, opt_argv, &fuse_argv, &fuse_argc, &help)) {
        if (check_and_start(opt_argc, opt_argv, &fuse_argv, &fuse_argc))
            exit(EXIT_FAILURE);
    }

    int status = fuse_local_init(fuse_argc, fuse_argv);

    free_args(opt_argv, opt_argc);
    free_args(fuse_argv, fuse_argc);
    checked_free(config_path);
    config_path = nullptr;
    if (help)
        print_help();
    return status;
}
#endif
