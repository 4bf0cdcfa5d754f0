// log.cc: log lines, the fatal path and the crash report.
#include "log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "config.h"

// The system log's socket, a datagram socket, unless TARNWICK_SYSLOG_SOCKET names another.
static const char DEFAULT_SYSLOG_SOCKET[] = "/dev/log";
// Facility "daemon" (3) shifted into place, as the system log's priority numbers want it.
static const int SYSLOG_FACILITY = 3 << 3;
// Room before the line for the system log's header "<PRI>Mmm dd hh:mm:ss tarnwick[PID]: ".
static const size_t SYSLOG_HEAD_MAX = 64;

// -1 while lines go to standard error; the socket once log_to_syslog has switched. The address
// is written before the socket is published (release) and read after it is loaded (acquire).
static std::atomic<int> syslog_fd{-1};
static struct sockaddr_un syslog_addr;
static socklen_t syslog_addr_len;
static int syslog_pid;

// The system log's severity of a level: fatal is critical, every debug class is debug.
static int syslog_severity(int level)
{
    switch (level) {
    case LOG_FATAL:
        return 2;
    case LOG_ERROR:
        return 3;
    case LOG_WARNING:
        return 4;
    case LOG_INFO:
        return 6;
    default:
        return 7;
    }
}

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

// One datagram to the system log: the header written into the SYSLOG_HEAD_MAX bytes before
// `line`, which the caller reserved, then the line without its line feed.
static void send_syslog(int fd, int level, char *line, size_t len)
{
    static const char MONTHS[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    while (len > 0 && line[len - 1] == '\n')
        len--;
    time_t now = time(nullptr);
    struct tm local {
    };
    localtime_r(&now, &local);
    char head[SYSLOG_HEAD_MAX + 1];
    int head_len = snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d tarnwick[%d]: ",
                            SYSLOG_FACILITY | syslog_severity(level), MONTHS[local.tm_mon % 12],
                            local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, syslog_pid);
    if (head_len < 0 || static_cast<size_t>(head_len) > SYSLOG_HEAD_MAX)
        return;
    char *start = line - head_len;
    memcpy(start, head, static_cast<size_t>(head_len));
    // Never waits: a system log that does not keep up loses lines, rather than stopping the
    // thread that logs, which may be serving the filesystem.
    sendto(fd, start, static_cast<size_t>(head_len) + len, MSG_NOSIGNAL | MSG_DONTWAIT,
           reinterpret_cast<const struct sockaddr *>(&syslog_addr), syslog_addr_len);
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

    char small[SYSLOG_HEAD_MAX + 1024];
    char *block = small;
    size_t room = sizeof small - SYSLOG_HEAD_MAX;
    if (len + 1 > room) {
        // Out of memory, a long line is cut to what the stack buffer holds.
        char *big = static_cast<char *>(malloc(SYSLOG_HEAD_MAX + len + 1));
        if (big) {
            block = big;
            room = len + 1;
        }
    }
    char *text = block + SYSLOG_HEAD_MAX;
    int head_len = level != LOG_INFO ? snprintf(text, room, "%s%s%s%s: ", word, file, site, func)
                                     : snprintf(text, room, "%s: ", func);
    size_t used = head_len < 0 ? 0 : std::min(static_cast<size_t>(head_len), room - 1);
    vsnprintf(text + used, room - used, format, args);
    used = std::min(len, room - 1);

    int fd = syslog_fd.load(std::memory_order_acquire);
    if (fd >= 0)
        send_syslog(fd, level, text, used);
    else
        write_stderr(text, used);
    if (block != small)
        free(block);
}

void log_fatal(const char *file, const char *func, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_vprintf(LOG_FATAL, file, func, line, format, args);
    va_end(args);
    exit_failure();
}

void log_exit(const char *file, const char *func, int line, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    log_vprintf(LOG_FATAL, file, func, line, format, args);
    va_end(args);
    // Some messages end without a line feed; the crash report used to supply it.
    size_t len = strlen(format);
    if ((len == 0 || format[len - 1] != '\n') && syslog_fd.load(std::memory_order_acquire) < 0)
        write_stderr("\n", 1);
    exit(EXIT_FAILURE);
}

void exit_failure()
{
    void *addresses[100];
    int count = backtrace(addresses, 100);
    char counted[80];
    snprintf(counted, sizeof counted, "backtrace() returned the following %d addresses:\n", count);
    int fd = syslog_fd.load(std::memory_order_acquire);
    if (fd >= 0) {
        // Detached, standard error goes nowhere: the report goes to the system log, a line each.
        char line[SYSLOG_HEAD_MAX + 256];
        snprintf(line + SYSLOG_HEAD_MAX, sizeof line - SYSLOG_HEAD_MAX, "Oops! Tarnwick crashed! :(");
        send_syslog(fd, LOG_FATAL, line + SYSLOG_HEAD_MAX, strlen(line + SYSLOG_HEAD_MAX));
        snprintf(line + SYSLOG_HEAD_MAX, sizeof line - SYSLOG_HEAD_MAX, "%s", counted);
        send_syslog(fd, LOG_FATAL, line + SYSLOG_HEAD_MAX, strlen(line + SYSLOG_HEAD_MAX));
        char **symbols = backtrace_symbols(addresses, count);
        for (int i = 0; symbols && i < count; i++) {
            snprintf(line + SYSLOG_HEAD_MAX, sizeof line - SYSLOG_HEAD_MAX, "%s", symbols[i]);
            send_syslog(fd, LOG_FATAL, line + SYSLOG_HEAD_MAX, strlen(line + SYSLOG_HEAD_MAX));
        }
        free(symbols);
    }
    static const char BANNER[] = "\nOops! Tarnwick crashed! :(\n";
    write_stderr(BANNER, sizeof BANNER - 1);
    write_stderr(counted, strlen(counted));
    backtrace_symbols_fd(addresses, count, 2);
    exit(EXIT_FAILURE);
}

void log_to_syslog()
{
    if (syslog_fd.load(std::memory_order_acquire) >= 0)
        return;
    const char *path = getenv("TARNWICK_SYSLOG_SOCKET");
    if (!path || !*path)
        path = DEFAULT_SYSLOG_SOCKET;
    size_t path_len = strlen(path);
    if (path_len >= sizeof syslog_addr.sun_path)
        return;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    syslog_addr = {};
    syslog_addr.sun_family = AF_UNIX;
    memcpy(syslog_addr.sun_path, path, path_len + 1);
    syslog_addr_len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + path_len + 1);
    syslog_pid = static_cast<int>(getpid());
    syslog_fd.store(fd, std::memory_order_release);
}

int log_level_init()
{
    const char *env = getenv("TARNWICK_LOG_LEVEL");
    if (env)
        return static_cast<int>(strtol(env, nullptr, 10));
    return LOG_FATAL | LOG_ERROR | LOG_WARNING | LOG_INFO;
}
