// network_support.h: what the network tests share: the network system started once per test
// process with default settings, and links made by hand for the fault server's resources.
#pragma once

#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "config.h"
#include "link/link.h"
#include "network.h"

class NetworkEnvironment : public testing::Environment
{
  public:
    void SetUp() override
    {
        Config_init();
        NetworkSystem_init();
    }
};

// Settings each test starts from: defaults, no pause before retries.
inline void reset_config()
{
    curl_slist_free_all(CONFIG.http_headers);
    Config_init();
    CONFIG.retry_wait = 0;
}

// A file link for `url` of `length` bytes, alone in a table of its own (freed with the table).
inline Link *file_link(const std::string &url, int64_t length)
{
    LinkTable *tbl = LinkTable_alloc(url.c_str());
    Link *link = Link_new("file", LINK_FILE);
    Link_set_url(link, url.c_str());
    link->content_length = length;
    LinkTable_add(tbl, link);
    return link;
}
