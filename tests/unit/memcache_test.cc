// The response buffer and its write callback.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "memcache.h"

TEST(ResponseBuffer, AppendsKeepATerminatorAndEmbeddedNuls)
{
    ResponseBuffer buf{};
    EXPECT_EQ(buf.data, nullptr);
    char part1[] = {'a', '\0', 'b'};
    char part2[] = "cd";
    EXPECT_EQ(write_memory_callback(part1, 1, 3, &buf), 3u);
    EXPECT_EQ(write_memory_callback(part2, 2, 1, &buf), 2u);
    ASSERT_NE(buf.data, nullptr);
    EXPECT_EQ(buf.size, 5u);
    EXPECT_EQ(std::string(buf.data, buf.size), std::string("a\0bcd", 5));
    EXPECT_EQ(buf.data[buf.size], '\0');
    EXPECT_EQ(write_memory_callback(part2, 0, 0, &buf), 0u);
    EXPECT_EQ(buf.size, 5u);
    free(buf.data);
}

TEST(ResponseBuffer, StatusOfTheLastResponse)
{
    struct {
        const char *headers;
        long status;
    } cases[] = {
        {"", 0},
        {"HTTP/1.1 206 Partial Content\r\nAccept-Ranges: bytes\r\n\r\n", 206},
        {"HTTP/1.1 302 Found\r\nLocation: /x\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", 200},
        {"HTTP/2 206\r\ncontent-range: bytes 0-9/10\r\n\r\n", 206},
        {"X-Not-HTTP/1.1 206\r\n", 0},
    };
    for (const auto &c : cases) {
        ResponseBuffer headers{};
        headers.data = const_cast<char *>(c.headers);
        headers.size = strlen(c.headers);
        EXPECT_EQ(ResponseBuffer_status(&headers), c.status) << c.headers;
    }
    EXPECT_EQ(ResponseBuffer_status(nullptr), 0);
}
