// tablefile_fuzz.cc: the saved table reader on arbitrary file contents. The input is put in
// place as a directory's ".LinkTable" file and loaded. A file that loads must make a table of
// at least its head; saving that table and loading it again must give back the same table.
// A file that does not load must be gone, so that the listing is fetched anew.
#include <cstdint>
#include <string>
#include <unistd.h>

#include "cache/cache.h"
#include "fuzz_support.h"
#include "link/link.h"
#include "util.h"

static const char LOADED_KEY[] = "/loaded";
static const char SAVED_KEY[] = "/saved";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_config();
    fuzz_start_cache();
    CacheDir_create(LOADED_KEY);
    CacheDir_create(SAVED_KEY);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string file = std::string(meta_dir) + LOADED_KEY + "/.LinkTable";
    fuzz_write_file(file, data, size);
    LinkTable *loaded = LinkTable_disk_open(LOADED_KEY);
    if (!loaded) {
        fuzz_require(access(file.c_str(), F_OK) != 0, "a table file that does not load is deleted");
        return 0;
    }
    fuzz_require(loaded->size >= 1 && loaded->links, "a loaded table has its head");

    fuzz_require(LinkTable_disk_save(loaded, SAVED_KEY) == 0, "a loaded table can be saved");
    LinkTable *reloaded = LinkTable_disk_open(SAVED_KEY);
    fuzz_require(reloaded != nullptr, "a saved table loads");
    fuzz_require_tables_equal(loaded, reloaded, "saved and loaded again");
    LinkTable_free(reloaded);
    LinkTable_free(loaded);
    return 0;
}
