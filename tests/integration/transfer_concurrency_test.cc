// The shared transfer loop: threads that wait for their own transfer drive everyone's.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "network_support.h"
#include "servers/fault_server.h"

static testing::Environment *const network_env = testing::AddGlobalTestEnvironment(new NetworkEnvironment);

class TransferLoop : public testing::Test
{
  protected:
    void SetUp() override { reset_config(); }
};

TEST_F(TransferLoop, BlockingWaiterCompletesAnotherThreadsHeaderRequest)
{
    FaultServer server;
    server.add_file("/stat.bin", pattern_bytes(1234));
    server.add_file("/slow.bin", pattern_bytes(64 * 1024));
    server.script("GET", "/slow.bin", {slow(8 * 1024, 50)});
    ASSERT_TRUE(server.start());

    // A header request that nobody drives: only the loop passes of the blocking download below
    // can complete it.
    LinkTable *stat_tbl = LinkTable_alloc(server.url("/").c_str());
    Link *stat_link = Link_new("stat.bin", LINK_UNINITIALISED_FILE);
    Link_set_url(stat_link, server.url("/stat.bin").c_str());
    LinkTable_add(stat_tbl, stat_link);
    Link_req_file_stat(stat_link);

    Link *slow_link = file_link(server.url("/slow.bin"), 64 * 1024);
    std::string got(64 * 1024, '\0');
    ASSERT_EQ(Link_download(slow_link, got.data(), got.size(), 0, nullptr), 64 * 1024);
    EXPECT_EQ(pattern_check(got, 0), "");

    EXPECT_EQ(Link_type(stat_link), LINK_FILE);
    EXPECT_EQ(stat_link->content_length.load(), 1234);
    EXPECT_EQ(stat_link->time.load(), FAULT_SERVER_MTIME);
    LinkTable_free(stat_tbl);
    LinkTable_free(slow_link->linktbl);
}

TEST_F(TransferLoop, TwoWaitingThreadsBothProgress)
{
    FaultServer server;
    const size_t size = 256 * 1024;
    server.add_file("/a.bin", pattern_bytes(size, 1));
    server.add_file("/b.bin", pattern_bytes(size, 2));
    // Each body takes about a second; both must be in flight together.
    server.script("GET", "/a.bin", {slow(16 * 1024, 60)});
    server.script("GET", "/b.bin", {slow(16 * 1024, 60)});
    ASSERT_TRUE(server.start());

    Link *a = file_link(server.url("/a.bin"), size);
    Link *b = file_link(server.url("/b.bin"), size);
    std::string got_a(size, '\0'), got_b(size, '\0');
    std::atomic<int> finished{0};
    std::thread ta([&] {
        EXPECT_EQ(Link_download(a, got_a.data(), size, 0, nullptr), static_cast<int64_t>(size));
        finished++;
    });
    std::thread tb([&] {
        EXPECT_EQ(Link_download(b, got_b.data(), size, 0, nullptr), static_cast<int64_t>(size));
        finished++;
    });
    // Both requests reach the server before either download has ended: neither thread keeps
    // the loop to itself.
    EXPECT_TRUE(server.wait_for(2, "GET", "", 10000));
    EXPECT_EQ(finished.load(), 0);
    ta.join();
    tb.join();
    EXPECT_EQ(pattern_check(got_a, 0, 1), "");
    EXPECT_EQ(pattern_check(got_b, 0, 2), "");
    LinkTable_free(a->linktbl);
    LinkTable_free(b->linktbl);
}

TEST_F(TransferLoop, ManyThreadsReadExactRanges)
{
    FaultServer server;
    const size_t size = 4 * 1024 * 1024;
    server.add_file("/big.bin", pattern_bytes(size));
    ASSERT_TRUE(server.start());
    Link *link = file_link(server.url("/big.bin"), size);

    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 16; i++) {
                uint64_t offset =
                    (static_cast<uint64_t>(t) * 7919 + static_cast<uint64_t>(i) * 104729) * 31 % size;
                size_t len = 1 + (t * 977 + i * 4099) % (256 * 1024);
                std::string got(len, '\0');
                int64_t want = static_cast<int64_t>(std::min<uint64_t>(len, size - offset));
                ASSERT_EQ(Link_download(link, got.data(), len, static_cast<int64_t>(offset), nullptr), want);
                got.resize(static_cast<size_t>(want));
                EXPECT_EQ(pattern_check(got, offset), "") << "thread " << t << " read " << i;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    LinkTable_free(link->linktbl);
}

TEST_F(TransferLoop, PassWithNothingRunningReturnsAtOnce)
{
    EXPECT_EQ(curl_multi_perform_once(), 0);
}

TEST(TransferRules, TemporaryFailures)
{
    for (long code : {429L, 503L, 520L, 524L})
        EXPECT_EQ(is_temporary_http_failure(code), 1) << code;
    for (long code : {0L, 200L, 404L, 500L, 502L, 504L, 521L})
        EXPECT_EQ(is_temporary_http_failure(code), 0) << code;
    // Five attempts in all, and none after the second stall.
    RetryBudget budget{};
    for (int i = 0; i < 4; i++)
        EXPECT_TRUE(RetryBudget_spend(&budget, false)) << i;
    EXPECT_FALSE(RetryBudget_spend(&budget, false));
    budget = RetryBudget{};
    EXPECT_TRUE(RetryBudget_spend(&budget, true));
    EXPECT_FALSE(RetryBudget_spend(&budget, true));
    // The server's Retry-After wins, up to a minute.
    CONFIG.retry_wait = 5;
    EXPECT_EQ(retry_delay_seconds(-1), 5);
    EXPECT_EQ(retry_delay_seconds(2), 2);
    EXPECT_EQ(retry_delay_seconds(3600), 60);
    CONFIG.retry_wait = -3;
    EXPECT_EQ(retry_delay_seconds(-1), 0);
}

TEST_F(TransferLoop, FillEndsWhileAnotherThreadsDownloadRuns)
{
    FaultServer server;
    const size_t size = 32 * 1024;
    server.add_file("/slow.bin", pattern_bytes(size));
    server.script("GET", "/slow.bin", {slow(1024, 100)}); // about 3 s
    server.add_page("/d/", listing_page("d", {"ok.bin", "busy"}));
    server.add_file("/d/ok.bin", "ok");
    server.add_file("/d/busy", "busy");
    server.script("HEAD", "/d/busy", std::vector<Reply>(5, status(429)));
    ASSERT_TRUE(server.start());

    Link *slow_link = file_link(server.url("/slow.bin"), static_cast<int64_t>(size));
    std::atomic<bool> downloaded{false};
    std::thread reader([&] {
        std::string got(size, '\0');
        EXPECT_EQ(Link_download(slow_link, got.data(), got.size(), 0, nullptr), static_cast<int64_t>(size));
        downloaded = true;
    });
    // Once the download is under way, a table is built: its fill waits for its own header
    // requests, not for the other thread's transfer, and the one answered 429 every time is
    // left unconfirmed, deferred to the next opening of the directory.
    for (int i = 0; i < 100 && server.count("GET", "/slow.bin") == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    LinkTable *tbl = LinkTable_new(server.url("/d/").c_str());
    ASSERT_NE(tbl, nullptr);
    LinkTable_wait_confirmed(tbl); // the entries are confirmed in the background
    EXPECT_FALSE(downloaded.load());
    for (int32_t i = 1; i < tbl->size; i++) {
        std::string name = tbl->links[i]->linkname;
        EXPECT_EQ(static_cast<char>(Link_type(tbl->links[i])),
                  name == "busy" ? LINK_UNINITIALISED_FILE : LINK_FILE)
            << name;
        EXPECT_EQ(tbl->links[i]->deferred.load(), name == "busy") << name;
    }
    reader.join();
    LinkTable_free(tbl);
    LinkTable_free(slow_link->linktbl);
}

TEST_F(TransferLoop, ListingsAndLookUpsWhileTheTableConfirms)
{
    // A directory whose header requests each take a while: while its fill runs, two threads
    // list it as readdir does and two look its entries up as a stat does, each waiting for its
    // own entry only. Every look-up gets the entry's real size; a listing shows only the
    // directory's names; once the fill ends every entry is confirmed.
    const int ENTRIES = 60;
    FaultServer server;
    std::vector<std::string> names;
    for (int i = 0; i < ENTRIES; i++) {
        names.push_back("f" + std::to_string(i) + ".bin");
        server.add_file("/d/" + names.back(), std::string(static_cast<size_t>(100 + i), 'x'));
        server.script("HEAD", "/d/" + names.back(), {stall(30)});
    }
    server.add_page("/d/", listing_page("d", names));
    ASSERT_TRUE(server.start());

    LinkTable *tbl = LinkTable_new(server.url("/d/").c_str());
    ASSERT_NE(tbl, nullptr);
    ASSERT_EQ(tbl->size, ENTRIES + 1);
    std::atomic<bool> looking{true};
    std::vector<std::string> faults[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; t++) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 200 && looking.load(); round++) {
                for (int32_t i = 1; i < tbl->size; i++) {
                    Link *link = tbl->links[i];
                    if (Link_type(link) == LINK_INVALID || link->deferred.load())
                        continue;
                    std::string name = link->linkname;
                    if (std::find(names.begin(), names.end(), name) == names.end())
                        faults[t].push_back("listed " + name);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    for (int t = 2; t < 4; t++) {
        threads.emplace_back([&, t] {
            // Each from its own end of the table, so that most look-ups come before the fill.
            for (int k = 0; k < ENTRIES; k++) {
                int32_t i = t == 2 ? ENTRIES - k : 1 + (k * 7) % ENTRIES;
                Link *link = tbl->links[i];
                LinkTable_confirm_link(tbl, link);
                std::string name = link->linkname;
                int64_t want = 100 + std::stoi(name.substr(1));
                if (Link_type(link) != LINK_FILE || link->content_length.load() != want)
                    faults[t].push_back(name + " not confirmed with its size");
            }
        });
    }
    for (int t = 2; t < 4; t++)
        threads[static_cast<size_t>(t)].join();
    looking = false;
    threads[0].join();
    threads[1].join();
    for (const auto &fault : faults)
        EXPECT_EQ(fault, std::vector<std::string>{});
    LinkTable_wait_confirmed(tbl);
    for (int32_t i = 1; i < tbl->size; i++)
        EXPECT_EQ(static_cast<char>(Link_type(tbl->links[i])), LINK_FILE) << tbl->links[i]->linkname;
    // One header request each: a look-up joins the fill's request rather than asking again.
    EXPECT_LE(server.count("HEAD", "/d/f0.bin"), 1u);
    LinkTable_free(tbl);
}
