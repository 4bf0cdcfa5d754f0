// Directory tables saved beside the cache: the bytes of a ".LinkTable" file, loading it back,
// rejecting (and deleting) damaged files, and saves that race with loads and with each other.
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iterator>
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
using testing::HasSubstr;

namespace
{

const int64_t MTIME = 1700000000;

Link *add(LinkTable *linktbl, const std::string &name, const std::string &url, LinkType type, int64_t size,
          int64_t time)
{
    Link *link = Link_new(name.c_str(), type);
    Link_set_url(link, url.c_str());
    link->content_length = size;
    link->time = time;
    LinkTable_add(linktbl, link);
    return link;
}

// The table of the two_links.LinkTable fixture.
LinkTable *two_links()
{
    LinkTable *linktbl = LinkTable_alloc("http://127.0.0.1/pub/");
    linktbl->index_time = MTIME;
    add(linktbl, "a file.bin", "http://127.0.0.1/pub/a%20file.bin", LINK_FILE, 10, MTIME);
    return linktbl;
}

// A table of n links whose names and sizes tell them apart.
LinkTable *numbered(int n)
{
    LinkTable *linktbl = LinkTable_alloc("http://127.0.0.1/pub/many/");
    linktbl->index_time = n;
    for (int i = 1; i < n; i++)
        add(linktbl, "entry" + std::to_string(i), "http://127.0.0.1/pub/many/entry" + std::to_string(i),
            i % 2 ? LINK_FILE : LINK_DIR, i * 1000, MTIME + i);
    return linktbl;
}

// Field for field, as the file keeps them; a loaded table is unattached and has no linkpaths.
void expect_loaded_as(const LinkTable *loaded, const LinkTable *saved)
{
    ASSERT_NE(loaded, nullptr);
    ASSERT_EQ(loaded->size, saved->size);
    EXPECT_EQ(loaded->index_time, saved->index_time);
    EXPECT_EQ(loaded->refcount, 0);
    EXPECT_EQ(loaded->orphaned, 0);
    EXPECT_EQ(loaded->parent, nullptr);
    for (int32_t i = 0; i < saved->size; i++) {
        const Link *a = loaded->links[i];
        const Link *b = saved->links[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(std::string(a->linkname), std::string(b->linkname).substr(0, 255));
        EXPECT_EQ(std::string(a->f_url), std::string(b->f_url).substr(0, 1024));
        EXPECT_EQ(a->type.load(), b->type.load());
        EXPECT_EQ(a->content_length.load(), b->content_length.load());
        EXPECT_EQ(a->time.load(), b->time.load());
        EXPECT_EQ(a->linktbl, loaded);
        EXPECT_STREQ(a->linkpath, "");
        EXPECT_EQ(a->next, nullptr);
        EXPECT_EQ(a->cache_ptr, nullptr);
    }
}

class TableFile : public CacheDirTest
{
  protected:
    static fs::path table_path(const std::string &dir) { return fs::path(meta_dir) / dir / ".LinkTable"; }
};

} // namespace

TEST_F(TableFile, BytesArePinnedAndLoadBackFieldForField)
{
    LinkTable *saved = two_links();
    ASSERT_EQ(LinkTable_disk_save(saved, "/"), 0);
    EXPECT_EQ(read_file(table_path("")), fixture("two_links.LinkTable"));
    LinkTable *loaded = LinkTable_disk_open("/");
    expect_loaded_as(loaded, saved);
    LinkTable_free(loaded);
    LinkTable_free(saved);
}

TEST_F(TableFile, TableOfNLinksTakesTwelvePlus1299PerLink)
{
    CacheDir_create("/many/");
    LinkTable *saved = numbered(7);
    // Names and URLs at their full width carry no terminating NUL in the file.
    add(saved, std::string(255, 'n'), "http://127.0.0.1/" + std::string(1007, 'u'), LINK_FILE, 1, 2);
    ASSERT_EQ(strlen(saved->links[7]->f_url), 1024u);
    ASSERT_EQ(LinkTable_disk_save(saved, "/many/"), 0);
    EXPECT_EQ(fs::file_size(table_path("many")), 12u + 1299u * 8u);
    LinkTable *loaded = LinkTable_disk_open("/many/");
    expect_loaded_as(loaded, saved);
    LinkTable_free(loaded);

    // Saving again replaces the file whole, also with a smaller table.
    LinkTable *smaller = numbered(2);
    ASSERT_EQ(LinkTable_disk_save(smaller, "/many/"), 0);
    EXPECT_EQ(fs::file_size(table_path("many")), 12u + 1299u * 2u);
    LinkTable_free(smaller);
    LinkTable_free(saved);
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(meta_dir) / "many"), fs::directory_iterator()), 1)
        << "no temporary file is left behind";
}

TEST_F(TableFile, DamagedFilesAreRejectedAndDeleted)
{
    struct {
        const char *file;
        const char *message; // null: the table loads
    } cases[] = {
        {"short.LinkTable", "Failed to read the header of %s!\n"},
        {"size_zero.LinkTable", "Invalid link table size: 0 in %s!\n"},
        {"size_negative.LinkTable", "Invalid link table size: -1 in %s!\n"},
        {"size_too_large.LinkTable", "Invalid link table size: 3 in %s!\n"},
        {"extra_bytes.LinkTable", nullptr}, // bytes after the records are never read
    };
    const std::string path = table_path("").string();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        fs::copy_file(fs::path(TARNWICK_FIXTURES_DIR) / "cache" / c.file, path,
                      fs::copy_options::overwrite_existing);
        testing::internal::CaptureStderr();
        LinkTable *loaded = LinkTable_disk_open("/");
        std::string log = testing::internal::GetCapturedStderr();
        if (!c.message) {
            LinkTable *expected = two_links();
            expect_loaded_as(loaded, expected);
            LinkTable_free(expected);
            LinkTable_free(loaded);
            EXPECT_TRUE(fs::exists(path));
            continue;
        }
        EXPECT_EQ(loaded, nullptr);
        std::string message = c.message;
        message.replace(message.find("%s"), 2, path);
        EXPECT_THAT(log, HasSubstr(message));
        EXPECT_FALSE(fs::exists(path)) << "a damaged file is deleted so that the listing is fetched";
    }
}

TEST_F(TableFile, MissingFileOrDirectory)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(LinkTable_disk_open("/"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    LinkTable *linktbl = two_links();
    testing::internal::CaptureStderr();
    EXPECT_EQ(LinkTable_disk_save(linktbl, "/nowhere/"), -1);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("fopen(" + table_path("nowhere").string() + "): No such file or directory\n"));
    LinkTable_free(linktbl);
}

TEST_F(TableFile, ConcurrentSavesLeaveOneWholeTableForEveryLoad)
{
    LinkTable *small = numbered(2);
    LinkTable *big = numbered(40);
    ASSERT_EQ(LinkTable_disk_save(small, "/"), 0);
    std::atomic<bool> stop{false};
    auto writer = [&](LinkTable *linktbl) {
        for (int i = 0; i < 200 && !stop; i++)
            EXPECT_EQ(LinkTable_disk_save(linktbl, "/"), 0);
    };
    std::thread a(writer, small);
    std::thread b(writer, big);
    std::string fault;
    for (int load = 0; load < 400 && fault.empty(); load++) {
        LinkTable *loaded = LinkTable_disk_open("/");
        if (!loaded) {
            fault = "load " + std::to_string(load) + " met a partial table";
            break;
        }
        const LinkTable *expected = loaded->size == 2 ? small : big;
        if (loaded->size != expected->size)
            fault = "a table of " + std::to_string(loaded->size) + " links";
        for (int32_t i = 0; fault.empty() && i < loaded->size; i++)
            if (strcmp(loaded->links[i]->linkname, expected->links[i]->linkname) != 0)
                fault = "a mixed table at link " + std::to_string(i);
        LinkTable_free(loaded);
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_EQ(fault, "");
    LinkTable_free(small);
    LinkTable_free(big);
}
