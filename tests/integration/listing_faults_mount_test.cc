// Listing mode through the mount against the scripted fault server: temporary failures of
// listing pages, header requests and ranges, final failures, servers without range support,
// short and whole-file answers, a file that shrank, entries without a length or of length
// zero, and where the user's credentials and extra headers go, also with cross-origin links
// mounted. Every mount retries after one second, so each scripted temporary failure costs a
// second.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <future>
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

const std::vector<std::string> RETRY_FAST = {"--retry-wait", "1"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// A listing page at `dir` (ending in "/") naming `names`, each registered as a file of its
// own pattern (directories, ending in "/", get an empty listing).
void serve_dir(FaultServer &server, const std::string &dir, const std::vector<std::string> &names,
               size_t file_size = 10000)
{
    server.add_page(dir, listing_page(dir, names));
    uint32_t seed = 100;
    for (const std::string &name : names) {
        if (name.back() == '/')
            server.add_page(dir + name, listing_page(dir + name, {}));
        else
            server.add_file(dir + name, pattern_bytes(file_size, seed));
        seed++;
    }
}

// The value of a request header ("" when it did not come).
std::string header(const SeenRequest &r, const std::string &name)
{
    auto it = r.headers.find(name);
    return it == r.headers.end() ? "" : it->second;
}

} // namespace

TEST(ListingFaults, TemporaryListingFailuresAreRetriedAndFinalOnesLeaveNothingBehind)
{
    REQUIRE_FUSE();
    FaultServer server;
    serve_dir(server, "/", {"a.bin", "busy/", "gone/"});
    server.add_page("/busy/", listing_page("/busy/", {"in-busy.txt"}));
    server.add_file("/busy/in-busy.txt", "busy");
    server.add_page("/gone/", listing_page("/gone/", {"in-gone.txt"}));
    server.add_file("/gone/in-gone.txt", "gone");
    server.script("GET", "/", {status(429), status(520), status(524)});
    server.script("GET", "/busy/", {status(429)});
    server.script("GET", "/gone/", {status(404)});
    ASSERT_TRUE(server.start());

    Mount m(server.url("/"), RETRY_FAST);
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(server.count("GET", "/"), 4u);
    int err = 0;
    EXPECT_EQ(list_dir(m.path(), &err), (std::set<std::string>{"a.bin", "busy", "gone"}));

    EXPECT_EQ(list_dir(m.path() + "/busy", &err), std::set<std::string>{"in-busy.txt"});
    EXPECT_EQ(err, 0);
    EXPECT_EQ(server.count("GET", "/busy/"), 2u);

    // A 404 on a listing is final for that look-up; nothing is attached, so the next one asks again.
    list_dir(m.path() + "/gone", &err);
    EXPECT_EQ(err, ENOENT);
    EXPECT_EQ(server.count("GET", "/gone/"), 1u);
    EXPECT_EQ(list_dir(m.path() + "/gone", &err), std::set<std::string>{"in-gone.txt"});
    EXPECT_EQ(err, 0);
    EXPECT_EQ(server.count("GET", "/gone/"), 2u);

    EXPECT_EQ(m.stop(), 0);
    std::string log = m.stderr_text();
    EXPECT_TRUE(contains(log, "URL: " + server.url("/") + ", HTTP 429, retrying later.")) << log;
    EXPECT_TRUE(contains(log, "URL: " + server.url("/") + ", HTTP 524, retrying later.")) << log;
    EXPECT_TRUE(contains(log, "cannot retrieve URL: " + server.url("/gone/") + ", HTTP 404")) << log;
}

TEST(ListingFaults, EachEntryIsWhatItsHeaderRequestSays)
{
    REQUIRE_FUSE();
    struct {
        const char *name;
        std::vector<Reply> head_script;
        bool shown;
        long long size;     // when shown
        long head_count;    // HEAD requests the server saw; -1: not checked
        bool uninitialised; // logged "Failed to initialize" when the fill ended
    } cases[] = {
        {"plain.bin", {}, true, 10000, 2, false}, // its own, and moved.bin's redirected one
        {"moved.bin", {redirect("/plain.bin")}, true, 10000, 1, false},
        // Temporary failures of a header request are asked again within the fill.
        {"h429.bin", {status(429)}, true, 10000, 2, false},
        {"h520.bin", {status(520)}, true, 10000, 2, false},
        {"h524.bin", {status(524)}, true, 10000, 2, false},
        {"h503.bin", {status(503)}, true, 10000, 2, false},
        {"h404.bin", {status(404)}, false, 0, 1, false},
        // Without a length the GET of the first byte tells the size.
        {"nolength.bin", {head_without_length()}, true, 10000, 1, false},
        // Temporary failures that use up the retries leave the entry unconfirmed and unlisted
        // (until the directory is opened again, when it is asked again and fails again here).
        {"h429-always.bin", std::vector<Reply>(40, status(429)), false, 0, -1, true},
        // libcurl asks again by itself when a reused connection closes unanswered (a few
        // times at most); every attempt fails here.
        {"dropped.bin", std::vector<Reply>(40, drop()), false, 0, -1, true},
    };
    FaultServer server;
    std::vector<std::string> names;
    for (const auto &c : cases)
        names.push_back(c.name);
    serve_dir(server, "/", names);
    for (const auto &c : cases)
        server.script("HEAD", std::string("/") + c.name, c.head_script);
    ASSERT_TRUE(server.start());

    Mount m(server.url("/"), RETRY_FAST);
    ASSERT_TRUE(m.start()) << m.error();
    int err = 0;
    std::set<std::string> shown = list_dir_confirmed(m.path(), &err);
    ASSERT_EQ(err, 0);
    uint32_t seed = 100;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = m.path() + "/" + c.name;
        EXPECT_EQ(shown.count(c.name) == 1, c.shown);
        struct stat st;
        errno = 0;
        int r = stat(path.c_str(), &st);
        if (c.shown) {
            ASSERT_EQ(r, 0) << strerror(errno);
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_EQ(st.st_size, c.size);
            EXPECT_EQ(st.st_mtime, FAULT_SERVER_MTIME);
            EXPECT_EQ(read_file(path), pattern_bytes(10000, seed));
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_EQ(errno, ENOENT);
        }
        if (c.head_count >= 0) {
            EXPECT_EQ(server.count("HEAD", std::string("/") + c.name), static_cast<size_t>(c.head_count));
        }
        EXPECT_EQ(contains(m.stderr_text(), "Failed to initialize: " + server.url("/") + c.name),
                  c.uninitialised);
        seed++;
    }
    EXPECT_EQ(m.stop(), 0);
}

TEST(ListingFaults, ZeroLengthEntriesAreEmptyFilesOrDirectories)
{
    REQUIRE_FUSE();
    struct {
        const char *what;
        std::vector<std::string> args;
        bool dirs;
    } cases[] = {
        {"by default", {}, false},
        {"with --zero-len-is-dir", {"--zero-len-is-dir"}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FaultServer server;
        serve_dir(server, "/", {"empty", "listed", "plain.bin"});
        server.add_file("/empty", "");
        // A server that reports no length for its directories: the header request says 0
        // bytes, the page itself lists an entry.
        std::string page = listing_page("/listed", {"inner.txt"});
        server.add_page("/listed", page);
        Reply zero;
        zero.body_delta = -static_cast<long>(page.size());
        server.script("HEAD", "/listed", {zero});
        server.add_file("/listed/inner.txt", "inner");
        ASSERT_TRUE(server.start());

        Mount m(server.url("/"), with(RETRY_FAST, c.args));
        ASSERT_TRUE(m.start()) << m.error();
        int err = 0;
        EXPECT_EQ(list_dir(m.path(), &err), (std::set<std::string>{"empty", "listed", "plain.bin"}));
        for (const char *name : {"empty", "listed"}) {
            struct stat st;
            ASSERT_EQ(stat((m.path() + "/" + name).c_str(), &st), 0) << name << ": " << strerror(errno);
            EXPECT_EQ(S_ISDIR(st.st_mode), c.dirs) << name;
            if (!c.dirs) {
                EXPECT_EQ(st.st_size, 0) << name;
                EXPECT_EQ(read_file(m.path() + "/" + name), "") << name;
            }
        }
        size_t gets = server.count("GET", "/listed") + server.count("GET", "/empty");
        if (c.dirs) {
            EXPECT_EQ(list_dir(m.path() + "/listed", &err), std::set<std::string>{"inner.txt"});
            EXPECT_EQ(read_file(m.path() + "/listed/inner.txt"), "inner");
            // An empty page is no listing.
            list_dir(m.path() + "/empty", &err);
            EXPECT_EQ(err, ENOENT);
        } else {
            // Nothing is asked for a file of no bytes.
            EXPECT_EQ(server.count("GET", "/listed") + server.count("GET", "/empty"), gets);
        }
        EXPECT_EQ(m.stop(), 0);
    }
}

TEST(ListingFaults, RangeFailuresAreRetriedOrReportedAndShortAnswersNeverHandedOver)
{
    REQUIRE_FUSE();
    Reply lower_case = no_range_headers();
    lower_case.headers = {"accept-ranges: bytes"};
    struct {
        const char *name;
        std::vector<Reply> script;
        int err;       // 0: the right bytes
        long requests; // GETs the server saw; -1: at least one
    } cases[] = {
        {"429-then-206", {status(429), ranged()}, 0, 2},
        {"520-524-then-206", {status(520), status(524), ranged()}, 0, 3},
        {"503-then-206", {status(503), ranged()}, 0, 2},
        {"short-then-206", {short_body(100), ranged()}, 0, 2},
        {"long-then-206", {long_body(100), ranged()}, 0, 2},
        {"cut-then-206", {cut(1000), ranged()}, 0, 2},
        {"lower-case-header", {lower_case}, 0, 1},
        {"404", {status(404)}, ENOENT, 1},
        // Retries end: five attempts in all, then the read fails; the file still exists.
        {"429-always", std::vector<Reply>(5, status(429)), EIO, 5},
        // No answer at all: a broken transfer, asked again until the retries are used up.
        // libcurl itself may ask again on a fresh connection.
        {"dropped", std::vector<Reply>(40, drop()), EIO, -1},
    };
    const size_t SIZE = 10000;
    FaultServer server;
    std::vector<std::string> names;
    for (const auto &c : cases)
        names.push_back(c.name);
    serve_dir(server, "/", names, SIZE);
    for (const auto &c : cases)
        server.script("GET", std::string("/") + c.name, c.script);
    ASSERT_TRUE(server.start());

    Mount m(server.url("/"), RETRY_FAST);
    ASSERT_TRUE(m.start()) << m.error();
    uint32_t seed = 100;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const off_t OFFSET = 1234;
        int err = 0;
        std::string got = direct_read(m.path() + "/" + c.name, SIZE, OFFSET, &err);
        EXPECT_EQ(err, c.err) << strerror(err);
        if (c.err == 0) {
            EXPECT_EQ(got.size(), SIZE - OFFSET);
            EXPECT_EQ(pattern_check(got, OFFSET, seed), "");
        }
        size_t seen = server.count("GET", std::string("/") + c.name);
        if (c.requests < 0) {
            EXPECT_GE(seen, 1u);
        } else {
            EXPECT_EQ(seen, static_cast<size_t>(c.requests));
        }
        seed++;
    }
    EXPECT_EQ(m.stop(), 0);
    std::string log = m.stderr_text();
    EXPECT_TRUE(contains(log, "Could not download " + server.url("/404") + ", HTTP 404")) << log;
    EXPECT_TRUE(contains(log, "req_size != recv, req_size: 8766, recv: 8666, retrying...")) << log;
    EXPECT_TRUE(contains(log, "Could not download " + server.url("/dropped") + ", HTTP 0")) << log;
}

TEST(ListingFaults, ServerWithoutRangeSupportFailsItsReadsUnlessTheCheckIsOff)
{
    REQUIRE_FUSE();
    Reply error_page = status(404);
    error_page.range_headers = false;
    Reply whole_file = ignore_range();
    whole_file.range_headers = false;
    struct {
        const char *what;
        Reply reply;
        std::vector<std::string> args;
        int err; // what every read gets (0: the right bytes)
    } cases[] = {
        {"206 without range headers", no_range_headers(), {}, EIO},
        // An error status is judged by its status, whatever its headers.
        {"404 without range headers", error_page, {}, ENOENT},
        {"whole file without range headers", whole_file, {}, EIO},
        {"206 without range headers, check off", no_range_headers(), {"--no-range-check"}, 0},
        {"whole file without range headers, check off", whole_file, {"--no-range-check"}, 0},
    };
    const size_t SIZE = 1 << 20;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FaultServer server;
        serve_dir(server, "/", {"file.bin"}, SIZE);
        server.script("GET", "/file.bin", std::vector<Reply>(20, c.reply));
        ASSERT_TRUE(server.start());
        Mount m(server.url("/"), with(RETRY_FAST, c.args));
        ASSERT_TRUE(m.start()) << m.error();

        const off_t OFFSETS[] = {0, 4096 * 37 + 5, SIZE - 1000};
        for (off_t offset : OFFSETS) {
            int err = 0;
            std::string got = direct_read(m.path() + "/file.bin", 4096, offset, &err);
            EXPECT_EQ(err, c.err) << offset << ": " << strerror(err);
            if (c.err)
                continue;
            EXPECT_EQ(pattern_check(got, static_cast<uint64_t>(offset), 100), "") << offset;
            EXPECT_EQ(got.size(), std::min<size_t>(4096, SIZE - static_cast<size_t>(offset))) << offset;
        }
        if (c.err) {
            // The mount stays; the reads fail at once, without retries, and the line that says
            // why comes once and names the way out. The read at 0 starts the read-ahead, whose
            // request is one more; after its reply the handle reads with exact requests only.
            EXPECT_TRUE(m.mounted());
            EXPECT_EQ(server.count("GET", "/file.bin"), std::size(OFFSETS) + 1);
            EXPECT_EQ(m.stop(), 0);
            size_t lines = 0;
            std::string log = m.stderr_text();
            for (size_t at = log.find("does not support HTTP range requests"); at != std::string::npos;
                 at = log.find("does not support HTTP range requests", at + 1))
                lines++;
            EXPECT_EQ(lines, c.err == EIO ? 1u : 0u) << log;
            if (c.err == EIO) {
                EXPECT_TRUE(contains(log, "--no-range-check")) << log;
            }
        } else {
            // One request per read: a whole-file answer is cut to the asked-for bytes, not asked again.
            EXPECT_EQ(server.count("GET", "/file.bin"), std::size(OFFSETS));
            EXPECT_EQ(m.stop(), 0);
            EXPECT_FALSE(contains(m.stderr_text(), "retrying")) << m.stderr_text();
        }
    }
}

TEST(ListingFaults, CredentialsAndExtraHeadersReachEveryRequest)
{
    REQUIRE_FUSE();
    FaultServer server;
    serve_dir(server, "/", {"a.bin", "sub/"});
    serve_dir(server, "/sub/", {"b.bin"});
    server.require_auth("alice", "secret");
    ASSERT_TRUE(server.start());

    Mount m(server.url("/"), with(RETRY_FAST, {"-u", "alice", "-p", "secret", "--http-header",
                                               "X-Tarnwick-One: 1", "--http-header", "X-Tarnwick-Two: 2"}));
    ASSERT_TRUE(m.start()) << m.error();
    int err = 0;
    EXPECT_EQ(list_dir(m.path() + "/sub", &err), std::set<std::string>{"b.bin"});
    EXPECT_EQ(read_file(m.path() + "/a.bin"), pattern_bytes(10000, 100));
    EXPECT_EQ(read_file(m.path() + "/sub/b.bin"), pattern_bytes(10000, 100));
    EXPECT_EQ(m.stop(), 0);

    std::vector<SeenRequest> seen = server.requests();
    std::set<std::string> asked;
    for (const SeenRequest &r : seen) {
        SCOPED_TRACE(r.method + " " + r.path);
        asked.insert(r.method + " " + r.path);
        EXPECT_EQ(r.user, "alice");
        EXPECT_EQ(header(r, "x-tarnwick-one"), "1");
        EXPECT_EQ(header(r, "x-tarnwick-two"), "2");
    }
    for (const char *want : {"GET /", "HEAD /a.bin", "HEAD /sub/", "GET /sub/", "HEAD /sub/b.bin",
                             "GET /a.bin", "GET /sub/b.bin"}) {
        EXPECT_TRUE(asked.count(want)) << want;
    }
    // Basic credentials go with the first request: the listing is not asked twice.
    EXPECT_EQ(server.count("GET", "/"), 1u);
}

// The user's credentials for the mounted server: "alice" with an extra header.
const std::vector<std::string> ALICE = {"--external-links", "-u", "alice", "-p", "secret", "--http-header",
                                        "X-Tarnwick-One: 1"};

// Every request `server` saw came without credentials and without the extra header.
void expect_no_credentials(const FaultServer &server)
{
    for (const SeenRequest &r : server.requests()) {
        SCOPED_TRACE(r.method + " " + r.path);
        EXPECT_FALSE(r.credentials);
        EXPECT_EQ(r.headers.count("x-tarnwick-one"), 0u);
    }
}

TEST(ListingFaults, CrossOriginLinksGetNeitherCredentialsNorExtraHeaders)
{
    REQUIRE_FUSE();
    FaultServer other;
    other.add_file("/ext.bin", pattern_bytes(5000, 7));
    other.add_file("/locked.bin", pattern_bytes(5000, 8));
    other.require_auth_for("/locked.bin", "bob", "hunter2");
    ASSERT_TRUE(other.start());

    FaultServer own;
    own.add_page("/", listing_page("/", {"sub/"}));
    own.add_page("/sub/", listing_page("/sub/", {"own.bin", "private.bin", other.url("/ext.bin"),
                                                 other.url("/locked.bin")}));
    own.add_file("/sub/own.bin", pattern_bytes(5000, 9));
    own.add_file("/sub/private.bin", pattern_bytes(5000, 10));
    own.require_auth("alice", "secret");
    own.require_auth_for("/sub/private.bin", "carol", "other");
    ASSERT_TRUE(own.start());

    Mount m(own.url("/"), with(RETRY_FAST, ALICE));
    ASSERT_TRUE(m.start()) << m.error();
    int err = 0;
    EXPECT_EQ(list_dir_confirmed(m.path() + "/sub", &err), (std::set<std::string>{"own.bin", "ext.bin"}));
    EXPECT_EQ(read_file(m.path() + "/sub/ext.bin"), pattern_bytes(5000, 7));
    EXPECT_EQ(read_file(m.path() + "/sub/own.bin"), pattern_bytes(5000, 9));
    EXPECT_EQ(m.stop(), 0);

    // The directory is built again for the reads after its release: each build asks again.
    expect_no_credentials(other);
    EXPECT_GE(other.count("HEAD", "/ext.bin"), 1u);
    EXPECT_GE(other.count("HEAD", "/locked.bin"), 1u);
    EXPECT_GE(other.count("GET", "/ext.bin"), 1u);
    for (const SeenRequest &r : own.requests()) {
        SCOPED_TRACE(r.method + " " + r.path);
        EXPECT_EQ(r.user, "alice");
        EXPECT_EQ(header(r, "x-tarnwick-one"), "1");
    }
    EXPECT_GE(own.count("GET", "/sub/own.bin"), 1u);

    // Only the other origin's refusal is blamed on the credential rule.
    std::string log = m.stderr_text();
    EXPECT_TRUE(contains(log, other.url("/locked.bin") + ": HTTP 401")) << log;
    EXPECT_TRUE(contains(log, "External link " + other.url("/locked.bin") +
                                  " requires authentication (HTTP 401). Credentials are only applied to the "
                                  "mounted server."))
        << log;
    EXPECT_TRUE(contains(log, own.url("/sub/private.bin") + ": HTTP 401")) << log;
    EXPECT_FALSE(contains(log, "External link " + own.url("/sub/private.bin"))) << log;
}

// The header requests of the root listing's entries run before the root table is in place;
// a cross-origin entry there must not get the credentials either.
TEST(ListingFaults, CrossOriginLinksOfTheRootListingGetNoCredentials)
{
    REQUIRE_FUSE();
    FaultServer other;
    other.add_file("/ext.bin", pattern_bytes(5000, 7));
    ASSERT_TRUE(other.start());
    FaultServer own;
    own.add_page("/", listing_page("/", {"own.bin", other.url("/ext.bin")}));
    own.add_file("/own.bin", pattern_bytes(5000, 9));
    own.require_auth("alice", "secret");
    ASSERT_TRUE(own.start());

    Mount m(own.url("/"), with(RETRY_FAST, ALICE));
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(read_file(m.path() + "/ext.bin"), pattern_bytes(5000, 7));
    EXPECT_EQ(m.stop(), 0);
    EXPECT_EQ(other.count("HEAD", "/ext.bin"), 1u);
    expect_no_credentials(other);
}

// A file that shrank on the server after its header request: a range past its new end gets
// 416 and no bytes. That answer will not change however often it is asked for, so the read
// must end (at the end of the file or with an error) instead of being retried for ever.
TEST(ListingFaults, RangeBeyondAShrunkFileEndsTheRead)
{
    REQUIRE_FUSE();
    FaultServer server;
    serve_dir(server, "/", {"shrinks.bin"}, 10000);
    ASSERT_TRUE(server.start());
    Mount m(server.url("/"), RETRY_FAST);
    ASSERT_TRUE(m.start()) << m.error();
    struct stat st;
    ASSERT_EQ(stat((m.path() + "/shrinks.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 10000);
    server.add_file("/shrinks.bin", pattern_bytes(100, 100));

    std::promise<std::string> read_done;
    std::future<std::string> result = read_done.get_future();
    std::thread reader([&] {
        int err = 0;
        std::string got = direct_read(m.path() + "/shrinks.bin", 1000, 5000, &err);
        read_done.set_value(got);
    });
    // Each retry waits a second; a read still going after 20 tries is retried for ever.
    bool ended = result.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    EXPECT_TRUE(ended) << "the read was still retrying after " << server.count("GET", "/shrinks.bin")
                       << " requests";
    m.stop(); // ends a read that is still waiting
    reader.join();
    EXPECT_EQ(result.get(), "");
}

TEST(ListingFaults, MaxConnsLimitsTheConnectionsOfTheHeaderRequests)
{
    REQUIRE_FUSE();
    // Header requests that each take a while, more of them than any limit: as many are
    // answered at once as there are connections, the default of 6 or --max-conns.
    struct {
        std::vector<std::string> args;
        size_t connections;
    } cases[] = {{{}, 6}, {{"--max-conns", "16"}, 16}, {{"--max-conns", "2"}, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.connections);
        FaultServer server;
        std::vector<std::string> names;
        for (int i = 0; i < 40; i++)
            names.push_back("f" + std::to_string(i));
        serve_dir(server, "/", names, 100);
        for (const std::string &name : names)
            server.script("HEAD", "/" + name, {stall(300)});
        ASSERT_TRUE(server.start());
        Mount m(server.url("/"), with(RETRY_FAST, c.args));
        ASSERT_TRUE(m.start()) << m.error();
        int err = 0;
        EXPECT_EQ(list_dir_confirmed(m.path(), &err).size(), names.size());
        EXPECT_EQ(server.max_in_flight(), c.connections);
        EXPECT_EQ(m.stop(), 0);
    }
}
