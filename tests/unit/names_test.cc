// The link name set: one entry per name, a trailing "/" ignored, growth at half load.
#include <gtest/gtest.h>

#include <string>

#include "link/link.h"

namespace {

int stored(const LinkHashSet *set, const std::string &name)
{
    int found = 0;
    for (int32_t i = 0; i < set->capacity; i++)
        found += set->items[i] && name == set->items[i];
    return found;
}

} // namespace

TEST(LinkNames, Equality)
{
    std::string x255(255, 'x');
    struct {
        const char *a, *b;
        int equal;
    } cases[] = {
        {"dir", "dir", 1},
        {"dir", "dir/", 1},
        {"dir/", "dir", 1},
        {"dir", "dir//", 0}, // two slashes are another name, though they hash alike
        {"dir/", "dir//", 1},
        {"dir", "dirt", 0}, // a longer name that merely begins with it
        {"dir", "Dir", 0},
        {"", "", 0}, // the empty name equals nothing
        {"", "/", 0},
        {nullptr, "dir", 0},
        {"dir", nullptr, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(linknames_equal(c.a, c.b), c.equal) << (c.a ? c.a : "(null)") << " " << (c.b ? c.b : "(null)");

    // Only the first 255 bytes count.
    EXPECT_EQ(linknames_equal((x255 + "a").c_str(), (x255 + "b").c_str()), 1);
    EXPECT_EQ(linknames_equal((x255 + "/").c_str(), x255.c_str()), 1);
    EXPECT_EQ(linknames_equal((x255.substr(1) + "/").c_str(), x255.substr(1).c_str()), 1);
    EXPECT_EQ(linknames_equal((x255.substr(1) + "a").c_str(), (x255.substr(1) + "b").c_str()), 0);
}

TEST(LinkNames, Hash)
{
    EXPECT_EQ(linkname_hash(""), 5381u);
    EXPECT_EQ(linkname_hash("///"), 5381u);
    EXPECT_EQ(linkname_hash("a"), 5381u * 33 + 'a');
    EXPECT_EQ(linkname_hash("\xff"), 5381u * 33 + 0xff); // bytes count unsigned
    EXPECT_EQ(linkname_hash("dir"), linkname_hash("dir/"));
    EXPECT_EQ(linkname_hash("dir"), linkname_hash("dir//"));
    std::string x255(255, 'x');
    EXPECT_EQ(linkname_hash(x255.c_str()), linkname_hash((x255 + "tail").c_str()));
    EXPECT_NE(linkname_hash("ab"), linkname_hash("ba"));
}

TEST(LinkNames, CapacityIsAPowerOfTwo)
{
    struct {
        int32_t request, capacity;
    } cases[] = {{0, 16}, {-5, 16}, {1, 1}, {3, 4}, {1000, 1024}, {4096, 4096}, {4097, 8192}};
    for (const auto &c : cases) {
        LinkHashSet *set = LinkHashSet_new(c.request);
        EXPECT_EQ(set->capacity, c.capacity) << c.request;
        EXPECT_EQ(set->count, 0);
        for (int32_t i = 0; i < set->capacity; i++)
            ASSERT_EQ(set->items[i], nullptr);
        LinkHashSet_free(set);
    }
}

TEST(LinkNames, AddKeepsTheFirstForm)
{
    LinkHashSet *set = LinkHashSet_new(16);
    EXPECT_EQ(LinkHashSet_add(set, "dir"), 1);
    EXPECT_EQ(LinkHashSet_add(set, "dir"), 0);
    EXPECT_EQ(LinkHashSet_add(set, "dir/"), 0);
    EXPECT_EQ(LinkHashSet_add(set, "dir//"), 1);
    EXPECT_EQ(LinkHashSet_add(set, "sub/"), 1);
    EXPECT_EQ(LinkHashSet_add(set, "sub"), 0);
    EXPECT_EQ(stored(set, "dir"), 1);
    EXPECT_EQ(stored(set, "dir/"), 0);
    EXPECT_EQ(stored(set, "sub/"), 1);
    EXPECT_EQ(stored(set, "sub"), 0);
    EXPECT_EQ(set->count, 3);

    EXPECT_EQ(LinkHashSet_add(nullptr, "x"), 0);
    EXPECT_EQ(LinkHashSet_add(set, nullptr), 0);
    LinkHashSet broken{nullptr, 0, 0};
    EXPECT_EQ(LinkHashSet_add(&broken, "x"), 0);
    LinkHashSet_free(set);
    LinkHashSet_free(nullptr);
}

TEST(LinkNames, EmptyNameIsStoredEveryTime)
{
    LinkHashSet *set = LinkHashSet_new(4);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(LinkHashSet_add(set, ""), 1);
    EXPECT_EQ(set->count, 5);
    EXPECT_EQ(set->capacity, 16); // grown twice to keep the load at one half
    LinkHashSet_free(set);
}

TEST(LinkNames, GrowsAtHalfLoadBeforeLooking)
{
    LinkHashSet *set = LinkHashSet_new(16);
    for (int i = 0; i < 8; i++)
        ASSERT_EQ(LinkHashSet_add(set, ("n" + std::to_string(i)).c_str()), 1);
    EXPECT_EQ(set->capacity, 16);
    EXPECT_EQ(set->count, 8);
    // Half full at the call: the set doubles even though the name is present.
    EXPECT_EQ(LinkHashSet_add(set, "n3"), 0);
    EXPECT_EQ(set->capacity, 32);
    EXPECT_EQ(set->count, 8);
    for (int i = 0; i < 8; i++)
        EXPECT_EQ(stored(set, "n" + std::to_string(i)), 1);
    LinkHashSet_free(set);
}

TEST(LinkNames, ManyNamesStayDistinctThroughGrowth)
{
    LinkHashSet *set = LinkHashSet_new(16);
    const int n = 5000;
    for (int i = 0; i < n; i++)
        ASSERT_EQ(LinkHashSet_add(set, ("name-" + std::to_string(i) + (i % 2 ? "/" : "")).c_str()), 1) << i;
    for (int i = 0; i < n; i++)
        ASSERT_EQ(LinkHashSet_add(set, ("name-" + std::to_string(i) + (i % 2 ? "" : "/")).c_str()), 0) << i;
    EXPECT_EQ(set->count, n);
    EXPECT_EQ(set->capacity, 16384);
    LinkHashSet_free(set);
}

TEST(LinkNamesDeathTest, GrowingPastTheLimitIsFatal)
{
    // Never filled: the limit is checked before the slots are touched.
    LinkHashSet full{nullptr, 1 << 30, 1 << 29};
    EXPECT_EXIT(LinkHashSet_add(&full, "x"), testing::ExitedWithCode(1),
                "Fatal:src/link/names.cc:[0-9]+:LinkHashSet_resize: LinkHashSet capacity overflow");
}
