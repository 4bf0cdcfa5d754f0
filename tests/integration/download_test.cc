// Ranged and whole-body downloads against the scripted server: retries, final failures, exact
// lengths, and what reaches the server.
#include <cerrno>
#include <chrono>
#include <cstring>

#include "util.h"

#include "network_support.h"
#include "servers/fault_server.h"

static testing::Environment *const network_env = testing::AddGlobalTestEnvironment(new NetworkEnvironment);

class Download : public testing::Test
{
  protected:
    void SetUp() override
    {
        reset_config();
        server.add_file("/f.bin", pattern_bytes(SIZE));
        ASSERT_TRUE(server.start());
        link = file_link(server.url("/f.bin"), SIZE);
    }
    void TearDown() override { LinkTable_free(link->linktbl); }

    static constexpr size_t SIZE = 100000;
    FaultServer server;
    Link *link = nullptr;
};

TEST_F(Download, RangedRepliesByScript)
{
    struct {
        const char *name;
        std::vector<Reply> script;
        int error; // 0: the right bytes
        size_t requests;
    } cases[] = {
        {"206", {ranged()}, 0, 1},
        {"429 then 206", {status(429), ranged()}, 0, 2},
        {"520 then 524 then 206", {status(520), status(524), ranged()}, 0, 3},
        {"404", {status(404)}, ENOENT, 1},
        {"503 then 206", {status(503), ranged()}, 0, 2},
        {"500", {status(500)}, ENOENT, 1},
        // Retries end: five attempts in all; the file is there, so the error is EIO.
        {"429 for ever", std::vector<Reply>(5, status(429)), EIO, 5},
        {"short body then 206", {short_body(10), ranged()}, 0, 2},
        {"long body then 206", {long_body(10), ranged()}, 0, 2},
        {"cut transfer then 206", {cut(100), ranged()}, 0, 2},
        {"redirect", {redirect("/f.bin"), ranged()}, 0, 2},
        // A 206 of the right length but of another range, and one of another file's size.
        {"other range then 206", {wrong_range(), ranged()}, 0, 2},
        {"the file changed", {grown(10)}, EIO, 1},
        // libcurl itself asks once more when a reused connection closes without an answer;
        // a broken transfer is asked again.
        {"no response at all", {drop(), drop(), ranged()}, 0, 3},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        link->content_length = SIZE; // as listed, again after a case that changed it
        server.clear_log();
        server.script("GET", "/f.bin", c.script);
        std::string got(5000, '\0');
        int64_t r = Link_download(link, got.data(), got.size(), 1000, nullptr);
        if (c.error) {
            EXPECT_EQ(r, -c.error);
        } else {
            EXPECT_EQ(r, 5000);
            EXPECT_EQ(pattern_check(got, 1000), "");
        }
        EXPECT_EQ(server.count("GET", "/f.bin"), c.requests);
        server.script("GET", "/f.bin", {});
    }
}

TEST_F(Download, RangeIsInclusiveAndCutAtTheEnd)
{
    std::string got(10, '\0');
    ASSERT_EQ(Link_download(link, got.data(), 10, 0, nullptr), 10);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].range, "bytes=0-9");

    std::string tail(500, '\0');
    ASSERT_EQ(Link_download(link, tail.data(), 500, SIZE - 100, nullptr), 100);
    EXPECT_EQ(server.requests().back().range, "bytes=99900-99999");
    tail.resize(100);
    EXPECT_EQ(pattern_check(tail, SIZE - 100), "");
}

TEST_F(Download, NothingToReadMakesNoRequest)
{
    char buf[16];
    EXPECT_EQ(Link_download(link, buf, 0, 0, nullptr), 0);
    EXPECT_EQ(Link_download(link, buf, 16, SIZE, nullptr), 0);
    EXPECT_EQ(Link_download(link, buf, 16, SIZE + 5, nullptr), 0);
    EXPECT_EQ(Link_download(link, buf, 16, -1, nullptr), 0);
    EXPECT_EQ(server.count(), 0u);
}

TEST_F(Download, WholeFileAnswerIsUsedWithoutRangeCheck)
{
    // A server that ignores Range: with --no-range-check the asked-for bytes are cut from the
    // whole file instead of asking again for ever.
    CONFIG.no_range_check = 1;
    Reply whole = ignore_range();
    whole.range_headers = false;
    server.script("GET", "/f.bin", {whole});
    std::string got(777, '\0');
    ASSERT_EQ(Link_download(link, got.data(), got.size(), 4321, nullptr), 777);
    EXPECT_EQ(pattern_check(got, 4321), "");
    EXPECT_EQ(server.count("GET", "/f.bin"), 1u);
}

TEST_F(Download, CredentialsAndHeadersReachTheServer)
{
    CONFIG.username = strdup("alice");
    CONFIG.password = strdup("secret");
    CONFIG.http_headers = curl_slist_append(nullptr, "X-Mirror: yes");
    CONFIG.user_agent = strdup("probe/1");
    server.require_auth("alice", "secret");
    std::string got(100, '\0');
    EXPECT_EQ(Link_download(link, got.data(), 100, 0, nullptr), 100);
    ASSERT_EQ(server.requests().size(), 1u);
    SeenRequest r = server.requests()[0];
    EXPECT_EQ(r.user, "alice");
    EXPECT_EQ(r.headers["x-mirror"], "yes");
    EXPECT_EQ(r.headers["user-agent"], "probe/1");
    Config_cleanup();
}

TEST_F(Download, ServerWithoutRangeSupportFailsTheReadAndSaysSoOnce)
{
    server.script("GET", "/f.bin", {no_range_headers(), no_range_headers()});
    std::string got(10, '\0');
    testing::internal::CaptureStderr();
    EXPECT_EQ(Link_download(link, got.data(), 10, 0, nullptr), -EIO);
    EXPECT_EQ(Link_download(link, got.data(), 10, 20, nullptr), -EIO);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(server.count("GET", "/f.bin"), 2u); // no retries
    size_t first = log.find("does not support HTTP range requests");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find("does not support HTTP range requests", first + 1), std::string::npos) << log;
    EXPECT_NE(log.find("--no-range-check"), std::string::npos) << log;

    // An error status is judged by its status, whatever its headers say about ranges.
    Reply missing = status(404);
    missing.range_headers = false;
    server.script("GET", "/f.bin", {missing});
    EXPECT_EQ(Link_download(link, got.data(), 10, 0, nullptr), -ENOENT);
}

TEST_F(Download, WholeBody)
{
    server.add_page("/dir/", "<html><a href=\"x\">x</a></html>", 1600000000);
    LinkTable *tbl = LinkTable_alloc(server.url("/dir/").c_str());
    Link *head = tbl->links[0];

    server.script("GET", "/dir/", {status(429), ranged()});
    ResponseBuffer page = Link_download_full(head);
    ASSERT_GT(page.size, 0u);
    EXPECT_EQ(std::string(page.data, page.size), "<html><a href=\"x\">x</a></html>");
    EXPECT_EQ(page.data[page.size], '\0');
    EXPECT_EQ(head->time.load(), 1600000000);
    EXPECT_EQ(server.count("GET", "/dir/"), 2u);
    free(page.data);

    for (int code : {404, 500}) {
        server.script("GET", "/dir/", {status(code)});
        ResponseBuffer failed = Link_download_full(head);
        EXPECT_EQ(failed.size, 0u) << code;
        EXPECT_EQ(failed.data, nullptr) << code;
    }
    // Temporary failures end: after five attempts the page is not had.
    server.script("GET", "/dir/", std::vector<Reply>(5, status(503)));
    EXPECT_EQ(Link_download_full(head).size, 0u);
    EXPECT_EQ(server.script_left("/dir/", "GET"), 0u);
    server.script("GET", "/dir/", std::vector<Reply>(40, drop()));
    EXPECT_EQ(Link_download_full(head).size, 0u);
    LinkTable_free(tbl);
}

TEST_F(Download, FailedAddDoesNotWaitForEver)
{
    // A handle already in the multi handle cannot be added again: the blocking wait must end
    // at once instead of waiting on a transfer that is not its own.
    server.script("GET", "/f.bin", {stall(20000)});
    CURL *curl = Link_to_curl(link);
    ResponseBuffer buf{};
    buf.type = TRANSFER_DATA;
    buf.transferring = 1;
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &buf);
    curl_easy_setopt(curl, CURLOPT_PRIVATE, &buf);
    transfer_nonblocking(curl);
    auto start = std::chrono::steady_clock::now();
    transfer_blocking(curl);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(transferring_get(&buf), 0);
    checked_mutex_lock(&transfer_lock, HERE);
    curl_multi_remove_handle(curl_multi, curl);
    checked_mutex_unlock(&transfer_lock, HERE);
    curl_easy_cleanup(curl);
    free(buf.data);
}
