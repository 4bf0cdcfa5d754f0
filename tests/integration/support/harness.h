// harness.h: what the integration tests need around the system: private temporary
// directories, file trees and their digests, a loopback nginx over a tree, and the program
// itself, mounted (Mount) or run to completion (run_program).
//
// Every process started here is a child of the test process, is stopped by its PID and reaped,
// and gets SIGTERM should the test process die first (so start children from the test's main
// thread, whose end would otherwise count as that death). Every mount is unmounted on every
// way out, destructors included; every temporary directory is removed. Every wait is bounded.
// Failures that a test cannot sensibly go on from are reported with ADD_FAILURE and a false
// result, so `ASSERT_TRUE(helper(...))` stops the test there.
//
//     TempDir tree;
//     ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", pattern_bytes(1000)}, {"sub/"}}));
//     Nginx nginx(tree.path());
//     ASSERT_TRUE(nginx.start()) << nginx.error();
//     REQUIRE_FUSE();
//     Mount m(nginx.url(), {"--cache"});
//     ASSERT_TRUE(m.start()) << m.error();
//     EXPECT_EQ(read_file(m.path() + "/a.bin"), pattern_bytes(1000));
//     EXPECT_EQ(m.stop(), 0);   // also checks stderr for "Fatal:" and sanitizer reports
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <curl/curl.h>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

// A fresh directory /tmp/tarnwick-TAG-XXXXXX (mode 0755), removed with all its contents by the
// destructor. The removal does not cross into other filesystems, so a mount left inside is
// never walked; anything that cannot be removed fails the test.
class TempDir
{
  public:
    explicit TempDir(const std::string &tag = "test");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return dir; }
    // path() + "/" + relative.
    std::string at(const std::string &relative) const;

  private:
    std::string dir;
};

// A loopback port that was free a moment ago (bound to 127.0.0.1:0 and released).
uint16_t free_port();

// Writes `bytes` to `path`, creating missing parent directories.
bool write_file(const std::string &path, const std::string &bytes);
// One entry of a tree: a path relative to the root; one ending in "/" is a directory.
struct TreeEntry {
    std::string path;
    std::string bytes = "";
};
// Makes every entry below `root` (parents as needed).
bool make_tree(const std::string &root, const std::vector<TreeEntry> &entries);
// The whole file; "" and a test failure when it cannot be read.
std::string read_file(const std::string &path);
// The whole file into *out; 0, or the errno of the failing open or read (for mounts whose reads
// are meant to fail).
int try_read_file(const std::string &path, std::string *out);
// `len` bytes at `offset` of fd with as many preads as it takes (fewer at the end of the file);
// *err is the errno of a failing one.
std::string pread_all(int fd, size_t len, off_t offset, int *err);
// `len` bytes at `offset` with one read of a file opened for direct I/O, so that one read of
// the test is one read of the mount (no read-ahead, no page cache); *err is its errno.
std::string direct_read(const std::string &path, size_t len, off_t offset, int *err);
// The names in a directory, without "." and ".."; *err is the errno of a failing opendir (0 when
// it opened). At most 100,000 names are read.
std::set<std::string> list_dir(const std::string &path, int *err);
// The names in a directory once every one is confirmed, as `ls -l` sees them: a listing may
// show entries whose header requests are still out (and may fail), so every name is looked up
// (which waits for its entry alone) and the directory listed again, all while it is held open.
std::set<std::string> list_dir_confirmed(const std::string &path, int *err);

// Lower-case hex SHA-256 of bytes, or of a file's contents ("" and a test failure when unreadable).
std::string sha256_hex(const std::string &bytes);
std::string sha256_file(const std::string &path);
// Lower-case hex MD5 of bytes.
std::string md5_hex(const std::string &bytes);
// A URL query ("a=1&b=2", without "?") as name -> value; the last value of a name wins, and
// pairs without "=" are left out. Values stay as sent (not decoded).
std::map<std::string, std::string> query_params(const std::string &query);
// Sets the access and modification times of `path`.
bool set_mtime(const std::string &path, time_t mtime);

// The first line of `text` that shows a fault of the program: a "Fatal:" line or a report of
// AddressSanitizer, LeakSanitizer, ThreadSanitizer or UndefinedBehaviorSanitizer; "" when none.
std::string stderr_fault(const std::string &text);

// Processes, for the support code of the other real servers as well.
long long now_ms(); // a monotonic clock
void sleep_ms(int ms);
double seconds_since(std::chrono::steady_clock::time_point start);
bool contains(const std::string &text, const std::string &part);
// TARNWICK_TEST_SEED when set (to repeat a run), else a fresh random seed.
uint32_t test_seed();
// mkdir -p; true when the directory exists afterwards.
bool make_dirs(const std::string &path);
// Whether a TCP connection to 127.0.0.1:port is accepted now.
bool port_answers(uint16_t port);
// The test process's environment with each "NAME=value" of `changes` set, and each bare "NAME"
// removed.
std::vector<std::string> child_environment(const std::vector<std::string> &changes);
// Starts `argv` (argv[0] resolved on PATH) with the environment `env`, standard output and
// error appended to the two files (they may be one), in `cwd` when not empty. 0, with *why set,
// on failure.
pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
            const std::string &out_path, const std::string &err_path, const std::string &cwd,
            std::string *why);
// Waits up to timeout_ms for `pid` to end; true, with its wait status, when it did (or when it
// is no child of ours any more).
bool wait_exit(pid_t pid, int timeout_ms, int *status);
// SIGKILL and reap (5 s at most). True when the process is gone.
bool kill_and_reap(pid_t pid, int *status);
// Runs a helper (such as fusermount3 or openssl) to completion, 10 s at most, with standard
// output and error appended to `log_path`; its exit status, or -1.
int run_helper(const std::vector<std::string> &argv, const std::string &log_path);
// The whole file, or "" (no test failure) when it cannot be read.
std::string file_text(const std::string &path);

// Plain libcurl requests for checking servers by hand, with the HTTP version the system asks
// for (not the system's own transfer code).
struct Ask { // what one request asks for
    std::string range = "";
    bool head = false;
    bool follow = false;
    std::string user = "", password = "";
    std::vector<std::string> headers = {};
    std::string cacert = "", capath = ""; // trust these instead of the system's authorities
    std::string proxy = "";               // "http://127.0.0.1:PORT"
    std::string proxy_user = "", proxy_password = "";
};

struct Fetched {
    CURLcode result = CURLE_OK;
    long code = 0;
    std::string body;
    std::string headers;
    curl_off_t length = -2; // CURLINFO_CONTENT_LENGTH_DOWNLOAD_T
    long filetime = -2;
    long connects = -1;    // new connections this transfer made
    long http_version = 0; // CURLINFO_HTTP_VERSION: CURL_HTTP_VERSION_2_0 for HTTP/2
    double seconds = 0;
};

// One request; `curl` is reused (with its connection) when given.
Fetched fetch(const std::string &url, const Ask &ask = {}, CURL *curl = nullptr);

// Whether mounts can be made: /dev/fuse exists and fusermount3 is on PATH.
bool fuse_available();
// Skips the current test, with the reason, when mounts cannot be made.
#define REQUIRE_FUSE()                                                                                       \
    do {                                                                                                     \
        if (!fuse_available())                                                                               \
            GTEST_SKIP() << "FUSE is not available here (/dev/fuse or fusermount3 is missing)";              \
    } while (0)

// How the program is started, by Mount and run_program.
struct ProgramOptions {
    // Environment changes: "NAME=VALUE" sets, "NAME" alone removes. Before them, the program
    // gets the test's environment without TARNWICK_LOG_LEVEL, with XDG_CONFIG_HOME and
    // XDG_CACHE_HOME pointing at empty private directories (so no user configuration is read
    // and no cache is written outside the run's directory).
    std::vector<std::string> env;
    std::string binary = TARNWICK_BINARY;
    // Mount: how long to wait for the mount to appear; run_program: for the program to end.
    int timeout_ms = 15000;
    // Whether stop() (Mount) or run_program fails the test when stderr_fault finds something.
    bool check_stderr = true;
};

// The outcome of run_program.
struct RunResult {
    int exit_code = -1;     // the exit status; -1 when a signal ended the program
    int signal = 0;         // that signal, 0 when it exited
    bool timed_out = false; // killed (SIGKILL) when the time limit passed
    std::string out;        // its standard output
    std::string err;        // its standard error
};

// Runs the program with `args` (everything after the program name) to completion, for
// start-up failures, usage, help and version output. The working directory is a private
// temporary directory.
RunResult run_program(const std::vector<std::string> &args, const ProgramOptions &opts = {});

// One mount of the program: `binary -f ARGS... URL MNT`, with MNT a fresh directory and the
// program's standard output and error going to files of the mount's own temporary directory.
class Mount
{
  public:
    Mount(const std::string &url, const std::vector<std::string> &args = {}, const ProgramOptions &opts = {});
    ~Mount(); // stop()
    Mount(const Mount &) = delete;
    Mount &operator=(const Mount &) = delete;

    // Starts the program and waits until MNT shows in /proc/mounts. False, with the reason and
    // the captured standard error in error(), when the program ends first (reported as soon as
    // it does) or the time limit passes (the program is then stopped as by stop()).
    bool start();
    // Unmounts (fusermount3 -u), waits for the program to end and reaps it; on trouble, SIGTERM,
    // then fusermount3 -uz and SIGKILL. Returns exit_code(). Then checks standard error unless
    // check_stderr is off, and fails the test if the mount is still there. Safe to call again.
    int stop();

    const std::string &path() const { return mnt; } // the mount point (exists from construction)
    // The mount's temporary directory; unless ProgramOptions::env says otherwise, the program's
    // cache home (XDG_CACHE_HOME) is dir() + "/cache" and its configuration home dir() + "/config".
    const std::string &dir() const { return work.path(); }
    pid_t pid() const { return child; } // 0 when not running
    bool mounted() const;               // MNT is in /proc/mounts now
    std::string stdout_text() const;
    std::string stderr_text() const;
    std::string error() const { return why; }
    int exit_code() const { return code; }    // -1 before the end, or when a signal ended it
    int exit_signal() const { return signo; } // 0 unless a signal ended it
    // Fails the test when standard error so far holds "Fatal:" or a sanitizer report.
    void expect_clean_stderr() const;

  private:
    void reap(int status);

    TempDir work;
    std::string mnt;
    std::string url;
    std::vector<std::string> args;
    ProgramOptions opts;
    pid_t child = 0;
    int code = -1;
    int signo = 0;
    std::string why;
};

class Certificate; // servers.h

// What an Nginx does beyond a plain listing; every part is off by default.
//
//     Certificate cert;
//     ASSERT_TRUE(cert.make()) << cert.error();
//     Nginx nginx(tree.path(), {.access_log = true, .log_headers = {"Authorization"}, .tls = &cert,
//                               .user = "alice", .password = "secret",
//                               .locations = {"location = /old { return 301 /sub/; }"}});
struct NginxOptions {
    // Log every request (access_log(), count(), requests()).
    bool access_log = false;
    // Request headers, by name ("Authorization", "X-Api-Key", "Cookie"), whose values
    // requests() reports; naming any turns the access log on.
    std::vector<std::string> log_headers = {};
    // Listen with TLS and HTTP/2 ("listen 127.0.0.1:PORT ssl http2") on this certificate, which
    // must be made before start(); url() then begins with https://.
    const Certificate *tls = nullptr;
    // Basic authentication of the whole server when `user` is not empty (auth_basic, with a
    // user file from openssl passwd -apr1). A `return` in a location answers before it.
    std::string user = "", password = "";
    // Raw blocks added to the server block as they are, e.g.
    // "location = /old { return 301 /sub/; }" or "location = /x { return 302 http://127.0.0.1:P/y; }".
    std::vector<std::string> locations = {};
};

// One request as nginx logged it (requests()); fields are as sent, nginx's \xHH escapes undone.
struct LoggedRequest {
    std::string method;
    std::string uri; // the request target, query included
    int status = 0;
    std::string protocol; // "HTTP/1.1", "HTTP/2.0"
    std::string range;    // "" when none was sent
    // Of NginxOptions::log_headers, the ones the request carried (nginx logs a missing one and
    // one whose value is "-" alike: both count as missing), by the name given there.
    std::map<std::string, std::string> headers;
};

// A private nginx over `root`: configuration, pid file and logs in its own temporary
// directory, listening on 127.0.0.1 at a free port, with autoindex on, sendfile on and 100000
// requests per connection. Runs in the foreground as a child of the test.
class Nginx
{
  public:
    // With `access_log`, every request is logged to a file, so tests can count them.
    explicit Nginx(const std::string &root, bool access_log = false);
    Nginx(const std::string &root, const NginxOptions &options);
    ~Nginx(); // stop()
    Nginx(const Nginx &) = delete;
    Nginx &operator=(const Nginx &) = delete;

    // Starts nginx and waits (10 s at most) until it accepts connections. False, with the
    // reason and nginx's error log in error(), otherwise.
    bool start();
    // Stops nginx by its PID (SIGTERM, then SIGKILL of it and its worker) and reaps it.
    void stop();

    uint16_t port() const { return listen_port; }
    // "http://127.0.0.1:PORT" (https:// with TLS) followed by `path`.
    std::string url(const std::string &path = "/") const;
    pid_t pid() const { return child; }
    std::string error() const { return why; }
    std::string error_log() const;

    // Access-log lines, one per request: METHOD URI STATUS "RANGE". Empty without the log.
    std::vector<std::string> access_log() const;
    // Logged requests with this method and path ("" matches any; the path matches as sent or
    // percent-decoded, without the query). nginx logs a request once it is answered.
    size_t count(const std::string &method = "", const std::string &path = "") const;
    // Waits until count(method, path) >= n or timeout_ms has passed; returns whether it was reached.
    bool wait_for(size_t n, const std::string &method = "", const std::string &path = "",
                  int timeout_ms = 5000) const;
    // The logged requests in order, with protocol and the headers of NginxOptions::log_headers.
    std::vector<LoggedRequest> requests() const;

  private:
    bool write_config(const std::string &dir);

    TempDir work;
    std::string root;
    NginxOptions options;
    uint16_t listen_port = 0;
    pid_t child = 0;
    std::string why;
};
