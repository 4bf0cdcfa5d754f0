// The life of a cached file: opening validates the pair of files against the Link or makes it
// anew, openers share one Cache, the last close writes the bitmap back, and teardown waits for
// the readers still counted on the Cache.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cache/cache.h"
#include "cache_test_support.h"
#include "config.h"
#include "link/link.h"
#include "util.h"

namespace fs = std::filesystem;
using cache_test::CacheDirTest;
using cache_test::fixture;
using cache_test::read_file;
using cache_test::write_file;
using testing::HasSubstr;
using testing::Not;

namespace
{

const int64_t MTIME = 1700000000;

// The meta file of the 10-byte file in segments of 4 with this bitmap.
std::string ten_byte_meta(const std::string &bitmap)
{
    return fixture("good.meta").substr(0, 28) + bitmap;
}

// A listing root with a 10-byte file, an empty file and a file in a subdirectory, and the cache
// in a temporary directory (the cache system starts once per process).
class CacheLifecycle : public CacheDirTest
{
  protected:
    void SetUp() override
    {
        CacheDirTest::SetUp();
        CONFIG.mode = MODE_LISTING;
        CONFIG.data_blksz = 4;
        CONFIG.max_conns = 6;
        const char *url = "http://127.0.0.1/pub/";
        root_url_len = static_cast<int32_t>(strlen(url)) - 1;
        root_link_table = LinkTable_alloc(url);
        file = add("f.bin", "f.bin", 10);
        add("empty.bin", "empty.bin", 0);
        add("deep.bin", "sub/deep.bin", 10)->sonic_id = checked_strdup("42", HERE);
    }
    void TearDown() override
    {
        LinkTable_free(root_link_table);
        root_link_table = nullptr;
    }

    Link *add(const char *name, const char *below_root, int64_t size)
    {
        Link *link = Link_new(name, LINK_FILE);
        Link_set_url(link, (std::string("http://127.0.0.1/pub/") + below_root).c_str());
        link->content_length = size;
        link->time = MTIME;
        LinkTable_add(root_link_table, link);
        return link;
    }

    // Cache_open of the link at `path`, the way the filesystem's open calls it: with a look-up
    // reference held for the call.
    static Cache *open_path(const char *path)
    {
        LinkRef link(path_to_Link(path));
        return link ? Cache_open(link.get()) : nullptr;
    }

    static fs::path meta(const std::string &key) { return fs::path(meta_dir) / key; }
    static fs::path data(const std::string &key) { return fs::path(data_dir) / key; }

    Link *file = nullptr;
};

} // namespace

TEST_F(CacheLifecycle, DamagedFilesAreRejectedWithTheirMessageAndRebuilt)
{
    const std::string rebuilt = ten_byte_meta(std::string(3, '\0'));
    struct {
        const char *meta;
        int64_t data_size; // -1: no data file
        bool kept;
        const char *message;
    } cases[] = {
        {"good.meta", 10, true, nullptr},
        {"extra_bytes.meta", 10, true, nullptr},
        {"good.meta", 12, true, nullptr}, // a longer data file is accepted
        {"other_blksz.meta", 10, true, "Warning: cf->blksz != CONFIG.data_blksz\n"},
        {"short_header.meta", 10, false, "error reading core metadata /f.bin!\n"},
        {"zero_size.meta", 10, false, "corruption: content_length: 0, blksz: 4, segbc: 3\n"},
        {"overflow.meta", 10, false, "Error: segbc upper bound overflow\n"},
        {"outdated.meta", 10, false, "outdated cache file: /f.bin (disk: 1699999999, link: 1700000000)\n"},
        {"size_mismatch.meta", 10, false, "cache size mismatch: /f.bin (disk: 11, link: 10)\n"},
        {"wrong_segbc.meta", 10, false, "Error: invalid segbc size: 4 (expected: 3)\n"},
        {"missing_last_byte.meta", 10, false, "attempted to read past the end of the file!\n"},
        {"good.meta", 9, false,
         "metadata inconsistency /f.bin, cf->link->content_length: 10, Data_size(fn): 9.\n"},
        {"good.meta", -1, false, "Cache file partially missing or invalid (zero-length).\n"},
        {"good.meta", 0, false, "Cache file partially missing or invalid (zero-length).\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.meta) + ", data file of " + std::to_string(c.data_size));
        std::string stored = fixture(c.meta);
        write_file(meta("f.bin"), stored);
        fs::remove(data("f.bin"));
        if (c.data_size >= 0)
            write_file(data("f.bin"), std::string(static_cast<size_t>(c.data_size), 'x'));

        testing::internal::CaptureStderr();
        Cache *cf = open_path("/f.bin");
        std::string log = testing::internal::GetCapturedStderr();
        ASSERT_NE(cf, nullptr);
        if (c.message) {
            EXPECT_THAT(log, HasSubstr(c.message));
        }
        if (c.kept) {
            EXPECT_THAT(log, Not(HasSubstr("metadata error")));
            EXPECT_EQ(fs::file_size(data("f.bin")), static_cast<uintmax_t>(c.data_size));
        } else {
            if (std::string(c.meta) != "good.meta") {
                EXPECT_THAT(log, HasSubstr("metadata error: /f.bin.\n"));
            }
            EXPECT_EQ(cf->blksz, 4);
            EXPECT_EQ(std::string(cf->seg, 3), std::string(3, '\0'));
            EXPECT_EQ(read_file(data("f.bin")), std::string(10, '\0')) << "a new, empty data file";
        }
        Cache_close(cf);
        // The last close rewrites the header and bitmap in place and cuts nothing.
        EXPECT_EQ(read_file(meta("f.bin")), c.kept ? stored : rebuilt);
    }
}

TEST_F(CacheLifecycle, OpenersShareOneCacheAndTheLastCloseWritesTheBitmap)
{
    int32_t refs = root_link_table->refcount;
    Cache *first = open_path("/f.bin");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(file->cache_ptr, first);
    EXPECT_EQ(fs::file_size(meta("f.bin")), 28u + 3u);
    EXPECT_EQ(fs::file_size(data("f.bin")), 10u);
    Cache *second = open_path("/f.bin");
    EXPECT_EQ(second, first);
    EXPECT_EQ(first->cache_opened, 2);
    // The Cache keeps the first opener's reference on the table, and only that one.
    EXPECT_EQ(root_link_table->refcount, refs + 1);

    {
        ScopedLock guard(&first->bitmap_lock, HERE);
        Cache_segment_mark(first, 1); // as a download would
        Cache_segment_mark(first, 3); // no such segment
    }
    Cache_close(second);
    EXPECT_EQ(first->cache_opened, 1);
    EXPECT_EQ(read_file(meta("f.bin")), ten_byte_meta(std::string(3, '\0'))) << "not written yet";
    Cache_close(first);
    EXPECT_EQ(file->cache_ptr, nullptr);
    EXPECT_EQ(root_link_table->refcount, refs);
    EXPECT_EQ(read_file(meta("f.bin")), ten_byte_meta(std::string("\0\1\0", 3)));

    Cache *again = open_path("/f.bin");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(std::string(again->seg, 3), std::string("\0\1\0", 3));
    Cache_close(again);
}

TEST_F(CacheLifecycle, ZeroLengthFilesAreNeverCached)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(open_path("/empty.bin"), nullptr);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("Zero-length files are not supported in cache system\n"));
    EXPECT_FALSE(fs::exists(meta("empty.bin")));
    EXPECT_FALSE(fs::exists(data("empty.bin")));
    EXPECT_EQ(open_path("/missing.bin"), nullptr);
}

TEST_F(CacheLifecycle, KeyByMode)
{
    struct {
        int32_t mode;
        const char *path;
        const char *key;
    } cases[] = {
        {MODE_LISTING, "/deep.bin", "sub/deep.bin"}, // the URL's path below the root
        {MODE_SONIC, "/deep.bin", "42"},             // the server's id
        {MODE_SINGLE_FILE, "/deep.bin", "deep.bin"}, // the mount path
        {MODE_SONIC, "/evil.bin", "..%2F..%2Fx%2F.."},
        {MODE_SONIC, "/dot.bin", "%2E"},
        {MODE_SONIC, "/dots.bin", "%2E%2E"},
        {MODE_SONIC, "/near.bin", "a__b"}, // distinct from "a..b" and "a/b"
    };
    CacheDir_create("/sub/");
    // A server id never names a place outside the cache directories, nor a directory.
    add("evil.bin", "evil.bin", 10)->sonic_id = checked_strdup("../../x/..", HERE);
    add("dot.bin", "dot.bin", 10)->sonic_id = checked_strdup(".", HERE);
    add("dots.bin", "dots.bin", 10)->sonic_id = checked_strdup("..", HERE);
    add("near.bin", "near.bin", 10)->sonic_id = checked_strdup("a__b", HERE);
    for (const auto &c : cases) {
        CONFIG.mode = c.mode;
        Cache *cf = open_path(c.path);
        ASSERT_NE(cf, nullptr) << c.key;
        Cache_close(cf);
        EXPECT_EQ(fs::file_size(meta(c.key)), 31u) << c.key;
        EXPECT_EQ(fs::file_size(data(c.key)), 10u) << c.key;
        Cache_delete(LinkRef(path_to_Link(c.path)).get());
        EXPECT_FALSE(fs::exists(meta(c.key))) << c.key;
        EXPECT_FALSE(fs::exists(data(c.key))) << c.key;
    }
}

TEST_F(CacheLifecycle, BackgroundSlotsAreHalfTheConnectionsFromOneToThree)
{
    struct {
        int64_t max_conns;
        int32_t slots;
    } cases[] = {{-4, 1}, {0, 1}, {1, 1}, {3, 1}, {4, 2}, {5, 2}, {6, 3}, {8, 3}, {100, 3}};
    for (const auto &c : cases) {
        CONFIG.max_conns = c.max_conns;
        Cache *cf = Cache_alloc();
        EXPECT_EQ(cf->bgdl_slots, c.slots) << c.max_conns;
        int free_slots = 0;
        while (free_slots <= 3 && checked_sem_trywait(&cf->bgdl_sem, HERE) == 0)
            free_slots++;
        EXPECT_EQ(free_slots, c.slots) << c.max_conns;
        for (int i = 0; i < free_slots; i++)
            checked_sem_post(&cf->bgdl_sem, HERE);
        Cache_free(cf);
    }
}

TEST_F(CacheLifecycle, TeardownWakesAndWaitsForAJoinedReader)
{
    // A Cache of the 10-byte file whose first segment is being downloaded (its record listed,
    // no transfer yet), and a reader of that segment: the read path joins the download and
    // waits on it.
    Cache *cf = Cache_alloc();
    cf->link = file;
    cf->version = FileVersion{10, MTIME};
    cf->blksz = 4;
    cf->segbc = 3;
    {
        ScopedLock bitmap(&cf->bitmap_lock, HERE);
        cf->seg = static_cast<char *>(checked_calloc(3, 1, HERE));
    }
    {
        ScopedLock guard(&cf->active_dl_lock, HERE);
        ActiveDownload_add(cf, 0);
    }
    int64_t result = 0;
    std::thread reader([&] {
        char buf[4];
        result = Cache_read(cf, buf, 4, 0, 0);
    });
    bool joined = false;
    for (int i = 0; i < 500 && !joined; i++) {
        {
            ScopedLock guard(&cf->active_dl_lock, HERE);
            joined = cf->waiter_count == 1;
        }
        if (!joined)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(joined);
    testing::internal::CaptureStderr();
    Cache_free(cf); // wakes the reader and returns only once it has left
    std::string log = testing::internal::GetCapturedStderr();
    reader.join();
    EXPECT_EQ(result, -EIO);
    EXPECT_THAT(log, HasSubstr("Cache_free: ActiveDownload at offset 0 has refcount 2 (transfer or waiters "
                               "still active)\n"));
}
