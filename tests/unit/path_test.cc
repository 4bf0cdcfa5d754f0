// Path resolution over tables already in place: no table is built, so no network is needed.
#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "config.h"
#include "link/link.h"

namespace
{

Link *add(LinkTable *tbl, const std::string &name, LinkType type)
{
    Link *link = Link_new(name.c_str(), type);
    LinkTable_add(tbl, link);
    return link;
}

class PathResolution : public testing::Test
{
  protected:
    void SetUp() override
    {
        Config_init();
        root = LinkTable_alloc("http://h/");
        root_link_table = root;
    }
    void TearDown() override
    {
        root_link_table = nullptr;
        LinkTable_free(root);
    }

    // Resolves, checks the reference taken and releases it.
    Link *resolve(const char *path)
    {
        Link *link = path_to_Link(path);
        if (link) {
            EXPECT_GE(link->linktbl->refcount, 1) << path;
            LinkTable_unref(link->linktbl);
        }
        return link;
    }

    LinkTable *root = nullptr;
};

} // namespace

TEST_F(PathResolution, SmallAndIndexedTablesFindTheFirstOfEqualNames)
{
    // Below 32 links a table is scanned; from 32 on it is searched through its name index.
    for (int size : {5, 40}) {
        SCOPED_TRACE(size);
        TearDown();
        SetUp();
        Link *first = nullptr, *second = nullptr;
        for (int i = 0; i < size; i++) {
            add(root, "f" + std::to_string(i), LINK_FILE);
            if (i == 2)
                first = add(root, "twin", LINK_FILE);
            if (i == size - 2)
                second = add(root, "twin", LINK_DIR);
        }
        EXPECT_EQ(resolve("/twin"), first);
        EXPECT_NE(resolve("/twin"), second);
        EXPECT_EQ(resolve("/twin/"), first); // a trailing slash is the same path
        EXPECT_EQ(resolve("/f0"), root->links[1]);
        EXPECT_EQ(resolve("/F0"), nullptr); // case counts
        EXPECT_EQ(resolve("/missing"), nullptr);
        EXPECT_EQ(resolve("/"), nullptr);
        EXPECT_EQ(resolve("//f0"), nullptr);
    }
}

TEST_F(PathResolution, NamesCompareOverTheirFirst255Characters)
{
    for (int i = 0; i < 40; i++)
        add(root, "pad" + std::to_string(i), LINK_FILE);
    std::string name(255, 'n');
    Link *link = add(root, name, LINK_FILE);
    EXPECT_EQ(resolve(("/" + name).c_str()), link);
    EXPECT_EQ(resolve(("/" + name + "tail").c_str()), link);
}

TEST_F(PathResolution, NothingIsBuiltBelowAFileOrAnInvalidEntry)
{
    add(root, "file.iso", LINK_FILE);
    add(root, "broken", LINK_INVALID);
    LinkTable *sub = LinkTable_alloc("http://h/sub/");
    Link *dir = add(root, "sub", LINK_DIR);
    dir->next = sub;
    sub->parent = root;
    sub->parent_link = dir;
    root->refcount++;
    Link *inner = add(sub, "inner.txt", LINK_FILE);

    // A listing is never fetched from a file's URL: these fail without a request.
    EXPECT_EQ(resolve("/file.iso/x"), nullptr);
    EXPECT_EQ(resolve("/broken/x"), nullptr);
    EXPECT_EQ(path_to_LinkTable("/file.iso"), nullptr);
    EXPECT_EQ(root->links[1]->next, nullptr);
    EXPECT_EQ(resolve("/sub/inner.txt"), inner);

    LinkTable *opened = path_to_LinkTable("/sub");
    EXPECT_EQ(opened, sub);
    EXPECT_EQ(sub->refcount, 1);
    LinkTable_unref(opened);
    LinkTable *top = path_to_LinkTable("/");
    EXPECT_EQ(top, root);
    LinkTable_unref(top);
}
