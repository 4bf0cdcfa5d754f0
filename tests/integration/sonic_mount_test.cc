// Sonic mode against a real Subsonic-API server (supysonic): the harness itself, then mounts in
// index mode and in ID3 mode, with and without the cache. The expected tree is built from the
// server's own replies, read here with expat; every song read through the mount must equal the
// library's file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <expat.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "integration/support/harness.h"
#include "integration/support/supysonic.h"
#include "servers/fault_server.h"

namespace
{

// One start tag of a reply.
struct Element {
    std::string name;
    std::map<std::string, std::string> attrs;
};

// Every start tag of `xml`, in order; a test failure when it is not well-formed.
std::vector<Element> elements_of(const std::string &xml)
{
    std::vector<Element> out;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &out);
    XML_SetStartElementHandler(parser, [](void *data, const char *name, const char **attr) {
        Element e{name, {}};
        for (int i = 0; attr[i] && attr[i + 1]; i += 2)
            e.attrs[attr[i]] = attr[i + 1];
        static_cast<std::vector<Element> *>(data)->push_back(e);
    });
    if (XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_ERROR)
        ADD_FAILURE() << "reply is not XML: " << xml;
    XML_ParserFree(parser);
    return out;
}

// What a mount shows for one entry.
struct Node {
    bool dir = false;
    long long size = 0;
    std::string id;      // the server's id of a song (its cache key)
    std::string library; // a song's path in the library
    bool operator==(const Node &o) const { return dir == o.dir && (dir || size == o.size); }
};
Node directory()
{
    Node n;
    n.dir = true;
    return n;
}
using Tree = std::map<std::string, Node>; // path relative to the mount -> entry

std::ostream &operator<<(std::ostream &os, const Node &n)
{
    return os << (n.dir ? "dir" : "file size " + std::to_string(n.size));
}

// The shown name of an entry: the last component of its path, else its title, else its name;
// "/" inside becomes "-", and names the directory itself or its parent owns are replaced.
std::string shown_name(const Element &e)
{
    std::string name;
    if (e.attrs.count("path")) {
        const std::string &p = e.attrs.at("path");
        name = p.substr(p.rfind('/') + 1);
    } else if (e.attrs.count("title")) {
        name = e.attrs.at("title");
    } else if (e.attrs.count("name")) {
        name = e.attrs.at("name");
    }
    if (name == ".")
        return "__DOT__";
    if (name == "..")
        return "__DOTDOT__";
    if (name == "/")
        return "__FORWARD-SLASH__";
    for (char &c : name)
        if (c == '/')
            c = '-';
    return name;
}

class Expectation
{
  public:
    explicit Expectation(const Supysonic &server) : server(server) {}

    // Index mode: getIndexes gives the top folders, getMusicDirectory every folder below.
    Tree index_tree()
    {
        Tree tree;
        for (const Element &e : reply("getIndexes", ""))
            if (e.name == "artist")
                add_dir(&tree, shown_name(e), e.attrs.at("id"));
        return tree;
    }

    // ID3 mode: getArtists gives groups and artists, getArtist the albums, getAlbum the songs.
    Tree id3_tree()
    {
        Tree tree;
        std::string group;
        for (const Element &e : reply("getArtists", "")) {
            if (e.name == "index") {
                group = e.attrs.at("name");
                tree[group] = directory();
            } else if (e.name == "artist" && !group.empty()) {
                std::string artist = group + "/" + shown_name(e);
                tree[artist] = directory();
                for (const Element &al : reply("getArtist", "&id=" + e.attrs.at("id"))) {
                    if (al.name != "album")
                        continue;
                    std::string album = artist + "/" + shown_name(al);
                    tree[album] = directory();
                    for (const Element &s : reply("getAlbum", "&id=" + al.attrs.at("id")))
                        if (s.name == "song")
                            tree[album + "/" + shown_name(s)] = song(s);
                }
            }
        }
        return tree;
    }

  private:
    std::vector<Element> reply(const std::string &method, const std::string &params)
    {
        std::string body;
        long code = server.get(method, params, &body);
        EXPECT_EQ(code, 200) << method << params;
        EXPECT_THAT(body, ::testing::HasSubstr("status=\"ok\"")) << method << params;
        return elements_of(body);
    }

    Node song(const Element &e)
    {
        Node n;
        n.size = std::stoll(e.attrs.at("size"));
        n.id = e.attrs.at("id");
        n.library = server.library() + "/" + e.attrs.at("path");
        return n;
    }

    void add_dir(Tree *tree, const std::string &path, const std::string &id)
    {
        (*tree)[path] = directory();
        for (const Element &e : reply("getMusicDirectory", "&id=" + id)) {
            if (e.name != "child")
                continue;
            std::string child = path + "/" + shown_name(e);
            if (e.attrs.at("isDir") == "false")
                (*tree)[child] = song(e);
            else
                add_dir(tree, child, e.attrs.at("id"));
        }
    }

    const Supysonic &server;
};

// The tree a mount shows.
Tree walk(const std::string &root, const std::string &rel = "")
{
    Tree tree;
    std::string dir = rel.empty() ? root : root + "/" + rel;
    int err = 0;
    std::set<std::string> names = list_dir(dir, &err);
    if (err) {
        ADD_FAILURE() << "cannot open " << dir << ": " << strerror(err);
        return tree;
    }
    for (const std::string &name : names) {
        std::string path = rel.empty() ? name : rel + "/" + name;
        struct stat st;
        if (lstat((root + "/" + path).c_str(), &st)) {
            ADD_FAILURE() << "cannot stat " << path << ": " << strerror(errno);
            continue;
        }
        Node n;
        n.dir = S_ISDIR(st.st_mode);
        n.size = st.st_size;
        tree[path] = n;
        if (n.dir && tree.size() < 1000) {
            Tree below = walk(root, path);
            tree.insert(below.begin(), below.end());
        }
    }
    return tree;
}

size_t song_count(const Tree &tree)
{
    size_t n = 0;
    for (const auto &[path, node] : tree)
        n += !node.dir;
    return n;
}

// ---- the harness ----

TEST(SupysonicHarness, ServesItsLibraryAndStops)
{
    Supysonic sonic;
    ASSERT_TRUE(sonic.start()) << sonic.error();
    std::string xml;
    ASSERT_EQ(sonic.get("getIndexes", "", &xml), 200) << sonic.error();
    EXPECT_THAT(xml, ::testing::HasSubstr("status=\"ok\""));
    std::vector<std::string> artists;
    for (const Element &e : elements_of(xml))
        if (e.name == "artist")
            artists.push_back(e.attrs.at("name"));
    EXPECT_THAT(artists, ::testing::ElementsAre("Alpha Band", "Bravo Trio"));

    // The scan found every song: getArtists lists both artists, getAlbum of each album all its
    // songs.
    size_t songs = 0;
    ASSERT_EQ(sonic.get("getArtists", "", &xml), 200);
    for (const Element &artist : elements_of(xml)) {
        if (artist.name != "artist")
            continue;
        std::string reply;
        sonic.get("getArtist", "&id=" + artist.attrs.at("id"), &reply);
        for (const Element &album : elements_of(reply)) {
            if (album.name != "album")
                continue;
            std::string songs_xml;
            sonic.get("getAlbum", "&id=" + album.attrs.at("id"), &songs_xml);
            for (const Element &s : elements_of(songs_xml))
                songs += s.name == "song";
        }
    }
    EXPECT_EQ(songs, Supysonic::songs().size());

    // Only the hex form is accepted by this server.
    Supysonic::get_url(sonic.url() + "/rest/getIndexes.view?u=alice&t=x&s=y&v=1.13.0&c=test", &xml);
    EXPECT_THAT(xml, ::testing::HasSubstr("code=\"10\""));

    pid_t pid = sonic.pid();
    sonic.stop();
    EXPECT_EQ(sonic.pid(), 0);
    EXPECT_NE(kill(pid, 0), 0) << "supysonic-server still runs";
    EXPECT_EQ(Supysonic::get_url(sonic.url() + "/rest/ping.view", &xml), 0);
}

// ---- mounts ----

struct MountCase {
    const char *name;
    bool id3;
    bool cache;
};

void PrintTo(const MountCase &c, std::ostream *os)
{
    *os << c.name;
}

class SonicMount : public ::testing::TestWithParam<MountCase>
{
  protected:
    static void SetUpTestSuite()
    {
        server = new Supysonic();
        started = server->start();
    }
    static void TearDownTestSuite()
    {
        delete server;
        server = nullptr;
    }
    static Supysonic *server;
    static bool started;
};
Supysonic *SonicMount::server;
bool SonicMount::started;

TEST_P(SonicMount, TreeMatchesServerAndSongsReadBack)
{
    const MountCase &c = GetParam();
    ASSERT_TRUE(started) << server->error();
    REQUIRE_FUSE();

    Expectation expect(*server);
    Tree expected = c.id3 ? expect.id3_tree() : expect.index_tree();
    ASSERT_EQ(song_count(expected), Supysonic::songs().size());
    // Fixed points, so that a rule wrong on both sides still fails: the "/" of an album title
    // (ID3) and of a song title (a file named after its path in both layouts).
    if (c.id3) {
        EXPECT_EQ(expected.count("A/Alpha Band/Live-Studio"), 1u);
        EXPECT_EQ(expected.count("A/Alpha Band/First Light/02 Up-Down.mp3"), 1u);
        EXPECT_EQ(expected.count("B/Bravo Trio/Third/02 Song Five.mp3"), 1u);
    } else {
        EXPECT_EQ(expected.count("Alpha Band/Live Studio/01 Opening.mp3"), 1u);
        EXPECT_EQ(expected.count("Alpha Band/First Light/02 Up-Down.mp3"), 1u);
    }

    TempDir cache_dir("sonic-cache");
    std::vector<std::string> args = {"--sonic-username", Supysonic::USER, "--sonic-password",
                                     Supysonic::PASSWORD, "--sonic-insecure"};
    if (c.id3)
        args.push_back("--sonic-id3");
    if (c.cache)
        args.insert(args.end(), {"--cache", "--cache-location", cache_dir.path()});
    Mount m(server->url(), args);
    ASSERT_TRUE(m.start()) << m.error();

    Tree shown = walk(m.path());
    EXPECT_EQ(shown, expected);
    for (const auto &[path, node] : expected) {
        if (node.dir)
            continue;
        SCOPED_TRACE(path);
        std::string bytes;
        ASSERT_EQ(try_read_file(m.path() + "/" + path, &bytes), 0);
        EXPECT_EQ(bytes.size(), static_cast<size_t>(node.size));
        EXPECT_TRUE(bytes == read_file(node.library)) << "bytes differ from " << node.library;
    }
    // Reopening a directory after its release (a group directory in ID3 mode) still works.
    Tree again = walk(m.path());
    EXPECT_EQ(again, expected);

    EXPECT_EQ(m.stop(), 0);
    // The log names request URLs (table dumps, at the default level) but never the password.
    std::string log = m.stderr_text();
    EXPECT_THAT(log, ::testing::HasSubstr("/rest/"));
    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("736563726574")));
    EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr(Supysonic::PASSWORD)));

    if (c.cache) {
        // Cached songs are keyed by their server id, directly below meta/ and data/; the data
        // file is an image of the song.
        struct stat st;
        EXPECT_EQ(stat(cache_dir.at("meta/rest").c_str(), &st), 0);
        EXPECT_EQ(stat(cache_dir.at("data/rest").c_str(), &st), 0);
        for (const auto &[path, node] : expected) {
            if (node.dir)
                continue;
            SCOPED_TRACE(path);
            EXPECT_EQ(stat(cache_dir.at("meta/" + node.id).c_str(), &st), 0) << "meta/" << node.id;
            EXPECT_GT(st.st_size, 0);
            std::string data;
            EXPECT_EQ(try_read_file(cache_dir.at("data/" + node.id), &data), 0) << "data/" << node.id;
            EXPECT_TRUE(data == read_file(node.library)) << "data/" << node.id << " differs";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SonicMount,
                         ::testing::Values(MountCase{"Index", false, false}, MountCase{"Id3", true, false},
                                           MountCase{"IndexCached", false, true},
                                           MountCase{"Id3Cached", true, true}),
                         [](const ::testing::TestParamInfo<MountCase> &info) { return info.param.name; });

// ---- the token form, against the scripted server ----

const char REPLY_HEAD[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<subsonic-response status=\"ok\" version=\"1.13.0\" "
                          "xmlns=\"http://subsonic.org/restapi\">";
const char REPLY_TAIL[] = "</subsonic-response>\n";

// Every request of a token-form mount carries the user, a fresh UUID salt, the MD5 of password
// and salt, version 1.13.0 and the client name (whatever --user-agent says), never the password;
// each method gets its own parameters.
TEST(SonicTokenForm, EveryRequestIsSignedWithItsOwnSalt)
{
    REQUIRE_FUSE();
    const std::string song = pattern_bytes(70000, 7);
    struct {
        const char *name;
        bool id3;
        std::vector<std::pair<std::string, std::string>> replies; // method -> reply body
        std::string song_path;
        std::vector<std::pair<std::string, std::string>> params; // method -> its own parameters
    } cases[] = {
        {"index",
         false,
         {{"getIndexes", "<indexes><index name=\"A\"><artist id=\"7\" name=\"Alpha\"/></index></indexes>"},
          {"getMusicDirectory", "<directory id=\"7\" name=\"Alpha\"><child id=\"s1\" isDir=\"false\" "
                                "title=\"One\" size=\"70000\" path=\"Alpha/01 One.mp3\"/></directory>"}},
         "Alpha/01 One.mp3",
         {{"getIndexes", ""}, {"getMusicDirectory", "id=7"}, {"stream", "format=raw&id=s1"}}},
        {"id3",
         true,
         {{"getArtists", "<artists><index name=\"A\"><artist id=\"ar-1\" name=\"Alpha\"/></index></artists>"},
          {"getArtist", "<artist id=\"ar-1\" name=\"Alpha\"><album id=\"al-1\" name=\"First\"/></artist>"},
          {"getAlbum", "<album id=\"al-1\" name=\"First\"><song id=\"s1\" title=\"One\" size=\"70000\" "
                       "path=\"Alpha/First/01 One.mp3\"/></album>"}},
         "A/Alpha/First/01 One.mp3",
         {{"getArtists", ""},
          {"getArtist", "id=ar-1"},
          {"getAlbum", "id=al-1"},
          {"stream", "format=raw&id=s1"}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        FaultServer server;
        for (const auto &[method, body] : c.replies)
            server.add_file("/rest/" + method + ".view", REPLY_HEAD + body + REPLY_TAIL);
        server.add_file("/rest/stream.view", song);
        ASSERT_TRUE(server.start());

        std::vector<std::string> args = {"--sonic-username", "alice",        "--sonic-password",
                                         "secret",           "--user-agent", "Other-Agent/9"};
        if (c.id3)
            args.push_back("--sonic-id3");
        Mount m(server.url("/"), args);
        ASSERT_TRUE(m.start()) << m.error();
        std::string bytes;
        EXPECT_EQ(try_read_file(m.path() + "/" + c.song_path, &bytes), 0);
        EXPECT_TRUE(bytes == song) << pattern_check(bytes, 0, 7);
        EXPECT_EQ(m.stop(), 0);

        std::set<std::string> salts;
        std::set<std::string> methods;
        std::vector<SeenRequest> seen = server.requests();
        for (const SeenRequest &r : seen) {
            SCOPED_TRACE(r.method + " " + r.path + "?" + r.query);
            ASSERT_EQ(r.path.rfind("/rest/", 0), 0u);
            ASSERT_GT(r.path.size(), 11u);
            std::string method = r.path.substr(6, r.path.size() - 11);
            EXPECT_EQ(r.path.substr(r.path.size() - 5), ".view");
            methods.insert(method);
            EXPECT_EQ(r.query.find("secret"), std::string::npos);
            auto q = query_params(r.query);
            EXPECT_EQ(q["u"], "alice");
            EXPECT_EQ(q["v"], "1.13.0");
            EXPECT_EQ(q["c"], "Tarnwick-1.3.3");
            EXPECT_EQ(q.count("p"), 0u);
            EXPECT_EQ(q["s"].size(), 36u);
            EXPECT_EQ(q["t"], md5_hex("secret" + q["s"]));
            EXPECT_EQ(r.headers.count("user-agent") ? r.headers.at("user-agent") : "", "Other-Agent/9");
            // The first part ends with c=; the method's own parameters follow.
            std::string after = r.query.substr(r.query.find("&c=Tarnwick-1.3.3") + 17);
            for (const auto &[m_name, params] : c.params) {
                if (m_name == method) {
                    EXPECT_EQ(after, params.empty() ? "" : "&" + params);
                }
            }
            salts.insert(q["s"]);
        }
        // Directory requests are made once; a read of the song may take more than one.
        EXPECT_EQ(salts.size(), seen.size()) << "a salt was used twice";
        EXPECT_EQ(methods.size(), c.params.size());
        std::string log = m.stderr_text();
        EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("secret")));
        for (const SeenRequest &r : seen) {
            auto q = query_params(r.query);
            EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr(q["t"])));
            EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr(q["s"])));
        }
    }
}

// A refused login is an error element: the mount comes up with an empty root and says why.
TEST(SonicTokenForm, ErrorReplyMountsAnEmptyRoot)
{
    REQUIRE_FUSE();
    FaultServer server;
    server.add_file("/rest/getIndexes.view",
                    std::string(REPLY_HEAD) + "<error code=\"40\" message=\"Wrong username or password.\"/>" +
                        REPLY_TAIL);
    ASSERT_TRUE(server.start());
    Mount m(server.url("/"), {"--sonic-username", "alice", "--sonic-password", "wrong"});
    ASSERT_TRUE(m.start()) << m.error();
    EXPECT_TRUE(walk(m.path()).empty());
    EXPECT_EQ(m.stop(), 0);
    EXPECT_THAT(m.stderr_text(), ::testing::HasSubstr("code: 40\n"));
    EXPECT_THAT(m.stderr_text(), ::testing::HasSubstr("message: Wrong username or password.\n"));
}

} // namespace
