// The real servers of the mount tests, checked with plain libcurl: what each serves that the
// tests rely on (TLS with HTTP/2 and the host-name check, basic authentication, redirects,
// listings, a HEAD without length, a proxy's log, a server that ignores Range).
#include <cerrno>
#include <csignal>
#include <curl/curl.h>
#include <functional>
#include <gtest/gtest.h>

#include "integration/support/harness.h"
#include "integration/support/servers.h"
#include "servers/fault_server.h"

namespace
{

bool process_gone(pid_t pid)
{
    return kill(pid, 0) == -1 && errno == ESRCH;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// Polls `text()` (5 s at most) until it holds `part`: servers log a request after answering it.
bool eventually_has(const std::function<std::string()> &text, const std::string &part)
{
    long long deadline = now_ms() + 5000;
    while (!has(text(), part)) {
        if (now_ms() >= deadline)
            return false;
        sleep_ms(10);
    }
    return true;
}

} // namespace

TEST(ServersNginx, TlsAnswersOverHttp2AndChecksTheHostName)
{
    TempDir tree("tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.txt", "hello\n"}}));
    Certificate good, wrong(Certificate::WRONG_HOST);
    ASSERT_TRUE(good.make()) << good.error();
    ASSERT_TRUE(wrong.make()) << wrong.error();
    Nginx nginx(tree.path(), {.log_headers = {"Authorization", "X-Api-Key", "Cookie"}, .tls = &good});
    ASSERT_TRUE(nginx.start()) << nginx.error();
    ASSERT_EQ(nginx.url("/a.txt"), "https://127.0.0.1:" + std::to_string(nginx.port()) + "/a.txt");

    Fetched f = fetch(nginx.url("/a.txt"),
                      {.headers = {"X-Api-Key: k \"1\"", "Cookie: c=1"}, .cacert = good.cert_file()});
    EXPECT_EQ(f.result, CURLE_OK);
    EXPECT_EQ(f.code, 200);
    EXPECT_EQ(f.body, "hello\n");
    EXPECT_EQ(f.http_version, CURL_HTTP_VERSION_2_0);
    std::string localhost = "https://localhost:" + std::to_string(nginx.port()) + "/a.txt";
    EXPECT_EQ(fetch(localhost, {.capath = good.capath()}).code, 200);
    EXPECT_EQ(fetch(nginx.url("/a.txt")).result, CURLE_PEER_FAILED_VERIFICATION); // not a system authority

    ASSERT_TRUE(nginx.wait_for(2));
    std::vector<LoggedRequest> log = nginx.requests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].uri, "/a.txt");
    EXPECT_EQ(log[0].status, 200);
    EXPECT_EQ(log[0].protocol, "HTTP/2.0");
    EXPECT_EQ(log[0].headers,
              (std::map<std::string, std::string>{{"X-Api-Key", "k \"1\""}, {"Cookie", "c=1"}}));
    EXPECT_TRUE(log[1].headers.empty());

    Nginx other_name(tree.path(), {.tls = &wrong});
    ASSERT_TRUE(other_name.start()) << other_name.error();
    Fetched refused = fetch(other_name.url("/a.txt"), {.cacert = wrong.cert_file()});
    EXPECT_EQ(refused.result, CURLE_PEER_FAILED_VERIFICATION);
    EXPECT_EQ(refused.code, 0);
}

TEST(ServersNginx, BasicAuthenticationAndRedirectingLocations)
{
    TempDir tree("tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"sub/b.txt", "bee"}}));
    Nginx other(tree.path(), true);
    ASSERT_TRUE(other.start()) << other.error();
    Nginx nginx(tree.path(),
                {.log_headers = {"Authorization"},
                 .user = "alice",
                 .password = "s3cret",
                 .locations = {"location = /old { return 301 /sub/; }",
                               "location = /away { return 302 " + other.url("/sub/b.txt") + "; }"}});
    ASSERT_TRUE(nginx.start()) << nginx.error();

    struct {
        const char *path;
        Ask ask;
        long code;
    } cases[] = {
        {"/sub/b.txt", {}, 401},
        {"/sub/b.txt", {.user = "alice", .password = "wrong"}, 401},
        {"/sub/b.txt", {.user = "alice", .password = "s3cret"}, 200},
        {"/old", {}, 301}, // a return answers before authentication
        {"/away", {.follow = true}, 200},
    };
    for (const auto &c : cases) {
        Fetched f = fetch(nginx.url(c.path), c.ask);
        EXPECT_EQ(f.code, c.code) << c.path << " as " << c.ask.user << ":" << c.ask.password;
    }
    EXPECT_TRUE(has(fetch(nginx.url("/old")).headers, "Location: " + nginx.url("/sub/")));
    EXPECT_EQ(fetch(nginx.url("/away"), {.follow = true}).body, "bee");
    EXPECT_TRUE(other.wait_for(2, "GET", "/sub/b.txt"));
    EXPECT_EQ(other.count("GET", "/sub/b.txt"), 2u);
    ASSERT_TRUE(nginx.wait_for(7));
    EXPECT_EQ(nginx.requests()[2].headers.at("Authorization"), "Basic YWxpY2U6czNjcmV0");
}

TEST(ServersApache, ListsFancyIndexAndAnswersHeadOfAnEmptyFileWithoutLength)
{
    TempDir tree("tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a b.txt", "hello"}, {"empty", ""}, {"sub/c.txt", "c"}}));
    Apache apache(tree.path());
    ASSERT_TRUE(apache.start()) << apache.error();
    pid_t pid = apache.pid();

    Fetched root = fetch(apache.url("/"));
    EXPECT_EQ(root.code, 200);
    for (const char *part : {"<a href=\"?C=N;O=D\">Name</a>", "<a href=\"a%20b.txt\">a b.txt</a>",
                             "<a href=\"empty\">empty</a>", "<a href=\"sub/\">sub/</a>"})
        EXPECT_TRUE(has(root.body, part)) << part << " in\n" << root.body;
    EXPECT_TRUE(has(fetch(apache.url("/sub/")).body, "<a href=\"/\">Parent Directory</a>"));

    Fetched empty = fetch(apache.url("/empty"), {.head = true});
    EXPECT_EQ(empty.code, 200);
    EXPECT_EQ(empty.length, -1);
    EXPECT_FALSE(has(empty.headers, "Content-Length")) << empty.headers;
    EXPECT_EQ(fetch(apache.url("/a%20b.txt"), {.head = true}).length, 5);
    Fetched part = fetch(apache.url("/a%20b.txt"), {.range = "1-3"});
    EXPECT_EQ(part.code, 206);
    EXPECT_EQ(part.body, "ell");
    auto access_log = [&] {
        std::string text;
        for (const std::string &line : apache.access_log())
            text += line + "\n";
        return text;
    };
    EXPECT_TRUE(eventually_has(access_log, "\"HEAD /empty HTTP/1.1\" 200 \"-\"\n")) << access_log();
    EXPECT_TRUE(eventually_has(access_log, "\"GET /a%20b.txt HTTP/1.1\" 206 \"bytes=1-3\"\n"))
        << access_log();

    apache.stop();
    EXPECT_TRUE(process_gone(pid));
}

TEST(ServersLighttpd, ListsOverHttpAndOverTlsWithHttp2)
{
    TempDir tree("tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a&b.txt", "x"}, {"sub/"}}));
    ASSERT_TRUE(set_mtime(tree.at("a&b.txt"), 1600000000));
    Lighttpd plain(tree.path());
    ASSERT_TRUE(plain.start()) << plain.error();
    Certificate cert;
    ASSERT_TRUE(cert.make()) << cert.error();
    Lighttpd secure(tree.path(), &cert);
    ASSERT_TRUE(secure.start()) << secure.error();

    Fetched http = fetch(plain.url("/"));
    Fetched https = fetch(secure.url("/"), {.cacert = cert.cert_file()});
    for (const Fetched *f : {&http, &https}) {
        EXPECT_EQ(f->code, 200);
        EXPECT_TRUE(has(f->body, "<a href=\"a%26b.txt\">a&#x26;b.txt</a>")) << f->body;
        EXPECT_TRUE(has(f->body, "<a href=\"sub/\">")) << f->body;
    }
    EXPECT_EQ(https.http_version, CURL_HTTP_VERSION_2_0);
    EXPECT_EQ(http.http_version, CURL_HTTP_VERSION_2_0); // the cleartext upgrade is taken
    Fetched head = fetch(plain.url("/a&b.txt"), {.head = true});
    EXPECT_EQ(head.length, 1);
    EXPECT_EQ(head.filetime, 1600000000) << head.headers;
    EXPECT_EQ(fetch(secure.url("/a&b.txt"), {.range = "0-0", .cacert = cert.cert_file()}).code, 206);
}

TEST(ServersTinyproxy, ForwardsTunnelsAndLogsEachRequest)
{
    TempDir tree("tree");
    ASSERT_TRUE(make_tree(tree.path(), {{"a.txt", "hello"}}));
    Certificate cert;
    ASSERT_TRUE(cert.make()) << cert.error();
    Nginx plain(tree.path());
    Nginx secure(tree.path(), {.tls = &cert});
    ASSERT_TRUE(plain.start()) << plain.error();
    ASSERT_TRUE(secure.start()) << secure.error();
    Tinyproxy proxy({secure.port()});
    ASSERT_TRUE(proxy.start()) << proxy.error();
    ASSERT_EQ(proxy.url(), "http://127.0.0.1:" + std::to_string(proxy.port()));

    EXPECT_EQ(fetch(plain.url("/a.txt"), {.proxy = proxy.url()}).body, "hello");
    Fetched tunnelled = fetch(secure.url("/a.txt"), {.cacert = cert.cert_file(), .proxy = proxy.url()});
    EXPECT_EQ(tunnelled.body, "hello");
    EXPECT_EQ(tunnelled.http_version, CURL_HTTP_VERSION_2_0);
    // CONNECT only to the listed ports.
    std::string unlisted = "https://127.0.0.1:" + std::to_string(plain.port()) + "/a.txt";
    EXPECT_NE(fetch(unlisted, {.cacert = cert.cert_file(), .proxy = proxy.url()}).result, CURLE_OK);

    std::string port = std::to_string(secure.port());
    EXPECT_EQ(proxy.requests(),
              (std::vector<std::string>{"GET " + plain.url("/a.txt") + " HTTP/1.1",
                                        "CONNECT 127.0.0.1:" + port + " HTTP/1.1",
                                        "CONNECT 127.0.0.1:" + std::to_string(plain.port()) + " HTTP/1.1"}))
        << proxy.log();

    Tinyproxy guarded({}, "bob", "pw");
    ASSERT_TRUE(guarded.start()) << guarded.error();
    EXPECT_EQ(fetch(plain.url("/a.txt"), {.proxy = guarded.url()}).code, 407);
    EXPECT_EQ(
        fetch(plain.url("/a.txt"), {.proxy = guarded.url(), .proxy_user = "bob", .proxy_password = "pw"})
            .code,
        200);
}

TEST(ServersPython, AnswersRangeWithTheWholeFile)
{
    TempDir tree("tree");
    std::string bytes = pattern_bytes(1000);
    ASSERT_TRUE(make_tree(tree.path(), {{"f.bin", bytes}, {"sub/"}}));
    PythonHttpServer python(tree.path());
    ASSERT_TRUE(python.start()) << python.error();

    Fetched f = fetch(python.url("/f.bin"), {.range = "100-199"});
    EXPECT_EQ(f.code, 200);
    EXPECT_EQ(f.body, bytes);
    EXPECT_FALSE(has(f.headers, "Accept-Ranges")) << f.headers;
    Fetched listing = fetch(python.url("/"));
    EXPECT_TRUE(has(listing.body, "<a href=\"f.bin\">f.bin</a>")) << listing.body;
    EXPECT_TRUE(has(listing.body, "<a href=\"sub/\">sub/</a>")) << listing.body;
    EXPECT_TRUE(eventually_has([&] { return python.log(); }, "\"GET /f.bin HTTP/1.1\" 200")) << python.log();
}

// A server that cannot start says why, with its own words.
TEST(ServersStartUp, ReportsWhyAServerDidNotStart)
{
    TempDir tree("tree");
    Nginx nginx(tree.path(), {.locations = {"location = /x { no_such_directive; }"}});
    EXPECT_FALSE(nginx.start());
    EXPECT_TRUE(has(nginx.error(), "unknown directive \"no_such_directive\"")) << nginx.error();
    EXPECT_EQ(nginx.pid(), 0);

    Tinyproxy proxy({}, "bob", ""); // BasicAuth without a password is a syntax error
    EXPECT_FALSE(proxy.start());
    EXPECT_TRUE(has(proxy.error(), "tinyproxy ended at start-up")) << proxy.error();
    EXPECT_TRUE(has(proxy.error(), "Syntax error on line")) << proxy.error();
    EXPECT_EQ(proxy.pid(), 0);

    Certificate unmade;
    Nginx secure(tree.path(), {.tls = &unmade});
    EXPECT_FALSE(secure.start());
    EXPECT_TRUE(has(secure.error(), "Certificate::make")) << secure.error();
    Lighttpd lighttpd(tree.path(), &unmade);
    EXPECT_FALSE(lighttpd.start());
    EXPECT_TRUE(has(lighttpd.error(), "Certificate::make")) << lighttpd.error();
}
