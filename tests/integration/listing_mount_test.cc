// Listing mode through the mount against a real nginx: the mounted tree against the served
// one (names, types, sizes, times, contents), random and concurrent reads of a large file, a
// large directory, awkward names, what is refused, when a directory's listing is fetched
// again, and single-file mode. One nginx and one mount serve the suite; tests that count
// requests look only at paths of their own, or at how the counts change.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <latch>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/support/harness.h"
#include "servers/fault_server.h"

namespace
{

const size_t BIG_SIZE = 64u << 20;
const uint32_t BIG_SEED = 64;
const int MANY_ENTRIES = 3000;

// Names a real tree holds that need care on the way through the listing: blanks, non-ASCII
// bytes, percent signs (also one followed by hex digits, which must not be decoded again),
// and characters that nginx escapes in references.
const char *const AWKWARD_NAMES[] = {
    "with space.txt", "два слова.txt", "100% sure.txt", "a%41b.txt",
    "%2F.txt",        "a&b+c.txt",     "hash#and?.txt", "sub dir/inner file.txt",
};

// What one entry of a tree shows to stat.
struct Entry {
    bool dir = false;
    long long size = 0;
    time_t mtime = 0;
    bool operator==(const Entry &o) const { return dir == o.dir && size == o.size && mtime == o.mtime; }
};

std::ostream &operator<<(std::ostream &os, const Entry &e)
{
    if (e.dir)
        return os << "dir";
    return os << "file size " << e.size << " mtime " << e.mtime;
}

// Every entry below `root`, by path relative to it, read with readdir and lstat as any program
// would. Directories carry no size and no time: nginx sends no Last-Modified for a listing
// page, so the mount has none to show.
bool scan(const std::string &root, const std::string &rel, std::map<std::string, Entry> *out)
{
    std::string dir = rel.empty() ? root : root + "/" + rel;
    int err = 0;
    std::set<std::string> names = list_dir(dir, &err);
    if (err) {
        ADD_FAILURE() << "opendir " << dir << ": " << strerror(err);
        return false;
    }
    bool ok = true;
    for (const std::string &name : names) {
        std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (lstat((root + "/" + path).c_str(), &st)) {
            ADD_FAILURE() << "lstat " << root << "/" << path << ": " << strerror(errno);
            ok = false;
            continue;
        }
        Entry e;
        e.dir = S_ISDIR(st.st_mode);
        if (!e.dir) {
            EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
            e.size = st.st_size;
            e.mtime = st.st_mtime;
        }
        (*out)[path] = e;
        if (e.dir)
            ok = scan(root, path, out) && ok;
    }
    return ok;
}

std::string many_name(int i)
{
    char name[16];
    snprintf(name, sizeof name, "f%04d", i);
    return name;
}

} // namespace

class ListingMount : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        if (!fuse_available())
            return;
        tree = std::make_unique<TempDir>("listing-tree");
        std::vector<TreeEntry> entries = {
            {"small.txt", pattern_bytes(1000, 1)},
            {"empty.bin", ""},
            {"big.bin", pattern_bytes(BIG_SIZE, BIG_SEED)},
            {"odd-size.bin", pattern_bytes(300007, 2)},
            {"docs/readme.txt", "read me\n"},
            {"docs/deeper/notes.txt", pattern_bytes(4097, 3)},
            {"docs/deeper/deepest/last.bin", pattern_bytes(131073, 4)},
            {"docs/empty-dir/"},
            {"rebuild/only.txt", "only\n"},
            {"stat-target.bin", pattern_bytes(5000, 5)},
        };
        for (const char *name : AWKWARD_NAMES)
            entries.push_back({std::string("names/") + name, std::string("contents of ") + name});
        for (int i = 0; i < MANY_ENTRIES; i++)
            entries.push_back({"many/" + many_name(i), many_name(i)});
        if (!make_tree(tree->path(), entries))
            return;
        // Distinct times, so that a time shown for the wrong entry is seen.
        time_t t = 1500000000;
        for (const TreeEntry &e : entries) {
            if (e.path.back() != '/' && !set_mtime(tree->at(e.path), t))
                return;
            t += 3601;
        }
        nginx = std::make_unique<Nginx>(tree->path(), true);
        if (!nginx->start()) {
            ADD_FAILURE() << nginx->error();
            return;
        }
        mount = std::make_unique<Mount>(nginx->url("/"));
        if (!mount->start()) {
            ADD_FAILURE() << mount->error();
            return;
        }
        ready = true;
    }

    static void TearDownTestSuite()
    {
        if (mount) {
            EXPECT_EQ(mount->stop(), 0);
        }
        mount.reset();
        nginx.reset();
        tree.reset();
        ready = false;
    }

    void SetUp() override
    {
        REQUIRE_FUSE();
        ASSERT_TRUE(ready) << "the suite's nginx or mount did not start";
        ASSERT_TRUE(mount->mounted());
    }

    static std::string at(const std::string &rel) { return mount->path() + "/" + rel; }

    static inline std::unique_ptr<TempDir> tree;
    static inline std::unique_ptr<Nginx> nginx;
    static inline std::unique_ptr<Mount> mount;
    static inline bool ready = false;
};

TEST_F(ListingMount, TreeShowsTheServedNamesTypesSizesTimesAndBytes)
{
    std::map<std::string, Entry> served, shown;
    ASSERT_TRUE(scan(tree->path(), "", &served));
    ASSERT_TRUE(scan(mount->path(), "", &shown));
    EXPECT_EQ(shown.size(), served.size());
    for (const auto &[path, want] : served) {
        auto it = shown.find(path);
        if (it == shown.end()) {
            ADD_FAILURE() << "missing from the mount: " << path;
            continue;
        }
        EXPECT_EQ(it->second, want) << path;
    }
    for (const auto &[path, got] : shown) {
        EXPECT_TRUE(served.count(path)) << "not served, but shown: " << path;
    }

    for (const auto &[path, e] : served) {
        if (!e.dir && path.rfind("many/", 0) != 0) {
            EXPECT_EQ(sha256_file(at(path)), sha256_file(tree->at(path))) << path;
        }
    }
    // The root is answered without a look-up: a directory of 0755 owned by the mounting user.
    struct stat st;
    ASSERT_EQ(stat(mount->path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFDIR | 0755));
    EXPECT_EQ(st.st_uid, getuid());
    ASSERT_EQ(stat(at("small.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0444));
    EXPECT_EQ(st.st_blksize, 131072);
    EXPECT_EQ(st.st_blocks, 1); // 1000 / 512
}

TEST_F(ListingMount, RandomReadsOfALargeFileAreByteExact)
{
    uint32_t seed = test_seed();
    std::cout << "random read seed: " << seed << " (set TARNWICK_TEST_SEED to repeat)" << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    size_t gets = nginx->count("GET", "/big.bin");
    int fd = open(at("big.bin").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << strerror(errno);
    for (int i = 0; i < 200; i++) {
        // One read in four lands within the last MiB, so that reads cut at the end are common.
        uint64_t offset = i % 4 == 3 ? BIG_SIZE - 1 - rng() % (1 << 20) : rng() % BIG_SIZE;
        size_t len = 1 + rng() % (1 << 20);
        int err = 0;
        std::string got = pread_all(fd, len, static_cast<off_t>(offset), &err);
        ASSERT_EQ(err, 0) << "read " << i << ": " << len << " bytes at " << offset << ": " << strerror(err);
        size_t want = std::min<uint64_t>(len, BIG_SIZE - offset);
        ASSERT_EQ(got.size(), want) << "read " << i << ": " << len << " bytes at " << offset;
        ASSERT_EQ(pattern_check(got, offset, BIG_SEED), "") << "read " << i;
    }
    close(fd);
    // The bytes came from the server, not from pages the kernel kept from an earlier test.
    EXPECT_GT(nginx->count("GET", "/big.bin"), gets);
}

TEST_F(ListingMount, ConcurrentReadersOfOneFileAreByteExact)
{
    const int READERS = 8;
    const size_t SPAN = 3u << 20, STEP = 100003;
    std::vector<std::string> faults(READERS);
    std::latch go(READERS);
    std::vector<std::thread> readers;
    for (int r = 0; r < READERS; r++) {
        readers.emplace_back([&, r] {
            // Each reader starts elsewhere, off any page boundary.
            uint64_t start = static_cast<uint64_t>(r) * (7u << 20) + static_cast<uint64_t>(r) * 4099;
            int fd = open(at("big.bin").c_str(), O_RDONLY);
            go.arrive_and_wait();
            if (fd < 0) {
                faults[r] = std::string("open: ") + strerror(errno);
                return;
            }
            for (uint64_t off = start; off < start + SPAN && faults[r].empty(); off += STEP) {
                int err = 0;
                std::string got = pread_all(fd, STEP, static_cast<off_t>(off), &err);
                if (err)
                    faults[r] = "read at " + std::to_string(off) + ": " + strerror(err);
                else if (got.size() != STEP)
                    faults[r] = "short read at " + std::to_string(off) + ": " + std::to_string(got.size());
                else
                    faults[r] = pattern_check(got, off, BIG_SEED);
            }
            close(fd);
        });
    }
    for (std::thread &t : readers)
        t.join();
    for (int r = 0; r < READERS; r++)
        EXPECT_EQ(faults[r], "") << "reader " << r;
}

TEST_F(ListingMount, LargeDirectoryListsCompletely)
{
    int err = 0;
    std::set<std::string> names = list_dir(at("many"), &err);
    ASSERT_EQ(err, 0) << strerror(err);
    std::set<std::string> want;
    for (int i = 0; i < MANY_ENTRIES; i++)
        want.insert(many_name(i));
    EXPECT_EQ(names.size(), want.size());
    EXPECT_TRUE(names == want);
    EXPECT_EQ(read_file(at("many/" + many_name(MANY_ENTRIES - 1))), many_name(MANY_ENTRIES - 1));
}

TEST_F(ListingMount, AwkwardNamesAreShownAndReadAsServed)
{
    int err = 0;
    std::set<std::string> names = list_dir(at("names"), &err);
    ASSERT_EQ(err, 0) << strerror(err);
    std::set<std::string> want;
    for (const char *name : AWKWARD_NAMES) {
        std::string n = name;
        want.insert(n.substr(0, n.find('/')));
        std::string bytes;
        EXPECT_EQ(try_read_file(at("names/" + n), &bytes), 0) << n;
        EXPECT_EQ(bytes, "contents of " + n) << n;
    }
    for (const std::string &n : want) {
        EXPECT_TRUE(names.count(n)) << "missing: " << n;
    }
    for (const std::string &n : names) {
        EXPECT_TRUE(want.count(n)) << "not served: " << n;
    }
}

TEST_F(ListingMount, PathBelowAFileIsNotFoundAndTheFileIsNotFetched)
{
    size_t gets = nginx->count("GET", "/stat-target.bin");
    // The kernel answers a look-up below a regular file itself; a name below a missing entry
    // reaches the program, which finds nothing.
    struct {
        const char *path;
        int err;
    } cases[] = {
        {"stat-target.bin/x", ENOTDIR},
        {"stat-target.bin/x/y", ENOTDIR},
        {"no-such-entry/x", ENOENT},
        {"docs/no-such-entry", ENOENT},
    };
    for (const auto &c : cases) {
        struct stat st;
        errno = 0;
        EXPECT_EQ(stat(at(c.path).c_str(), &st), -1) << c.path;
        EXPECT_EQ(errno, c.err) << c.path << ": " << strerror(errno);
        int err = 0;
        list_dir(at(c.path), &err);
        EXPECT_EQ(err, c.err) << "opendir " << c.path;
    }
    EXPECT_EQ(nginx->count("GET", "/stat-target.bin"), gets);
    EXPECT_EQ(nginx->count("GET", "/no-such-entry/"), 0u);
}

TEST_F(ListingMount, OpensForWritingAreRefused)
{
    struct {
        const char *what;
        int flags;
        int err;
    } cases[] = {
        {"read only", O_RDONLY, 0},
        {"write only", O_WRONLY, EROFS},
        {"read and write", O_RDWR, EROFS},
        {"write only, appending", O_WRONLY | O_APPEND, EROFS},
    };
    for (const auto &c : cases) {
        errno = 0;
        int fd = open(at("small.txt").c_str(), c.flags);
        EXPECT_EQ(fd >= 0 ? 0 : errno, c.err) << c.what << ": " << strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    EXPECT_EQ(read_file(at("small.txt")), pattern_bytes(1000, 1));
}

TEST_F(ListingMount, ReleasedDirectoryIsFetchedAgainButTheRootIsNot)
{
    // A released directory's table goes once nobody holds it: its last release, or the end
    // of the confirmation of its entries, which holds it meanwhile. A listing after that
    // fetches the page again; the root's never goes.
    Mount m(nginx->url("/"), {"-s"});
    ASSERT_TRUE(m.start()) << m.error();
    size_t listing = nginx->count("GET", "/rebuild/");
    size_t root = nginx->count("GET", "/");
    for (size_t round = 1; round <= 3; round++) {
        int err = 0;
        for (int i = 0; i < 100 && nginx->count("GET", "/rebuild/") < listing + round; i++) {
            EXPECT_EQ(list_dir(m.path() + "/rebuild", &err), std::set<std::string>{"only.txt"})
                << "round " << round;
            EXPECT_EQ(err, 0);
            nginx->wait_for(listing + round, "GET", "/rebuild/", 50);
        }
        EXPECT_EQ(nginx->count("GET", "/rebuild/"), listing + round) << "round " << round;
        list_dir(m.path(), &err);
        EXPECT_EQ(err, 0);
    }
    EXPECT_EQ(nginx->count("GET", "/"), root);
    EXPECT_EQ(m.stop(), 0);
}

TEST(ListingSingleFile, OneEntryNamedAfterTheUrlWithItsSizeAndBytes)
{
    REQUIRE_FUSE();
    TempDir tree("single-tree");
    const std::string bytes = pattern_bytes(200001, 9);
    ASSERT_TRUE(make_tree(tree.path(), {{"dir/plain.bin", bytes}, {"dir/with space %.bin", bytes}}));
    Nginx nginx(tree.path(), true);
    ASSERT_TRUE(nginx.start()) << nginx.error();
    struct {
        const char *url_path;
        const char *name;
    } cases[] = {
        {"/dir/plain.bin", "plain.bin"},
        {"/dir/with%20space%20%25.bin", "with space %.bin"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.url_path);
        Mount m(nginx.url(c.url_path), {"--single-file-mode"});
        ASSERT_TRUE(m.start()) << m.error();
        int err = 0;
        EXPECT_EQ(list_dir(m.path(), &err), std::set<std::string>{c.name});
        struct stat st;
        ASSERT_EQ(stat((m.path() + "/" + c.name).c_str(), &st), 0) << strerror(errno);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_size, static_cast<off_t>(bytes.size()));
        EXPECT_EQ(sha256_file(m.path() + "/" + c.name), sha256_hex(bytes));
        EXPECT_EQ(m.stop(), 0);
    }
    EXPECT_EQ(nginx.count("HEAD", "/dir/plain.bin"), 1u);
}
