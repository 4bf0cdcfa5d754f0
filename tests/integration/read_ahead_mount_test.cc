// Sequential, random and mixed reads through a mount against nginx, with and without the cache:
// every byte right whatever the order of the reads, readers of one file and of several at
// once, sequential reads served by few growing requests, and the read-ahead's memory bounded.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/support/harness.h"
#include "servers/fault_server.h"

namespace
{

const size_t MIB = 1u << 20;
const size_t FILE_SIZE = 40 * MIB + 4321;
const char *const FILES[] = {"a.bin", "b.bin", "c.bin"};
const int LINKS = 8; // s0.bin ... s7.bin, links to the three files

uint32_t seed_of(int file)
{
    return static_cast<uint32_t>(100 + file);
}

// "" when the `len` bytes at `offset` of the file read through fd are its pattern's.
std::string check_read(int fd, uint64_t offset, size_t len, uint32_t seed)
{
    int err = 0;
    std::string got = pread_all(fd, len, static_cast<off_t>(offset), &err);
    if (err)
        return std::to_string(len) + " bytes at " + std::to_string(offset) + ": " + strerror(err);
    size_t want = offset >= FILE_SIZE ? 0 : std::min<size_t>(len, FILE_SIZE - offset);
    if (got.size() != want)
        return std::to_string(len) + " bytes at " + std::to_string(offset) + ": got " + std::to_string(got.size());
    return pattern_check(got, offset, seed);
}

// The mount's peak resident memory in KiB (VmHWM), 0 when it cannot be read.
long peak_rss_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

} // namespace

class ReadAheadMount : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        if (!fuse_available())
            return;
        tree = std::make_unique<TempDir>("read-ahead-tree");
        std::vector<TreeEntry> entries;
        for (int f = 0; f < 3; f++)
            entries.push_back({FILES[f], pattern_bytes(FILE_SIZE, seed_of(f))});
        if (!make_tree(tree->path(), entries))
            return;
        for (int i = 0; i < LINKS; i++) {
            std::string name = tree->at("s" + std::to_string(i) + ".bin");
            if (symlink(FILES[i % 3], name.c_str())) {
                ADD_FAILURE() << "symlink " << name << ": " << strerror(errno);
                return;
            }
        }
        nginx = std::make_unique<Nginx>(tree->path(), true);
        if (!nginx->start()) {
            ADD_FAILURE() << nginx->error();
            return;
        }
        ready = true;
    }

    static void TearDownTestSuite()
    {
        nginx.reset();
        tree.reset();
        ready = false;
    }

    void SetUp() override
    {
        REQUIRE_FUSE();
        ASSERT_TRUE(ready) << "the suite's nginx did not start";
    }

    static inline std::unique_ptr<TempDir> tree;
    static inline std::unique_ptr<Nginx> nginx;
    static inline bool ready = false;
};

TEST_F(ReadAheadMount, SequentialRandomAndMixedReadsAreByteExact)
{
    uint32_t seed = test_seed();
    std::cout << "read seed: " << seed << " (set TARNWICK_TEST_SEED to repeat)" << std::endl;
    enum Pattern { SEQUENTIAL, RANDOM, MIXED };
    const struct {
        const char *what;
        std::vector<std::string> args;
        Pattern pattern;
    } cases[] = {
        {"uncached, sequential", {}, SEQUENTIAL},
        {"uncached, random", {}, RANDOM},
        {"uncached, mixed", {}, MIXED},
        {"cached, sequential", {"--cache"}, SEQUENTIAL},
        {"cached, random", {"--cache"}, RANDOM},
        {"cached, mixed", {"--cache"}, MIXED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", seed " + std::to_string(seed));
        std::mt19937_64 rng(seed);
        size_t gets = nginx->count("GET", "/a.bin");
        Mount m(nginx->url("/"), c.args);
        ASSERT_TRUE(m.start()) << m.error();
        int fd = open((m.path() + "/a.bin").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << strerror(errno);
        std::string fault;
        int reads = 0;
        if (c.pattern == SEQUENTIAL) {
            for (uint64_t at = 0; at < FILE_SIZE && fault.empty(); reads++) {
                size_t len = 4096 + rng() % (2 * MIB);
                fault = check_read(fd, at, len, seed_of(0));
                at += len;
            }
        } else if (c.pattern == RANDOM) {
            for (; reads < 150 && fault.empty(); reads++)
                fault = check_read(fd, rng() % FILE_SIZE, 1 + rng() % MIB, seed_of(0));
        } else {
            // Runs of sequential reads of 1 to 8 MiB, each after a seek back or forth.
            for (int run = 0; run < 30 && fault.empty(); run++) {
                uint64_t at = rng() % FILE_SIZE;
                uint64_t end = at + MIB + rng() % (7 * MIB);
                while (at < end && at < FILE_SIZE && fault.empty()) {
                    size_t len = 1 + rng() % (512 * 1024);
                    fault = check_read(fd, at, len, seed_of(0));
                    at += len;
                    reads++;
                }
            }
        }
        close(fd);
        EXPECT_EQ(fault, "");
        EXPECT_EQ(m.stop(), 0);
        if (c.pattern == SEQUENTIAL && c.args.empty()) {
            // A few growing requests, not one per read (at least one per 128 KiB before).
            EXPECT_LT(nginx->count("GET", "/a.bin") - gets, 24u) << "for " << reads << " reads";
        }
    }
}

TEST_F(ReadAheadMount, ConcurrentSequentialReadersOfOneFileAndOfSeveral)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, std::vector<std::string>{"--cache"}}) {
        SCOPED_TRACE(args.empty() ? "uncached" : "cached");
        Mount m(nginx->url("/"), args);
        ASSERT_TRUE(m.start()) << m.error();
        // Three readers of a.bin from different places, and one reader each of b.bin and c.bin
        // from the start, all at once.
        struct Reader {
            int file;
            uint64_t from, to;
        };
        const Reader readers[] = {
            {0, 0, 14 * MIB}, {0, 13 * MIB + 7, 27 * MIB}, {0, 26 * MIB + 3, FILE_SIZE},
            {1, 0, FILE_SIZE}, {2, 0, FILE_SIZE},
        };
        std::vector<std::string> faults(std::size(readers));
        std::vector<std::thread> threads;
        for (size_t r = 0; r < std::size(readers); r++) {
            threads.emplace_back([&, r] {
                const Reader &rd = readers[r];
                int fd = open((m.path() + "/" + FILES[rd.file]).c_str(), O_RDONLY);
                if (fd < 0) {
                    faults[r] = std::string("open: ") + strerror(errno);
                    return;
                }
                for (uint64_t at = rd.from; at < rd.to && faults[r].empty(); at += 256 * 1024)
                    faults[r] = check_read(fd, at, 256 * 1024, seed_of(rd.file));
                close(fd);
            });
        }
        for (std::thread &t : threads)
            t.join();
        for (size_t r = 0; r < std::size(readers); r++)
            EXPECT_EQ(faults[r], "") << "reader " << r;
        EXPECT_EQ(m.stop(), 0);
    }
}

TEST_F(ReadAheadMount, ReadAheadMemoryStaysWithinItsBound)
{
    // Eight files read at once, each reader taking its bytes slower than the server sends them:
    // the streams fill their rings. Their rings are at most 128 MiB in all; without
    // the bounds, eight files of growing requests would hold several times that.
    Mount m(nginx->url("/"));
    ASSERT_TRUE(m.start()) << m.error();
    long before = peak_rss_kib(m.pid());
    ASSERT_GT(before, 0);
    std::vector<std::string> faults(LINKS);
    std::vector<std::thread> threads;
    for (int i = 0; i < LINKS; i++) {
        threads.emplace_back([&, i] {
            int fd = open((m.path() + "/s" + std::to_string(i) + ".bin").c_str(), O_RDONLY);
            if (fd < 0) {
                faults[i] = std::string("open: ") + strerror(errno);
                return;
            }
            for (uint64_t at = 0; at < 24 * MIB && faults[i].empty(); at += MIB) {
                faults[i] = check_read(fd, at, MIB, seed_of(i % 3));
                if (at % (4 * MIB) == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(150));
            }
            close(fd);
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (int i = 0; i < LINKS; i++)
        EXPECT_EQ(faults[i], "") << "reader " << i;
    long peak = peak_rss_kib(m.pid());
    std::cout << "peak RSS " << peak / 1024 << " MiB (" << before / 1024 << " MiB at the start)" << std::endl;
    // 128 MiB of rings, 32 MiB of rings kept for reuse, and room for the rest: libcurl's and
    // the FUSE threads' buffers.
    EXPECT_LT(peak - before, 224 * 1024);
    EXPECT_EQ(m.stop(), 0);
}
