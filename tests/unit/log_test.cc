// Log lines, the level mask and the fatal path.
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "config.h"
#include "log.h"

namespace
{

// Each test starts from the record's defaults with the environment's mask left out.
class Log : public testing::Test
{
  protected:
    void SetUp() override
    {
        const char *saved = getenv("TARNWICK_LOG_LEVEL");
        had_level_ = saved != nullptr;
        if (saved)
            saved_level_ = saved;
        unsetenv("TARNWICK_LOG_LEVEL");
        Config_init();
    }
    void TearDown() override
    {
        if (had_level_)
            setenv("TARNWICK_LOG_LEVEL", saved_level_.c_str(), 1);
        else
            unsetenv("TARNWICK_LOG_LEVEL");
    }

  private:
    bool had_level_ = false;
    std::string saved_level_;
};

using LogDeathTest = Log;

// What one log_printf call at `level` writes to standard error under the current mask.
std::string line_at(int level)
{
    testing::internal::CaptureStderr();
    log_printf(level, "src/cache/file.cc", "Cache_open", 73, "opened %s (%d)\n", "a/b", 5);
    return testing::internal::GetCapturedStderr();
}

} // namespace

TEST_F(Log, LineLayoutOfEachLevel)
{
    CONFIG.log_level = 0x1ff;
    struct {
        int level;
        const char *line;
    } cases[] = {
        {LOG_FATAL, "Fatal:src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
        {LOG_ERROR, "Error:src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
        {LOG_WARNING, "Warning:src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
        {LOG_INFO, "Cache_open: opened a/b (5)\n"},
        {LOG_DEBUG, "Debug:src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
        {LOG_LINK_LOCK_DEBUG, "Debug(20):src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
        {LOG_TRANSFER_LOCK_DEBUG, "Debug(40):src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
        {LOG_CACHE_DEBUG, "Debug(80):src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
        // Levels beyond the named ones keep the lower-case hexadecimal form.
        {0xab, "Debug(ab):src/cache/file.cc:73:Cache_open: opened a/b (5)\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(line_at(c.level), c.line) << std::hex << c.level;
}

TEST_F(Log, SiteIsTheCallersFileFunctionAndLine)
{
    CONFIG.log_level = LOG_WARNING;
    testing::internal::CaptureStderr();
    int line = __LINE__ + 1;
    log_printf(LOG_WARNING, HERE, "x\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Warning:tests/unit/log_test.cc:" + std::to_string(line) + ":TestBody: x\n");
}

TEST_F(Log, MaskFromTheEnvironment)
{
    struct {
        const char *value; // null: unset
        int mask;
    } cases[] = {
        {nullptr, 15}, {"0", 0},    {"abc", 0},          {"0x1f", 0}, {"255", 255},
        {"256", 256},  {" 31", 31}, {"31 trailing", 31}, {"-1", -1},  {"4294967311", 15},
    };
    for (const auto &c : cases) {
        if (c.value)
            setenv("TARNWICK_LOG_LEVEL", c.value, 1);
        else
            unsetenv("TARNWICK_LOG_LEVEL");
        EXPECT_EQ(log_level_init(), c.mask) << (c.value ? c.value : "(unset)");
        Config_init();
        EXPECT_EQ(CONFIG.log_level, c.mask) << (c.value ? c.value : "(unset)");
    }
}

TEST_F(Log, MaskDecidesWhichLinesArePrinted)
{
    const int levels[] = {LOG_ERROR,      LOG_WARNING,         LOG_INFO,
                          LOG_DEBUG,      LOG_LINK_LOCK_DEBUG, LOG_TRANSFER_LOCK_DEBUG,
                          LOG_CACHE_DEBUG};
    struct {
        const char *value;
        int printed; // the levels of `levels` that print
    } cases[] = {
        {"0", 0},
        {"not a number", 0},
        {"255", 0xfe},
        // The libcurl bit alone prints no log line at all.
        {"256", 0},
        {"15", LOG_ERROR | LOG_WARNING | LOG_INFO},
        {"136", LOG_INFO | LOG_CACHE_DEBUG},
    };
    for (const auto &c : cases) {
        setenv("TARNWICK_LOG_LEVEL", c.value, 1);
        Config_init();
        for (int level : levels)
            EXPECT_EQ(!line_at(level).empty(), (c.printed & level) != 0)
                << "TARNWICK_LOG_LEVEL=" << c.value << " level " << std::hex << level;
    }
}

TEST_F(LogDeathTest, FatalLineThenCrashReportThenStatus1)
{
    // The fatal path ignores the mask: a mask of 0 still shows it.
    setenv("TARNWICK_LOG_LEVEL", "0", 1);
    Config_init();
    EXPECT_EXIT(log_fatal("src/network.cc", "transfer_blocking", 211, "Could not %s: %d\n", "start", -3),
                testing::ExitedWithCode(1),
                "^Fatal:src/network\\.cc:211:transfer_blocking: Could not start: -3\n"
                "\n"
                "Oops! Tarnwick crashed! :\\(\n"
                "backtrace\\(\\) returned the following [1-9][0-9]* addresses:\n");
    EXPECT_EXIT(
        exit_failure(), testing::ExitedWithCode(1),
        "^\nOops! Tarnwick crashed! :\\(\nbacktrace\\(\\) returned the following [1-9][0-9]* addresses:\n");
}

TEST_F(Log, ConcurrentLinesAreNeverTorn)
{
    // Each thread writes lines of its own letter, long enough (up to 5000 bytes) that a line
    // written in pieces would be cut into by the others. Standard error is a file opened for
    // appending, so every write lands whole at its end.
    char path[] = "/tmp/tarnwick-log-test-XXXXXX";
    int file = mkstemp(path);
    ASSERT_GE(file, 0);
    int append = open(path, O_WRONLY | O_APPEND);
    ASSERT_GE(append, 0);
    int saved = dup(2);
    ASSERT_GE(saved, 0);
    ASSERT_EQ(dup2(append, 2), 2);
    CONFIG.log_level = LOG_ERROR | LOG_WARNING | LOG_INFO | LOG_CACHE_DEBUG;
    const int THREADS = 6, LINES = 200;
    const int levels[] = {LOG_ERROR, LOG_WARNING, LOG_INFO, LOG_CACHE_DEBUG};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; t++) {
        threads.emplace_back([t, &levels] {
            for (int i = 0; i < LINES; i++) {
                std::string body(static_cast<size_t>(1 + (i * 997 + t * 131) % 5000),
                                 static_cast<char>('a' + t));
                log_printf(levels[(i + t) % 4], "src/x.cc", "worker", t, "%d %s\n", i, body.c_str());
            }
        });
    }
    for (auto &thread : threads)
        thread.join();
    dup2(saved, 2);
    close(saved);
    close(append);
    close(file);
    std::ifstream in(path);
    std::string line;
    std::map<int, int> seen; // lines of each thread
    // The head is short; the letters are checked by hand (a regular expression over thousands of
    // characters would recurse too deep).
    const std::regex head("(?:(?:Error:|Warning:|Debug\\(80\\):)src/x\\.cc:([0-9]):)?worker: ([0-9]+) ");
    while (std::getline(in, line)) {
        size_t cut = line.find(' ', line.find("worker: ") + 8);
        std::smatch m;
        std::string front = line.substr(0, cut == std::string::npos ? 0 : cut + 1);
        ASSERT_TRUE(std::regex_match(front, m, head)) << "torn line: " << line.substr(0, 120);
        std::string letters = line.substr(cut + 1);
        ASSERT_FALSE(letters.empty()) << "torn line: " << line.substr(0, 120);
        int t = letters[0] - 'a';
        int i = std::stoi(m[2]);
        ASSERT_TRUE(t >= 0 && t < THREADS) << "torn line: " << line.substr(0, 120);
        EXPECT_EQ(letters.find_first_not_of(letters[0]), std::string::npos) << "letters of two threads mixed";
        EXPECT_EQ(letters.size(), static_cast<size_t>(1 + (i * 997 + t * 131) % 5000)) << front;
        if (m[1].matched) {
            EXPECT_EQ(std::stoi(m[1]), t) << front;
        }
        seen[t]++;
    }
    unlink(path);
    for (int t = 0; t < THREADS; t++)
        EXPECT_EQ(seen[t], LINES) << "thread " << t;
}
