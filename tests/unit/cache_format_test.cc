// The cache's file formats: segment counts, the meta file's bytes, the data file's size and
// holes, the transfers between data file and memory, and the list of segment downloads.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

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
using testing::HasSubstr;

namespace
{

// One cache directory for the process (the cache system starts once), emptied before each test.
class CacheFormat : public CacheDirTest
{
  protected:
    void SetUp() override
    {
        CacheDirTest::SetUp();
        CONFIG.data_blksz = 4;
        link = Link_new("f.bin", LINK_FILE);
        link->content_length = 10;
        link->time = 1700000000;
        cf = Cache_alloc();
        cf->fn = checked_strdup("f.bin", HERE);
        cf->link = link;
    }
    void TearDown() override
    {
        if (cf->mfp)
            fclose(cf->mfp);
        if (cf->dfp)
            fclose(cf->dfp);
        Cache_free(cf);
        Link_free(link);
    }

    // A Cache of the 10-byte link in segments of 4, bitmap 1 0 1.
    void describe_ten_bytes()
    {
        cf->blksz = 4;
        cf->segbc = segment_count(10, 4);
        cf->seg = static_cast<char *>(checked_calloc(3, 1, HERE));
        cf->seg[0] = 1;
        cf->seg[2] = 1;
    }

    Link *link = nullptr;
    Cache *cf = nullptr;
};

} // namespace

TEST(SegmentCount, CeilingCappedAtTheLargestInt32)
{
    struct {
        int64_t length;
        int32_t blksz;
        int64_t segbc;
    } cases[] = {
        {10, 4, 3},
        {8, 4, 2},
        {1, 4, 1},
        {8388608, 8388608, 1},
        {8388609, 8388608, 2},
        {0, 4, 0},
        {-1, 4, 0},
        {10, 0, 0},
        {10, -4, 0},
        {2147483646, 1, 2147483646},
        {2147483647, 1, 2147483647},
        {2147483648, 1, 2147483647}, // the quotient is past the cap
        {INT64_MAX, 1, 2147483647},
    };
    for (const auto &c : cases)
        EXPECT_EQ(segment_count(c.length, c.blksz), c.segbc) << c.length << " / " << c.blksz;
}

TEST_F(CacheFormat, MetaFileBytesArePinned)
{
    describe_ten_bytes();
    Meta_create(cf);
    ASSERT_EQ(Meta_open(cf), 0);
    ASSERT_EQ(Meta_write(cf), 0);
    ASSERT_EQ(fclose(cf->mfp), 0);
    cf->mfp = nullptr;
    // time, content_length, blksz, segbc (at offset 20, unaligned), then one byte per segment.
    std::string bytes = read_file(fs::path(meta_dir) / "f.bin");
    EXPECT_EQ(bytes.size(), 28u + 3u);
    EXPECT_EQ(bytes, fixture("good.meta"));
}

TEST_F(CacheFormat, MetaWriteRefusesACountThatDisagreesWithTheLink)
{
    describe_ten_bytes();
    Meta_create(cf);
    ASSERT_EQ(Meta_open(cf), 0);
    link->content_length = 13; // four segments now
    testing::internal::CaptureStderr();
    EXPECT_EQ(Meta_write(cf), -1);
    EXPECT_THAT(
        testing::internal::GetCapturedStderr(),
        HasSubstr("invalid metadata for write: content_length: 13, blksz: 4, segbc: 3 (expected: 4)\n"));
    fflush(cf->mfp);
    EXPECT_EQ(fs::file_size(fs::path(meta_dir) / "f.bin"), 0u);
}

TEST_F(CacheFormat, MetaReadTakesTheStoredSegmentSize)
{
    std::string bytes = fixture("other_blksz.meta");
    std::ofstream(fs::path(meta_dir) / "f.bin", std::ios::binary) << bytes;
    ASSERT_EQ(Meta_open(cf), 0);
    testing::internal::CaptureStderr();
    ASSERT_EQ(Meta_read(cf), 0);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("Warning: cf->blksz != CONFIG.data_blksz\n"));
    EXPECT_EQ(cf->blksz, 2);
    EXPECT_EQ(cf->segbc, 5);
    EXPECT_EQ(std::string(cf->seg, 5), std::string("\1\1\0\0\1", 5));
    EXPECT_TRUE(Cache_segment_present(cf, 4));
    EXPECT_FALSE(Cache_segment_present(cf, 5)); // no bitmap byte
    EXPECT_FALSE(Cache_segment_present(cf, -1));
}

TEST_F(CacheFormat, DataFileIsMadeAtFullLengthWithoutData)
{
    link->content_length = 64 << 20;
    Data_create(cf);
    fs::path path = fs::path(data_dir) / "f.bin";
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 64 << 20);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the data file should be sparse";
    EXPECT_EQ(Data_size("f.bin"), 64 << 20);

    // An existing file keeps its first bytes and is cut to the link's length.
    std::ofstream(path, std::ios::binary) << "0123456789abcdef";
    link->content_length = 10;
    Data_create(cf);
    EXPECT_EQ(read_file(path), "0123456789");
    EXPECT_EQ(Data_size("missing"), -1);
}

TEST_F(CacheFormat, DataReadAndWriteStayWithinTheFile)
{
    Data_create(cf);
    ASSERT_EQ(Data_open(cf), 0);
    EXPECT_EQ(Data_write(cf, "abcd", 4, 4), 4);
    EXPECT_EQ(Data_write(cf, "ij", 2, 8), 2);

    char buf[16] = {};
    EXPECT_EQ(Data_read(cf, buf, 4, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    // Near the end only the bytes up to the link's size come back.
    EXPECT_EQ(Data_read(cf, buf, 16, 6), 4);
    EXPECT_EQ(std::string(buf, 4), std::string("cdij"));
    EXPECT_EQ(read_file(fs::path(data_dir) / "f.bin"), std::string("\0\0\0\0abcdij", 10));

    // At or past the end nothing is read; the stream is not even looked at.
    FILE *dfp = cf->dfp;
    cf->dfp = nullptr;
    EXPECT_EQ(Data_read(cf, buf, 4, 10), 0);
    EXPECT_EQ(Data_read(cf, buf, 4, 1000), 0);
    cf->dfp = dfp;

    struct {
        int64_t len;
        const char *message;
    } reads[] = {{0, "requested to read 0 byte!\n"}, {-1, "requested to read negative bytes: -1\n"}};
    for (const auto &c : reads) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Data_read(cf, buf, c.len, 0), -EINVAL);
        EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr(c.message));
    }
    for (int64_t len : {0, -3}) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(Data_write(cf, "x", len, 0), -EINVAL);
        EXPECT_THAT(testing::internal::GetCapturedStderr(),
                    HasSubstr("requested to write 0 or negative bytes: " + std::to_string(len) + "\n"));
    }
}

TEST_F(CacheFormat, DataWriteThatCannotReachTheDiskIsNotACompleteWrite)
{
    // A few bytes fit in the stream's buffer, so fwrite reports them all; the disk is full.
    cf->dfp = fopen("/dev/full", "r+");
    ASSERT_NE(cf->dfp, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Data_write(cf, "abcd", 4, 0), -EIO);
    EXPECT_THAT(testing::internal::GetCapturedStderr(), HasSubstr("fwrite(): encountered error!\n"));
}

TEST_F(CacheFormat, ActiveDownloadListAndReferences)
{
    ScopedLock guard(&cf->active_dl_lock, HERE);
    ActiveDownload_add(cf, 0);
    ActiveDownload_add(cf, 8);
    ActiveDownload *first = ActiveDownload_find(cf, 0);
    ActiveDownload *second = ActiveDownload_find(cf, 8);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(cf->active_downloads, second); // newest first
    EXPECT_EQ(first->refcount, 1);
    EXPECT_EQ(first->transfer, nullptr);
    EXPECT_EQ(first->done, 0);
    EXPECT_EQ(ActiveDownload_find(cf, 4), nullptr);

    // A waiter's reference keeps a removed record alive, marked done.
    first->refcount++;
    ActiveDownload_remove(cf, 0);
    EXPECT_EQ(ActiveDownload_find(cf, 0), nullptr);
    EXPECT_EQ(first->done, 1);
    EXPECT_EQ(first->refcount, 1);
    EXPECT_EQ(cf->active_downloads, second);
    EXPECT_EQ(second->next, nullptr);
    ActiveDownload_unref(first);
    ActiveDownload_unref(nullptr);

    ActiveDownload_remove(cf, 4); // not listed: no effect
    EXPECT_EQ(cf->active_downloads, second);
    ActiveDownload_remove(cf, 8);
    EXPECT_EQ(cf->active_downloads, nullptr);
}
