// Building listing tables against the scripted server: the page, the URLs and names of the
// entries, and what each entry's header request makes of it.
#include <cstdlib>
#include <map>

#include "network_support.h"
#include "servers/fault_server.h"

static testing::Environment *const network_env = testing::AddGlobalTestEnvironment(new NetworkEnvironment);

class Fill : public testing::Test
{
  protected:
    void SetUp() override { reset_config(); }
    static std::map<std::string, Link *> by_name(LinkTable *tbl)
    {
        std::map<std::string, Link *> links;
        for (int32_t i = 1; i < tbl->size; i++)
            links[tbl->links[i]->linkname] = tbl->links[i];
        return links;
    }
};

TEST_F(Fill, EntriesBecomeWhatTheirHeaderRequestsSay)
{
    FaultServer server;
    server.add_page("/d/",
                    listing_page("d", {"file.bin", "empty", "nolength", "gone", "busy", "sub/", "a b.txt"}));
    server.add_file("/d/file.bin", pattern_bytes(4096), 1500000000);
    server.add_file("/d/empty", "");
    server.add_file("/d/nolength", "xyz");
    server.add_file("/d/busy", "busy");
    server.add_file("/d/a b.txt", "spaced");
    server.add_page("/d/sub/", listing_page("sub", {}));
    server.script("HEAD", "/d/nolength", {head_without_length()});
    server.script("HEAD", "/d/busy", {status(429)});
    ASSERT_TRUE(server.start());

    LinkTable *tbl = LinkTable_new(server.url("/d/").c_str());
    ASSERT_NE(tbl, nullptr);
    LinkTable_wait_confirmed(tbl); // the entries are confirmed in the background
    auto links = by_name(tbl);
    struct {
        const char *name;
        LinkType type;
        int64_t length;
    } want[] = {
        {"file.bin", LINK_FILE, 4096}, {"empty", LINK_FILE, 0},
        {"nolength", LINK_FILE, 3},                            // the GET of its first byte tells the size
        {"gone", LINK_INVALID, 0},     {"busy", LINK_FILE, 4}, // asked again after the 429
        {"sub", LINK_DIR, 0},          {"a b.txt", LINK_FILE, 6},
    };
    for (const auto &w : want) {
        ASSERT_TRUE(links.count(w.name)) << w.name;
        EXPECT_EQ(static_cast<char>(Link_type(links[w.name])), static_cast<char>(w.type)) << w.name;
        EXPECT_EQ(links[w.name]->content_length.load(), w.length) << w.name;
    }
    EXPECT_EQ(links["file.bin"]->time.load(), 1500000000);
    EXPECT_STREQ(links["a b.txt"]->f_url, server.url("/d/a%20b.txt").c_str());
    EXPECT_STREQ(links["sub"]->f_url, server.url("/d/sub/").c_str());
    EXPECT_EQ(tbl->links[0]->type.load(), LINK_HEAD);
    EXPECT_GT(tbl->index_time, 0);
    // One page, one header request per entry: nothing is asked twice.
    EXPECT_EQ(server.count("GET", "/d/"), 1u);
    EXPECT_EQ(server.count("HEAD", "/d/file.bin"), 1u);
    EXPECT_EQ(server.count("GET", "/d/file.bin"), 0u);
    LinkTable_free(tbl);
}

TEST_F(Fill, DecodedNamesStayFileNames)
{
    // A name may not hold "/" nor be empty: the kernel refuses a whole directory listing over
    // one such entry. A reference to a NUL byte names nothing at all (its URL would be the
    // directory's own).
    FaultServer server;
    server.add_page("/d/", listing_page("d", {"a%2Fb", "%00", "c%20d"}));
    ASSERT_TRUE(server.start());
    LinkTable *tbl = LinkTable_new(server.url("/d/").c_str());
    ASSERT_NE(tbl, nullptr);
    LinkTable_wait_confirmed(tbl); // the entries are confirmed in the background
    auto links = by_name(tbl);
    EXPECT_EQ(links.size(), 2u);
    for (const char *name : {"a_b", "c d"})
        EXPECT_TRUE(links.count(name)) << name;
    LinkTable_free(tbl);
}

TEST_F(Fill, ZeroLengthIsADirectoryOnRequest)
{
    CONFIG.zero_len_is_dir = 1;
    FaultServer server;
    server.add_page("/", listing_page("root", {"empty"}));
    server.add_file("/empty", "");
    ASSERT_TRUE(server.start());
    LinkTable *tbl = LinkTable_new(server.url("/").c_str());
    ASSERT_NE(tbl, nullptr);
    LinkTable_wait_confirmed(tbl); // the entries are confirmed in the background
    EXPECT_EQ(Link_type(by_name(tbl)["empty"]), LINK_DIR);
    LinkTable_free(tbl);
}

TEST_F(Fill, ListingRetriedOnTemporaryFailureAndMissingOnFinalOne)
{
    FaultServer server;
    server.add_page("/ok/", listing_page("ok", {}));
    server.add_page("/no/", listing_page("no", {}));
    server.script("GET", "/ok/", {status(429), status(520)});
    server.script("GET", "/no/", {status(404)});
    ASSERT_TRUE(server.start());
    LinkTable *ok = LinkTable_new(server.url("/ok/").c_str());
    ASSERT_NE(ok, nullptr);
    LinkTable_wait_confirmed(ok); // the entries are confirmed in the background
    EXPECT_EQ(server.count("GET", "/ok/"), 3u);
    LinkTable_free(ok);
    EXPECT_EQ(LinkTable_new(server.url("/no/").c_str()), nullptr);
}

TEST_F(Fill, ExternalLinksGetNoCredentials)
{
    FaultServer own, foreign;
    foreign.add_file("/pub/file.txt", "foreign");
    foreign.add_file("/locked.txt", "locked");
    foreign.require_auth_for("/locked.txt", "alice", "secret");
    ASSERT_TRUE(foreign.start());
    own.add_file("/mine.txt", "mine");
    own.add_page("/", "<html><body><a href=\"mine.txt\">m</a><a href=\"" + foreign.url("/pub/file.txt") +
                          "\">f</a><a href=\"" + foreign.url("/locked.txt") + "\">l</a></body></html>");
    own.require_auth("alice", "secret");
    ASSERT_TRUE(own.start());

    CONFIG.external_links = 1;
    CONFIG.username = strdup("alice");
    CONFIG.password = strdup("secret");
    CONFIG.http_headers = curl_slist_append(nullptr, "X-Token: abc");

    // The mounted URL's origin decides who gets the credentials.
    root_url = strdup(own.url("/").c_str());
    LinkTable *root = LinkTable_new(own.url("/").c_str());
    ASSERT_NE(root, nullptr);
    LinkTable_wait_confirmed(root); // the entries are confirmed in the background
    root_link_table = root;
    own.clear_log();
    foreign.clear_log();
    testing::internal::CaptureStderr();
    LinkTable *again = LinkTable_new(own.url("/").c_str());
    ASSERT_NE(again, nullptr);
    LinkTable_wait_confirmed(again); // the entries are confirmed in the background
    std::string log = testing::internal::GetCapturedStderr();
    root_link_table = nullptr;
    free(root_url);
    root_url = nullptr;
    ASSERT_NE(again, nullptr);

    auto links = by_name(again);
    EXPECT_EQ(Link_type(links["mine.txt"]), LINK_FILE);
    EXPECT_EQ(Link_type(links["file.txt"]), LINK_FILE);
    EXPECT_EQ(Link_type(links["locked.txt"]), LINK_INVALID);
    for (const SeenRequest &r : own.requests()) {
        EXPECT_EQ(r.user, "alice") << r.method << " " << r.path;
        EXPECT_EQ(r.headers.count("x-token"), 1u) << r.method << " " << r.path;
    }
    ASSERT_FALSE(foreign.requests().empty());
    for (const SeenRequest &r : foreign.requests()) {
        EXPECT_FALSE(r.credentials) << r.path;
        EXPECT_EQ(r.headers.count("x-token"), 0u) << r.path;
    }
    EXPECT_NE(log.find("External link " + foreign.url("/locked.txt") + " requires authentication (HTTP 401)"),
              std::string::npos)
        << log;
    LinkTable_free(root);
    LinkTable_free(again);
    Config_cleanup();
}
