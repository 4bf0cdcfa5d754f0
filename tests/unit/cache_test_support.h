// Shared by the unit tests of the cache files: whole-file helpers, the committed cache fixtures,
// and a fixture base that starts the cache system once per process (it cannot be started twice)
// in a temporary directory and empties its meta and data directories before each test.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "cache/cache.h"
#include "config.h"
#include "log.h"

namespace cache_test
{

inline std::string read_file(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::filesystem::path &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

// A file of tests/fixtures/cache.
inline std::string fixture(const std::string &name)
{
    return read_file(std::filesystem::path(TARNWICK_FIXTURES_DIR) / "cache" / name);
}

class CacheDirTest : public testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/tarnwick-cache-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root = tmpl;
        CONFIG.mode = MODE_LISTING;
        CacheSystem_init(root.c_str(), 0);
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(root); }

    void SetUp() override
    {
        for (const char *dir : {meta_dir, data_dir})
            for (const auto &entry : std::filesystem::directory_iterator(dir))
                std::filesystem::remove_all(entry.path());
        CONFIG.log_level = LOG_ERROR | LOG_WARNING;
    }

    static inline std::string root;
};

} // namespace cache_test
