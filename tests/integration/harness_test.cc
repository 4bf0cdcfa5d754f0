// The integration harness itself: temporary trees, a private nginx over a generated tree, and
// the ways a run or a mount of the program fails without hanging or leaving anything behind.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "integration/support/harness.h"
#include "servers/fault_server.h"

namespace
{

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool process_gone(pid_t pid)
{
    return kill(pid, 0) == -1 && errno == ESRCH;
}

// A stand-in for the program: a shell script in `dir` with the given body.
std::string fake_program(const TempDir &dir, const std::string &body)
{
    std::string path = dir.at("fake-program");
    EXPECT_TRUE(write_file(path, "#!/bin/sh\n" + body));
    chmod(path.c_str(), 0755);
    return path;
}

} // namespace

TEST(HarnessFiles, TreesDigestsAndTimes)
{
    std::string root;
    {
        TempDir dir("files");
        root = dir.path();
        EXPECT_EQ(root.compare(0, 5, "/tmp/"), 0) << root;
        ASSERT_TRUE(
            make_tree(root, {{"a.txt", "abc"}, {"sub/deeper/b.bin", pattern_bytes(5000)}, {"empty/"}}));
        EXPECT_EQ(read_file(dir.at("a.txt")), "abc");
        EXPECT_EQ(read_file(dir.at("sub/deeper/b.bin")), pattern_bytes(5000));
        EXPECT_TRUE(exists(dir.at("empty")));
        EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
        EXPECT_EQ(sha256_file(dir.at("sub/deeper/b.bin")), sha256_hex(pattern_bytes(5000)));
        ASSERT_TRUE(set_mtime(dir.at("a.txt"), 1000000000));
        struct stat st;
        ASSERT_EQ(stat(dir.at("a.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1000000000);
        std::string out;
        EXPECT_EQ(try_read_file(dir.at("missing"), &out), ENOENT);
    }
    EXPECT_FALSE(exists(root)) << root << " was left behind";
}

TEST(HarnessNginx, ServesAGeneratedTreeAndStops)
{
    TempDir tree("tree");
    std::string big = pattern_bytes(1 << 20, 5);
    ASSERT_TRUE(
        make_tree(tree.path(), {{"big.bin", big}, {"sub/small.txt", "hello\n"}, {"dir with space/"}}));
    ASSERT_TRUE(set_mtime(tree.at("big.bin"), 1600000000));
    // Directories made by mkdtemp are private to their owner; the worker still reads them.
    ASSERT_EQ(chmod(tree.at("sub").c_str(), 0700), 0);

    Nginx nginx(tree.path(), true);
    ASSERT_TRUE(nginx.start()) << nginx.error();
    pid_t pid = nginx.pid();

    Fetched whole = fetch(nginx.url("/big.bin"));
    EXPECT_EQ(whole.code, 200);
    EXPECT_EQ(sha256_hex(whole.body), sha256_hex(big));
    Fetched part = fetch(nginx.url("/big.bin"), {.range = "4096-4105"});
    EXPECT_EQ(part.code, 206);
    EXPECT_EQ(pattern_check(part.body, 4096, 5), "");
    EXPECT_NE(part.headers.find("Content-Range: bytes 4096-4105/1048576"), std::string::npos) << part.headers;
    Fetched head = fetch(nginx.url("/big.bin"), {.head = true});
    EXPECT_EQ(head.length, 1 << 20);
    EXPECT_EQ(head.filetime, 1600000000);
    EXPECT_NE(head.headers.find("Accept-Ranges: bytes"), std::string::npos) << head.headers;
    EXPECT_EQ(fetch(nginx.url("/sub/small.txt")).body, "hello\n");

    Fetched listing = fetch(nginx.url("/"));
    EXPECT_EQ(listing.code, 200);
    size_t up = listing.body.find("<a href=\"../\">");
    EXPECT_NE(up, std::string::npos) << listing.body;
    EXPECT_LT(up, listing.body.find("<a href=\"big.bin\">"));
    EXPECT_NE(listing.body.find("<a href=\"sub/\">"), std::string::npos);
    EXPECT_NE(listing.body.find("<a href=\"dir%20with%20space/\">"), std::string::npos) << listing.body;

    EXPECT_TRUE(nginx.wait_for(5));
    EXPECT_EQ(nginx.count("GET", "/big.bin"), 2u);
    EXPECT_EQ(nginx.count("HEAD", "/big.bin"), 1u);
    EXPECT_EQ(nginx.count("GET", "/"), 1u);
    EXPECT_EQ(nginx.count("", ""), 5u);
    std::vector<std::string> log = nginx.access_log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1], "GET /big.bin 206 \"bytes=4096-4105\"");

    uint16_t port = nginx.port();
    nginx.stop();
    EXPECT_TRUE(process_gone(pid));
    EXPECT_EQ(fetch("http://127.0.0.1:" + std::to_string(port) + "/big.bin").result, CURLE_COULDNT_CONNECT);
}

// Start-up fails (nothing answers at the URL); Mount says so as soon as the program ends.
TEST(HarnessMount, ReportsAProgramThatEndsBeforeMounting)
{
    std::string url = "http://127.0.0.1:" + std::to_string(free_port()) + "/";
    Mount m(url);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(m.start());
    EXPECT_LT(seconds_since(t0), 10.0);
    EXPECT_EQ(m.exit_code(), 1);
    EXPECT_EQ(m.pid(), 0);
    EXPECT_FALSE(m.mounted());
    EXPECT_FALSE(m.stderr_text().empty());
    EXPECT_NE(m.error().find("exit status 1"), std::string::npos) << m.error();
    EXPECT_NE(m.error().find(m.stderr_text()), std::string::npos) << m.error();
    EXPECT_EQ(m.stop(), 1);
}

TEST(HarnessMount, GivesUpOnAProgramThatNeverMounts)
{
    TempDir bin("bin");
    ProgramOptions opts;
    opts.binary = fake_program(bin, "echo $$ > " + bin.at("pid") + "\necho waiting >&2\nexec sleep 60\n");
    opts.timeout_ms = 500;
    Mount m("http://127.0.0.1:1/", {}, opts);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(m.start());
    EXPECT_LT(seconds_since(t0), 10.0);
    EXPECT_NE(m.error().find("no mount at " + m.path() + " after 500 ms"), std::string::npos) << m.error();
    EXPECT_NE(m.error().find("waiting"), std::string::npos) << m.error();
    EXPECT_EQ(m.exit_signal(), SIGTERM);
    pid_t pid = static_cast<pid_t>(std::atol(read_file(bin.at("pid")).c_str()));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(process_gone(pid));
}

TEST(HarnessMount, StderrFaultsFailTheTest)
{
    struct {
        const char *text;
        const char *fault;
    } cases[] = {
        {"fs_open: /a\nfs_release: /a\n", ""},
        {"x\nlog.cc:12:log_fatal: Fatal: Cache file creation failure for /a.\n",
         "log.cc:12:log_fatal: Fatal: Cache file creation failure for /a."},
        {"==1==ERROR: AddressSanitizer: heap-use-after-free on address 0x1\n",
         "==1==ERROR: AddressSanitizer: heap-use-after-free on address 0x1"},
        {"==1==ERROR: LeakSanitizer: detected memory leaks\n",
         "==1==ERROR: LeakSanitizer: detected memory leaks"},
        {"WARNING: ThreadSanitizer: data race (pid=1)\n", "WARNING: ThreadSanitizer: data race (pid=1)"},
        {"src/a.cc:3:5: runtime error: signed integer overflow\n",
         "src/a.cc:3:5: runtime error: signed integer overflow"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(stderr_fault(c.text), c.fault) << c.text;

    TempDir bin("bin");
    ProgramOptions opts;
    opts.binary = fake_program(bin, "echo 'main.cc:1:f: Fatal: boom' >&2\nexit 1\n");
    Mount m("http://127.0.0.1:1/", {}, opts);
    EXPECT_NONFATAL_FAILURE(m.start(), "Fatal: boom");
    opts.check_stderr = false;
    Mount quiet("http://127.0.0.1:1/", {}, opts);
    EXPECT_FALSE(quiet.start());
    EXPECT_NE(quiet.stderr_text().find("Fatal: boom"), std::string::npos);
}

TEST(HarnessRun, RunsTheProgramToCompletion)
{
    RunResult usage = run_program({});
    EXPECT_EQ(usage.exit_code, 1);
    EXPECT_NE(usage.err.find("usage:"), std::string::npos) << usage.err;
    RunResult version = run_program({"--version"});
    EXPECT_EQ(version.exit_code, 0) << version.err;
    EXPECT_NE(version.err.find("Tarnwick version"), std::string::npos) << version.err;

    // The environment: private configuration and cache homes, no inherited log level.
    TempDir bin("bin");
    ProgramOptions opts;
    opts.binary =
        fake_program(bin, "echo \"$XDG_CONFIG_HOME|$XDG_CACHE_HOME|${TARNWICK_LOG_LEVEL-unset}|$1\"\n");
    setenv("TARNWICK_LOG_LEVEL", "31", 1);
    RunResult env = run_program({"arg"}, opts);
    unsetenv("TARNWICK_LOG_LEVEL");
    EXPECT_EQ(env.exit_code, 0);
    EXPECT_EQ(env.out.compare(0, 14, "/tmp/tarnwick-"), 0) << env.out;
    EXPECT_NE(env.out.find("/config|/tmp/tarnwick-"), std::string::npos) << env.out;
    EXPECT_NE(env.out.find("/cache|unset|arg\n"), std::string::npos) << env.out;
    opts.env = {"TARNWICK_LOG_LEVEL=8", "XDG_CACHE_HOME"};
    EXPECT_NE(run_program({"arg"}, opts).out.find("||8|arg"), std::string::npos);

    opts.binary = fake_program(bin, "exec sleep 60\n");
    opts.timeout_ms = 300;
    auto t0 = std::chrono::steady_clock::now();
    RunResult hung = run_program({}, opts);
    EXPECT_LT(seconds_since(t0), 10.0);
    EXPECT_TRUE(hung.timed_out);
    EXPECT_EQ(hung.signal, SIGKILL);
    EXPECT_EQ(hung.exit_code, -1);
}

// The mount and unmount path, with rclone's HTTP mount standing in for the program.
TEST(HarnessMount, MountsAndUnmountsEvenWithAFileOpen)
{
    REQUIRE_FUSE();
    if (access("/usr/bin/rclone", X_OK))
        GTEST_SKIP() << "rclone is not installed";
    TempDir tree("tree"), bin("bin");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", pattern_bytes(3000)}}));
    Nginx nginx(tree.path());
    ASSERT_TRUE(nginx.start()) << nginx.error();
    ProgramOptions opts;
    opts.binary = fake_program(bin, "[ \"$1\" = -f ] || exit 2\n"
                                    "exec rclone mount --read-only --http-url \"$2\" :http: \"$3\"\n");
    std::string mnt;
    {
        Mount m(nginx.url(), {}, opts);
        mnt = m.path();
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_TRUE(m.mounted());
        EXPECT_GT(m.pid(), 0);
        EXPECT_EQ(read_file(m.path() + "/a.bin"), pattern_bytes(3000));
        EXPECT_EQ(m.stop(), 0);
        EXPECT_FALSE(m.mounted());

        // A file left open makes the plain unmount fail; the destructor still gets rid of the mount.
        ASSERT_TRUE(m.start()) << m.error();
        int fd = open((m.path() + "/a.bin").c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        m.stop();
        EXPECT_FALSE(m.mounted());
        if (fd >= 0)
            close(fd);
    }
    EXPECT_FALSE(exists(mnt));
}
