// log.cc: log lines, the fatal path and the crash report.
#include "log.h"

#include <cstdio>
#include <cstdlib>
#include <execinfo.h>

#include "config.h"

void log_printf(int level, const char *file, const char *func, int line, const char *format, ...)
{
    if (!(level & CONFIG.log_level))
        return;
    va_list args;
    va_start(args, format);
    log_vprintf(level, file, func, line, format, args);
    va_end(args);
}

void log_vprintf(int level, const char *file, const char *func, int line, const char *format,
                 va_list args)
{
    switch (level) {
    case LOG_FATAL:
        fputs("Fatal:", stderr);
        break;
    case LOG_ERROR:
        fputs("Error:", stderr);
        break;
    case LOG_WARNING:
        fputs("Warning:", stderr);
        break;
    case LOG_INFO:
        break;
    default:
        fputs("Debug", stderr);
        if (level != LOG_DEBUG)
            fprintf(stderr, "(%x)", level);
        fputs(":", stderr);
        break;
    }
    // Info lines are progress and trace lines: they name the function only.
    if (level != LOG_INFO)
        fprintf(stderr, "%s:%d:", file, line);
    fprintf(stderr, "%s: ", func);
    vfprintf(stderr, format, args);
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
    fputs("\nOops! Tarnwick crashed! :(\n", stderr);
    fprintf(stderr, "backtrace() returned the following %d addresses:\n", count);
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
