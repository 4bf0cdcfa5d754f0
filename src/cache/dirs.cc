// dirs.cc: where the cache lives. Chooses the cache root, makes the program's tree with its
// tag file, the per-server directory with meta/ and data/, the directories of listed
// directories on demand, and removes the tree for --cache-clear. What start-up cannot make ends
// the process tidily (log_exit: the location is the user's to mend); a directory of a listed
// directory that cannot be made while serving takes the fatal path.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <string>
#include <sys/stat.h>

#include "cache/cache.h"
#include "config.h"
#include "log.h"
#include "util.h"

int cache_system_enabled;
char *meta_dir;
char *data_dir;
Mutex cf_lock;

static const char CACHEDIR_TAG[] = "Signature: 8a477f597d28d172789f06886806bc55\n"
                                   "# This file is a cache directory tag created by tarnwick.\n"
                                   "# For information about cache directory tags, see:\n"
                                   "#\thttps://bford.info/cachedir/\n";

// mkdir of one level; an existing directory is success, anything else in its place is not
// (ENOTDIR).
static int make_dir(const char *path)
{
    if (mkdir(path, 0755) == 0)
        return 0;
    if (errno != EEXIST)
        return -1;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode))
        return 0;
    errno = ENOTDIR;
    return -1;
}

char *CacheSystem_get_cache_dir()
{
    if (CONFIG.cache_location)
        return checked_strdup(CONFIG.cache_location, HERE);
    char *root = xdg_base_dir("XDG_CACHE_HOME", "/.cache", HERE);
    if (!root)
        log_exit(HERE, "Could not create cache directory\n");
    return root;
}

// The per-server directory below R/tarnwick/, named by the escaped root URL.
static char *CacheSystem_calc_dir(const char *url)
{
    char *root = CacheSystem_get_cache_dir();
    if (make_dir(root))
        log_exit(HERE, "mkdir(): %s\n", strerror(errno));
    char *tree = path_append(root, "/tarnwick/");
    if (make_dir(tree))
        log_exit(HERE, "mkdir(): %s\n", strerror(errno));

    char *tag_path = path_append(tree, "/CACHEDIR.TAG");
    FILE *tag = fopen(tag_path, "w");
    if (!tag)
        log_exit(HERE, "fopen(%s): %s", tag_path, strerror(errno));
    fwrite(CACHEDIR_TAG, sizeof(CACHEDIR_TAG) - 1, 1, tag);
    if (ferror(tag))
        log_exit(HERE, "fwrite(): encountered error!\n");
    if (fclose(tag))
        log_exit(HERE, "fclose(%s): %s\n", tag_path, strerror(errno));

    CURL *curl = curl_easy_init();
    char *escaped = curl_easy_escape(curl, url, 0);
    if (!escaped)
        log_fatal(HERE, "%s!\n", strerror(ENOMEM));
    char *server_dir = path_append(tree, escaped);
    if (make_dir(server_dir))
        log_exit(HERE, "mkdir(): %s\n", strerror(errno));

    checked_free(root);
    checked_free(tree);
    checked_free(tag_path);
    curl_free(escaped);
    curl_easy_cleanup(curl);
    return server_dir;
}

void CacheSystem_init(const char *path, int calc_dir)
{
    log_printf(LOG_CACHE_DEBUG, HERE, "thread %lx: initialise cf_lock;\n", thread_id());
    checked_mutex_init(&cf_lock, nullptr, HERE);

    char *server_dir;
    if (calc_dir) {
        server_dir = CacheSystem_calc_dir(path);
    } else {
        server_dir = checked_strdup(path, HERE);
        if (make_dir(server_dir))
            log_exit(HERE, "mkdir(): %s\n", strerror(errno));
    }
    meta_dir = path_append(server_dir, "meta/");
    data_dir = path_append(server_dir, "data/");
    checked_free(server_dir);
    if (make_dir(meta_dir) || make_dir(data_dir))
        log_exit(HERE, "mkdir(): %s\n", strerror(errno));
    if (CONFIG.mode == MODE_SONIC) {
        char *meta_rest = path_append(meta_dir, "rest/");
        char *data_rest = path_append(data_dir, "rest/");
        if (make_dir(meta_rest) || make_dir(data_rest))
            log_exit(HERE, "mkdir(): %s\n", strerror(errno));
        checked_free(meta_rest);
        checked_free(data_rest);
    }
    cache_system_enabled = 1;
}

void CacheSystem_cleanup()
{
    if (!cache_system_enabled)
        return;
    checked_free(meta_dir);
    checked_free(data_dir);
    meta_dir = nullptr;
    data_dir = nullptr;
    checked_mutex_destroy(&cf_lock, HERE);
    cache_system_enabled = 0;
}

static int remove_entry(const char *path, const struct stat *, int, struct FTW *)
{
    return remove(path);
}

void CacheSystem_clear()
{
    char *root = CacheSystem_get_cache_dir();
    char *tree = CONFIG.cache_location ? checked_strdup(root, HERE) : path_append(root, "/tarnwick/");
    // Depth first, not following links nor leaving the file system; the walk stops at the
    // first path that cannot be removed.
    nftw(tree, remove_entry, 64, FTW_PHYS | FTW_MOUNT | FTW_DEPTH);
    checked_free(tree);
    checked_free(root);
    exit(EXIT_SUCCESS);
}

int CacheDir_create(const char *dirn)
{
    // A directory that cannot be made (a full disk, a file in the way, a name too long) costs
    // this directory its saved table and its files their cache, not the mount.
    for (const char *base : {meta_dir, data_dir}) {
        std::string dir = path_join(base, dirn);
        if (make_dir(dir.c_str())) {
            log_printf(LOG_ERROR, HERE, "mkdir(%s): %s\n", dir.c_str(), strerror(errno));
            return -1;
        }
    }
    return 0;
}
