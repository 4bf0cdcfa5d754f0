// Mounts against the servers users point the program at, Debian's own, each on loopback with a
// generated configuration: lighttpd over plain HTTP (which would take the cleartext HTTP/2
// upgrade), nginx over TLS with HTTP/2, with basic authentication and with redirects, Apache
// with its sort links and its HEADs of empty files without a length, tinyproxy as a forward
// proxy, and Python's http.server, which serves no ranges. Then the listings of each server
// against the tree they serve, and the start-up failures a user meets with them, each said in
// one line that names what to mend.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <iostream>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "integration/support/harness.h"
#include "integration/support/servers.h"
#include "servers/fault_server.h"

namespace
{

size_t occurrences(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

// The names readdir gives, sorted, duplicates kept (list_dir's set would hide them); at most
// 10,000. A directory that does not open gives none, and a test failure.
std::vector<std::string> readdir_names(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (!dir) {
        ADD_FAILURE() << "opendir " << path << ": " << strerror(errno);
        return names;
    }
    while (names.size() < 10000) {
        struct dirent *entry = readdir(dir);
        if (!entry)
            break;
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// readdir_names once every entry is confirmed, as list_dir_confirmed does it: a listing shows
// names whose header requests are still out (and may fail), so each is looked up and the
// directory listed again, all while it is held open.
std::vector<std::string> dir_entries(const std::string &path)
{
    DIR *held = opendir(path.c_str());
    std::vector<std::string> names = readdir_names(path);
    for (const std::string &name : names) {
        struct stat st;
        stat((path + "/" + name).c_str(), &st);
    }
    names = readdir_names(path);
    if (held)
        closedir(held);
    return names;
}

// Every request nginx logged came over `protocol`; false (with the offender) when one did not
// or none came.
testing::AssertionResult all_over(const std::vector<LoggedRequest> &log, const std::string &protocol)
{
    if (log.empty())
        return testing::AssertionFailure() << "no request was logged";
    for (const LoggedRequest &r : log) {
        if (r.protocol != protocol)
            return testing::AssertionFailure() << r.method << " " << r.uri << " came over " << r.protocol;
    }
    return testing::AssertionSuccess();
}

// What "alice" and "secret" become in a Basic Authorization header.
const char *const ALICE_SECRET = "Basic YWxpY2U6c2VjcmV0";

// The user's secrets as options (alice's credentials and an API key in an extra header), and
// the request headers nginx logs to show where they went.
const std::vector<std::string> ALICE_WITH_KEY = {"-u",     "alice",         "-p",
                                                 "secret", "--http-header", "X-Api-Key: k"};
const std::vector<std::string> LOGGED_SECRETS = {"Authorization", "X-Api-Key"};

// Every request `server` logged came without the credentials and without the extra header.
void expect_no_secrets(const Nginx &server)
{
    for (const LoggedRequest &r : server.requests()) {
        SCOPED_TRACE(r.method + " " + r.uri);
        EXPECT_TRUE(r.headers.empty()) << r.headers.begin()->first << ": " << r.headers.begin()->second;
    }
}

// A directory of many files, each of its own size and its own bytes, so that a reply handed to
// the wrong transfer shows as a wrong size or as another file's bytes.
const int MANY_FILES = 300;

std::string many_name(int i)
{
    char name[16];
    snprintf(name, sizeof name, "f%03d", i);
    return name;
}

size_t many_size(int i)
{
    return static_cast<size_t>(1000 + 331 * i);
}

uint32_t many_seed(int i)
{
    return static_cast<uint32_t>(1000 + i);
}

// One fresh mount of the many files: every name listed, every size exact, and `ranges` ranges
// picked by `rng` byte-exact, read four at a time. Returns the mount's standard error.
std::string check_many_files(const std::string &url, const std::vector<std::string> &args,
                             const ProgramOptions &opts, std::mt19937_64 &rng, int ranges)
{
    const size_t READERS = 4;
    Mount m(url, args, opts);
    if (!m.start()) {
        ADD_FAILURE() << m.error();
        return "";
    }
    std::vector<std::string> names;
    for (int i = 0; i < MANY_FILES; i++)
        names.push_back(many_name(i));
    EXPECT_EQ(dir_entries(m.path()), names);
    for (int i = 0; i < MANY_FILES; i++) {
        struct stat st;
        if (stat((m.path() + "/" + many_name(i)).c_str(), &st)) {
            ADD_FAILURE() << many_name(i) << ": " << strerror(errno);
            continue;
        }
        EXPECT_EQ(st.st_size, static_cast<off_t>(many_size(i))) << many_name(i);
    }

    struct Range {
        int file;
        uint64_t offset;
        size_t len;
    };
    std::vector<Range> sample;
    for (int r = 0; r < ranges; r++) {
        int file = static_cast<int>(rng() % MANY_FILES);
        sample.push_back({file, rng() % many_size(file), 1 + static_cast<size_t>(rng() % 65536)});
    }
    std::vector<std::string> faults(sample.size());
    std::vector<std::thread> readers;
    for (size_t t = 0; t < READERS; t++) {
        readers.emplace_back([&, t] {
            for (size_t r = t; r < sample.size(); r += READERS) {
                const Range &range = sample[r];
                int err = 0;
                std::string got = direct_read(m.path() + "/" + many_name(range.file), range.len,
                                              static_cast<off_t>(range.offset), &err);
                size_t want = std::min<uint64_t>(range.len, many_size(range.file) - range.offset);
                if (err)
                    faults[r] = strerror(err);
                else if (got.size() != want)
                    faults[r] = "got " + std::to_string(got.size()) + " bytes";
                else
                    faults[r] = pattern_check(got, range.offset, many_seed(range.file));
            }
        });
    }
    for (std::thread &reader : readers)
        reader.join();
    for (size_t r = 0; r < sample.size(); r++) {
        EXPECT_EQ(faults[r], "") << many_name(sample[r].file) << ": " << sample[r].len << " bytes at "
                                 << sample[r].offset;
    }
    EXPECT_EQ(m.stop(), 0);
    std::string log = m.stderr_text();
    EXPECT_FALSE(contains(log, "Failed to initialize")) << log.substr(0, 4000);
    EXPECT_FALSE(contains(log, "framing layer")) << log.substr(0, 4000);
    return log;
}

} // namespace

// Many header requests and ranges in flight at once, against lighttpd over plain HTTP, which
// would take the cleartext HTTP/2 upgrade and then now and then hand replies to the wrong
// transfers (hence ten fresh mounts, and a look at what the first one asked for), and over
// HTTP/2 through TLS, against lighttpd and nginx.
TEST(RealServers, ManyFilesKeepTheirSizesAndBytesOverEachProtocol)
{
    REQUIRE_FUSE();
    TempDir tree("many-tree");
    std::vector<TreeEntry> entries;
    for (int i = 0; i < MANY_FILES; i++)
        entries.push_back({many_name(i), pattern_bytes(many_size(i), many_seed(i))});
    ASSERT_TRUE(make_tree(tree.path(), entries));
    Certificate cert;
    ASSERT_TRUE(cert.make()) << cert.error();
    Lighttpd lighttpd(tree.path());
    Lighttpd lighttpd_tls(tree.path(), &cert);
    Nginx nginx_tls(tree.path(), {.tls = &cert});
    ASSERT_TRUE(lighttpd.start()) << lighttpd.error();
    ASSERT_TRUE(lighttpd_tls.start()) << lighttpd_tls.error();
    ASSERT_TRUE(nginx_tls.start()) << nginx_tls.error();

    uint32_t seed = test_seed();
    std::cout << "range sample seed: " << seed << " (set TARNWICK_TEST_SEED to repeat)" << std::endl;
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const std::vector<std::string> TRUST = {"--cacert", cert.cert_file()};
    struct {
        const char *what;
        std::string url;
        std::vector<std::string> args;
        int mounts;
    } cases[] = {
        {"lighttpd, plain HTTP", lighttpd.url("/"), {}, 10},
        {"lighttpd, TLS", lighttpd_tls.url("/"), TRUST, 3},
        {"nginx, TLS", nginx_tls.url("/"), TRUST, 3},
    };
    for (const auto &c : cases) {
        for (int round = 0; round < c.mounts; round++) {
            SCOPED_TRACE(std::string(c.what) + ", mount " + std::to_string(round));
            // The first plain mount also logs libcurl's requests: none asks for the upgrade.
            bool watched = round == 0 && c.url == lighttpd.url("/");
            ProgramOptions opts;
            if (watched)
                opts.env = {"TARNWICK_LOG_LEVEL=" + std::to_string(15 | 0x100)};
            std::string log = check_many_files(c.url, c.args, opts, rng, 32);
            if (watched) {
                EXPECT_TRUE(contains(log, "> HEAD /" + many_name(MANY_FILES - 1) + " HTTP/1.1"))
                    << log.substr(0, 4000);
                EXPECT_FALSE(contains(log, "h2c")) << log.substr(0, 4000);
            }
        }
    }
}

// Trusted through --cacert or through --capath, a self-signed server is listed and read, and
// every request goes over HTTP/2, reads included.
TEST(RealServers, NginxOverTlsIsTrustedThroughCacertOrCapathAndSpokenToOverHttp2)
{
    REQUIRE_FUSE();
    TempDir tree("tls-tree");
    const std::string bytes = pattern_bytes(300007, 3);
    ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", bytes}, {"sub/b.txt", "bee"}}));
    Certificate cert;
    ASSERT_TRUE(cert.make()) << cert.error();
    Nginx nginx(tree.path(), {.access_log = true, .tls = &cert});
    ASSERT_TRUE(nginx.start()) << nginx.error();
    struct {
        const char *what;
        std::vector<std::string> args;
    } cases[] = {
        {"--cacert", {"--cacert", cert.cert_file()}},
        {"--capath", {"--capath", cert.capath()}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Mount m(nginx.url("/"), c.args);
        ASSERT_TRUE(m.start()) << m.error();
        int err = 0;
        EXPECT_EQ(list_dir(m.path(), &err), (std::set<std::string>{"a.bin", "sub"}));
        EXPECT_EQ(list_dir(m.path() + "/sub", &err), std::set<std::string>{"b.txt"});
        EXPECT_EQ(sha256_file(m.path() + "/a.bin"), sha256_hex(bytes));
        EXPECT_EQ(pattern_check(direct_read(m.path() + "/a.bin", 70000, 123457, &err), 123457, 3), "");
        EXPECT_EQ(err, 0) << strerror(err);
        EXPECT_EQ(read_file(m.path() + "/sub/b.txt"), "bee");
        EXPECT_EQ(m.stop(), 0);
    }
    ASSERT_TRUE(nginx.wait_for(2, "GET", "/sub/b.txt"));
    std::vector<LoggedRequest> log = nginx.requests();
    EXPECT_TRUE(all_over(log, "HTTP/2.0"));
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const LoggedRequest &r) { return !r.range.empty(); }));
}

// A certificate issued for another name (a server reached by its address, say): with
// --insecure-tls neither its authority nor its name is checked. (Without it the mount is
// refused: see StartUpFailuresSayWhatToMend.)
TEST(RealServers, CertificateForAnotherNameIsMountedWithInsecureTls)
{
    REQUIRE_FUSE();
    TempDir tree("tls-tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", pattern_bytes(5000, 4)}}));
    Certificate wrong(Certificate::WRONG_HOST);
    ASSERT_TRUE(wrong.make()) << wrong.error();
    Nginx nginx(tree.path(), {.access_log = true, .tls = &wrong});
    ASSERT_TRUE(nginx.start()) << nginx.error();
    Mount m(nginx.url("/"), {"--insecure-tls"});
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(read_file(m.path() + "/a.bin"), pattern_bytes(5000, 4));
    EXPECT_EQ(m.stop(), 0);
    ASSERT_TRUE(nginx.wait_for(1, "GET", "/a.bin"));
    EXPECT_TRUE(all_over(nginx.requests(), "HTTP/2.0"));
}

// Apache answers the HEAD of an empty file with 200 and no length: such a file is still listed,
// as an empty regular file, and Apache's sort links and its "Parent Directory" are no entries.
TEST(RealServers, ApacheEmptyFilesAreListedAndReadAsEmpty)
{
    REQUIRE_FUSE();
    TempDir tree("apache-tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"empty", ""},
                                        {"empty too.txt", ""},
                                        {"full.bin", pattern_bytes(5000, 5)},
                                        {"sub/empty", ""},
                                        {"sub/c.txt", "c"}}));
    Apache apache(tree.path());
    ASSERT_TRUE(apache.start()) << apache.error();
    Mount m(apache.url("/"));
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(dir_entries(m.path()), (std::vector<std::string>{"empty", "empty too.txt", "full.bin", "sub"}));
    EXPECT_EQ(dir_entries(m.path() + "/sub"), (std::vector<std::string>{"c.txt", "empty"}));
    for (const char *name : {"empty", "empty too.txt", "sub/empty"}) {
        struct stat st;
        ASSERT_EQ(stat((m.path() + "/" + name).c_str(), &st), 0) << name << ": " << strerror(errno);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(st.st_size, 0) << name;
        std::string bytes = "not read";
        EXPECT_EQ(try_read_file(m.path() + "/" + name, &bytes), 0) << name;
        EXPECT_EQ(bytes, "") << name;
    }
    EXPECT_EQ(read_file(m.path() + "/full.bin"), pattern_bytes(5000, 5));
    EXPECT_EQ(read_file(m.path() + "/sub/c.txt"), "c");
    EXPECT_EQ(m.stop(), 0);
    std::string log = m.stderr_text();
    for (const char *line : {"HTTP 404", "Failed to initialize", "gives no size"}) {
        EXPECT_FALSE(contains(log, line)) << log;
    }
    // Nothing was asked of the sort links.
    for (const std::string &line : apache.access_log()) {
        EXPECT_FALSE(contains(line, "?C=")) << line;
    }
}

TEST(RealServers, BasicAuthenticationWithTheRightPasswordMountsAndReads)
{
    REQUIRE_FUSE();
    TempDir tree("auth-tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", pattern_bytes(5000, 6)}, {"sub/b.txt", "bee"}}));
    Nginx nginx(tree.path(), {.log_headers = {"Authorization"}, .user = "alice", .password = "secret"});
    ASSERT_TRUE(nginx.start()) << nginx.error();
    Mount m(nginx.url("/"), {"-u", "alice", "-p", "secret"});
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(read_file(m.path() + "/a.bin"), pattern_bytes(5000, 6));
    EXPECT_EQ(read_file(m.path() + "/sub/b.txt"), "bee");
    EXPECT_EQ(m.stop(), 0);
    // The credentials go with every first request: nothing is refused and asked again.
    ASSERT_TRUE(nginx.wait_for(1, "GET", "/sub/b.txt"));
    for (const LoggedRequest &r : nginx.requests()) {
        SCOPED_TRACE(r.method + " " + r.uri);
        EXPECT_NE(r.status, 401);
        EXPECT_EQ(r.headers.count("Authorization") ? r.headers.at("Authorization") : "", ALICE_SECRET);
    }
}

// Plain HTTP goes through the proxy request by request; HTTPS through a CONNECT tunnel, still
// over HTTP/2 inside it.
TEST(RealServers, TinyproxyForwardsPlainRequestsAndTunnelsTls)
{
    REQUIRE_FUSE();
    TempDir tree("proxy-tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.bin", pattern_bytes(70000, 7)}, {"sub/b.txt", "bee"}}));
    Certificate cert;
    ASSERT_TRUE(cert.make()) << cert.error();
    Nginx plain(tree.path(), true);
    Nginx secure(tree.path(), {.access_log = true, .tls = &cert});
    ASSERT_TRUE(plain.start()) << plain.error();
    ASSERT_TRUE(secure.start()) << secure.error();
    Tinyproxy proxy({secure.port()});
    ASSERT_TRUE(proxy.start()) << proxy.error();

    for (const Nginx *server : {&plain, &secure}) {
        bool tls = server == &secure;
        SCOPED_TRACE(tls ? "https" : "http");
        std::vector<std::string> args = {"--proxy", proxy.url()};
        if (tls)
            args.insert(args.end(), {"--cacert", cert.cert_file()});
        Mount m(server->url("/"), args);
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(read_file(m.path() + "/a.bin"), pattern_bytes(70000, 7));
        EXPECT_EQ(read_file(m.path() + "/sub/b.txt"), "bee");
        EXPECT_EQ(m.stop(), 0);
    }

    std::vector<std::string> seen = proxy.requests();
    std::string shown;
    size_t forwarded = 0;
    for (const std::string &line : seen) {
        shown += line + "\n";
        forwarded += line.find(" " + plain.url("/")) != std::string::npos;
    }
    for (const std::string &want :
         {"GET " + plain.url("/") + " HTTP/1.1", "HEAD " + plain.url("/a.bin") + " HTTP/1.1",
          "GET " + plain.url("/a.bin") + " HTTP/1.1", "GET " + plain.url("/sub/b.txt") + " HTTP/1.1",
          "CONNECT 127.0.0.1:" + std::to_string(secure.port()) + " HTTP/1.1"}) {
        EXPECT_TRUE(std::count(seen.begin(), seen.end(), want)) << want << " in\n" << shown;
    }
    // Every request the plain server answered came through the proxy.
    EXPECT_TRUE(plain.wait_for(forwarded));
    EXPECT_EQ(plain.count(), forwarded) << shown;
    ASSERT_TRUE(secure.wait_for(1, "GET", "/sub/b.txt"));
    EXPECT_TRUE(all_over(secure.requests(), "HTTP/2.0"));
}

// A mount URL that redirects ("/old" to "/tree/") is listed where the page came from; a
// directory linked without its trailing slash, which the server redirects to "sub/", is a
// directory.
TEST(RealServers, RedirectedListingsAreReadWhereTheyWereServed)
{
    REQUIRE_FUSE();
    TempDir tree("redirect-tree");
    ASSERT_TRUE(make_tree(
        tree.path(), {{"tree/a.bin", pattern_bytes(5000, 8)},
                      {"tree/deeper/d.txt", "dee"},
                      {"hand/index.html", "<html><body><a href=\"sub\">sub</a> <a href=\"top.txt\">top</a>"
                                          "</body></html>\n"},
                      {"hand/top.txt", "top"},
                      {"hand/sub/s.bin", pattern_bytes(3000, 9)},
                      {"tree/loop.bin", "never served"}}));
    // A file that redirects to itself is left out once the hops run out.
    Nginx nginx(tree.path(), {.access_log = true,
                              .locations = {"location = /old { return 301 /tree/; }",
                                            "location = /tree/loop.bin { return 302 /tree/loop.bin; }"}});
    ASSERT_TRUE(nginx.start()) << nginx.error();
    {
        Mount m(nginx.url("/old"));
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(dir_entries(m.path()), (std::vector<std::string>{"a.bin", "deeper"}));
        EXPECT_EQ(read_file(m.path() + "/a.bin"), pattern_bytes(5000, 8));
        EXPECT_EQ(read_file(m.path() + "/deeper/d.txt"), "dee");
        EXPECT_EQ(m.stop(), 0);
    }
    {
        Mount m(nginx.url("/hand/"));
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(dir_entries(m.path()), (std::vector<std::string>{"sub", "top.txt"}));
        struct stat st;
        ASSERT_EQ(stat((m.path() + "/sub").c_str(), &st), 0) << strerror(errno);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(dir_entries(m.path() + "/sub"), std::vector<std::string>{"s.bin"});
        EXPECT_EQ(read_file(m.path() + "/sub/s.bin"), pattern_bytes(3000, 9));
        EXPECT_EQ(read_file(m.path() + "/top.txt"), "top");
        EXPECT_EQ(m.stop(), 0);
    }
    // The redirect the second mount met.
    ASSERT_TRUE(nginx.wait_for(1, "GET", "/hand/sub/s.bin"));
    std::vector<LoggedRequest> log = nginx.requests();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const LoggedRequest &r) {
        return r.method == "HEAD" && r.uri == "/hand/sub" && r.status == 301;
    }));
    EXPECT_GE(nginx.count("HEAD", "/tree/loop.bin"), 2u);
}

// A file of the mounted server that redirects to another origin: the other origin gets neither
// the user's credentials nor the extra header, on the header request or on the reads, while
// every request to the mounted server carries both.
TEST(RealServers, CredentialsAndHeadersGoOnlyToTheMountedOrigin)
{
    REQUIRE_FUSE();
    TempDir other_tree("other-tree");
    ASSERT_TRUE(make_tree(other_tree.path(), {{"target.bin", pattern_bytes(6000, 10)}}));
    Nginx other(other_tree.path(), {.log_headers = LOGGED_SECRETS});
    ASSERT_TRUE(other.start()) << other.error();
    TempDir own_tree("own-tree");
    ASSERT_TRUE(
        make_tree(own_tree.path(), {{"own.bin", pattern_bytes(5000, 12)}, {"away.bin", "not served"}}));
    Nginx own(own_tree.path(),
              {.log_headers = LOGGED_SECRETS,
               .user = "alice",
               .password = "secret",
               .locations = {"location = /away.bin { return 302 " + other.url("/target.bin") + "; }"}});
    ASSERT_TRUE(own.start()) << own.error();
    Mount m(own.url("/"), ALICE_WITH_KEY);
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(dir_entries(m.path()), (std::vector<std::string>{"away.bin", "own.bin"}));
    struct stat st;
    ASSERT_EQ(stat((m.path() + "/away.bin").c_str(), &st), 0) << strerror(errno);
    EXPECT_EQ(st.st_size, 6000);
    EXPECT_EQ(read_file(m.path() + "/away.bin"), pattern_bytes(6000, 10));
    EXPECT_EQ(read_file(m.path() + "/own.bin"), pattern_bytes(5000, 12));
    EXPECT_EQ(m.stop(), 0);

    ASSERT_TRUE(other.wait_for(1, "GET", "/target.bin"));
    EXPECT_EQ(other.count("HEAD", "/target.bin"), 1u);
    expect_no_secrets(other);
    ASSERT_TRUE(own.wait_for(1, "GET", "/own.bin"));
    for (const LoggedRequest &r : own.requests()) {
        SCOPED_TRACE(r.method + " " + r.uri);
        EXPECT_EQ(r.headers,
                  (std::map<std::string, std::string>{{"Authorization", ALICE_SECRET}, {"X-Api-Key", "k"}}));
    }
}

// A mount URL that redirects to another origin: the listing came without credentials from
// there, and so must every later request there, the reads and the listings below included.
TEST(RealServers, MountUrlRedirectedToAnotherOriginGetsNoCredentialsOnReads)
{
    REQUIRE_FUSE();
    TempDir other_tree("other-tree");
    ASSERT_TRUE(make_tree(other_tree.path(),
                          {{"tree/t.bin", pattern_bytes(7000, 11)}, {"tree/deeper/u.txt", "you"}}));
    Nginx other(other_tree.path(), {.log_headers = LOGGED_SECRETS});
    ASSERT_TRUE(other.start()) << other.error();
    TempDir own_tree("own-tree");
    Nginx own(own_tree.path(),
              {.locations = {"location = /moved/ { return 302 " + other.url("/tree/") + "; }"}});
    ASSERT_TRUE(own.start()) << own.error();
    Mount m(own.url("/moved/"), ALICE_WITH_KEY);
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_EQ(dir_entries(m.path()), (std::vector<std::string>{"deeper", "t.bin"}));
    EXPECT_EQ(read_file(m.path() + "/t.bin"), pattern_bytes(7000, 11));
    EXPECT_EQ(read_file(m.path() + "/deeper/u.txt"), "you");
    EXPECT_EQ(m.stop(), 0);
    ASSERT_TRUE(other.wait_for(1, "GET", "/tree/deeper/u.txt"));
    expect_no_secrets(other);
}

// Python's http.server answers every GET with the whole file and no word of ranges: with
// --no-range-check the reads are cut from those answers; without it they fail, the file is
// named once, with the way out, and the mount stays.
TEST(RealServers, PythonHttpServerIsReadOnlyWithNoRangeCheck)
{
    REQUIRE_FUSE();
    const size_t SIZE = 300007;
    TempDir tree("python-tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"f.bin", pattern_bytes(SIZE, 13)}, {"g.txt", "gee"}}));
    PythonHttpServer python(tree.path());
    ASSERT_TRUE(python.start()) << python.error();
    const off_t OFFSETS[] = {0, 4096 * 37 + 5, SIZE - 1000};
    for (bool check_off : {true, false}) {
        SCOPED_TRACE(check_off ? "--no-range-check" : "range check on");
        Mount m(python.url("/"),
                check_off ? std::vector<std::string>{"--no-range-check"} : std::vector<std::string>{});
        ASSERT_TRUE(m.start()) << m.error();
        for (off_t offset : OFFSETS) {
            int err = 0;
            std::string got = direct_read(m.path() + "/f.bin", 4096, offset, &err);
            EXPECT_EQ(err, check_off ? 0 : EIO) << offset << ": " << strerror(err);
            if (check_off) {
                EXPECT_EQ(got.size(), std::min<size_t>(4096, SIZE - static_cast<size_t>(offset))) << offset;
                EXPECT_EQ(pattern_check(got, static_cast<uint64_t>(offset), 13), "") << offset;
            }
        }
        if (check_off) {
            EXPECT_EQ(sha256_file(m.path() + "/f.bin"), sha256_hex(pattern_bytes(SIZE, 13)));
            EXPECT_EQ(read_file(m.path() + "/g.txt"), "gee");
        } else {
            std::string bytes;
            EXPECT_EQ(try_read_file(m.path() + "/f.bin", &bytes), EIO);
            EXPECT_TRUE(m.mounted());
            int err = 0;
            EXPECT_EQ(list_dir(m.path(), &err), (std::set<std::string>{"f.bin", "g.txt"}));
        }
        EXPECT_EQ(m.stop(), 0);
        std::string log = m.stderr_text();
        EXPECT_EQ(occurrences(log, "mount it with --no-range-check"), check_off ? 0u : 1u) << log;
        if (!check_off) {
            EXPECT_TRUE(contains(log, "does not support HTTP range requests (" + python.url("/f.bin") + ")"))
                << log;
        }
    }
}

// Each server's listings against the tree it serves: only files and directories of the
// directory are entries, once each, each with its size and time, and each reads as served.
// What else the pages link to (Apache's sort links and its "Parent Directory" at the server
// root, "../", a hand-written page's queries, fragments, encoded NUL and second spellings of a
// name) is neither listed nor asked for. Directories, for which nginx and Python send no time,
// are dated when they were listed, not in 1969.
TEST(RealServers, ListingsOfEachServerShowTheirEntriesOnly)
{
    REQUIRE_FUSE();
    const std::string PAGE =
        "<html><body>\n"
        "<a href=\"?C=N;O=D\">Name</a> <a href=\"/page/?C=S;O=A\">Size</a>\n"
        "<a href=\"?sort=name&amp;order=asc\">by name</a> <a href=\"#files\">files</a>\n"
        "<a href=\"./\">here</a> <a href=\"../\">up</a> <a href=\"/page/\">here again</a>\n"
        "<a href=\"%00nul.txt\">nul</a>\n"
        "<a href=\"x.txt\">x.txt</a> <a href=\"%78.txt\">x.txt again</a>\n"
        "<a href=\"a%20b.txt\">a b.txt</a> <a href=\"a b.txt\">a b.txt again</a>\n"
        "</body></html>\n";
    TempDir tree("listing-tree");
    time_t started = time(nullptr) - 1;
    ASSERT_TRUE(make_tree(tree.path(), {{"a b.txt", "space"},
                                        {"a&b.txt", "ampersand"},
                                        {"100%.txt", "percent"},
                                        {"empty", ""},
                                        {"sub/c.txt", "c"},
                                        {"page/index.html", PAGE},
                                        {"page/x.txt", "x"},
                                        {"page/a b.txt", "a b"}}));
    // Distinct times, so that a time shown for the wrong entry is seen.
    time_t t = 1600000000;
    for (const char *name :
         {"a b.txt", "a&b.txt", "100%.txt", "empty", "sub/c.txt", "page/x.txt", "page/a b.txt"}) {
        ASSERT_TRUE(set_mtime(tree.at(name), t += 86401));
    }
    Apache apache(tree.path());
    Lighttpd lighttpd(tree.path());
    Nginx nginx(tree.path(), true);
    PythonHttpServer python(tree.path());
    ASSERT_TRUE(apache.start()) << apache.error();
    ASSERT_TRUE(lighttpd.start()) << lighttpd.error();
    ASSERT_TRUE(nginx.start()) << nginx.error();
    ASSERT_TRUE(python.start()) << python.error();

    const std::vector<std::string> ROOT = {"100%.txt", "a b.txt", "a&b.txt", "empty", "page", "sub"};
    struct {
        const char *what;
        std::string url;
        std::string dir; // of the tree, "" or ending in "/"
        std::vector<std::string> args;
        std::vector<std::string> entries; // sorted
    } cases[] = {
        {"Apache", apache.url("/"), "", {}, ROOT},
        {"Apache, below the root", apache.url("/sub/"), "sub/", {}, {"c.txt"}},
        {"lighttpd", lighttpd.url("/"), "", {}, ROOT},
        {"lighttpd, below the root", lighttpd.url("/sub/"), "sub/", {}, {"c.txt"}},
        {"nginx", nginx.url("/"), "", {}, ROOT},
        {"nginx, below the root", nginx.url("/sub/"), "sub/", {}, {"c.txt"}},
        {"Python", python.url("/"), "", {"--no-range-check"}, ROOT},
        {"a hand-written page on nginx", nginx.url("/page/"), "page/", {}, {"a b.txt", "x.txt"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Mount m(c.url, c.args);
        ASSERT_TRUE(m.start()) << m.error();
        EXPECT_EQ(dir_entries(m.path()), c.entries);
        for (const std::string &name : c.entries) {
            std::string served = tree.at(c.dir + name);
            struct stat want, got;
            ASSERT_EQ(stat(served.c_str(), &want), 0) << served;
            ASSERT_EQ(stat((m.path() + "/" + name).c_str(), &got), 0) << name << ": " << strerror(errno);
            EXPECT_EQ(S_ISDIR(got.st_mode), S_ISDIR(want.st_mode)) << name;
            if (S_ISDIR(want.st_mode)) {
                // Its own time where the server sends one, else when it was listed.
                EXPECT_GE(got.st_mtime, started) << name;
                EXPECT_LE(got.st_mtime, time(nullptr) + 1) << name;
                continue;
            }
            EXPECT_EQ(got.st_size, want.st_size) << name;
            EXPECT_EQ(got.st_mtime, want.st_mtime) << name;
            EXPECT_EQ(read_file(m.path() + "/" + name), read_file(served)) << name;
        }
        EXPECT_EQ(m.stop(), 0);
        std::string log = m.stderr_text();
        EXPECT_FALSE(contains(log, "HTTP 404")) << log;
        EXPECT_FALSE(contains(log, "Failed to initialize")) << log;
    }
    // The hand-written page cost one header request per entry, and nothing with a query.
    EXPECT_EQ(nginx.count("HEAD", "/page/x.txt"), 1u);
    EXPECT_EQ(nginx.count("HEAD", "/page/a b.txt"), 1u);
    for (const std::string &line : nginx.access_log()) {
        EXPECT_FALSE(contains(line, "?")) << line;
    }
}

// What a user gets wrong at the first mount, against real servers: each start-up ends with
// status 1, one line that says what failed and what to mend, then "Network initialisation
// failed." as the last line, and no crash report.
TEST(RealServers, StartUpFailuresSayWhatToMend)
{
    REQUIRE_FUSE();
    TempDir tree("failure-tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.txt", "a"}, {"private/b.txt", "b"}}));
    Certificate cert, wrong(Certificate::WRONG_HOST);
    ASSERT_TRUE(cert.make()) << cert.error();
    ASSERT_TRUE(wrong.make()) << wrong.error();
    Nginx secure(tree.path(), {.tls = &cert});
    Nginx other_name(tree.path(), {.tls = &wrong});
    Nginx guarded(tree.path(), {.user = "alice", .password = "secret"});
    Nginx plain(tree.path(), {.locations = {"location /private/ { return 403; }",
                                            "location = /circle/ { return 302 /circle/; }"}});
    Tinyproxy strict_proxy({}, "bob", "pw");
    for (Nginx *n : {&secure, &other_name, &guarded, &plain}) {
        ASSERT_TRUE(n->start()) << n->error();
    }
    ASSERT_TRUE(strict_proxy.start()) << strict_proxy.error();
    std::string nobody = "http://127.0.0.1:" + std::to_string(free_port());

    struct {
        const char *what;
        std::string url;
        std::vector<std::string> args;
        std::string line; // a part of the line that says why
    } cases[] = {
        {"a certificate of an unknown authority",
         secure.url("/"),
         {},
         "TLS: the certificate of " + secure.url("/") + " is not signed by a known certificate authority ("},
        {"a certificate for another name",
         other_name.url("/"),
         {"--cacert", wrong.cert_file()},
         "TLS: the certificate of " + other_name.url("/") + " is for another name ("},
        {"a wrong password",
         guarded.url("/"),
         {"-u", "alice", "-p", "wrong"},
         "The server refused authentication for " + guarded.url("/") +
             " (HTTP 401): check the user name and "
             "password given with -u and -p"},
        {"no credentials",
         guarded.url("/"),
         {},
         "The server refused authentication for " + guarded.url("/") + " (HTTP 401)"},
        {"a forbidden directory",
         plain.url("/private/"),
         {},
         "The server refused authentication for " + plain.url("/private/") + " (HTTP 403)"},
        {"a proxy that is not there",
         plain.url("/"),
         {"--proxy", nobody},
         "Could not reach the proxy " + nobody + ": "},
        {"a proxy that wants credentials",
         plain.url("/"),
         {"--proxy", strict_proxy.url()},
         "The proxy " + strict_proxy.url() + " refused authentication (HTTP 407)"},
        {"a mount URL that redirects to itself",
         plain.url("/circle/"),
         {},
         "cannot retrieve URL: " + plain.url("/circle/") + ", HTTP 302"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Mount m(c.url, c.args);
        ASSERT_FALSE(m.start());
        EXPECT_EQ(m.exit_code(), 1);
        std::string log = m.stderr_text();
        EXPECT_EQ(occurrences(log, c.line), 1u) << log;
        size_t why = log.find(c.line);
        size_t end = log.rfind("Network initialisation failed.\n");
        EXPECT_NE(end, std::string::npos) << log;
        EXPECT_EQ(end + strlen("Network initialisation failed.\n"), log.size()) << log;
        if (why != std::string::npos && end != std::string::npos) {
            EXPECT_LT(why, end) << log;
        }
    }
}
