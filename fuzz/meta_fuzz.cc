// meta_fuzz.cc: the meta file reader and the opening of a cached file, on arbitrary meta file
// contents. The input is the meta file of one cached file.
// Meta_read runs against a Link that agrees with the file's own header and against one of a
// fixed 10-byte file: it must either fail or leave a bitmap of exactly segbc bytes, segbc
// being the segment count of the Link's size, with the file long enough to have held it.
// Cache_open, for sizes up to MAX_OPEN_SIZE, runs with the data file in place and without it:
// whatever the meta file held, the file must open (the pair is rebuilt when unusable), and
// after the last close the meta file must read back.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sanitizer/allocator_interface.h>
#include <string>
#include <unistd.h>

#include "cache/cache.h"
#include "config.h"
#include "fuzz_support.h"
#include "link/link.h"
#include "util.h"

static const char ROOT_URL[] = "http://127.0.0.1/pub/";
static const char FILE_NAME[] = "f.bin";
// The cache key of ROOT_URL + FILE_NAME.
static const char KEY[] = "/f.bin";
// The Link of the committed meta fixtures.
static const int64_t FIXTURE_TIME = 1700000000;
static const int64_t FIXTURE_SIZE = 10;
// Larger files are only read, not opened: rebuilding their pair would take a bitmap byte per
// segment of the configured size.
static const int64_t MAX_OPEN_SIZE = 1 << 20;
static const int32_t SEGMENT_SIZE = 4096;

static Link *file_link;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_config();
    CONFIG.data_blksz = SEGMENT_SIZE;
    fuzz_start_cache();
    fuzz_mount_root(ROOT_URL);
    file_link = Link_new(FILE_NAME, LINK_FILE);
    Link_set_url(file_link, (std::string(ROOT_URL) + FILE_NAME).c_str());
    LinkTable_add(root_link_table, file_link);
    return 0;
}

static std::string meta_path()
{
    char *path = path_append(meta_dir, KEY);
    std::string result = path;
    checked_free(path);
    return result;
}

static std::string data_path()
{
    char *path = path_append(data_dir, KEY);
    std::string result = path;
    checked_free(path);
    return result;
}

// The bitmap of a Cache that Meta_read accepted, against the Link it was read for.
static void check_bitmap(const Cache *cf, int64_t file_size, const char *where)
{
    int64_t content_length = cf->link->content_length;
    std::string shown = std::string(where) + ": segbc " + std::to_string(cf->segbc) + ", blksz " +
                        std::to_string(cf->blksz) + ", size " + std::to_string(content_length);
    fuzz_require(cf->seg != nullptr, "an accepted meta file leaves a bitmap", shown);
    fuzz_require(cf->segbc == segment_count(content_length, cf->blksz),
                 "an accepted bitmap has one byte per segment of the file", shown);
    fuzz_require(__sanitizer_get_allocated_size(cf->seg) == static_cast<size_t>(cf->segbc),
                 "an accepted bitmap is exactly segbc bytes", shown);
    if (file_size >= 0)
        fuzz_require(cf->segbc <= file_size - 28, "an accepted bitmap was read from the file", shown);
}

// Meta_read of the meta file in place, for `link`; checks what it accepts and returns its result.
static int read_meta(Link *link, int64_t file_size, const char *where)
{
    Cache *cf = Cache_alloc();
    cf->fn = checked_strdup(KEY, HERE);
    cf->link = link;
    fuzz_require(Meta_open(cf) == 0, "the meta file in place opens", where);
    int result = Meta_read(cf);
    if (result == 0)
        check_bitmap(cf, file_size, where);
    fclose(cf->mfp);
    cf->mfp = nullptr;
    Cache_free(cf);
    return result;
}

static void open_cached_file(bool with_data, const uint8_t *data, size_t size)
{
    fuzz_write_file(meta_path(), data, size);
    std::string data_file = data_path();
    unlink(data_file.c_str());
    if (with_data) {
        fuzz_write_file(data_file, nullptr, 0);
        fuzz_require(truncate(data_file.c_str(), file_link->content_length) == 0, "the data file is made");
    }
    const char *where = with_data ? "Cache_open with the data file" : "Cache_open without the data file";
    Cache *cf = Cache_open(file_link);
    fuzz_require(cf != nullptr, "a cached file opens whatever its meta file held", where);
    fuzz_require(cf->link == file_link && file_link->cache_ptr == cf, "the open Cache is the link's", where);
    check_bitmap(cf, -1, where);
    Cache_close(cf);
    fuzz_require(file_link->cache_ptr == nullptr, "the last close detaches the Cache", where);
    // The close wrote the bitmap back over a pair that was accepted or made anew.
    fuzz_require(read_meta(file_link, -1, where) == 0, "a closed cache leaves a meta file that reads", where);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int64_t header_time = FIXTURE_TIME;
    int64_t header_size = FIXTURE_SIZE;
    if (size >= 16) {
        memcpy(&header_time, data, sizeof(header_time));
        memcpy(&header_size, data + 8, sizeof(header_size));
    }

    fuzz_write_file(meta_path(), data, size);
    Link *link = Link_new(FILE_NAME, LINK_FILE);
    link->time = header_time;
    link->content_length = header_size;
    read_meta(link, static_cast<int64_t>(size), "Meta_read for the header's own file");
    link->time = FIXTURE_TIME;
    link->content_length = FIXTURE_SIZE;
    read_meta(link, static_cast<int64_t>(size), "Meta_read for the fixtures' file");
    Link_free(link);

    if (header_size > 0 && header_size <= MAX_OPEN_SIZE) {
        file_link->time = header_time;
        file_link->content_length = header_size;
        open_cached_file(true, data, size);
        open_cached_file(false, data, size);
    }
    return 0;
}
