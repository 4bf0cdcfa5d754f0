// The real servers of the mount tests, checked with plain libcurl: what each serves that the
// tests rely on (TLS with HTTP/2 and the host-name check, basic authentication, redirects).
#include <curl/curl.h>
#include <gtest/gtest.h>

#include "integration/support/harness.h"
#include "integration/support/servers.h"

namespace
{

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
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

// A server that cannot start says why, with its own words.
TEST(ServersStartUp, ReportsWhyAServerDidNotStart)
{
    TempDir tree("tree");
    Nginx nginx(tree.path(), {.locations = {"location = /x { no_such_directive; }"}});
    EXPECT_FALSE(nginx.start());
    EXPECT_TRUE(has(nginx.error(), "unknown directive \"no_such_directive\"")) << nginx.error();
    EXPECT_EQ(nginx.pid(), 0);

    Certificate unmade;
    Nginx secure(tree.path(), {.tls = &unmade});
    EXPECT_FALSE(secure.start());
    EXPECT_TRUE(has(secure.error(), "Certificate::make")) << secure.error();
}
