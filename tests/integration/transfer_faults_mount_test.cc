// Servers that misbehave while files are read, through real mounts against the scripted server,
// uncached and with the cache, each on a fresh mount: a reader gets the right bytes or an error,
// never a wrong byte, within a bound; a healthy file of the same mount reads right while the
// fault goes on; and the mount still answers afterwards. Also header requests that never end,
// storms of temporary failures while a directory is listed, a file changed between two mounts,
// and a cache directory that cannot be made.
//
// Every mount gets a stall time-out of 2 s (TARNWICK_STALL_TIMEOUT) and no pause between
// retries, so that a stalled transfer costs seconds here, not the minute it costs a user.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/support/harness.h"
#include "servers/fault_server.h"

namespace fs = std::filesystem;

namespace
{

const ProgramOptions FAST_STALLS = {{"TARNWICK_STALL_TIMEOUT=2"}};
const size_t SIZE = 3 << 20;

std::vector<std::string> mount_args(bool cached)
{
    std::vector<std::string> args = {"--retry-wait", "0", "--dl-seg-size", "1"};
    if (cached)
        args.push_back("--cache");
    return args;
}

} // namespace

TEST(TransferFaults, EveryReaderGetsRightBytesOrAnErrorInTime)
{
    REQUIRE_FUSE();
    Reply half_then_nothing = stall_after(32 * 1024);
    struct {
        const char *name;
        std::vector<Reply> script; // the GETs of /bad.bin
        int err;                   // 0: the right bytes
        const char *logged;        // a line the log must hold ("" for none)
        double bound;              // seconds the read may take
    } cases[] = {
        {"a GET never answered", std::vector<Reply>(8, hang()), EIO, "Giving up on", 20},
        {"half the range, then nothing", std::vector<Reply>(8, half_then_nothing), EIO, "Giving up on", 20},
        {"no range support", std::vector<Reply>(8, no_range_headers()), EIO, "--no-range-check", 5},
        {"the file shrank after the listing", std::vector<Reply>(8, grown(-4096)), EIO,
         "changed on the server: it had 3145728 bytes, it has 3141632 now", 5},
        {"a 206 of bytes from elsewhere", std::vector<Reply>(12, wrong_range()), EIO,
         "Wrong answer to the range", 10},
        {"a 206 from elsewhere once", {wrong_range()}, 0, "Wrong answer to the range", 5},
        {"429 for ever", std::vector<Reply>(12, status(429)), EIO, "Giving up on", 10},
    };
    for (bool cached : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.name) + (cached ? ", cached" : ", uncached"));
            FaultServer server;
            server.add_page("/", listing_page("/", {"bad.bin", "good.bin"}));
            server.add_file("/bad.bin", pattern_bytes(SIZE, 1));
            server.add_file("/good.bin", pattern_bytes(SIZE, 2));
            server.script("GET", "/bad.bin", c.script);
            ASSERT_TRUE(server.start());
            Mount m(server.url("/"), mount_args(cached), FAST_STALLS);
            ASSERT_TRUE(m.start()) << m.error();

            int err = -1;
            std::string got;
            auto start = std::chrono::steady_clock::now();
            double took = 0;
            std::thread reader([&] {
                got = direct_read(m.path() + "/bad.bin", 64 * 1024, 1 << 20, &err);
                took = seconds_since(start);
            });
            // While the fault goes on, another file of the same mount reads right.
            EXPECT_TRUE(server.wait_for(1, "GET", "/bad.bin", 5000));
            EXPECT_EQ(pattern_check(read_file(m.path() + "/good.bin"), 0, 2), "");
            reader.join();

            EXPECT_EQ(err, c.err) << strerror(err);
            if (c.err == 0) {
                EXPECT_EQ(pattern_check(got, 1 << 20, 1), "");
            }
            EXPECT_LT(took, c.bound);
            // The mount still answers, and the file is still there.
            int list_err = 0;
            EXPECT_EQ(list_dir(m.path(), &list_err), (std::set<std::string>{"bad.bin", "good.bin"}));
            struct stat st;
            EXPECT_EQ(stat((m.path() + "/bad.bin").c_str(), &st), 0);
            EXPECT_EQ(m.stop(), 0);
            if (c.logged[0]) {
                EXPECT_TRUE(contains(m.stderr_text(), c.logged)) << m.stderr_text();
            }
        }
    }
}

TEST(TransferFaults, AHeaderRequestNeverAnsweredEndsTheLookUp)
{
    REQUIRE_FUSE();
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "uncached");
        FaultServer server;
        server.add_page("/", listing_page("/", {"sub/"}));
        server.add_page("/sub/", listing_page("/sub/", {"a.bin", "silent.bin"}));
        server.add_file("/sub/a.bin", pattern_bytes(1000, 1));
        server.add_file("/sub/silent.bin", pattern_bytes(1000, 2));
        server.script("HEAD", "/sub/silent.bin", std::vector<Reply>(20, hang()));
        ASSERT_TRUE(server.start());
        Mount m(server.url("/"), mount_args(cached), FAST_STALLS);
        ASSERT_TRUE(m.start()) << m.error();

        // The names come at once; two stalls of 2 s end the silent entry's confirmation, so
        // the look-up of it ends (the process that asked is not left waiting in the kernel),
        // and the listings after it come without it (each asks it again, and again it stalls).
        auto start = std::chrono::steady_clock::now();
        int err = 0;
        DIR *held = opendir((m.path() + "/sub").c_str()); // one table throughout
        ASSERT_NE(held, nullptr);
        EXPECT_EQ(list_dir(m.path() + "/sub", &err), (std::set<std::string>{"a.bin", "silent.bin"}));
        EXPECT_LT(seconds_since(start), 2);
        struct stat st;
        EXPECT_EQ(stat((m.path() + "/sub/silent.bin").c_str(), &st), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_LT(seconds_since(start), 10);
        EXPECT_EQ(list_dir(m.path() + "/sub", &err), std::set<std::string>{"a.bin"});
        EXPECT_EQ(err, 0);
        closedir(held);
        EXPECT_EQ(read_file(m.path() + "/sub/a.bin"), pattern_bytes(1000, 1));
        EXPECT_EQ(m.stop(), 0);
    }
}

TEST(TransferFaults, EntriesComeBackWhenAStormOfTemporaryFailuresEnds)
{
    REQUIRE_FUSE();
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "uncached");
        FaultServer server;
        std::vector<std::string> names = {"a.bin", "b.bin", "dir/"};
        server.add_page("/", listing_page("/", names));
        server.add_file("/a.bin", pattern_bytes(1000, 1));
        server.add_file("/b.bin", pattern_bytes(2000, 2));
        server.add_page("/dir/", listing_page("/dir/", {"in.txt"}));
        server.add_file("/dir/in.txt", "in");
        // 429 for each entry for as long as the storm lasts.
        for (const char *path : {"/a.bin", "/b.bin", "/dir/"})
            server.script("HEAD", path, std::vector<Reply>(1000, status(429)));
        ASSERT_TRUE(server.start());
        TempDir cache("cache");
        std::vector<std::string> args = mount_args(cached);
        args.insert(args.end(), {"--cache-location", cache.path()});
        {
            Mount m(server.url("/"), args, FAST_STALLS);
            ASSERT_TRUE(m.start()) << m.error();
            int err = 0;
            // Entries that the storm leaves unconfirmed are not listed while it goes on ...
            EXPECT_EQ(list_dir_confirmed(m.path(), &err), std::set<std::string>{});
            for (const char *path : {"/a.bin", "/b.bin", "/dir/"})
                server.script("HEAD", path, {});
            // ... and come back with the listing after it, which asks them again.
            std::set<std::string> after;
            for (int i = 0; i < 3 && after.size() < 3; i++)
                after = list_dir_confirmed(m.path(), &err);
            EXPECT_EQ(after, (std::set<std::string>{"a.bin", "b.bin", "dir"}));
            EXPECT_EQ(read_file(m.path() + "/b.bin"), pattern_bytes(2000, 2));
            EXPECT_EQ(list_dir(m.path() + "/dir", &err), std::set<std::string>{"in.txt"});
            EXPECT_EQ(m.stop(), 0);
            EXPECT_TRUE(contains(m.stderr_text(), "Failed to initialize: " + server.url("/a.bin")));
        }
        if (!cached)
            continue;
        // The table saved before the storm ended held the entries unconfirmed, not invalid;
        // the one saved after holds them confirmed: a remount lists them without asking.
        server.clear_log();
        Mount again(server.url("/"), args, FAST_STALLS);
        ASSERT_TRUE(again.start()) << again.error();
        int err = 0;
        EXPECT_EQ(list_dir(again.path(), &err), (std::set<std::string>{"a.bin", "b.bin", "dir"}));
        EXPECT_EQ(server.count("HEAD"), 0u);
        EXPECT_EQ(again.stop(), 0);
    }
}

TEST(TransferFaults, DirectoryAnswered503TwiceIsListedAfterAll)
{
    REQUIRE_FUSE();
    for (bool cached : {false, true}) {
        SCOPED_TRACE(cached ? "cached" : "uncached");
        FaultServer server;
        server.add_page("/", listing_page("/", {"dir/", "x.bin"}));
        server.add_page("/dir/", listing_page("/dir/", {"in.txt"}));
        server.add_file("/dir/in.txt", "in");
        server.add_file("/x.bin", "x");
        server.script("HEAD", "/dir/", {status(503), status(503)});
        ASSERT_TRUE(server.start());
        Mount m(server.url("/"), mount_args(cached), FAST_STALLS);
        ASSERT_TRUE(m.start()) << m.error();
        int err = 0;
        EXPECT_EQ(list_dir(m.path(), &err), (std::set<std::string>{"dir", "x.bin"}));
        EXPECT_EQ(list_dir(m.path() + "/dir", &err), std::set<std::string>{"in.txt"});
        EXPECT_EQ(server.count("HEAD", "/dir/"), 3u);
        EXPECT_EQ(m.stop(), 0);
    }
}

TEST(TransferFaults, AFileChangedBetweenTwoCachedMountsIsNeverAMixOfVersions)
{
    REQUIRE_FUSE();
    FaultServer server;
    server.add_page("/", listing_page("/", {"f.bin"}));
    server.add_file("/f.bin", pattern_bytes(SIZE, 1), 1700000000);
    ASSERT_TRUE(server.start());
    TempDir cache("cache");
    std::vector<std::string> args = mount_args(true);
    args.insert(args.end(), {"--cache-location", cache.path()});
    const off_t SECOND = 1 << 20; // the second segment
    {
        // The first mount caches the second segment only (a read that starts there is no
        // sequential one: nothing is fetched ahead).
        Mount m(server.url("/"), args, FAST_STALLS);
        ASSERT_TRUE(m.start()) << m.error();
        int err = 0;
        EXPECT_EQ(pattern_check(direct_read(m.path() + "/f.bin", 4096, SECOND, &err), SECOND, 1), "");
        EXPECT_EQ(m.stop(), 0);
    }
    // The file changes on the server, within the refresh time-out of the saved table.
    server.add_file("/f.bin", pattern_bytes(SIZE, 9), 1700000100);
    Mount m(server.url("/"), args, FAST_STALLS);
    ASSERT_TRUE(m.start()) << m.error();
    int fd = open((m.path() + "/f.bin").c_str(), O_RDONLY | O_DIRECT);
    ASSERT_GE(fd, 0);
    // Every byte a read returns is of the version listed; the first read that meets the new
    // one fails, and so does every later read of this open file. (Direct reads: the kernel's
    // read-ahead would meet the new version early.)
    std::string buf(1 << 20, '\0');
    ssize_t first = pread(fd, buf.data(), buf.size(), SECOND);
    EXPECT_EQ(first, static_cast<ssize_t>(buf.size()));
    EXPECT_EQ(pattern_check(buf, SECOND, 1), "");
    errno = 0;
    EXPECT_EQ(pread(fd, buf.data(), buf.size(), 0), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(pread(fd, buf.data(), buf.size(), SECOND), -1);
    close(fd);
    // A new open sees the new file, whole.
    std::string now = read_file(m.path() + "/f.bin");
    EXPECT_EQ(pattern_check(now, 0, 9), "");
    EXPECT_EQ(now.size(), SIZE);
    EXPECT_EQ(m.stop(), 0);
    EXPECT_TRUE(
        contains(m.stderr_text(), "changed on the server: it was modified at 1700000000, now at 1700000100"))
        << m.stderr_text();
}

TEST(TransferFaults, ACacheDirectoryThatCannotBeMadeCostsOnlyItsCache)
{
    REQUIRE_FUSE();
    FaultServer server;
    server.add_page("/", listing_page("/", {"sub/", "top.bin"}));
    server.add_page("/sub/", listing_page("/sub/", {"in.bin"}));
    server.add_file("/sub/in.bin", pattern_bytes(SIZE, 3));
    server.add_file("/top.bin", pattern_bytes(1000, 4));
    ASSERT_TRUE(server.start());
    TempDir cache("cache");
    std::vector<std::string> args = mount_args(true);
    args.insert(args.end(), {"--cache-location", cache.path()});
    Mount m(server.url("/"), args, FAST_STALLS);
    ASSERT_TRUE(m.start()) << m.error();
    // A file where the directory's place in the cache would be.
    ASSERT_TRUE(write_file(cache.path() + "/meta/sub", "in the way"));
    int err = 0;
    EXPECT_EQ(list_dir(m.path() + "/sub", &err), std::set<std::string>{"in.bin"});
    EXPECT_EQ(pattern_check(read_file(m.path() + "/sub/in.bin"), 0, 3), "");
    EXPECT_EQ(read_file(m.path() + "/top.bin"), pattern_bytes(1000, 4));
    EXPECT_TRUE(m.mounted());
    EXPECT_EQ(m.stop(), 0);
    EXPECT_TRUE(contains(m.stderr_text(), "mkdir(" + cache.path() + "/meta/sub")) << m.stderr_text();
}
