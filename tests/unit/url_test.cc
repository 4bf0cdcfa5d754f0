// URL rules: absolute references, origins, names of external links, cache keys.
#include <gtest/gtest.h>

#include <string>

#include "link/link.h"
#include "util.h"

namespace {

std::string take(char *text)
{
    std::string copy = text ? text : "(null)";
    checked_free(text);
    return copy;
}

} // namespace

TEST(UrlRules, IsAbsoluteUrl)
{
    struct {
        const char *url;
        int absolute;
    } cases[] = {
        {"http://h/", 1}, {"https://h/", 1}, {"HTTP://h/", 1}, {"HtTpS://h", 1}, {"http://", 1},
        {"http:/h/", 0},  {"ftp://h/", 0},   {"//h/x", 0},     {"file.txt", 0}, {"", 0},
        {nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(is_absolute_url(c.url), c.absolute) << (c.url ? c.url : "(null)");
}

TEST(UrlRules, OriginsDiffer)
{
    std::string long_host = "http://" + std::string(1100, 'h') + "/";
    struct {
        const char *a, *b;
        int differ;
    } cases[] = {
        {"http://h/pub/", "http://h/pub/a/b", 0},
        {"http://h/pub/", "http://H/other", 0}, // host case
        {"HTTP://h/", "http://h/", 0},          // scheme case
        {"http://h/", "http://h:80/x", 0},      // default port written out
        {"https://h/", "https://h:443/", 0},
        {"http://h/", "https://h/", 1},        // scheme
        {"http://h/", "http://h:8080/", 1},    // another port
        {"http://h:8080/", "http://h:8080/", 0},
        {"http://h:0080/", "http://h:80/", 0}, // the port's value counts
        {"http://h/", "http://h.evil/", 1},    // a longer host is another host
        {"http://h/", "http://g/", 1},
        {"http://h", "http://h/pub/", 0},        // no path
        {"http://h?q=/a/b", "http://h/", 0},     // the query string never counts
        {"http://h#frag/a/b", "http://h:80/", 0}, // nor the fragment
        {"http://h:81?q=/a/b", "http://h/", 1},
        {"http://[::1]:8080/", "http://[::1]:8080/x", 0}, // colons inside brackets are no port
        {"http://[::1]/", "http://[::1]:80/", 0},
        {"http://[::1]:8080/", "http://[::1]:8081/", 1},
        {"http://[::1]/", "http://[::2]/", 1},
        {"http://user:pw@h/", "http://user:pw@h/", 1}, // user information: no numeric port
        {"http://user@h/", "http://h/", 1},
        {"file.txt", "file.txt", 1}, // no "//": differs from everything
        {"a/b/c/d", "a/b/c/d", 1},
        {"//h/x", "//h/x", 1},
        {"ftp://h/", "ftp://h/x", 0}, // a path spares the scheme check
        {"ftp://h", "ftp://h", 1},
        {"http:///x", "http:///x", 1}, // empty authority
        {"http://h:/", "http://h:0/", 0},
        {"http://h:x/", "http://h:x/", 1},
        // a port beyond 65535 is refused; it must not wrap around to 80
        {"http://h:4294967376/", "http://h/", 1},
        {"http://h:65535/", "http://h:65535/", 0},
        {"http://h:65536/", "http://h:65536/", 1},
        {long_host.c_str(), long_host.c_str(), 1},
        {nullptr, "http://h/", 1},
        {"http://h/", nullptr, 1},
    };
    for (const auto &c : cases) {
        const char *a = c.a ? c.a : "(null)", *b = c.b ? c.b : "(null)";
        EXPECT_EQ(url_origins_differ(c.a, c.b), c.differ) << a << " " << b;
        EXPECT_EQ(url_origins_differ(c.b, c.a), c.differ) << b << " " << a;
    }
}

TEST(UrlRules, ParseOrigin)
{
    struct {
        std::string prefix;
        int result;
        const char *scheme, *host;
        int32_t port;
    } cases[] = {
        {"HTTP://Example.ORG", 0, "http", "example.org", 80},
        {"https://h", 0, "https", "h", 443},
        {"gopher://h", 0, "gopher", "h", 0},
        {"http://h:8080", 0, "http", "h", 8080},
        {"http://h:", 0, "http", "h", 0},
        {"http://:8080", 0, "http", "", 8080}, // an empty host is accepted
        {"http://[FE80::1]:99", 0, "http", "[fe80::1]", 99},
        {"http://[h:81", 0, "http", "[h", 81}, // no "]": the first ":" separates
        {"http://[::1", -1, nullptr, nullptr, 0},
        {"://h", 0, "", "h", 0},
        {std::string(31, 's') + "://h", 0, nullptr, "h", 0},
        {std::string(32, 's') + "://h", -1, nullptr, nullptr, 0},
        {"http://" + std::string(1023, 'h'), 0, "http", nullptr, 80},
        {"http://" + std::string(1024, 'h'), -1, nullptr, nullptr, 0},
        {"ht", -1, nullptr, nullptr, 0},
        {"http//h", -1, nullptr, nullptr, 0},
        {"http://", -1, nullptr, nullptr, 0},
        {"http://h:8o", -1, nullptr, nullptr, 0},
        {"http://h:-1", -1, nullptr, nullptr, 0},
    };
    for (const auto &c : cases) {
        char scheme[32] = "unset", host[1024] = "unset";
        int32_t port = -7;
        ASSERT_EQ(url_parse_origin(c.prefix.c_str(), c.prefix.size(), scheme, host, &port), c.result)
            << c.prefix;
        if (c.result != 0)
            continue;
        if (c.scheme) {
            EXPECT_STREQ(scheme, c.scheme) << c.prefix;
        }
        if (c.host) {
            EXPECT_STREQ(host, c.host) << c.prefix;
        }
        EXPECT_EQ(port, c.port) << c.prefix;
    }
    // Only the prefix is read: "://" must lie wholly inside it.
    char scheme[32], host[1024];
    int32_t port;
    EXPECT_EQ(url_parse_origin("http://h", 6, scheme, host, &port), -1);
    EXPECT_EQ(url_parse_origin("http://h:8080/x", 8, scheme, host, &port), 0);
    EXPECT_EQ(port, 80);
}

TEST(UrlRules, ExternalUrlToFilename)
{
    struct {
        const char *url, *name;
    } cases[] = {
        {"http://h/pub/file.txt", "file.txt"},
        {"http://h/pub/music/", "music"},            // a directory: its last element
        {"http://h/pub/a%20b.txt", "a b.txt"},       // decoded
        {"http://h/pub/a%2Fb.txt", "a_b.txt"},       // a decoded "/" is no path
        {"http://h/pub/%C3%A9t%C3%A9", "\xc3\xa9t\xc3\xa9"},
        {"http://h/pub/song%201.mp3?x=1&y=/2", "song 1.mp3"}, // no query
        {"http://h/pub/song.mp3#part/2", "song.mp3"},         // no fragment
        {"http://h/pub/dir/?C=N;O=D", "dir"},
        {"http://h/file", "file"},
        {"http://h/", ""}, // a server root
        {"http://h", ""},
        {"http://h/?q=1", ""},
        {"http://h//", ""},
        {"http://h/pub/%2E%2E", ".."}, // the parser drops it
        {"http://h/pub/100%", "100%"}, // not decodable as such: kept
        {"", ""},
        {nullptr, ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(external_url_to_filename(c.url)), c.name) << (c.url ? c.url : "(null)");
}

// url_to_cache_path reads the root table and the root URL's length: set them up, then restore.
class CachePath : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        saved_table = root_link_table;
        saved_len = root_url_len;
        root_link_table = LinkTable_alloc("http://h/pub/");
        root_url_len = static_cast<int32_t>(strlen("http://h/pub"));
    }
    void TearDown() override
    {
        LinkTable_free(root_link_table);
        root_link_table = saved_table;
        root_url_len = saved_len;
    }

    LinkTable *saved_table;
    int32_t saved_len;
};

TEST_F(CachePath, Keys)
{
    struct {
        const char *url, *path;
    } cases[] = {
        {"http://h/pub/", "/"}, // the root itself
        {"http://h/pub", ""},
        {"http://h/pub/sub%20dir/", "/sub dir/"},
        {"http://h/pub/sub%20dir/a%20b.txt", "/sub dir/a b.txt"},
        {"http://h", "http://h"},          // shorter than the root: nothing skipped
        // ".." never leaves the cache directories, decoded or not
        {"http://h/pub/%2E%2E/%2E%2E/etc/passwd", "/__/__/etc/passwd"},
        {"http://h/pub/..%2F..%2Fx", "/__/__/x"},
        {"http://h/pub/../x", "/__/x"},
        {"http://h/pub/sub/%2e%2e", "/sub/__"},
        {"http://h/pub/a...b", "/a__.b"},
        // another server's file: one flat name of the whole URL
        {"http://other/pub/a%20b.txt", "http___other_pub_a b.txt"},
        {"https://h/pub/x", "https___h_pub_x"},
        {"http://other/x/%2E%2E/y%3A.txt", "http___other_x____y_.txt"},
        {"http://other:8080/..", "http___other_8080___"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(url_to_cache_path(c.url)), c.path) << c.url;
    EXPECT_EQ(url_to_cache_path(nullptr), nullptr);
}

TEST_F(CachePath, RootNotYetSetTakesEveryUrlAsTheMountedServer)
{
    LinkTable_free(root_link_table);
    root_link_table = nullptr;
    EXPECT_EQ(take(url_to_cache_path("http://h/pub/a%20b")), "/a b");
    EXPECT_EQ(take(url_to_cache_path("http://other/x/y")), "/x/y"); // 12 characters skipped
}
