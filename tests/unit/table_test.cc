// Links and link tables: construction, references, orphaning, and the debug dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "config.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

namespace
{

// What the next build of Link_child_table yields, in place of a listing from the network; and,
// when set, a table another thread attaches to the same entry while the build runs.
LinkTable *next_build;
LinkTable *racing_table;
// Run while the build goes on, link_lock released, as another thread would.
void (*during_build)();

LinkTable *prepared_build(Link *link) NO_THREAD_SAFETY_ANALYSIS
{
    if (during_build) {
        during_build();
        during_build = nullptr;
    }
    if (racing_table) {
        ScopedLock guard(&link_lock, HERE);
        link->next = racing_table;
        racing_table->parent = link->linktbl;
        racing_table->parent_link = link;
        LinkTable_ref_locked(link->linktbl, false);
        racing_table = nullptr;
    }
    LinkTable *built = next_build;
    next_build = nullptr;
    return built;
}

// Attaches `child` below the directory entry `entry` the way path resolution does.
void attach(Link *entry, LinkTable *child)
{
    next_build = child;
    ScopedLock guard(&link_lock, HERE);
    EXPECT_EQ(Link_child_table(entry, prepared_build), child);
}

Link *add_dir(LinkTable *linktbl, const char *name)
{
    Link *link = Link_new(name, LINK_DIR);
    LinkTable_add(linktbl, link);
    return link;
}

} // namespace

TEST(LinkTable, AllocHoldsOnlyItsHead)
{
    LinkTable *linktbl = LinkTable_alloc("http://h/pub/");
    ASSERT_EQ(linktbl->size, 1);
    EXPECT_EQ(linktbl->refcount, 0);
    EXPECT_EQ(linktbl->orphaned, 0);
    EXPECT_EQ(linktbl->index_time, 0);
    EXPECT_EQ(linktbl->parent, nullptr);
    Link *head = linktbl->links[0];
    EXPECT_EQ(Link_type(head), LINK_HEAD);
    EXPECT_STREQ(head->linkname, "");
    EXPECT_STREQ(head->linkpath, "/");
    EXPECT_STREQ(head->f_url, "http://h/pub/");
    EXPECT_EQ(head->linktbl, linktbl);
    LinkTable_free(linktbl);

    std::string long_url = "http://h/" + std::string(2000, 'u');
    linktbl = LinkTable_alloc(long_url.c_str());
    EXPECT_EQ(std::string(linktbl->links[0]->f_url), long_url.substr(0, MAX_PATH_LEN));
    LinkTable_free(linktbl);
}

TEST(LinkTable, LinkNewNames)
{
    std::string long_name(300, 'n');
    struct {
        std::string name, linkname, linkpath;
    } cases[] = {
        {"file.txt", "file.txt", "file.txt"},
        {"dir/", "dir", "dir/"},
        {"dir//", "dir/", "dir//"}, // only one slash is dropped
        {"", "", ""},
        {"/", "", "/"},
        {long_name, long_name.substr(0, 255), long_name.substr(0, 255)},
        // the cut comes first, so a slash past 255 characters is not seen
        {std::string(255, 'd') + "/", std::string(255, 'd'), std::string(255, 'd')},
        {std::string(254, 'd') + "/", std::string(254, 'd'), std::string(254, 'd') + "/"},
    };
    for (const auto &c : cases) {
        Link *link = Link_new(c.name.c_str(), LINK_UNINITIALISED_DIR);
        EXPECT_EQ(link->linkname, c.linkname) << c.name;
        EXPECT_EQ(link->linkpath, c.linkpath) << c.name;
        EXPECT_EQ(Link_type(link), LINK_UNINITIALISED_DIR);
        EXPECT_EQ(link->next, nullptr);
        EXPECT_EQ(link->f_url[0], '\0');
        LinkTable *holder = LinkTable_alloc("http://h/");
        LinkTable_add(holder, link); // so that it is freed with a table
        LinkTable_free(holder);
    }
}

TEST(LinkTable, AddAppendsInOrder)
{
    LinkTable *linktbl = LinkTable_alloc("http://h/");
    for (int i = 0; i < 100; i++)
        LinkTable_add(linktbl, Link_new(std::to_string(i).c_str(), LINK_UNINITIALISED_FILE));
    ASSERT_EQ(linktbl->size, 101);
    for (int i = 0; i < 100; i++) {
        EXPECT_STREQ(linktbl->links[i + 1]->linkname, std::to_string(i).c_str());
        EXPECT_EQ(linktbl->links[i + 1]->linktbl, linktbl);
    }
    LinkTable_free(linktbl);
}

TEST(LinkTable, NullTablesAreIgnored)
{
    CONFIG.log_level = LOG_INFO;
    testing::internal::CaptureStderr();
    LinkTable_free(nullptr);
    LinkTable_ref(nullptr);
    LinkTable_mark_orphaned(nullptr);
    LinkTable_unref(nullptr);
    LinkTable_print(nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    // link_lock was given back on every way out: it is free now.
    EXPECT_TRUE(checked_mutex_trylock(&link_lock, HERE));
    checked_mutex_unlock(&link_lock, HERE);
}

// root -> a -> b, as a path walk leaves them: attached, no references of their own.
class LinkTableTree : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        root = LinkTable_alloc("http://h/");
        entry_a = add_dir(root, "a/");
        a = LinkTable_alloc("http://h/a/");
        attach(entry_a, a);
        entry_b = add_dir(a, "b/");
        b = LinkTable_alloc("http://h/a/b/");
        attach(entry_b, b);
    }
    // Frees whatever is still attached below the root.
    void TearDown() override { LinkTable_free(root); }

    LinkTable *root, *a, *b;
    Link *entry_a, *entry_b;
};

TEST_F(LinkTableTree, LastReleaseOfATableNotOrphanedKeepsIt)
{
    LinkTable_ref(b);
    LinkTable_unref(b);
    EXPECT_EQ(entry_b->next, b);
    EXPECT_EQ(b->refcount, 0);
    EXPECT_EQ(a->refcount, 1); // b's hold
    EXPECT_EQ(root->refcount, 1);
    LinkTable_ref(b); // still usable
    EXPECT_EQ(b->refcount, 1);
    LinkTable_unref(b);
}

TEST_F(LinkTableTree, FreedOrphanReleasesItsOrphanedParent)
{
    LinkTable_ref(b);
    LinkTable_mark_orphaned(a); // held by b only
    LinkTable_mark_orphaned(b);
    LinkTable_unref(b); // frees b, then a, and clears the root's entry
    EXPECT_EQ(entry_a->next, nullptr);
    EXPECT_EQ(root->refcount, 0);
}

TEST_F(LinkTableTree, AttachedChildKeepsItsParent)
{
    LinkTable_ref(a); // a directory handle on a
    LinkTable_mark_orphaned(a);
    LinkTable_unref(a); // its release: a is orphaned, but b still holds it
    EXPECT_EQ(entry_a->next, a);
    EXPECT_EQ(a->refcount, 1);
    EXPECT_EQ(entry_b->next, b);
}

TEST_F(LinkTableTree, FreedOrphanClearsOnlyItsOwnEntry)
{
    LinkTable_ref(b);
    LinkTable_mark_orphaned(b);
    LinkTable_unref(b);
    EXPECT_EQ(entry_b->next, nullptr);
    EXPECT_EQ(entry_a->next, a); // a is not orphaned: it stays, without b's hold
    EXPECT_EQ(a->refcount, 0);
}

TEST_F(LinkTableTree, RefClearsTheOrphanMark)
{
    LinkTable_ref(b);
    LinkTable_mark_orphaned(b);
    EXPECT_EQ(b->orphaned, 1);
    LinkTable_ref(b); // opened again before the last release
    EXPECT_EQ(b->orphaned, 0);
    LinkTable_unref(b);
    LinkTable_unref(b);
    EXPECT_EQ(entry_b->next, b);
    EXPECT_EQ(b->refcount, 0);
}

TEST_F(LinkTableTree, ChildTableBuildRaces)
{
    // The entry already has its table: nothing is built.
    {
        ScopedLock guard(&link_lock, HERE);
        EXPECT_EQ(Link_child_table(entry_a, prepared_build), a);
    }
    EXPECT_EQ(a->refcount, 1);

    // Another thread attached first: its table is taken, the new one freed, and the parent keeps
    // exactly the winner's hold.
    Link *entry_c = add_dir(a, "c/");
    LinkTable *winner = LinkTable_alloc("http://h/a/c/");
    racing_table = winner;
    next_build = LinkTable_alloc("http://h/a/c/");
    {
        ScopedLock guard(&link_lock, HERE);
        EXPECT_EQ(Link_child_table(entry_c, prepared_build), winner);
    }
    EXPECT_EQ(entry_c->next, winner);
    EXPECT_EQ(a->refcount, 2); // b's and c's holds

    // A failed build attaches nothing and gives its hold back.
    Link *entry_d = add_dir(a, "d/");
    {
        ScopedLock guard(&link_lock, HERE);
        EXPECT_EQ(Link_child_table(entry_d, prepared_build), nullptr);
    }
    EXPECT_EQ(entry_d->next, nullptr);
    EXPECT_EQ(a->refcount, 2);
}

LinkTable *orphaned_during_build;

TEST_F(LinkTableTree, FailedBuildFreesAParentOrphanedMeanwhile)
{
    // A directory handle on b is released while a table below b is being built, and that build
    // fails: the build's hold was b's last, so b goes, and with it b's hold on a.
    Link *entry_c = add_dir(b, "c/");
    LinkTable_ref(b);
    orphaned_during_build = b;
    during_build = [] {
        LinkTable_mark_orphaned(orphaned_during_build);
        LinkTable_unref(orphaned_during_build);
    };
    {
        ScopedLock guard(&link_lock, HERE);
        EXPECT_EQ(Link_child_table(entry_c, prepared_build), nullptr);
    }
    EXPECT_EQ(entry_b->next, nullptr);
    EXPECT_EQ(entry_a->next, a);
    EXPECT_EQ(a->refcount, 0);
}

TEST(LinkTableDeathTest, LinkLockIsErrorChecking)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            checked_mutex_lock(&link_lock, HERE);
            alarm(10); // an ordinary mutex would hang here
            checked_mutex_lock(&link_lock, HERE);
        },
        testing::ExitedWithCode(1), "pthread_mutex_lock: 35");
}

TEST(LinkTable, PrintCountsEveryLinkNotConfirmedAsInvalid)
{
    CONFIG.log_level = LOG_INFO;
    LinkTable *linktbl = LinkTable_alloc("http://h/pub/");
    struct {
        const char *name;
        LinkType type;
    } links[] = {{"file", LINK_FILE},
                 {"bad", LINK_INVALID},
                 {"new", LINK_UNINITIALISED_FILE},
                 {"newdir/", LINK_UNINITIALISED_DIR},
                 {"dir/", LINK_DIR}};
    for (const auto &l : links)
        LinkTable_add(linktbl, Link_new(l.name, l.type));
    linktbl->links[1]->content_length = 1234;
    Link_set_url(linktbl->links[1], "http://h/pub/file");

    testing::internal::CaptureStderr();
    LinkTable_print(linktbl);
    std::string out = testing::internal::GetCapturedStderr();
    std::string separator = "LinkTable_print: " + std::string(44, '-') + "\n";
    char head[128];
    snprintf(head, sizeof head, "LinkTable_print:  LinkTable %p for http://h/pub/\n",
             static_cast<void *>(linktbl));
    std::string expected = separator + head + separator + "LinkTable_print: 0 H 0  http://h/pub/\n" +
                           "LinkTable_print: 1 F 1234 file http://h/pub/file\n" +
                           "LinkTable_print: 2 I 0 bad \n" + "LinkTable_print: 3 U 0 new \n" +
                           "LinkTable_print: 4 V 0 newdir \n" + "LinkTable_print: 5 D 0 dir \n" + separator +
                           "LinkTable_print:  Invalid link count: 3\n" + separator;
    EXPECT_EQ(out, expected);

    CONFIG.log_level = LOG_FATAL | LOG_ERROR | LOG_WARNING;
    testing::internal::CaptureStderr();
    LinkTable_print(linktbl);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    LinkTable_free(linktbl);
}
