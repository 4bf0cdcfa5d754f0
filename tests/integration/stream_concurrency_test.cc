// Read-ahead of uncached reads (Prefetch): readers in several threads, as the kernel sends the
// reads of its own read-ahead, get exact bytes from the streams; closing a file ends its
// transfers; servers that break a stream off, answer another range or send whole files.
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "network_support.h"
#include "servers/fault_server.h"

static testing::Environment *const network_env = testing::AddGlobalTestEnvironment(new NetworkEnvironment);

namespace
{

const int64_t MIB = 1 << 20;

class Streams : public testing::Test
{
  protected:
    void SetUp() override { reset_config(); }
    void TearDown() override
    {
        for (Link *link : links)
            LinkTable_free(link->linktbl);
        // Every ring went with its Prefetch.
        EXPECT_EQ(Prefetch_ring_bytes(), 0);
    }

    Link *link_for(const FaultServer &server, const std::string &path, int64_t size)
    {
        Link *link = file_link(server.url(path), size);
        link->time = FAULT_SERVER_MTIME;
        links.push_back(link);
        return link;
    }

    std::vector<Link *> links;
};

// Reads [offset, offset + len) through pf as one kernel read does; "" when the bytes are the
// pattern's, else what was wrong.
std::string read_checked(Prefetch *pf, int64_t offset, int64_t len, int64_t run, uint32_t seed, int64_t size)
{
    std::string got(static_cast<size_t>(len), '\0');
    int64_t r = Prefetch_read(pf, got.data(), static_cast<uint64_t>(len), offset, run);
    int64_t want = std::min(len, size - offset);
    if (r != want)
        return "read of " + std::to_string(len) + " at " + std::to_string(offset) + " gave " + std::to_string(r);
    got.resize(static_cast<size_t>(r));
    return pattern_check(got, static_cast<uint64_t>(offset), seed);
}

// The most bytes of rings the mount held while it watched.
class RingWatcher
{
  public:
    RingWatcher()
        : thread([this] {
              while (watching.load()) {
                  int64_t now = Prefetch_ring_bytes();
                  int64_t seen = most.load();
                  while (now > seen && !most.compare_exchange_weak(seen, now)) {
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          })
    {
    }
    int64_t stop()
    {
        watching = false;
        if (thread.joinable())
            thread.join();
        return most.load();
    }
    ~RingWatcher() { stop(); }

  private:
    std::atomic<int64_t> most{0};
    std::atomic<bool> watching{true};
    std::thread thread;
};

// Reads a whole file through one Prefetch from `readers` threads taking the next MiB in turn,
// so that the reads reach the streams a little out of order, as those of the kernel's
// read-ahead do; what was wrong goes to `faults`.
void read_in_turns(std::vector<std::thread> *threads, Prefetch *pf, int readers, int64_t size, uint32_t seed,
                   std::vector<std::string> *faults, std::mutex *faults_lock)
{
    auto next = std::make_shared<std::atomic<int64_t>>(0);
    auto left = std::make_shared<std::atomic<int>>(readers);
    for (int t = 0; t < readers; t++) {
        threads->emplace_back([=] {
            for (int64_t at; (at = next->fetch_add(MIB)) < size;) {
                std::string fault = read_checked(pf, at, MIB, at + MIB, seed, size);
                if (!fault.empty()) {
                    std::lock_guard<std::mutex> guard(*faults_lock);
                    faults->push_back(fault);
                }
            }
            if (left->fetch_sub(1) == 1)
                Prefetch_free(pf);
        });
    }
}

} // namespace

TEST_F(Streams, ReadersInManyThreadsGetExactBytesWithinTheBounds)
{
    // Two files, each read from start to end by four threads in turn; a third thread reads the
    // files' ends at random meanwhile.
    const int64_t SIZE = 40 * MIB + 12345;
    FaultServer server;
    server.add_file("/a.bin", pattern_bytes(static_cast<size_t>(SIZE), 1));
    server.add_file("/b.bin", pattern_bytes(static_cast<size_t>(SIZE), 2));
    ASSERT_TRUE(server.start());
    Link *files[] = {link_for(server, "/a.bin", SIZE), link_for(server, "/b.bin", SIZE)};

    RingWatcher watcher;
    std::vector<std::string> faults;
    std::mutex faults_lock;
    std::vector<std::thread> threads;
    for (int f = 0; f < 2; f++)
        read_in_turns(&threads, Prefetch_new(files[f], FileVersion{SIZE, FAULT_SERVER_MTIME}), 4, SIZE,
                      static_cast<uint32_t>(f + 1), &faults, &faults_lock);
    threads.emplace_back([&] {
        Prefetch *pf = Prefetch_new(files[0], FileVersion{SIZE, FAULT_SERVER_MTIME});
        std::mt19937 rng(7);
        for (int i = 0; i < 40; i++) {
            int64_t at = SIZE - 1 - static_cast<int64_t>(rng() % (4 * MIB));
            std::string fault = read_checked(pf, at, 1 + rng() % (256 * 1024), -1, 1, SIZE);
            if (!fault.empty()) {
                std::lock_guard<std::mutex> guard(faults_lock);
                faults.push_back("random: " + fault);
            }
        }
        Prefetch_free(pf);
    });
    for (std::thread &t : threads)
        t.join();
    int64_t most_rings = watcher.stop();
    EXPECT_EQ(faults, std::vector<std::string>{});
    // Two files of 64 MiB of rings at most each; the random reader has none.
    EXPECT_GT(most_rings, 0);
    EXPECT_LE(most_rings, 2 * 64 * MIB);
    // Requests that grow: far fewer than one per read.
    EXPECT_LT(server.count("GET", "/a.bin"), 40u + 20u);
    EXPECT_LT(server.count("GET", "/b.bin"), 20u);
}

TEST_F(Streams, ClosingAFileMidStreamEndsItsTransfers)
{
    const int64_t SIZE = 64 * MIB;
    FaultServer server;
    server.add_file("/big.bin", pattern_bytes(static_cast<size_t>(SIZE), 3));
    ASSERT_TRUE(server.start());
    Link *link = link_for(server, "/big.bin", SIZE);
    Prefetch *pf = Prefetch_new(link, FileVersion{SIZE, FAULT_SERVER_MTIME});
    for (int64_t at = 0; at < 6 * MIB; at += MIB)
        ASSERT_EQ(read_checked(pf, at, MIB, at + MIB, 3, SIZE), "") << at;
    // Streams run ahead of the reader.
    EXPECT_GE(server.count("GET", "/big.bin"), 3u);
    EXPECT_GT(Prefetch_ring_bytes(), 0);
    Prefetch_free(pf);
    EXPECT_EQ(Prefetch_ring_bytes(), 0);
    // Their connections close with them: the server's answers end.
    EXPECT_TRUE(server.wait_in_flight(0, 10000)) << server.in_flight() << " answers still going";
}

TEST_F(Streams, MoreFilesThanConnectionsShareTheRoomAndAllFinish)
{
    // Eight files read at once over six connections, each by two threads in turn: the mount's
    // room for rings is shared out, and no stream holds a connection while its reader waits
    // for another request (they once did, and the readers waited for ever).
    const int64_t SIZE = 24 * MIB + 777;
    const int FILES = 8;
    FaultServer server;
    for (int f = 0; f < FILES; f++)
        server.add_file("/f" + std::to_string(f), pattern_bytes(static_cast<size_t>(SIZE), 10 + f));
    ASSERT_TRUE(server.start());
    RingWatcher watcher;
    std::vector<std::string> faults;
    std::mutex faults_lock;
    std::vector<std::thread> threads;
    for (int f = 0; f < FILES; f++) {
        Link *link = link_for(server, "/f" + std::to_string(f), SIZE);
        read_in_turns(&threads, Prefetch_new(link, FileVersion{SIZE, FAULT_SERVER_MTIME}), 2, SIZE,
                      static_cast<uint32_t>(10 + f), &faults, &faults_lock);
    }
    for (std::thread &t : threads)
        t.join();
    int64_t most_rings = watcher.stop();
    EXPECT_EQ(faults, std::vector<std::string>{});
    EXPECT_GT(most_rings, 0);
    EXPECT_LE(most_rings, 128 * MIB);
}

TEST_F(Streams, BrokenOrWrongRepliesFallBackToExactRequests)
{
    // The first stream's reply goes wrong, or every reply does: the reads still get the file's
    // bytes, from exact range requests, or fail as those say, but never get wrong bytes.
    const int64_t SIZE = 12 * MIB + 777;
    struct {
        const char *what;
        Reply reply;
        size_t times; // replies that go wrong
        bool fails;
    } cases[] = {
        {"cut short", cut(300000), 1, false},
        {"another range", wrong_range(), 1, false},
        {"short body", short_body(4096), 1, false},
        {"not found once", status(404), 1, false},
        {"not found", status(404), 100, true},
        {"changed", grown(4096), 100, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FaultServer server;
        server.add_file("/f.bin", pattern_bytes(static_cast<size_t>(SIZE), 4));
        server.script("GET", "/f.bin", std::vector<Reply>(c.times, c.reply));
        ASSERT_TRUE(server.start());
        Link *link = link_for(server, "/f.bin", SIZE);
        Prefetch *pf = Prefetch_new(link, FileVersion{SIZE, FAULT_SERVER_MTIME});
        for (int64_t at = 0; at < SIZE; at += MIB) {
            std::string got(MIB, '\0');
            int64_t r = Prefetch_read(pf, got.data(), MIB, at, at + MIB);
            if (c.fails) {
                EXPECT_LT(r, 0) << at;
                continue;
            }
            ASSERT_EQ(r, std::min(MIB, SIZE - at)) << at;
            got.resize(static_cast<size_t>(r));
            ASSERT_EQ(pattern_check(got, static_cast<uint64_t>(at), 4), "") << at;
        }
        Prefetch_free(pf);
    }
}

TEST_F(Streams, WholeFileServerIsReadThroughOneStreamUnderSeeks)
{
    // A server that sends the whole file whatever the range, with --no-range-check: sequential
    // reads come from one stream that goes on, a seek back starts it again; never one whole
    // file per read.
    CONFIG.no_range_check = 1;
    const int64_t SIZE = 24 * MIB + 99;
    FaultServer server;
    server.add_file("/w.bin", pattern_bytes(static_cast<size_t>(SIZE), 5));
    Reply whole = ignore_range();
    whole.range_headers = false;
    server.script("GET", "/w.bin", std::vector<Reply>(200, whole));
    ASSERT_TRUE(server.start());
    Link *link = link_for(server, "/w.bin", SIZE);
    Prefetch *pf = Prefetch_new(link, FileVersion{SIZE, FAULT_SERVER_MTIME});
    const int64_t READ = 128 * 1024;
    // Runs of sequential reads: from the start, a seek back, a seek far on, back to the start.
    const int64_t runs[][2] = {{0, 8 * MIB}, {2 * MIB + 5, 4 * MIB}, {16 * MIB, SIZE}, {0, MIB}};
    int reads = 0;
    for (const auto &run : runs) {
        int64_t first = run[0];
        for (int64_t at = first; at < run[1]; at += READ, reads++)
            ASSERT_EQ(read_checked(pf, at, READ, at == first && first ? -1 : at + READ - first, 5, SIZE), "")
                << at;
    }
    Prefetch_free(pf);
    size_t gets = server.count("GET", "/w.bin");
    EXPECT_LT(gets, 16u) << "for " << reads << " reads";
}
