// util.cc: the checked helpers, path joining and the Sonic encoders.
#include "util.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <openssl/evp.h>
#include <uuid/uuid.h>

#include "log.h"

void *checked_calloc(size_t count, size_t size, const char *file, const char *func, int line)
{
    void *block = calloc(count, size);
    if (!block && count && size)
        log_fatal(file, func, line, "%s!\n", strerror(errno));
    return block;
}

char *checked_strdup(const char *text, const char *file, const char *func, int line)
{
    if (!text)
        return nullptr;
    char *copy = strdup(text);
    if (!copy)
        log_fatal(file, func, line, "%s!\n", strerror(errno));
    return copy;
}

char *checked_strndup(const char *text, size_t max, const char *file, const char *func, int line)
{
    if (!text)
        return nullptr;
    char *copy = strndup(text, max);
    if (!copy)
        log_fatal(file, func, line, "%s!\n", strerror(errno));
    return copy;
}

void *checked_realloc(void *block, size_t size, const char *file, const char *func, int line)
{
    if (!block) {
        void *fresh = malloc(size);
        if (!fresh && size)
            log_fatal(file, func, line, "%s!\n", strerror(errno));
        return fresh;
    }
    if (size == 0) {
        free(block);
        return nullptr;
    }
    void *resized = realloc(block, size);
    if (!resized)
        log_fatal(file, func, line, "realloc failed: %s!\n", strerror(errno));
    return resized;
}

void checked_free(void *block)
{
    if (block)
        free(block);
}

char *checked_realpath(const char *path, char *resolved, const char *, const char *, int)
{
    return realpath(path, resolved);
}

// Its failures are reported at its own site.
char *path_append(const char *path, const char *filename)
{
    if (!path || !filename)
        log_fatal(HERE, "path_append: path or filename is NULL\n");
    size_t path_len = strnlen(path, 1024);
    size_t name_len = strnlen(filename, 1024);
    bool slash = false;
    if (path_len > 0) {
        slash = path[path_len - 1] != '/';
        while (name_len > 0 && *filename == '/') {
            filename++;
            name_len--;
        }
    }
    char *joined = static_cast<char *>(calloc(path_len + slash + name_len + 1, 1));
    if (!joined)
        log_fatal(HERE, "%s!\n", strerror(errno));
    memcpy(joined, path, path_len);
    if (slash)
        joined[path_len] = '/';
    memcpy(joined + path_len + slash, filename, name_len);
    return joined;
}

int64_t now_milliseconds()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleep_milliseconds(int64_t ms)
{
    if (ms <= 0)
        return;
    struct timespec pause = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) == -1 && errno == EINTR) {
    }
}

std::string take_string(char *heap)
{
    std::string text(heap ? heap : "");
    checked_free(heap);
    return text;
}

std::string path_join(const char *path, const char *filename)
{
    char *joined = path_append(path, filename);
    std::string result(joined);
    checked_free(joined);
    return result;
}

void erase_string(FILE *stream, size_t max, const char *text)
{
    size_t n = strnlen(text, max);
    for (size_t i = 0; i < n; i++)
        fputc('\b', stream);
    for (size_t i = 0; i < n; i++)
        fputc(' ', stream);
    for (size_t i = 0; i < n; i++)
        fputc('\b', stream);
}

// The thread wrappers report the calling thread, the failed call and its error number.
[[noreturn]] static void thread_call_failed(const char *call, int err, const char *file, const char *func,
                                            int line)
{
    log_fatal(file, func, line, "%lx %s: %d, %s\n", thread_id(), call, err, strerror(err));
}

void checked_mutex_init(Mutex *m, const pthread_mutexattr_t *attr, const char *file, const char *func,
                        int line)
{
    int err;
    if (attr) {
        err = pthread_mutex_init(&m->m, attr);
    } else {
        pthread_mutexattr_t checking;
        pthread_mutexattr_init(&checking);
        pthread_mutexattr_settype(&checking, PTHREAD_MUTEX_ERRORCHECK);
        err = pthread_mutex_init(&m->m, &checking);
        pthread_mutexattr_destroy(&checking);
    }
    if (err)
        thread_call_failed("pthread_mutex_init", err, file, func, line);
}

void checked_mutex_destroy(Mutex *m, const char *file, const char *func, int line)
{
    int err = pthread_mutex_destroy(&m->m);
    if (err)
        thread_call_failed("pthread_mutex_destroy", err, file, func, line);
}

// The wrappers are the analysis's ground truth: what they say they do is taken on trust.
void checked_mutex_lock(Mutex *m, const char *file, const char *func, int line) NO_THREAD_SAFETY_ANALYSIS
{
    int err = pthread_mutex_lock(&m->m);
    if (err)
        thread_call_failed("pthread_mutex_lock", err, file, func, line);
    m->owner.store(thread_id(), std::memory_order_relaxed);
}

void checked_mutex_unlock(Mutex *m, const char *file, const char *func, int line) NO_THREAD_SAFETY_ANALYSIS
{
    // Cleared first: once the mutex is free another thread may take it and set its own.
    unsigned long owner = m->owner.exchange(0, std::memory_order_relaxed);
    int err = pthread_mutex_unlock(&m->m);
    if (err) {
        m->owner.store(owner, std::memory_order_relaxed);
        thread_call_failed("pthread_mutex_unlock", err, file, func, line);
    }
}

bool checked_mutex_trylock(Mutex *m, const char *file, const char *func, int line) NO_THREAD_SAFETY_ANALYSIS
{
    int err = pthread_mutex_trylock(&m->m);
    if (err == EBUSY)
        return false;
    if (err)
        thread_call_failed("pthread_mutex_trylock", err, file, func, line);
    m->owner.store(thread_id(), std::memory_order_relaxed);
    return true;
}

void checked_mutex_assert_held(const Mutex *m, const char *file, const char *func, int line)
{
    if (m->owner.load(std::memory_order_relaxed) != thread_id())
        log_fatal(file, func, line, "%lx mutex not held\n", thread_id());
}

void checked_sem_init(sem_t *s, int pshared, unsigned int value, const char *file, const char *func, int line)
{
    if (sem_init(s, pshared, value))
        thread_call_failed("sem_init", errno, file, func, line);
}

void checked_sem_destroy(sem_t *s, const char *file, const char *func, int line)
{
    if (sem_destroy(s))
        thread_call_failed("sem_destroy", errno, file, func, line);
}

void checked_sem_wait(sem_t *s, const char *file, const char *func, int line)
{
    if (sem_wait(s))
        thread_call_failed("sem_wait", errno, file, func, line);
}

void checked_sem_post(sem_t *s, const char *file, const char *func, int line)
{
    if (sem_post(s))
        thread_call_failed("sem_post", errno, file, func, line);
}

int checked_sem_trywait(sem_t *s, const char *file, const char *func, int line)
{
    if (sem_trywait(s) == 0)
        return 0;
    if (errno == EAGAIN)
        return -1;
    thread_call_failed("sem_trywait", errno, file, func, line);
}

void checked_cond_init(pthread_cond_t *c, const pthread_condattr_t *attr, const char *file, const char *func,
                       int line)
{
    int err = pthread_cond_init(c, attr);
    if (err)
        thread_call_failed("pthread_cond_init", err, file, func, line);
}

void checked_cond_destroy(pthread_cond_t *c, const char *file, const char *func, int line)
{
    int err = pthread_cond_destroy(c);
    if (err)
        thread_call_failed("pthread_cond_destroy", err, file, func, line);
}

void checked_cond_broadcast(pthread_cond_t *c, const char *file, const char *func, int line)
{
    int err = pthread_cond_broadcast(c);
    if (err)
        thread_call_failed("pthread_cond_broadcast", err, file, func, line);
}

// A wait gives the mutex up and takes it back: its holder changes meanwhile.
void checked_cond_wait(pthread_cond_t *c, Mutex *m, const char *file, const char *func, int line)
{
    m->owner.store(0, std::memory_order_relaxed);
    int err = pthread_cond_wait(c, &m->m);
    m->owner.store(thread_id(), std::memory_order_relaxed);
    if (err)
        thread_call_failed("pthread_cond_wait", err, file, func, line);
}

bool checked_cond_timedwait(pthread_cond_t *c, Mutex *m, const struct timespec *until, const char *file,
                            const char *func, int line)
{
    m->owner.store(0, std::memory_order_relaxed);
    int err = pthread_cond_timedwait(c, &m->m, until);
    m->owner.store(thread_id(), std::memory_order_relaxed);
    if (err == ETIMEDOUT)
        return false;
    if (err)
        thread_call_failed("pthread_cond_timedwait", err, file, func, line);
    return true;
}

char *xdg_base_dir(const char *env, const char *suffix, const char *file, const char *func, int line)
{
    const char *xdg = getenv(env);
    if (xdg)
        return checked_strndup(xdg, 1024, file, func, line);
    const char *home = getenv("HOME");
    if (home)
        return path_append(home, suffix);
    log_printf(LOG_WARNING, file, func, line, "$HOME is unset\n");
    char *cwd = checked_realpath("./", nullptr, file, func, line);
    if (!cwd)
        return nullptr;
    char *base = path_append(cwd, suffix);
    checked_free(cwd);
    return base;
}

std::string percent_encode(const char *text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; p++) {
        unsigned char c = *p;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '.' || c == '_' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(HEX[c >> 4]);
            out.push_back(HEX[c & 15]);
        }
    }
    return out;
}

char *generate_salt()
{
    char *salt = static_cast<char *>(checked_calloc(37, 1, HERE));
    uuid_t uuid;
    uuid_generate(uuid);
    uuid_unparse(uuid, salt);
    return salt;
}

char *generate_md5sum(const char *str)
{
    size_t n = strnlen(str, 1024);
    char *hex = static_cast<char *>(checked_calloc(33, 1, HERE));
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    // A context is one more allocation: running out of heap here ends like any other.
    if (!ctx)
        log_fatal(HERE, "%s!\n", strerror(ENOMEM));
    const EVP_MD *md5 = EVP_md5();
    unsigned int digest_len = static_cast<unsigned int>(EVP_MD_get_size(md5));
    unsigned char *digest = static_cast<unsigned char *>(OPENSSL_malloc(digest_len));
    if (!digest)
        log_fatal(HERE, "%s!\n", strerror(errno));
    EVP_DigestInit_ex(ctx, md5, nullptr);
    EVP_DigestUpdate(ctx, str, n);
    EVP_DigestFinal_ex(ctx, digest, &digest_len);
    EVP_MD_CTX_free(ctx);
    for (unsigned int i = 0; i < digest_len && i < 16; i++)
        snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    OPENSSL_free(digest);
    return hex;
}

char *str_to_hex(const char *str)
{
    size_t n = strnlen(str, 1024);
    char *hex = static_cast<char *>(checked_calloc(2 * n + 1, 1, HERE));
    for (size_t i = 0; i < n; i++)
        snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned char>(str[i]));
    return hex;
}
