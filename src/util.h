// util.h: checked helpers. Every allocation, string copy and mutex, semaphore or condition
// variable call goes through a wrapper that turns failure into the fatal path (log.h), so
// callers never handle those failures; each takes the caller's site (HERE) and its fatal
// message names that site. Also path joining, percent-encoding, the terminal eraser, the Sonic
// salt, digest and hex helpers, and the scope guard over the checked lock wrappers. Owns no state.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <pthread.h>
#include <semaphore.h>
#include <string>

#include "log.h"

// clang's thread-safety analysis (-Wthread-safety): every lock of the program is a Mutex, a
// capability; fields say which lock guards them and functions which locks they need. Other
// compilers see nothing.
#if defined(__clang__)
#define THREAD_ANNOTATION(x) __attribute__((x))
#else
#define THREAD_ANNOTATION(x)
#endif
#define CAPABILITY(x) THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define REQUIRES(...) THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) THREAD_ANNOTATION(assert_capability(x))
#define RETURN_CAPABILITY(x) THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS THREAD_ANNOTATION(no_thread_safety_analysis)

// A pthread mutex the analysis can follow. Made at run time with checked_mutex_init, or
// statically with MUTEX_INITIALIZER; either way error-checking. It knows its holder, so that
// code that reaches a record guarded by a mutex it already holds under another name can say so
// (checked_mutex_assert_held).
struct CAPABILITY("mutex") Mutex {
    pthread_mutex_t m;
    std::atomic<unsigned long> owner; // the holding thread (thread_id), 0 when free
};
// clang-format off
#define MUTEX_INITIALIZER {PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP, {0}}
// clang-format on

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
// path_append for a temporary: the same join, as a std::string.
std::string path_join(const char *path, const char *filename);
// Wipes `text` (at most `max` characters) from a terminal line, leaving the cursor where it began.
void erase_string(FILE *stream, size_t max, const char *text);

// Without attributes the mutex is made error-checking, so a relock or a foreign unlock ends the
// process instead of hanging.
void checked_mutex_init(Mutex *m, const pthread_mutexattr_t *attr, const char *file, const char *func,
                        int line);
void checked_mutex_destroy(Mutex *m, const char *file, const char *func, int line);
void checked_mutex_lock(Mutex *m, const char *file, const char *func, int line) ACQUIRE(*m);
void checked_mutex_unlock(Mutex *m, const char *file, const char *func, int line) RELEASE(*m);
// true when taken; false when another thread holds it. Other failures are fatal.
bool checked_mutex_trylock(Mutex *m, const char *file, const char *func, int line) TRY_ACQUIRE(true, *m);
// Fatal unless the calling thread holds `m`; the analysis takes it as held from here on.
void checked_mutex_assert_held(const Mutex *m, const char *file, const char *func, int line)
    ASSERT_CAPABILITY(*m);
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
void checked_cond_wait(pthread_cond_t *c, Mutex *m, const char *file, const char *func, int line)
    REQUIRES(*m);
// As checked_cond_wait, but gives up at the CLOCK_REALTIME time `until`: false then.
bool checked_cond_timedwait(pthread_cond_t *c, Mutex *m, const struct timespec *until, const char *file,
                            const char *func, int line) REQUIRES(*m);

// A base directory of the XDG rules: $`env` (cut to 1024 bytes) when set, even empty; else
// $HOME + suffix; else, after the warning "$HOME is unset" at the caller's site, the current
// directory + suffix. A heap string, or null when the current directory cannot be resolved.
char *xdg_base_dir(const char *env, const char *suffix, const char *file, const char *func, int line);

// Every byte of `text` but the unreserved letters, digits and "-._~" as "%XX" (upper-case hex).
std::string percent_encode(const char *text);

// A monotonic clock in milliseconds, and a sleep of that many (none for 0 or less).
int64_t now_milliseconds();
void sleep_milliseconds(int64_t ms);

// The calling thread, as the lock traces print it ("thread %lx").
inline unsigned long thread_id()
{
    return static_cast<unsigned long>(pthread_self());
}

// A heap string (of the helpers below, say) as a std::string; the heap string is released.
std::string take_string(char *heap);

// Sonic authentication helpers. Each returns a heap string the caller frees.
// A fresh UUID in its 36-character text form (37 bytes).
char *generate_salt();
// The 32 lower-case hex digits of the MD5 of the first at most 1024 bytes of `str`.
char *generate_md5sum(const char *str);
// The first at most 1024 bytes of `str`, two lower-case hex digits each.
char *str_to_hex(const char *str);

// Holds a mutex for one scope through the checked wrappers; every way out unlocks.
class SCOPED_CAPABILITY ScopedLock
{
  public:
    ScopedLock(Mutex *m, const char *file, const char *func, int line) ACQUIRE(m)
        : m_(m), file_(file), func_(func), line_(line)
    {
        checked_mutex_lock(m_, file_, func_, line_);
    }
    ~ScopedLock() RELEASE() { checked_mutex_unlock(m_, file_, func_, line_); }
    ScopedLock(const ScopedLock &) = delete;
    ScopedLock &operator=(const ScopedLock &) = delete;

  private:
    Mutex *m_;
    const char *file_, *func_;
    int line_;
};
