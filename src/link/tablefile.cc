// tablefile.cc: directory tables saved beside the cache, one ".LinkTable" file per listed
// directory under meta_dir. The file is a 12-byte header (size, index_time) and one record of
// 1299 bytes per link (name, URL, type, size, time), native byte order, no version or checksum.
// A file that cannot be read back whole is deleted, so that the listing is fetched anew.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "cache/cache.h"
#include "link/link.h"
#include "log.h"
#include "util.h"

static const int64_t HEADER_SIZE = 12;
static const int64_t RECORD_SIZE = MAX_FILENAME_LEN + MAX_PATH_LEN + 4 + 8 + 8;

static std::string table_file_path(const char *cache_path)
{
    return path_join(path_join(meta_dir, cache_path).c_str(), ".LinkTable");
}

// A string as a field of `size` bytes: its bytes, then zeros up to the size.
static void write_fixed(const char *text, size_t size, FILE *fp)
{
    std::string field(text, strnlen(text, size));
    field.resize(size, '\0');
    fwrite(field.data(), size, 1, fp);
}

int LinkTable_disk_save(LinkTable *linktbl, const char *cache_path)
{
    std::string path = table_file_path(cache_path);
    // Written under a temporary name and renamed over the old file, so that a reader, or a
    // second thread saving the same directory, never meets a half-written table.
    std::string tmp = path + ".XXXXXX";
    int fd = mkstemp(tmp.data());
    FILE *fp = fd == -1 ? nullptr : fdopen(fd, "w");
    if (!fp) {
        log_printf(LOG_ERROR, HERE, "fopen(%s): %s\n", path.c_str(), strerror(errno));
        if (fd != -1) {
            close(fd);
            unlink(tmp.c_str());
        }
        return -1;
    }
    fchmod(fd, 0644);

    if (fwrite(&linktbl->size, sizeof(linktbl->size), 1, fp) != 1 ||
        fwrite(&linktbl->index_time, sizeof(linktbl->index_time), 1, fp) != 1)
        log_printf(LOG_ERROR, HERE, "Failed to save the header of %s!\n", path.c_str());
    for (int32_t i = 0; i < linktbl->size; i++) {
        const Link *link = linktbl->links[i];
        int32_t type = link->type;
        int64_t content_length = link->content_length;
        int64_t time = link->time;
        write_fixed(link->linkname, MAX_FILENAME_LEN, fp);
        write_fixed(link->f_url, MAX_PATH_LEN, fp);
        fwrite(&type, sizeof(type), 1, fp);
        fwrite(&content_length, sizeof(content_length), 1, fp);
        fwrite(&time, sizeof(time), 1, fp);
    }

    int result = 0;
    if (ferror(fp)) {
        log_printf(LOG_ERROR, HERE, "encountered ferror!\n");
        result = -1;
    }
    if (fclose(fp)) {
        log_printf(LOG_ERROR, HERE, "cannot close the file pointer, %s\n", strerror(errno));
        result = -1;
    } else if (result == 0 && rename(tmp.c_str(), path.c_str())) {
        log_printf(LOG_ERROR, HERE, "rename(%s): %s\n", path.c_str(), strerror(errno));
        result = -1;
    }
    if (result)
        unlink(tmp.c_str());
    return result;
}

// Reads one whole field.
static bool read_field(void *field, size_t size, FILE *fp)
{
    return fread(field, size, 1, fp) == 1;
}

LinkTable *LinkTable_disk_open(const char *cache_path)
{
    std::string path = table_file_path(cache_path);
    FILE *fp = fopen(path.c_str(), "r");
    if (!fp) {
        return nullptr;
    }

    LinkTable *linktbl = static_cast<LinkTable *>(checked_calloc(1, sizeof(LinkTable), HERE));
    int32_t size = 0;
    bool ok = false;
    do {
        if (!read_field(&size, sizeof(size), fp) ||
            !read_field(&linktbl->index_time, sizeof(linktbl->index_time), fp)) {
            log_printf(LOG_ERROR, HERE, "Failed to read the header of %s!\n", path.c_str());
            break;
        }
        if (fseeko(fp, 0, SEEK_END)) {
            log_printf(LOG_ERROR, HERE, "Failed to seek %s!\n", path.c_str());
            break;
        }
        off_t length = ftello(fp);
        if (length < 0 || fseeko(fp, HEADER_SIZE, SEEK_SET)) {
            log_printf(LOG_ERROR, HERE, "Failed to inspect %s!\n", path.c_str());
            break;
        }
        // Bytes after the last record are never read.
        if (size < 1 || (length - HEADER_SIZE) / RECORD_SIZE < size) {
            log_printf(LOG_ERROR, HERE, "Invalid link table size: %d in %s!\n", size, path.c_str());
            break;
        }

        linktbl->size = size;
        linktbl->links =
            static_cast<Link **>(checked_calloc(static_cast<size_t>(size), sizeof(Link *), HERE));
        ok = true;
        for (int32_t i = 0; i < size && ok; i++) {
            // Zeroed: no linkpath, no child table, no cache.
            Link *link = Link_new("", LINK_INVALID);
            linktbl->links[i] = link;
            link->linktbl = linktbl;
            int32_t type = 0;
            int64_t content_length = 0;
            int64_t time = 0;
            char name[MAX_FILENAME_LEN + 1] = {};
            char url[MAX_PATH_LEN + 1] = {};
            ok = read_field(name, MAX_FILENAME_LEN, fp) && read_field(url, MAX_PATH_LEN, fp) &&
                 read_field(&type, sizeof(type), fp) &&
                 read_field(&content_length, sizeof(content_length), fp) &&
                 read_field(&time, sizeof(time), fp);
            if (!ok) {
                log_printf(LOG_ERROR, HERE, "Corrupted LinkTable at index %d!\n", i);
                break;
            }
            Link_set_name(link, name);
            Link_set_url(link, url);
            link->type = type;
            link->content_length = content_length;
            link->time = time;
        }
    } while (false);

    if (!ok) {
        fclose(fp);
        LinkTable_free(linktbl);
        LinkTable_disk_delete(cache_path);
        return nullptr;
    }
    if (fclose(fp))
        log_printf(LOG_ERROR, HERE, "cannot close the file pointer, %s\n", strerror(errno));
    return linktbl;
}

void LinkTable_disk_delete(const char *cache_path)
{
    std::string path = table_file_path(cache_path);
    if (unlink(path.c_str()))
        log_printf(LOG_ERROR, HERE, "unlink(%s): %s\n", path.c_str(), strerror(errno));
}
