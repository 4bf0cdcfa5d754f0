// The cache through the mount, against nginx: byte-exact cold and warm reads, remounts that
// need no server, files changed on the server, the cache tree and its clearing, and data
// files that take disk space only for the segments read.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "integration/support/harness.h"
#include "servers/fault_server.h"

namespace fs = std::filesystem;

namespace
{

const size_t MIB = 1 << 20;
const size_t BIG = 3 * MIB + 12345; // four segments of 1 MiB, the last one partial
const size_t SMALL = 5000;

// Reads that a test wants to be right: seeded random pieces of `path`, compared with the
// pattern. Returns "" or the first difference, with the seed.
std::string random_reads(const std::string &path, size_t size, uint32_t seed, int count)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "cannot open " + path;
    std::mt19937 rng(seed);
    std::string result;
    for (int i = 0; i < count && result.empty(); i++) {
        size_t offset = rng() % size;
        size_t len = 1 + rng() % (2 * MIB);
        std::string buf(len, '\0');
        ssize_t got = pread(fd, buf.data(), len, static_cast<off_t>(offset));
        size_t want = std::min(len, size - offset);
        if (got != static_cast<ssize_t>(want))
            result = "read " + std::to_string(got) + " of " + std::to_string(want);
        else
            result = pattern_check(buf.substr(0, want), offset);
        if (!result.empty())
            result += " at " + std::to_string(offset) + ", seed " + std::to_string(seed);
    }
    close(fd);
    return result;
}

// Waits until nginx has logged every request it answered: nginx writes a line once the answer
// is out, a little after the client has it. Returns the count once it has held still for
// 200 ms (3 s at most).
size_t settled_count(const Nginx &nginx)
{
    size_t count = nginx.count();
    long long still_since = now_ms();
    for (long long end = now_ms() + 3000; now_ms() < end && now_ms() - still_since < 200;) {
        sleep_ms(20);
        size_t now = nginx.count();
        if (now != count) {
            count = now;
            still_since = now_ms();
        }
    }
    return count;
}

// Waits (at most 2 s) until the clock has moved past the second `since`.
void wait_for_next_second(time_t since)
{
    for (int i = 0; i < 200 && time(nullptr) <= since; i++)
        sleep_ms(10);
}

class CacheMount : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(
            make_tree(tree.path(),
                      {{"big.bin", pattern_bytes(BIG)}, {"sub/"}, {"sub/small.bin", pattern_bytes(SMALL)}}));
        ASSERT_TRUE(nginx.start()) << nginx.error();
        REQUIRE_FUSE();
    }

    std::vector<std::string> cache_args(std::vector<std::string> more = {})
    {
        std::vector<std::string> args = {"--cache", "--cache-location", cache.path(), "--dl-seg-size", "1"};
        args.insert(args.end(), more.begin(), more.end());
        return args;
    }

    TempDir tree{"cachetree"};
    TempDir cache{"cacheloc"};
    Nginx nginx{tree.path(), true};
};

} // namespace

TEST_F(CacheMount, ColdAndWarmReadsAreByteExactAndTheWarmMountAsksNothing)
{
    const uint32_t seed = static_cast<uint32_t>(std::chrono::system_clock::now().time_since_epoch().count());
    {
        Mount m(nginx.url(), cache_args());
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(random_reads(m.path() + "/big.bin", BIG, seed, 12), "");
        EXPECT_EQ(sha256_file(m.path() + "/big.bin"), sha256_hex(pattern_bytes(BIG)));
        EXPECT_EQ(sha256_file(m.path() + "/sub/small.bin"), sha256_hex(pattern_bytes(SMALL)));
        EXPECT_EQ(m.stop(), 0);
    }
    EXPECT_TRUE(fs::exists(cache.at("meta/.LinkTable")));
    EXPECT_TRUE(fs::exists(cache.at("meta/sub/.LinkTable")));
    EXPECT_EQ(fs::file_size(cache.at("data/big.bin")), BIG);
    EXPECT_EQ(fs::file_size(cache.at("meta/big.bin")), 28u + 4u);

    ASSERT_TRUE(nginx.wait_for(1, "GET", "/sub/small.bin"));
    size_t before = settled_count(nginx);
    {
        Mount m(nginx.url(), cache_args());
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(sha256_file(m.path() + "/big.bin"), sha256_hex(pattern_bytes(BIG)));
        EXPECT_EQ(sha256_file(m.path() + "/sub/small.bin"), sha256_hex(pattern_bytes(SMALL)));
        EXPECT_EQ(random_reads(m.path() + "/big.bin", BIG, seed + 1, 12), "");
        EXPECT_EQ(m.stop(), 0);
    }
    // Within the refresh time-out the tables come from their files and every byte from the
    // data files: not one listing, header or range request.
    EXPECT_EQ(settled_count(nginx), before);
}

TEST_F(CacheMount, RemountServesTheTreeFromTheCacheWithTheServerStopped)
{
    {
        Mount m(nginx.url(), cache_args());
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(sha256_file(m.path() + "/big.bin"), sha256_hex(pattern_bytes(BIG)));
        EXPECT_EQ(sha256_file(m.path() + "/sub/small.bin"), sha256_hex(pattern_bytes(SMALL)));
        EXPECT_EQ(m.stop(), 0);
    }
    std::string url = nginx.url();
    nginx.stop();
    Mount m(url, cache_args());
    ASSERT_TRUE(m.start()) << m.error();
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(m.path()))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"big.bin", "sub"}));
    EXPECT_EQ(fs::file_size(m.path() + "/big.bin"), BIG);
    EXPECT_EQ(sha256_file(m.path() + "/big.bin"), sha256_hex(pattern_bytes(BIG)));
    EXPECT_EQ(read_file(m.path() + "/sub/small.bin"), pattern_bytes(SMALL));
    EXPECT_EQ(m.stop(), 0);
}

TEST_F(CacheMount, FileChangedOnTheServerIsFetchedAgain)
{
    // Tables are refetched at once, so the second mount sees the new time.
    std::vector<std::string> args = cache_args({"--refresh-timeout", "0"});
    {
        Mount m(nginx.url(), args);
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(read_file(m.path() + "/sub/small.bin"), pattern_bytes(SMALL));
        EXPECT_EQ(m.stop(), 0);
    }
    // Same size, other bytes, a new time.
    ASSERT_TRUE(write_file(tree.at("sub/small.bin"), pattern_bytes(SMALL, 7)));
    ASSERT_TRUE(set_mtime(tree.at("sub/small.bin"), FAULT_SERVER_MTIME + 3600));
    // A table saved with refresh time-out 0 is reused within the second it was fetched only.
    wait_for_next_second(time(nullptr));
    ASSERT_TRUE(nginx.wait_for(1, "GET", "/sub/small.bin"));
    size_t gets = nginx.count("GET", "/sub/small.bin");

    Mount m(nginx.url(), args);
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(read_file(m.path() + "/sub/small.bin"), pattern_bytes(SMALL, 7));
    EXPECT_EQ(m.stop(), 0);
    EXPECT_GT(nginx.count("GET", "/sub/small.bin"), gets);
}

TEST_F(CacheMount, PartlyReadFileTakesDiskSpaceOnlyForTheSegmentsRead)
{
    const size_t size = 48 * MIB;
    ASSERT_TRUE(write_file(tree.at("huge.bin"), pattern_bytes(size)));
    {
        Mount m(nginx.url(), cache_args());
        ASSERT_TRUE(m.start()) << m.error();
        int fd = open((m.path() + "/huge.bin").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        std::string buf(MIB, '\0');
        EXPECT_EQ(pread(fd, buf.data(), MIB, 20 * MIB), static_cast<ssize_t>(MIB));
        close(fd);
        EXPECT_EQ(pattern_check(buf, 20 * MIB), "");
        EXPECT_EQ(m.stop(), 0);
    }
    struct stat st;
    ASSERT_EQ(stat(cache.at("data/huge.bin").c_str(), &st), 0);
    EXPECT_EQ(static_cast<size_t>(st.st_size), size);
    // The segment read, what the kernel read ahead and the one fetched ahead of that.
    EXPECT_LE(static_cast<size_t>(st.st_blocks) * 512, 4 * MIB);
    std::string meta = read_file(cache.at("meta/huge.bin"));
    ASSERT_EQ(meta.size(), 28u + 48u);
    EXPECT_EQ(meta[28 + 20], 1);
    EXPECT_EQ(meta[28 + 19], 0);
}

TEST_F(CacheMount, CacheTreeWithItsTagAndClearingALocation)
{
    TempDir xdg("xdgcache");
    ProgramOptions opts;
    opts.env = {"XDG_CACHE_HOME=" + xdg.path()};
    {
        Mount m(nginx.url(), {"--cache"}, opts);
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(read_file(m.path() + "/sub/small.bin"), pattern_bytes(SMALL));
        EXPECT_EQ(m.stop(), 0);
    }
    EXPECT_EQ(read_file(xdg.at("tarnwick/CACHEDIR.TAG")),
              "Signature: 8a477f597d28d172789f06886806bc55\n"
              "# This file is a cache directory tag created by tarnwick.\n"
              "# For information about cache directory tags, see:\n"
              "#\thttps://bford.info/cachedir/\n");
    // The server's directory is named by the escaped URL.
    std::string escaped = "http%3A%2F%2F127.0.0.1%3A" + std::to_string(nginx.port()) + "%2F";
    EXPECT_TRUE(fs::exists(xdg.at("tarnwick/" + escaped + "/data/sub/small.bin")));

    // With --cache-location before it, --cache-clear removes that tree and nothing else.
    {
        Mount m(nginx.url(), cache_args());
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(read_file(m.path() + "/sub/small.bin"), pattern_bytes(SMALL));
        EXPECT_EQ(m.stop(), 0);
    }
    ASSERT_TRUE(fs::exists(cache.at("data/sub/small.bin")));
    RunResult run = run_program({"--cache-location", cache.path(), "--cache-clear"}, opts);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_FALSE(fs::exists(cache.path()));
    EXPECT_TRUE(fs::exists(xdg.at("tarnwick/CACHEDIR.TAG")));
    fs::create_directory(cache.path()); // for TempDir's own removal
}

TEST_F(CacheMount, FileWhoseCacheCannotBeMadeIsReadFromTheServer)
{
    Mount m(nginx.url(), cache_args());
    ASSERT_TRUE(m.start()) << m.error();
    // The data directory turns into a file: no data file can be made any more, as on a full
    // or unwritable disk. The mount must go on and serve the file from the server.
    fs::remove_all(cache.at("data"));
    ASSERT_TRUE(write_file(cache.at("data"), "not a directory"));
    EXPECT_EQ(sha256_file(m.path() + "/big.bin"), sha256_hex(pattern_bytes(BIG)));
    EXPECT_EQ(sha256_file(m.path() + "/big.bin"), sha256_hex(pattern_bytes(BIG)));
    EXPECT_TRUE(m.mounted());
    EXPECT_NE(m.stderr_text().find("Cache file creation failure for /big.bin."), std::string::npos)
        << m.stderr_text();
    EXPECT_FALSE(fs::exists(cache.at("meta/big.bin")));
    EXPECT_EQ(m.stop(), 0);
    fs::remove(cache.at("data"));
}
