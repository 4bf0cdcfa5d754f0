// The scripted fault server, driven with plain libcurl easy calls (not the system's transfer
// code), with the HTTP version the system asks for, so that what the network, cache and mount
// tests build on is known to answer as documented.
#include <chrono>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <thread>

#include "integration/support/harness.h"
#include "servers/fault_server.h"

namespace
{

bool has_header(const Fetched &f, const std::string &line)
{
    return f.headers.find(line + "\r\n") != std::string::npos;
}

bool has_header_name(const Fetched &f, const std::string &name)
{
    return f.headers.find("\r\n" + name + ":") != std::string::npos;
}

} // namespace

TEST(FaultServer, HeadAnswersLengthTimeAndRangeSupport)
{
    FaultServer s;
    s.add_file("/a.bin", pattern_bytes(1000), 1234567890);
    s.add_page("/dir/", listing_page("/dir/", {"a.bin", "sub/"}));
    ASSERT_TRUE(s.start());

    Fetched f = fetch(s.url("/a.bin"), {.head = true});
    EXPECT_EQ(f.result, CURLE_OK);
    EXPECT_EQ(f.code, 200);
    EXPECT_EQ(f.length, 1000);
    EXPECT_EQ(f.filetime, 1234567890);
    EXPECT_TRUE(has_header(f, "Accept-Ranges: bytes")) << f.headers;
    EXPECT_EQ(f.body, "");

    Fetched page = fetch(s.url("/dir/"));
    EXPECT_EQ(page.code, 200);
    EXPECT_TRUE(has_header(page, "Content-Type: text/html")) << page.headers;
    EXPECT_NE(page.body.find("<a href=\"../\">../</a>"), std::string::npos);
    EXPECT_LT(page.body.find("../"), page.body.find("<a href=\"sub/\">sub/</a>"));
    EXPECT_EQ(fetch(s.url("/dir/"), {.head = true}).length, static_cast<curl_off_t>(page.body.size()));

    // Like a real server, an unregistered path gets a 404 without range headers.
    Fetched missing = fetch(s.url("/nothing"), {.range = "0-9"});
    EXPECT_EQ(missing.code, 404);
    EXPECT_FALSE(has_header_name(missing, "Accept-Ranges")) << missing.headers;
}

TEST(FaultServer, RangesAreAnsweredLikeARealServer)
{
    struct {
        const char *range;
        long code;
        uint64_t offset;
        size_t bytes;
        const char *content_range; // "" when none
    } cases[] = {
        {"0-9", 206, 0, 10, "bytes 0-9/1000"},
        {"990-2000", 206, 990, 10, "bytes 990-999/1000"}, // cut at the end of the file
        {"500-", 206, 500, 500, "bytes 500-999/1000"},
        {"-100", 206, 900, 100, "bytes 900-999/1000"},
        {"1000-1005", 416, 0, 0, "bytes */1000"},
        {"5-1", 200, 0, 1000, ""},                     // not a range: ignored, whole body
        {"0-123456789012345678901", 200, 0, 1000, ""}, // a number past 64 bits is not one either
        {"", 200, 0, 1000, ""},
    };
    FaultServer s;
    s.add_file("/f.bin", pattern_bytes(1000, 7));
    ASSERT_TRUE(s.start());
    for (const auto &c : cases) {
        Fetched f = fetch(s.url("/f.bin"), {.range = c.range});
        EXPECT_EQ(f.result, CURLE_OK) << c.range;
        EXPECT_EQ(f.code, c.code) << c.range;
        EXPECT_EQ(f.body.size(), c.bytes) << c.range;
        EXPECT_EQ(pattern_check(f.body, c.offset, 7), "") << c.range;
        if (*c.content_range)
            EXPECT_TRUE(has_header(f, std::string("Content-Range: ") + c.content_range))
                << c.range << f.headers;
        else
            EXPECT_FALSE(has_header_name(f, "Content-Range")) << c.range << f.headers;
        EXPECT_TRUE(has_header(f, "Accept-Ranges: bytes")) << c.range;
    }
    ASSERT_EQ(s.requests().size(), std::size(cases));
    EXPECT_EQ(s.requests()[0].range, "bytes=0-9");
    EXPECT_EQ(s.requests().back().range, "");
}

// Each reply is asked bytes 100-199 of a 1000-byte file; the request after it gets the normal answer.
TEST(FaultServer, ScriptedRepliesThenTheNormalAnswer)
{
    const size_t ANY = SIZE_MAX;
    Reply unannounced = ranged();
    unannounced.send_length = false;
    struct {
        const char *name;
        Reply reply;
        CURLcode result;
        long code;
        size_t bytes;       // ANY: not checked (a status page)
        bool accept_ranges; // "Accept-Ranges: bytes" present
        const char *content_range;
    } cases[] = {
        {"404", status(404), CURLE_OK, 404, ANY, true, ""},
        {"429", status(429), CURLE_OK, 429, ANY, true, ""},
        {"503", status(503), CURLE_OK, 503, ANY, true, ""},
        {"520", status(520), CURLE_OK, 520, ANY, true, ""},
        {"524", status(524), CURLE_OK, 524, ANY, true, ""},
        {"no range headers", no_range_headers(), CURLE_OK, 206, 100, false, ""},
        {"ignores the range", ignore_range(), CURLE_OK, 200, 1000, true, ""},
        {"cut after 30 bytes", cut(30), CURLE_PARTIAL_FILE, 206, 30, true, "bytes 100-199/1000"},
        {"10 bytes short", short_body(10), CURLE_OK, 206, 90, true, "bytes 100-189/1000"},
        {"10 bytes long", long_body(10), CURLE_OK, 206, 110, true, "bytes 100-209/1000"},
        {"no length, ends with the connection", unannounced, CURLE_OK, 206, 100, true, "bytes 100-199/1000"},
        {"dropped", drop(), CURLE_GOT_NOTHING, 0, 0, false, ""},
    };
    FaultServer s;
    ASSERT_TRUE(s.start());
    int n = 0;
    for (const auto &c : cases) {
        std::string path = "/case" + std::to_string(n++) + ".bin";
        s.add_file(path, pattern_bytes(1000));
        s.script("GET", path, {c.reply});

        Fetched f = fetch(s.url(path), {.range = "100-199"});
        EXPECT_EQ(f.result, c.result) << c.name;
        EXPECT_EQ(f.code, c.code) << c.name;
        if (c.bytes != ANY) {
            EXPECT_EQ(f.body.size(), c.bytes) << c.name;
            EXPECT_EQ(pattern_check(f.body, c.code == 200 ? 0 : 100), "") << c.name;
        }
        EXPECT_EQ(has_header(f, "Accept-Ranges: bytes"), c.accept_ranges) << c.name << f.headers;
        if (*c.content_range)
            EXPECT_TRUE(has_header(f, std::string("Content-Range: ") + c.content_range))
                << c.name << f.headers;
        else
            EXPECT_FALSE(has_header_name(f, "Content-Range")) << c.name << f.headers;

        Fetched next = fetch(s.url(path), {.range = "100-199"});
        EXPECT_EQ(next.code, 206) << c.name;
        EXPECT_EQ(pattern_check(next.body, 100), "") << c.name;
        EXPECT_EQ(next.body.size(), 100u) << c.name;
        EXPECT_EQ(s.count("GET", path), 2u) << c.name;
    }
}

TEST(FaultServer, ScriptsAreTakenInTurnPerMethod)
{
    FaultServer s;
    s.add_file("/f.bin", pattern_bytes(1000));
    s.add_file("/g.bin", pattern_bytes(1000));
    s.script("GET", "/f.bin", {status(429), status(503)});
    s.script("/g.bin", {status(404)});
    s.script("HEAD", "/g.bin", {head_without_length()});
    ASSERT_TRUE(s.start());

    EXPECT_EQ(fetch(s.url("/f.bin"), {.head = true}).code, 200); // a HEAD leaves the GET script alone
    EXPECT_EQ(s.script_left("/f.bin", "GET"), 2u);
    EXPECT_EQ(fetch(s.url("/f.bin"), {.range = "0-9"}).code, 429);
    EXPECT_EQ(fetch(s.url("/f.bin"), {.range = "0-9"}).code, 503);
    EXPECT_EQ(fetch(s.url("/f.bin"), {.range = "0-9"}).code, 206);
    EXPECT_EQ(s.script_left("/f.bin", "GET"), 0u);

    // The HEAD script is taken before the any-method one, which the next request of any method gets.
    Fetched h = fetch(s.url("/g.bin"), {.head = true});
    EXPECT_EQ(h.code, 200);
    EXPECT_EQ(h.length, -1);
    EXPECT_FALSE(has_header_name(h, "Content-Length")) << h.headers;
    EXPECT_EQ(fetch(s.url("/g.bin"), {.head = true}).code, 404);
    EXPECT_EQ(fetch(s.url("/g.bin"), {.head = true}).length, 1000);
    EXPECT_EQ(fetch(s.url("/g.bin")).code, 200);
    EXPECT_EQ(s.count("HEAD", ""), 4u);
    EXPECT_EQ(s.count("GET", ""), 4u);
}

TEST(FaultServer, RedirectsWithinAndAcrossOrigins)
{
    FaultServer s, foreign;
    s.add_file("/real.bin", pattern_bytes(1000));
    foreign.add_file("/elsewhere.bin", pattern_bytes(1000, 3));
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(foreign.start());
    ASSERT_NE(s.port(), foreign.port());
    s.script("/moved.bin", {redirect("/real.bin")});
    s.script("/away.bin", {redirect(foreign.url("/elsewhere.bin"), 301)});

    Fetched f = fetch(s.url("/moved.bin"), {.range = "10-19", .follow = true});
    EXPECT_EQ(f.code, 206);
    EXPECT_EQ(pattern_check(f.body, 10), "");
    EXPECT_TRUE(has_header(f, "Location: " + s.url("/real.bin"))) << f.headers;

    Fetched away = fetch(s.url("/away.bin"), {.follow = true});
    EXPECT_EQ(away.code, 200);
    EXPECT_EQ(pattern_check(away.body, 0, 3), "");
    EXPECT_EQ(foreign.count("GET", "/elsewhere.bin"), 1u);
    EXPECT_EQ(s.count("GET", "/elsewhere.bin"), 0u);
    EXPECT_EQ(s.count("GET", "/moved.bin"), 1u);
    EXPECT_EQ(s.count("GET", "/real.bin"), 1u);
}

TEST(FaultServer, StallAndSlowDelayTheBody)
{
    FaultServer s;
    s.add_file("/f.bin", pattern_bytes(1000));
    s.script("GET", "/f.bin", {stall(300), slow(25, 60)});
    s.script("HEAD", "/f.bin", {stall(300)});
    ASSERT_TRUE(s.start());

    Fetched stalled = fetch(s.url("/f.bin"), {.range = "0-99"});
    EXPECT_GE(stalled.seconds, 0.3);
    EXPECT_EQ(pattern_check(stalled.body, 0), "");
    EXPECT_EQ(stalled.body.size(), 100u);

    Fetched slowed = fetch(s.url("/f.bin"), {.range = "0-99"}); // four pieces, three gaps
    EXPECT_GE(slowed.seconds, 0.18);
    EXPECT_EQ(pattern_check(slowed.body, 0), "");
    EXPECT_EQ(slowed.body.size(), 100u);

    EXPECT_GE(fetch(s.url("/f.bin"), {.head = true}).seconds, 0.3);
    EXPECT_LT(fetch(s.url("/f.bin"), {.range = "0-99"}).seconds, 0.3);
}

// A request is logged before its answer, and stop() ends a stalled answer at once.
TEST(FaultServer, StopEndsAStalledReply)
{
    FaultServer s;
    s.add_file("/f.bin", pattern_bytes(1000));
    s.script("/f.bin", {stall(60000)});
    ASSERT_TRUE(s.start());
    Fetched f;
    std::thread client([&] { f = fetch(s.url("/f.bin"), {.range = "0-99"}); });
    ASSERT_TRUE(s.wait_for(1, "GET", "/f.bin"));
    auto t0 = std::chrono::steady_clock::now();
    s.stop();
    client.join();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 5.0);
    EXPECT_NE(f.result, CURLE_OK);
    EXPECT_EQ(f.body, "");
}

TEST(FaultServer, BasicAuthForTheServerOrOnePath)
{
    FaultServer s;
    s.add_file("/a.bin", pattern_bytes(1000));
    s.require_auth("alice", "secret");
    s.script("GET", "/a.bin", {status(503)});
    ASSERT_TRUE(s.start());

    Fetched none = fetch(s.url("/a.bin"));
    EXPECT_EQ(none.code, 401);
    EXPECT_TRUE(has_header(none, "WWW-Authenticate: Basic realm=\"fault-server\"")) << none.headers;
    EXPECT_EQ(fetch(s.url("/a.bin"), {.user = "alice", .password = "wrong"}).code, 401);
    // Refused requests did not take the scripted 503.
    EXPECT_EQ(fetch(s.url("/a.bin"), {.user = "alice", .password = "secret"}).code, 503);
    EXPECT_EQ(fetch(s.url("/a.bin"), {.user = "alice", .password = "secret"}).code, 200);

    std::vector<SeenRequest> log = s.requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_FALSE(log[0].credentials);
    EXPECT_EQ(log[0].user, "");
    EXPECT_TRUE(log[1].credentials);
    EXPECT_EQ(log[1].user, "alice");

    FaultServer p;
    p.add_file("/public.bin", "open");
    p.add_file("/private.bin", "closed");
    p.require_auth_for("/private.bin", "bob", "pw");
    ASSERT_TRUE(p.start());
    EXPECT_EQ(fetch(p.url("/public.bin")).code, 200);
    EXPECT_EQ(fetch(p.url("/private.bin")).code, 401);
    EXPECT_EQ(fetch(p.url("/private.bin"), {.user = "bob", .password = "pw"}).body, "closed");
}

TEST(FaultServer, LogsEveryRequestAndWaitsForThem)
{
    FaultServer s;
    s.add_file("/with space.bin", pattern_bytes(100));
    ASSERT_TRUE(s.start());

    Fetched f = fetch(s.url("/with%20space.bin?a=1&b=2"), {.range = "0-9", .headers = {"X-Trace: one"}});
    EXPECT_EQ(f.code, 206);
    std::vector<SeenRequest> log = s.requests();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].method, "GET");
    EXPECT_EQ(log[0].path, "/with%20space.bin");
    EXPECT_EQ(log[0].query, "a=1&b=2");
    EXPECT_EQ(log[0].range, "bytes=0-9");
    EXPECT_EQ(log[0].headers["x-trace"], "one");
    EXPECT_EQ(log[0].headers["range"], "bytes=0-9");
    EXPECT_EQ(log[0].headers["host"], "127.0.0.1:" + std::to_string(s.port()));
    EXPECT_EQ(s.count("GET", "/with space.bin"), 1u);
    EXPECT_EQ(s.count("GET", "/with%20space.bin"), 1u);
    EXPECT_EQ(s.count("HEAD", "/with space.bin"), 0u);

    // Requests from several threads at once; the wait ends when the last has been seen.
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; i++)
        clients.emplace_back([&] { fetch(s.url("/with%20space.bin"), {.head = true}); });
    EXPECT_TRUE(s.wait_for(4, "HEAD"));
    for (std::thread &t : clients)
        t.join();

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(s.wait_for(5, "HEAD", "", 100));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
    s.clear_log();
    EXPECT_EQ(s.count(), 0u);
}

// libcurl keeps connections; the server serves any number of requests on one of them.
TEST(FaultServer, KeepsConnectionsOpen)
{
    FaultServer s;
    s.add_file("/f.bin", pattern_bytes(1000));
    ASSERT_TRUE(s.start());
    CURL *curl = curl_easy_init();
    long connects = 0;
    for (int i = 0; i < 20; i++) {
        bool head = i % 2 == 1;
        Fetched f =
            fetch(s.url("/f.bin"),
                  {.range = head ? "" : std::to_string(i) + "-" + std::to_string(i + 9), .head = head}, curl);
        EXPECT_EQ(f.code, i % 2 ? 200 : 206);
        connects += f.connects;
    }
    curl_easy_cleanup(curl);
    EXPECT_EQ(connects, 1);
}

TEST(Pattern, BytesNameTheirOffset)
{
    std::string file = pattern_bytes(1 << 16);
    EXPECT_EQ(pattern_bytes(10, 0, 4097), file.substr(4097, 10));
    EXPECT_NE(pattern_bytes(64, 1), pattern_bytes(64, 2));
    for (size_t i = 0; i + 8 <= file.size(); i += 4)
        ASSERT_NE(file.compare(i, 4, file, i + 4, 4), 0) << "words at " << i << " repeat";

    EXPECT_EQ(pattern_check(file.substr(8192, 100), 8192), "");
    std::string wrong = pattern_check(file.substr(4096, 100), 8192);
    EXPECT_NE(wrong.find("first difference at offset 8192"), std::string::npos) << wrong;
    EXPECT_NE(wrong.find("pattern of offset 4096 (-4096)"), std::string::npos) << wrong;
    std::string zeros = pattern_check(std::string(100, '\0'), 8192);
    EXPECT_NE(zeros.find("not pattern data"), std::string::npos) << zeros;
    std::string tail = file.substr(4000, 100);
    tail[50] ^= 1;
    EXPECT_NE(pattern_check(tail, 4000).find("first difference at offset 4050"), std::string::npos);
}
