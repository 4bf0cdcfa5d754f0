// log.h: the log line, the fatal path and the crash report. Owns no state of its own: the
// level mask is CONFIG.log_level (config.h), read without a lock because start-up writes it
// before any other thread exists. Every line is built whole and written to standard error with
// one write(2), so lines of concurrent threads never interleave inside a line; no lock is taken.
#pragma once

#include <cstdarg>

enum LogLevel {
    LOG_FATAL = 0x01,
    LOG_ERROR = 0x02,
    LOG_WARNING = 0x04,
    LOG_INFO = 0x08,
    LOG_DEBUG = 0x10,
    LOG_LINK_LOCK_DEBUG = 0x20,
    LOG_TRANSFER_LOCK_DEBUG = 0x40,
    LOG_CACHE_DEBUG = 0x80,
    LOG_LIBCURL_DEBUG = 0x100,
};

// The call site every log line and every checked helper names: file, function, line.
// Not std::source_location, because GCC names the whole signature there.
#define HERE __FILE__, __func__, __LINE__

// Prints one line when `level` shares a bit with the mask; otherwise formats nothing.
void log_printf(int level, const char *file, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 5, 6)));
// Writes the line whatever the mask says.
void log_vprintf(int level, const char *file, const char *func, int line, const char *format,
                 va_list args) __attribute__((format(printf, 5, 0)));
// A "Fatal:" line, then the crash report; never returns.
[[noreturn]] void log_fatal(const char *file, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// The crash report: banner, backtrace, exit(1) through the exit handlers.
[[noreturn]] void exit_failure();
// The default mask: TARNWICK_LOG_LEVEL as strtol reads it, else 15.
int log_level_init();
