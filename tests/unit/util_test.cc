// The checked helpers: lock and semaphore wrappers, memory and string copies, path joining,
// the terminal eraser and the Sonic encoders.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "util.h"

namespace
{

std::string take(char *heap)
{
    std::string text = heap ? heap : "(null)";
    free(heap);
    return text;
}

// "Fatal:" line of a thread wrapper at the caller's site: thread id, call, error number, text.
std::string thread_failure(const char *call, int err)
{
    return "Fatal:caller\\.cc:42:caller_fn: [0-9a-f]+ " + std::string(call) + ": " + std::to_string(err) +
           ", " + strerror(err) + "\n";
}

} // namespace

TEST(CheckedMutexDeathTest, MisuseOfAnErrorCheckingMutexEndsTheProcess)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A relock by the holder would hang an ordinary mutex; this one reports EDEADLK.
    EXPECT_EXIT(
        {
            Mutex m;
            checked_mutex_init(&m, nullptr, HERE);
            checked_mutex_lock(&m, "caller.cc", "caller_fn", 42);
            alarm(10); // a mutex that is not error-checking hangs here: end it another way
            checked_mutex_lock(&m, "caller.cc", "caller_fn", 42);
        },
        testing::ExitedWithCode(1),
        thread_failure("pthread_mutex_lock", EDEADLK) + "\nOops! Tarnwick crashed!");
    // Unlocking a mutex this thread does not hold.
    EXPECT_EXIT(
        {
            Mutex m;
            checked_mutex_init(&m, nullptr, HERE);
            checked_mutex_unlock(&m, "caller.cc", "caller_fn", 42);
        },
        testing::ExitedWithCode(1), thread_failure("pthread_mutex_unlock", EPERM));
}

TEST(CheckedMutex, ScopedLockReleasesOnEveryWayOut)
{
    Mutex m;
    checked_mutex_init(&m, nullptr, HERE);
    for (int i = 0; i < 2; i++) {
        ScopedLock guard(&m, HERE);
        if (i == 0)
            continue;
    }
    // Still locked would make this an EBUSY failure; still held would make the relock fatal.
    EXPECT_TRUE(checked_mutex_trylock(&m, HERE));
    checked_mutex_unlock(&m, HERE);
    checked_mutex_destroy(&m, HERE);
}

TEST(CheckedSemaphore, TrywaitOnZeroFailsSilently)
{
    sem_t s;
    checked_sem_init(&s, 0, 1, HERE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(checked_sem_trywait(&s, HERE), 0);
    EXPECT_EQ(checked_sem_trywait(&s, HERE), -1);
    EXPECT_EQ(checked_sem_trywait(&s, HERE), -1);
    checked_sem_post(&s, HERE);
    EXPECT_EQ(checked_sem_trywait(&s, HERE), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    checked_sem_destroy(&s, HERE);
}

TEST(CheckedMemory, ReallocCoversAllocateResizeAndRelease)
{
    char *block = static_cast<char *>(checked_realloc(nullptr, 4, HERE));
    ASSERT_NE(block, nullptr);
    memcpy(block, "abc", 4);
    block = static_cast<char *>(checked_realloc(block, 1 << 20, HERE));
    ASSERT_NE(block, nullptr);
    EXPECT_STREQ(block, "abc");
    // Size 0 releases the block (the leak checker of the sanitizer build sees it otherwise).
    EXPECT_EQ(checked_realloc(block, 0, HERE), nullptr);

    char *zeroed = static_cast<char *>(checked_calloc(3, 5, HERE));
    ASSERT_NE(zeroed, nullptr);
    for (int i = 0; i < 15; i++)
        EXPECT_EQ(zeroed[i], 0);
    checked_free(zeroed);
    checked_free(nullptr);
}

TEST(CheckedStrings, CopiesAndTheCap)
{
    EXPECT_EQ(checked_strdup(nullptr, HERE), nullptr);
    EXPECT_EQ(checked_strndup(nullptr, 4, HERE), nullptr);
    EXPECT_EQ(take(checked_strdup("", HERE)), "");
    EXPECT_EQ(take(checked_strdup("tarn wick", HERE)), "tarn wick");
    struct {
        const char *text;
        size_t max;
        const char *copy;
    } cases[] = {
        {"abcdef", 3, "abc"},
        {"abcdef", 6, "abcdef"},
        {"abc", 1024, "abc"},
        {"abc", 0, ""},
    };
    for (const auto &c : cases) {
        char *copy = checked_strndup(c.text, c.max, HERE);
        ASSERT_NE(copy, nullptr);
        EXPECT_EQ(strlen(copy), strlen(c.copy)) << c.text << " " << c.max;
        EXPECT_EQ(take(copy), c.copy) << c.text << " " << c.max;
    }
}

TEST(PathAppend, JoinsWithExactlyOneSlash)
{
    struct {
        const char *path, *filename, *joined;
    } cases[] = {
        {"/a", "/b", "/a/b"},
        {"/a/", "b", "/a/b"},
        {"/a", "b", "/a/b"},
        {"", "/b", "/b"},
        {"", "//b", "//b"},
        {"/a//", "//b", "/a//b"},
        {"/a", "", "/a/"},
        {"/a/", "///", "/a/"},
        {"", "", ""},
        {"a", "b/c/", "a/b/c/"},
        {"/cache/", "/tarnwick/", "/cache/tarnwick/"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(path_append(c.path, c.filename)), c.joined) << c.path << " + " << c.filename;
}

TEST(PathAppend, EachPartCountsUpTo1024Bytes)
{
    std::string path(1500, 'p');
    std::string name = "/" + std::string(1500, 'n');
    std::string joined = take(path_append(path.c_str(), name.c_str()));
    // The name's cap is taken before its leading slash is dropped.
    EXPECT_EQ(joined, std::string(1024, 'p') + "/" + std::string(1023, 'n'));
}

TEST(PathAppendDeathTest, NullArgumentIsFatal)
{
    const char *message = "Fatal:src/util\\.cc:[0-9]+:path_append: path_append: path or filename is NULL\n";
    EXPECT_EXIT(path_append(nullptr, "b"), testing::ExitedWithCode(1), message);
    EXPECT_EXIT(path_append("/a", nullptr), testing::ExitedWithCode(1), message);
}

TEST(EraseString, BackspacesBlanksBackspacesUpToTheCap)
{
    struct {
        const char *text;
        size_t max;
        const char *written;
    } cases[] = {
        {"42/97", 64, "\b\b\b\b\b     \b\b\b\b\b"},
        {"abcdef", 2, "\b\b  \b\b"},
        {"", 64, ""},
    };
    for (const auto &c : cases) {
        char *buffer = nullptr;
        size_t size = 0;
        FILE *stream = open_memstream(&buffer, &size);
        ASSERT_NE(stream, nullptr);
        erase_string(stream, c.max, c.text);
        fclose(stream);
        EXPECT_EQ(std::string(buffer, size), c.written) << c.text;
        free(buffer);
    }
}

TEST(SonicEncoders, HexOfTheFirst1024Bytes)
{
    EXPECT_EQ(take(str_to_hex("")), "");
    EXPECT_EQ(take(str_to_hex("secret")), "736563726574");
    EXPECT_EQ(take(str_to_hex("\xff\x01 A")), "ff012041");
    std::string hex = take(str_to_hex(std::string(1500, 'a').c_str()));
    EXPECT_EQ(hex.size(), 2048u);
    EXPECT_EQ(hex.find_first_not_of("61"), std::string::npos);
}

TEST(SonicEncoders, Md5KnownVectors)
{
    struct {
        const char *text, *digest;
    } cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"The quick brown fox jumps over the lazy dog", "9e107d9d372bb6826bd81d3542a419d6"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(generate_md5sum(c.text)), c.digest) << c.text;
    // Only the first 1024 bytes count.
    EXPECT_EQ(take(generate_md5sum(std::string(1500, 'x').c_str())),
              take(generate_md5sum(std::string(1024, 'x').c_str())));
    EXPECT_NE(take(generate_md5sum(std::string(1023, 'x').c_str())),
              take(generate_md5sum(std::string(1024, 'x').c_str())));
}

TEST(SonicEncoders, SaltIsAFreshUuid)
{
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");
    std::string first = take(generate_salt());
    std::string second = take(generate_salt());
    EXPECT_EQ(first.size(), 36u);
    EXPECT_TRUE(std::regex_match(first, uuid)) << first;
    EXPECT_TRUE(std::regex_match(second, uuid)) << second;
    EXPECT_NE(first, second);
}
