// Segmented reads of a cached file against the scripted fault server: readers of one segment
// share one download and copy from it while it arrives, a failed shared download sends its
// readers to fetch the segment themselves, read-ahead fetches the next segment in the
// background, and the last close waits for those downloads before it writes the bitmap.
// Also built under ThreadSanitizer.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cache/cache.h"
#include "config.h"
#include "link/link.h"
#include "network.h"
#include "servers/fault_server.h"
#include "util.h"

namespace fs = std::filesystem;

namespace
{

const int32_t BLKSZ = 4096;
// Four whole segments and a last one of 100 bytes.
const int64_t SIZE = 4 * BLKSZ + 100;

class NetworkAndCache : public testing::Environment
{
  public:
    void SetUp() override
    {
        Config_init();
        NetworkSystem_init();
        char tmpl[] = "/tmp/tarnwick-cacheread-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        CacheSystem_init(root.c_str(), 0);
    }
    void TearDown() override { fs::remove_all(root); }
    std::string root;
};
[[maybe_unused]] const testing::Environment *const environment =
    testing::AddGlobalTestEnvironment(new NetworkAndCache);

std::string range_of(int64_t first, int64_t count)
{
    return "bytes=" + std::to_string(first) + "-" + std::to_string(first + count - 1);
}

// Waits (bounded) until `done` holds.
bool eventually(const std::function<bool()> &done, int timeout_ms = 5000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class CacheRead : public testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *dir : {meta_dir, data_dir})
            for (const auto &entry : fs::directory_iterator(dir))
                fs::remove_all(entry.path());
        CONFIG.mode = MODE_LISTING;
        CONFIG.log_level = LOG_ERROR;
        CONFIG.data_blksz = BLKSZ;
        CONFIG.max_conns = 6;
        CONFIG.retry_wait = 1;
        server.add_file("/f.bin", pattern_bytes(SIZE));
        ASSERT_TRUE(server.start());
        std::string url = server.url("/");
        root_url_len = static_cast<int32_t>(url.size()) - 1;
        root_link_table = LinkTable_alloc(url.c_str());
        Link *link = Link_new("f.bin", LINK_FILE);
        Link_set_url(link, server.url("/f.bin").c_str());
        link->content_length = SIZE;
        link->time = FAULT_SERVER_MTIME;
        LinkTable_add(root_link_table, link);
        cf = Cache_open(link);
        ASSERT_NE(cf, nullptr);
        ASSERT_EQ(cf->bgdl_slots, 3);
    }
    void TearDown() override
    {
        if (cf) {
            give_back_slots();
            Cache_close(cf);
        }
        server.stop();
        LinkTable_free(root_link_table);
        root_link_table = nullptr;
    }

    // Ranged GETs of the file seen with exactly this range.
    size_t requests_for(int64_t first, int64_t count)
    {
        size_t n = 0;
        for (const auto &req : server.requests())
            n += req.method == "GET" && req.range == range_of(first, count);
        return n;
    }

    // Holds every background slot, as running downloads would: no delegation, no read-ahead.
    void take_all_slots()
    {
        while (checked_sem_trywait(&cf->bgdl_sem, HERE) == 0)
            taken++;
        ASSERT_EQ(taken, cf->bgdl_slots);
    }
    void give_back_slots()
    {
        for (; taken > 0; taken--)
            checked_sem_post(&cf->bgdl_sem, HERE);
    }

    bool present(int64_t index)
    {
        ScopedLock guard(&cf->bitmap_lock, HERE);
        return Cache_segment_present(cf, index);
    }
    bool downloading(int64_t offset)
    {
        ScopedLock guard(&cf->active_dl_lock, HERE);
        return ActiveDownload_find(cf, offset) != nullptr;
    }

    // Reads and checks the bytes against the file's pattern; "" when right.
    std::string read_check(int64_t offset, int64_t len, int64_t *result = nullptr)
    {
        std::string buf(static_cast<size_t>(len), '\0');
        int64_t r = Cache_read(cf, buf.data(), len, offset);
        if (result)
            *result = r;
        if (r < 0)
            return "error " + std::to_string(r);
        buf.resize(static_cast<size_t>(r));
        if (r != std::min<int64_t>(len, SIZE - offset))
            return "short read of " + std::to_string(r);
        return pattern_check(buf, static_cast<uint64_t>(offset));
    }

    // Six readers of segment 1 at once, in different pieces, the last one crossing into the
    // next segment: one request for the segment, right bytes for all.
    void shared_download(bool slots_free)
    {
        // Slow enough that every reader arrives while the segment is on its way.
        server.script("GET", "/f.bin", {slow(512, 40)});
        const int readers = 6;
        std::latch start(readers);
        std::vector<std::string> results(readers);
        std::vector<std::thread> threads;
        for (int i = 0; i < readers; i++)
            threads.emplace_back([&, i] {
                start.arrive_and_wait();
                results[i] = read_check(BLKSZ + i * 700, i == readers - 1 ? 700 : 300);
            });
        for (auto &t : threads)
            t.join();
        for (int i = 0; i < readers; i++)
            EXPECT_EQ(results[i], "") << "reader " << i << (slots_free ? " (background)" : "");
        EXPECT_EQ(requests_for(BLKSZ, BLKSZ), 1u);
        // Joined readers may be served from the live buffer before the segment is stored.
        EXPECT_TRUE(eventually([&] { return present(1); }));
    }

    FaultServer server;
    Cache *cf = nullptr;
    int taken = 0;
};

} // namespace

TEST_F(CacheRead, ReadersOfOneSegmentShareOneBackgroundDownload)
{
    shared_download(true);
}

TEST_F(CacheRead, ReadersOfOneSegmentShareTheFirstReadersDownload)
{
    take_all_slots();
    shared_download(false);
}

TEST_F(CacheRead, JoinedReaderCopiesBeforeTheDownloadEnds)
{
    // Eight pieces of 512 bytes, 300 ms apart: the segment takes over two seconds.
    server.script("GET", "/f.bin", {slow(512, 300)});
    EXPECT_EQ(read_check(BLKSZ, 100), "");
    EXPECT_TRUE(downloading(BLKSZ)) << "the reader waited for the whole segment";
    EXPECT_FALSE(present(1));
    EXPECT_TRUE(eventually([&] { return present(1); }));
    EXPECT_EQ(requests_for(BLKSZ, BLKSZ), 1u);
}

TEST_F(CacheRead, FailedBackgroundDownloadSendsItsReaderToFetchTheSegment)
{
    Reply failure = status(500);
    failure.stall_ms = 300;
    server.script("GET", "/f.bin", {failure});
    // The reader hands the segment to the background, joins that download, and fetches the
    // segment itself once it has failed.
    EXPECT_EQ(read_check(0, 100), "");
    EXPECT_EQ(requests_for(0, BLKSZ), 2u);
    EXPECT_TRUE(present(0));
    EXPECT_EQ(read_check(50, 10), ""); // from the data file
    EXPECT_EQ(requests_for(0, BLKSZ), 2u);
}

TEST_F(CacheRead, FailedDownloadOfTheFirstReaderSendsTheJoinedOneToFetch)
{
    take_all_slots();
    Reply failure = status(500);
    failure.stall_ms = 300;
    server.script("GET", "/f.bin", {failure});
    int64_t first_result = 0;
    std::string first;
    std::thread a([&] { first = read_check(BLKSZ, 100, &first_result); });
    bool seen = server.wait_for(1, "GET", "/f.bin");
    // Joins the first reader's download while it stalls.
    std::string second = seen ? read_check(BLKSZ + 200, 100) : "not requested";
    a.join();
    EXPECT_EQ(first_result, -ENOENT);
    EXPECT_EQ(second, "");
    EXPECT_EQ(requests_for(BLKSZ, BLKSZ), 2u);
    EXPECT_TRUE(present(1));
}

TEST_F(CacheRead, LastPartialSegmentIsAcceptedShort)
{
    take_all_slots();
    EXPECT_EQ(read_check(4 * BLKSZ + 10, 500), ""); // cut at the end of the file
    EXPECT_EQ(requests_for(4 * BLKSZ, 100), 1u);
    EXPECT_TRUE(present(4));
    // A read over the last boundary: the whole segment before it, then the stored remainder.
    EXPECT_EQ(read_check(3 * BLKSZ, BLKSZ + 100), "");
    EXPECT_EQ(server.count("GET", "/f.bin"), 2u);
}

TEST_F(CacheRead, ReadsOutsideTheFileAndFailedPieces)
{
    take_all_slots();
    char buf[16];
    EXPECT_EQ(Cache_read(cf, buf, 0, 0), 0);
    EXPECT_EQ(Cache_read(cf, buf, 16, SIZE), 0);
    EXPECT_EQ(Cache_read(cf, buf, 16, SIZE + 5), 0);
    EXPECT_EQ(Cache_read(cf, buf, 16, -1), 0);
    EXPECT_EQ(Cache_read(cf, buf, -1, 0), -EINVAL);
    EXPECT_EQ(Cache_read(nullptr, buf, 16, 0), -EINVAL);
    EXPECT_EQ(server.count(), 0u);

    // The first piece arrives, the second fails: the read fails, not a short count.
    server.script("GET", "/f.bin", {ranged(), status(404)});
    int64_t result = 0;
    read_check(BLKSZ - 100, 200, &result);
    EXPECT_EQ(result, -ENOENT);
    EXPECT_TRUE(present(0));
    EXPECT_FALSE(present(1));
    EXPECT_FALSE(downloading(BLKSZ));
    // The failed segment is fetched again by the next reader.
    EXPECT_EQ(read_check(BLKSZ - 100, 200), "");
    EXPECT_EQ(requests_for(BLKSZ, BLKSZ), 2u);
}

TEST_F(CacheRead, WithEverySlotTakenTheReaderDownloadsItself)
{
    take_all_slots();
    EXPECT_EQ(read_check(2 * BLKSZ + 1, 10), "");
    // Stored before the read returned, and nothing fetched ahead.
    EXPECT_TRUE(present(2));
    EXPECT_EQ(server.count("GET", "/f.bin"), 1u);
    EXPECT_FALSE(present(3));
}

TEST_F(CacheRead, ReadAheadFetchesTheNextSegmentInTheBackground)
{
    take_all_slots();
    EXPECT_EQ(read_check(0, 10), "");
    give_back_slots();
    // The next read, of a stored segment, starts the download of the one after it.
    EXPECT_EQ(read_check(20, 10), "");
    EXPECT_TRUE(eventually([&] { return present(1); }));
    EXPECT_EQ(requests_for(BLKSZ, BLKSZ), 1u);
    EXPECT_FALSE(present(2)) << "only one segment ahead";

    // Ahead of the fourth segment lies the last, partial one.
    EXPECT_EQ(read_check(3 * BLKSZ, 10), "");
    EXPECT_TRUE(eventually([&] { return present(4); }));
    EXPECT_EQ(requests_for(4 * BLKSZ, 100), 1u);
    // The last segment has nothing ahead of it.
    EXPECT_EQ(read_check(4 * BLKSZ + 50, 50), "");
    EXPECT_TRUE(eventually([&] { return !downloading(4 * BLKSZ) && !downloading(5 * BLKSZ); }));
    EXPECT_EQ(server.count("GET", "/f.bin"), 4u); // segments 0, 1, 3 and 4
}

TEST_F(CacheRead, OneFreeSlotAllowsOneBackgroundDownload)
{
    take_all_slots();
    server.script("GET", "/f.bin", {ranged(), stall(400), ranged()});
    EXPECT_EQ(read_check(0, 10), "");
    checked_sem_post(&cf->bgdl_sem, HERE);
    taken--;
    EXPECT_EQ(read_check(20, 10), ""); // stored; segment 1 ahead, stalling
    ASSERT_TRUE(server.wait_for(2, "GET", "/f.bin"));
    EXPECT_EQ(read_check(2 * BLKSZ, 10), ""); // no slot: fetched here, nothing ahead
    EXPECT_TRUE(eventually([&] { return present(1); }));
    EXPECT_EQ(requests_for(3 * BLKSZ, BLKSZ), 0u);
    EXPECT_EQ(server.count("GET", "/f.bin"), 3u);
}

TEST_F(CacheRead, LastCloseWaitsForBackgroundDownloadsAndMarksTheirSegments)
{
    // Segment 0 at once, segment 1 (ahead) after a stall that outlasts the read.
    server.script("GET", "/f.bin", {ranged(), stall(500)});
    EXPECT_EQ(read_check(0, 10), "");
    ASSERT_TRUE(server.wait_for(2, "GET", "/f.bin"));
    auto before = std::chrono::steady_clock::now();
    Cache_close(cf);
    cf = nullptr;
    EXPECT_GT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(200));

    std::ifstream in(fs::path(meta_dir) / "f.bin", std::ios::binary);
    std::string meta((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(meta.size(), 28u + 5u);
    EXPECT_EQ(meta.substr(28), std::string("\1\1\0\0\0", 5));

    // Reopened, both segments come from the data file.
    cf = Cache_open(root_link_table->links[1]);
    ASSERT_NE(cf, nullptr);
    take_all_slots();
    EXPECT_EQ(read_check(0, 2 * BLKSZ), "");
    EXPECT_EQ(server.count("GET", "/f.bin"), 2u);
}
