// log.cc: log lines, the fatal path and the crash report.
#include "log.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <execinfo.h>
#include <unistd.h>

#include "config.h"

// All of `len` bytes to file descriptor 2, in as few writes as the descriptor allows (one for
// any line a pipe or a file takes whole); errors are ignored.
static void write_stderr(const char *text, size_t len)
{
    while (len > 0) {
        ssize_t n = write(2, text, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += n;
        len -= static_cast<size_t>(n);
    }
}

void log_printf(int level, const char *file, const char *func, int line, const char *format, ...)
{
    if (!(level & CONFIG.log_level))
        return;
    va_list args;
    va_start(args, format);
    log_vprintf(level, file, func, line, format, args);
    va_end(args);
}

void log_vprintf(int level, const char *file, const char *func, int line, const char *format, va_list args)
{
    const char *word;
    switch (level) {
    case LOG_FATAL:
        word = "Fatal:";
        break;
    case LOG_ERROR:
        word = "Error:";
        break;
    case LOG_WARNING:
        word = "Warning:";
        break;
    case LOG_INFO:
        word = "";
        break;
    default:
        word = level == LOG_DEBUG ? "Debug:" : nullptr;
        break;
    }
    char debug_word[32];
    if (!word) {
        snprintf(debug_word, sizeof debug_word, "Debug(%x):", level);
        word = debug_word;
    }
    // Info lines are progress and trace lines: they name the function only.
    char site[32] = "";
    if (level != LOG_INFO)
        snprintf(site, sizeof site, ":%d:", line);

    // The whole line is built in one buffer and written at once, so lines of concurrent threads
    // never interleave inside a line.
    va_list measure;
    va_copy(measure, args);
    int body_len = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (body_len < 0)
        body_len = 0;
    size_t word_len = strlen(word);
    size_t file_len = level != LOG_INFO ? strlen(file) + strlen(site) : 0;
    size_t func_len = strlen(func);
    size_t len = word_len + file_len + func_len + 2 + static_cast<size_t>(body_len);

    char small[1024];
    char *text = small;
    size_t room = sizeof small;
    if (len + 1 > room) {
        // Out of memory, a long line is cut to what the stack buffer holds.
        char *big = static_cast<char *>(malloc(len + 1));
        if (big) {
            text = big;
            room = len + 1;
        }
    }
    int head_len = level != LOG_INFO ? snprintf(text, room, "%s%s%s%s: ", word, file, site, func)
                                     : snprintf(text, room, "%s: ", func);
    size_t used = head_len < 0 ? 0 : std::min(static_cast<size_t>(head_len), room - 1);
    vsnprintf(text + used, room - used, format, args);
    used = std::min(len, room - 1);

    write_stderr(text, used);
    if (text != small)
        free(text);
}

void log_fatal(const char *file, const char *func, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_vprintf(LOG_FATAL, file, func, line, format, args);
    va_end(args);
    exit_failure();
}

void exit_failure()
{
    void *addresses[100];
    int count = backtrace(addresses, 100);
    char counted[80];
    snprintf(counted, sizeof counted, "backtrace() returned the following %d addresses:\n", count);
    static const char BANNER[] = "\nOops! Tarnwick crashed! :(\n";
    write_stderr(BANNER, sizeof BANNER - 1);
    write_stderr(counted, strlen(counted));
    backtrace_symbols_fd(addresses, count, 2);
    exit(EXIT_FAILURE);
}

int log_level_init()
{
    const char *env = getenv("TARNWICK_LOG_LEVEL");
    if (env)
        return static_cast<int>(strtol(env, nullptr, 10));
    return LOG_FATAL | LOG_ERROR | LOG_WARNING | LOG_INFO;
}
