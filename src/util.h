// util.h: checked helpers. Every allocation, string copy and mutex, semaphore or condition
// variable call goes through a wrapper that turns failure into the fatal path (log.h), so
// callers never handle those failures; each takes the caller's site (HERE) and its fatal
// message names that site. Also path joining, percent-encoding, the terminal eraser, the Sonic
// salt, digest and hex helpers, and the scope guard over the checked lock wrappers. Owns no state.
#pragma once

#include <cstddef>
#include <cstdio>
#include <pthread.h>
#include <semaphore.h>
#include <string>

#include "log.h"

// Zeroed memory; a null result is fatal unless count or size is 0.
void *checked_calloc(size_t count, size_t size, const char *file, const char *func, int line);
// Null for null; a heap copy otherwise.
char *checked_strdup(const char *text, const char *file, const char *func, int line);
// A heap copy of at most `max` bytes, always terminated; null for null.
char *checked_strndup(const char *text, size_t max, const char *file, const char *func, int line);
// Null block: allocate; size 0: release and return null; otherwise resize.
void *checked_realloc(void *block, size_t size, const char *file, const char *func, int line);
void checked_free(void *block);
// Canonical absolute path (into `resolved` or a new heap string), or null with errno set.
// Never fatal: callers report the failure.
char *checked_realpath(const char *path, char *resolved, const char *file, const char *func, int line);
// A new heap string joining the two with exactly one "/": "/a"+"/b", "/a/"+"b" and "/a"+"b"
// give "/a/b"; ""+"/b" gives "/b"; "/a//"+"//b" gives "/a//b". Each part counts up to 1024
// bytes. A null argument is fatal.
char *path_append(const char *path, const char *filename);
// Wipes `text` (at most `max` characters) from a terminal line, leaving the cursor where it began.
void erase_string(FILE *stream, size_t max, const char *text);

// Without attributes the mutex is made error-checking, so a relock or a foreign unlock ends the
// process instead of hanging.
void checked_mutex_init(pthread_mutex_t *m, const pthread_mutexattr_t *attr, const char *file,
                        const char *func, int line);
void checked_mutex_destroy(pthread_mutex_t *m, const char *file, const char *func, int line);
void checked_mutex_lock(pthread_mutex_t *m, const char *file, const char *func, int line);
void checked_mutex_unlock(pthread_mutex_t *m, const char *file, const char *func, int line);
void checked_sem_init(sem_t *s, int pshared, unsigned int value, const char *file, const char *func,
                      int line);
void checked_sem_destroy(sem_t *s, const char *file, const char *func, int line);
void checked_sem_wait(sem_t *s, const char *file, const char *func, int line);
void checked_sem_post(sem_t *s, const char *file, const char *func, int line);
// 0 when taken, -1 (silently) when the semaphore was zero; other failures are fatal.
int checked_sem_trywait(sem_t *s, const char *file, const char *func, int line);
void checked_cond_init(pthread_cond_t *c, const pthread_condattr_t *attr, const char *file, const char *func,
                       int line);
void checked_cond_destroy(pthread_cond_t *c, const char *file, const char *func, int line);
void checked_cond_broadcast(pthread_cond_t *c, const char *file, const char *func, int line);
void checked_cond_wait(pthread_cond_t *c, pthread_mutex_t *m, const char *file, const char *func, int line);

// A base directory of the XDG rules: $`env` (cut to 1024 bytes) when set, even empty; else
// $HOME + suffix; else, after the warning "$HOME is unset" at the caller's site, the current
// directory + suffix. A heap string, or null when the current directory cannot be resolved.
char *xdg_base_dir(const char *env, const char *suffix, const char *file, const char *func, int line);

// Every byte of `text` but the unreserved letters, digits and "-._~" as "%XX" (upper-case hex).
std::string percent_encode(const char *text);

// The calling thread, as the lock traces print it ("thread %lx").
inline unsigned long thread_id()
{
    return static_cast<unsigned long>(pthread_self());
}

// Sonic authentication helpers. Each returns a heap string the caller frees.
// A fresh UUID in its 36-character text form (37 bytes).
char *generate_salt();
// The 32 lower-case hex digits of the MD5 of the first at most 1024 bytes of `str`.
char *generate_md5sum(const char *str);
// The first at most 1024 bytes of `str`, two lower-case hex digits each.
char *str_to_hex(const char *str);

// Holds a mutex for one scope through the checked wrappers; every way out unlocks.
class ScopedLock
{
  public:
    ScopedLock(pthread_mutex_t *m, const char *file, const char *func, int line)
        : m_(m), file_(file), func_(func), line_(line)
    {
        checked_mutex_lock(m_, file_, func_, line_);
    }
    ~ScopedLock() { checked_mutex_unlock(m_, file_, func_, line_); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

  private:
    pthread_mutex_t *m_;
    const char *file_, *func_;
    int line_;
};
