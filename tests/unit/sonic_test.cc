// Sonic mode without a server: request URLs and their authentication, the element and
// attribute rules over saved replies, the ID3 root with its group tables, and what the table
// dump lets out of a request URL.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "integration/support/harness.h"
#include "link/link.h"
#include "log.h"
#include "sonic.h"
#include "util.h"

namespace
{

const char SERVER[] = "http://127.0.0.1:4040";

std::string read_fixture(const char *name)
{
    std::ifstream in(std::string(TARNWICK_FIXTURES_DIR) + "/sonic/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The query of a request URL as name -> value (the last value wins).
std::map<std::string, std::string> query_of(const std::string &url)
{
    size_t q = url.find('?');
    return q == std::string::npos ? std::map<std::string, std::string>() : query_params(url.substr(q + 1));
}

// Lower-case hex digits in the 8-4-4-4-12 groups of a UUID's text form.
bool is_uuid_text(const std::string &s)
{
    if (s.size() != 36)
        return false;
    for (size_t i = 0; i < s.size(); i++) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? s[i] != '-' : !isxdigit(static_cast<unsigned char>(s[i])) || isupper(s[i]))
            return false;
    }
    return true;
}

bool is_md5_hex(const std::string &s)
{
    return s.size() == 32 && s.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string take(char *heap)
{
    std::string s = heap ? heap : "";
    checked_free(heap);
    return s;
}

void sonic_config_release()
{
    checked_free(sonic_config.server);
    checked_free(sonic_config.username);
    checked_free(sonic_config.password);
    sonic_config = SonicConfigStruct{};
}

class Sonic : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        CONFIG = ConfigStruct{};
        CONFIG.mode = MODE_SONIC;
        CONFIG.log_level = LOG_FATAL | LOG_ERROR | LOG_WARNING | LOG_INFO;
        CONFIG.user_agent = const_cast<char *>(DEFAULT_USER_AGENT);
        configure(0, "alice", "secret");
        // Dates in replies are UTC: a machine far from it must read them the same.
        const char *tz = getenv("TZ");
        saved_tz_ = tz ? tz : "";
        had_tz_ = tz != nullptr;
        setenv("TZ", "TWK-13:45", 1);
        tzset();
    }
    void TearDown() override
    {
        sonic_config_release();
        if (had_tz_)
            setenv("TZ", saved_tz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void configure(int insecure, const char *user, const char *password, const char *server = SERVER)
    {
        sonic_config_release();
        CONFIG.sonic_insecure = insecure;
        sonic_config_init(server, user, password);
    }
    // A table of level `depth` filled from a saved reply; stderr is kept in `log`.
    static LinkTable *parse(const char *fixture, int32_t depth, XML_StartElementHandler handler,
                            std::string *log = nullptr)
    {
        std::string xml = read_fixture(fixture);
        LinkTable *linktbl = LinkTable_alloc("http://127.0.0.1:4040/rest/getMusicDirectory.view?u=alice");
        linktbl->links[0]->sonic_depth = depth;
        ::testing::internal::CaptureStderr();
        sonic_parse_reply(linktbl, xml.data(), xml.size(), handler);
        std::string err = ::testing::internal::GetCapturedStderr();
        if (log)
            *log = err;
        return linktbl;
    }

  private:
    std::string saved_tz_;
    bool had_tz_ = false;
};

// ---- authentication and request URLs ----

TEST_F(Sonic, ServerLosesOneTrailingSlash)
{
    struct {
        const char *server, *prefix;
    } cases[] = {
        {"http://h:1", "http://h:1/rest/getIndexes.view?"},
        {"http://h:1/", "http://h:1/rest/getIndexes.view?"},
        {"http://h:1//", "http://h:1//rest/getIndexes.view?"},
        {"http://h:1/music/", "http://h:1/music/rest/getIndexes.view?"},
    };
    for (const auto &c : cases) {
        configure(0, "alice", "secret", c.server);
        std::string url = take(sonic_gen_url_first_part("getIndexes"));
        EXPECT_EQ(url.rfind(c.prefix, 0), 0u) << c.server << " gave " << url;
    }
}

TEST_F(Sonic, TokenFormHasFreshSaltAndTokenOfPasswordAndSalt)
{
    struct {
        const char *password;
    } cases[] = {{"secret"}, {""}, {"p&ss wörd"}};
    for (const auto &c : cases) {
        configure(0, "alice", c.password);
        std::string a = take(sonic_gen_url_first_part("getIndexes"));
        std::string b = take(sonic_gen_url_first_part("getIndexes"));
        auto qa = query_of(a), qb = query_of(b);
        for (auto *q : {&qa, &qb}) {
            EXPECT_EQ((*q)["u"], "alice");
            EXPECT_EQ((*q)["v"], "1.13.0");
            EXPECT_EQ((*q)["c"], "Tarnwick-1.3.3");
            EXPECT_EQ(q->count("p"), 0u);
            EXPECT_TRUE(is_uuid_text((*q)["s"])) << (*q)["s"];
            EXPECT_EQ((*q)["t"], md5_hex(std::string(c.password) + (*q)["s"])) << c.password;
        }
        EXPECT_NE(qa["s"], qb["s"]);
        EXPECT_NE(qa["t"], qb["t"]);
        if (*c.password) {
            EXPECT_EQ(a.find(c.password), std::string::npos) << a;
        }
        EXPECT_EQ(a.rfind(std::string(SERVER) + "/rest/getIndexes.view?u=alice&t=", 0), 0u) << a;
    }
}

TEST_F(Sonic, HexFormCarriesThePasswordBytesInLowerCaseHex)
{
    struct {
        const char *password, *hex;
    } cases[] = {
        {"secret", "736563726574"},
        {"", ""},
        {"S\xc3\xa9!", "53c3a921"}, // bytes in order, lower case, above 0x7f too
    };
    for (const auto &c : cases) {
        configure(1, "alice", c.password);
        std::string url = take(sonic_gen_url_first_part("getArtists"));
        EXPECT_EQ(url, std::string(SERVER) + "/rest/getArtists.view?u=alice&p=enc:" + c.hex +
                           "&v=1.8.0&c=Tarnwick-1.3.3");
    }
}

TEST_F(Sonic, UserAgentOptionLeavesClientParameter)
{
    CONFIG.user_agent = const_cast<char *>("Something-Else/2");
    for (int insecure : {0, 1}) {
        configure(insecure, "alice", "secret");
        EXPECT_EQ(query_of(take(sonic_gen_url_first_part("getIndexes")))["c"], "Tarnwick-1.3.3");
    }
}

// '&', '=', '#' or a space in a raw query value would split or end it: the server could never
// see the user's real name.
TEST_F(Sonic, UserNameIsOneQueryValue)
{
    configure(1, "a&b=c d#e", "x");
    std::string url = take(sonic_gen_url_first_part("getIndexes"));
    EXPECT_EQ(query_of(url)["u"], "a%26b%3Dc%20d%23e") << url;
    EXPECT_EQ(query_of(url)["p"], "enc:78");
}

// ---- element and attribute rules ----

struct Entry {
    const char *name;
    LinkType type;
    const char *id;
    int64_t size;
    int64_t time;
    int32_t depth;
};

TEST_F(Sonic, RepliesBecomeTables)
{
    const int64_t JAN2020 = 1577934245; // 2020-01-02T03:04:05Z
    struct {
        const char *fixture;
        int32_t depth;
        std::vector<Entry> entries;
    } cases[] = {
        {"indexes.xml",
         0,
         {
             {"Alpha", LINK_DIR, "4", 0, 0, 0},
             {"Aston-Villa", LINK_DIR, "7", 0, 0, 0},
             {"Bravo", LINK_DIR, "2", 0, 0, 0},
             {"loose.mp3", LINK_FILE, "31", 12, JAN2020, 0},
         }},
        {"music_directory.xml",
         0,
         {
             {"01 Song One.mp3", LINK_FILE, "f1", 17809, JAN2020, 0}, // path beats an earlier title
             {"02 no-slash.mp3", LINK_FILE, "f2", 5, 1796906807, 0},  // and a later one; no ".000Z"
             {"Up-Down", LINK_FILE, "f3", 9000000000, 0, 0},          // 64-bit size
             {"Sub-Folder", LINK_DIR, "d1", 0, JAN2020, 0},           // other fraction digits
             {"No isDir", LINK_DIR, "d2", 0, 0, 0},                   // title before name
             {"Named", LINK_DIR, "d3", 0, 0, 0},                      // isDir other than "false"
             {"__DOT__", LINK_DIR, "d4", 0, 0, 0},
             {"__FORWARD-SLASH__", LINK_DIR, "d5", 0, 0, 0},
             {"__DOTDOT__", LINK_DIR, "d6", 0, 0, 0},
             {"odd.mp3", LINK_FILE, "odd id&x", 0, 0, 0},
             {"Artist Here", LINK_DIR, "ar", 0, 0, 0},
         }},
        {"artist.xml",
         3,
         {
             {"First", LINK_DIR, "al-1", 0, JAN2020, 4},
             {"Live-Studio", LINK_DIR, "al-2", 0, 0, 4},
         }},
        {"album.xml",
         4,
         {
             {"01 One.mp3", LINK_FILE, "s-1", 17809, JAN2020, 0},
             {"Two-Three", LINK_FILE, "s-2", 42, 0, 0},
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fixture);
        LinkTable *linktbl = parse(c.fixture, c.depth, XML_parser_general);
        ASSERT_EQ(linktbl->size, static_cast<int32_t>(c.entries.size()) + 1);
        EXPECT_EQ(linktbl->links[0]->sonic_depth, c.depth);
        for (size_t i = 0; i < c.entries.size(); i++) {
            const Entry &e = c.entries[i];
            const Link *link = linktbl->links[i + 1];
            SCOPED_TRACE(e.name);
            EXPECT_STREQ(link->linkname, e.name);
            EXPECT_EQ(Link_type(link), e.type);
            ASSERT_NE(link->sonic_id, nullptr);
            EXPECT_STREQ(link->sonic_id, e.id);
            EXPECT_EQ(link->content_length.load(), e.size);
            EXPECT_EQ(link->time.load(), e.time);
            EXPECT_EQ(link->sonic_depth, e.depth);
            EXPECT_EQ(link->linktbl, linktbl);
            std::string url = link->f_url;
            if (e.type == LINK_FILE) {
                // server/rest/stream.view?u=&t=&s=&v=&c= then format=raw and the escaped id.
                std::string escaped_id = e.id == std::string("odd id&x") ? "odd%20id%26x" : e.id;
                std::string start = std::string(SERVER) + "/rest/stream.view?u=alice&t=";
                std::string end = "&v=1.13.0&c=Tarnwick-1.3.3&format=raw&id=" + escaped_id;
                EXPECT_EQ(url.rfind(start, 0), 0u) << url;
                ASSERT_GE(url.size(), end.size());
                EXPECT_EQ(url.substr(url.size() - end.size()), end) << url;
                auto q = query_of(url);
                EXPECT_TRUE(is_md5_hex(q["t"])) << url;
                EXPECT_TRUE(is_uuid_text(q["s"])) << url;
                EXPECT_EQ(url.size(), start.size() + 32 + 3 + 36 + end.size()) << url;
            } else {
                EXPECT_EQ(url, "");
            }
        }
        LinkTable_free(linktbl);
    }
}

TEST_F(Sonic, ErrorElementAloneGivesEmptyDirectoryAndLogsCodeAndMessage)
{
    std::string log;
    LinkTable *linktbl = parse("error.xml", 0, XML_parser_general, &log);
    EXPECT_EQ(linktbl->size, 1);
    EXPECT_THAT(log, ::testing::HasSubstr("error:\n"));
    EXPECT_THAT(log, ::testing::HasSubstr("code: 40\n"));
    EXPECT_THAT(log, ::testing::HasSubstr("message: Wrong username or password.\n"));
    LinkTable_free(linktbl);

    linktbl = parse("error.xml", 0, XML_parser_id3_root, &log);
    EXPECT_EQ(linktbl->size, 1);
    EXPECT_THAT(log, ::testing::HasSubstr("code: 40\n"));
    EXPECT_THAT(log, ::testing::HasSubstr("message: Wrong username or password.\n"));
    LinkTable_free(linktbl);
}

TEST_F(Sonic, MalformedReplyKeepsWhatCameBeforeTheError)
{
    std::string log;
    LinkTable *linktbl = parse("malformed.xml", 0, XML_parser_general, &log);
    ASSERT_EQ(linktbl->size, 3);
    EXPECT_STREQ(linktbl->links[1]->linkname, "Kept");
    EXPECT_STREQ(linktbl->links[2]->linkname, "Also kept");
    EXPECT_THAT(log, ::testing::HasSubstr("Parse error at line 6: mismatched tag\n"));
    LinkTable_free(linktbl);
}

// ---- ID3 root ----

// The groups of artists.xml with their artists, as the ID3 root parse must leave them.
static void expect_artists_xml_groups(const LinkTable *root)
{
    struct {
        const char *group;
        std::vector<std::pair<const char *, const char *>> artists;
    } expected[] = {
        {"A", {{"Alpha", "a-1"}, {"AC-DC", "a-2"}}}, // sanitised through the group link
        {"B", {{"Bravo", "b-1"}}},
    };
    ASSERT_EQ(root->size, 3);
    for (size_t g = 0; g < 2; g++) {
        const Link *group = root->links[g + 1];
        SCOPED_TRACE(expected[g].group);
        EXPECT_STREQ(group->linkname, expected[g].group);
        EXPECT_EQ(Link_type(group), LINK_DIR);
        EXPECT_EQ(group->sonic_id, nullptr);
        ASSERT_NE(group->next, nullptr);
        LinkTable *artists = group->next;
        ASSERT_EQ(artists->size, static_cast<int32_t>(expected[g].artists.size()) + 1);
        for (size_t a = 0; a < expected[g].artists.size(); a++) {
            const Link *artist = artists->links[a + 1];
            EXPECT_STREQ(artist->linkname, expected[g].artists[a].first);
            EXPECT_STREQ(artist->sonic_id, expected[g].artists[a].second);
            EXPECT_EQ(artist->sonic_depth, 3);
            EXPECT_EQ(Link_type(artist), LINK_DIR);
            EXPECT_EQ(artist->next, nullptr);
        }
    }
}

TEST_F(Sonic, Id3RootHoldsGroupsWithTheirArtists)
{
    std::string log;
    LinkTable *root = parse("artists.xml", 0, XML_parser_id3_root, &log);
    expect_artists_xml_groups(root);
    // Before any index, after one closed, inside a nameless one, after the last.
    size_t warnings = 0;
    for (size_t at = log.find("Ignoring <artist> outside of any <index>\n"); at != std::string::npos;
         at = log.find("Ignoring <artist> outside of any <index>\n", at + 1))
        warnings++;
    EXPECT_EQ(warnings, 4u) << log;
    LinkTable_free(root);
}

// A getArtist or getAlbum reply can make a directory at the root level, whose opening runs the
// root parse in a FUSE thread: parses in several threads at once must keep their groups apart.
TEST_F(Sonic, Id3RootParsesInSeveralThreadsKeepTheirOwnGroups)
{
    std::string xml = read_fixture("artists.xml");
    CONFIG.log_level = 0;
    std::vector<LinkTable *> roots(4 * 25);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; t++) {
        threads.emplace_back([&, t] {
            for (size_t i = 0; i < 25; i++) {
                LinkTable *root = LinkTable_alloc("http://127.0.0.1:4040/rest/getArtists.view");
                sonic_parse_reply(root, xml.data(), xml.size(), XML_parser_id3_root);
                roots[t * 25 + i] = root;
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    for (LinkTable *root : roots) {
        expect_artists_xml_groups(root);
        LinkTable_free(root);
    }
}

// A group table cannot be fetched again: opening, releasing and reopening its directory, and
// dropping an artist table below it, must leave it in place. Under ASan a freed group table
// is a use after free here.
TEST_F(Sonic, GroupTablesLiveAsLongAsTheRoot)
{
    LinkTable *root = parse("artists.xml", 0, XML_parser_id3_root);
    ASSERT_EQ(root->size, 3);
    Link *group_link = root->links[1];
    LinkTable *group = group_link->next;
    for (int round = 0; round < 2; round++) {
        LinkTable_ref(group); // opendir
        LinkTable_mark_orphaned(group);
        LinkTable_unref(group); // releasedir
        ASSERT_EQ(group_link->next, group);
        EXPECT_EQ(group->size, 3);
        EXPECT_STREQ(group->links[1]->linkname, "Alpha");
    }

    // An artist table attached below the group as path resolution does, then released.
    Link *artist_link = group->links[1];
    LinkTable *artist = parse("artist.xml", 3, XML_parser_general);
    {
        ScopedLock guard(&link_lock, HERE);
        artist_link->next = artist;
        artist->parent = group;
        artist->parent_link = artist_link;
        group->refcount++;
    }
    LinkTable_ref(artist);
    LinkTable_mark_orphaned(group);
    LinkTable_mark_orphaned(artist);
    LinkTable_unref(artist);
    EXPECT_EQ(artist_link->next, nullptr); // the artist table went, as any other table does
    ASSERT_EQ(group_link->next, group);
    EXPECT_EQ(group->size, 3);
    EXPECT_STREQ(group->links[2]->linkname, "AC-DC");
    LinkTable_free(root);
}

TEST_F(Sonic, Id3LevelOtherThan034IsFatal)
{
    EXPECT_EXIT(sonic_LinkTable_new_id3(2, "x"), ::testing::ExitedWithCode(1), "Fatal:.*case 2\\.");
}

// ---- credentials in the log ----

TEST_F(Sonic, TableDumpShowsNoCredential)
{
    for (int insecure : {0, 1}) {
        SCOPED_TRACE(insecure);
        configure(insecure, "alice", "secret");
        std::string xml = read_fixture("album.xml");
        char *first = sonic_gen_url_first_part("getAlbum");
        std::string head_url = std::string(first) + "&id=al-1";
        checked_free(first);
        LinkTable *linktbl = LinkTable_alloc(head_url.c_str());
        linktbl->links[0]->sonic_depth = 4;
        ::testing::internal::CaptureStderr();
        sonic_parse_reply(linktbl, xml.data(), xml.size(), XML_parser_general);
        std::string log = ::testing::internal::GetCapturedStderr();

        ASSERT_EQ(linktbl->size, 3);
        std::vector<std::string> secrets = {"secret", "736563726574"};
        for (int32_t i = 0; i < linktbl->size; i++) {
            auto q = query_of(linktbl->links[i]->f_url);
            for (const char *key : {"t", "s", "p"})
                if (q.count(key))
                    secrets.push_back(q[key].rfind("enc:", 0) == 0 ? q[key].substr(4) : q[key]);
        }
        EXPECT_GE(secrets.size(), insecure ? 3u : 8u);
        for (const auto &s : secrets)
            EXPECT_EQ(log.find(s), std::string::npos) << s << " in:\n" << log;
        // The dump did name the URLs, masked.
        EXPECT_THAT(log, ::testing::HasSubstr(insecure ? "p=***" : "t=***&s=***"));
        EXPECT_THAT(log, ::testing::HasSubstr("&format=raw&id=s-1"));
        LinkTable_free(linktbl);
    }
}

} // namespace
