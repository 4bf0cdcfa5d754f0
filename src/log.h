// log.h: the log line, the fatal path and the crash report, and where they go. The level mask
// is CONFIG.log_level (config.h), read without a lock because start-up writes it before any
// other thread exists. Every line is built whole and written with one write(2) to standard
// error, or sent as one datagram to the system log once a background mount has detached
// (log_to_syslog), so lines of concurrent threads never interleave inside a line; no lock is
// taken. The only state is that destination, switched once and read by every thread.
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
void log_vprintf(int level, const char *file, const char *func, int line, const char *format, va_list args)
    __attribute__((format(printf, 5, 0)));
// A "Fatal:" line, then the crash report; never returns.
[[noreturn]] void log_fatal(const char *file, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// The same "Fatal:" line (ended by a line feed even when the message has none), then exit(1)
// without a crash report: for start-up failures that are the user's to mend, such as a
// configuration file that cannot be read or a cache directory that cannot be made.
[[noreturn]] void log_exit(const char *file, const char *func, int line, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
// The crash report: banner, backtrace, exit(1) through the exit handlers. Once lines go to the
// system log, the report goes there as well, a line per datagram.
[[noreturn]] void exit_failure();
// From now on every line goes to the system log instead of standard error: a datagram socket
// ("/dev/log", or the path in TARNWICK_SYSLOG_SOCKET), facility daemon, identifier "tarnwick"
// with the process id, severity by level (fatal: crit, error: err, warning: warning, info:
// info, any debug class: debug), the line as on standard error without its line feed. Called
// once the FUSE host has detached, when standard error has become /dev/null; lines the system
// log does not take are lost. A socket path too long for an address leaves standard error.
void log_to_syslog();
// The default mask: TARNWICK_LOG_LEVEL as strtol reads it, else 15.
int log_level_init();
