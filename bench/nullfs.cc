// nullfs.cc: the ceiling of FUSE reads on this machine. A read-only filesystem of one file,
// "/file", held nowhere: a read only fills the caller's buffer with zeros, so what a
// sequential read of it measures is the kernel's round trip through FUSE and nothing else.
// It uses the same high-level host, in the same default (multi-threaded) way, as the program.
//   nullfs [--size=BYTES] [FUSE options] MOUNTPOINT        (default size: 1 GiB)
#define FUSE_USE_VERSION 314
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <fuse.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct NullOptions {
    unsigned long long size;
};

const char FILE_PATH[] = "/file";

NullOptions options{1ULL << 30};

const struct fuse_opt OPTION_SPEC[] = {
    {"--size=%llu", offsetof(NullOptions, size), 0},
    FUSE_OPT_END,
};

} // namespace

static int null_getattr(const char *path, struct stat *st, struct fuse_file_info *) noexcept
{
    memset(st, 0, sizeof(*st));
    st->st_uid = getuid();
    st->st_gid = getgid();
    st->st_nlink = 1;
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        return 0;
    }
    if (strcmp(path, FILE_PATH) != 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_size = static_cast<off_t>(options.size);
    st->st_blksize = 128 * 1024;
    st->st_blocks = st->st_size / 512;
    return 0;
}

static int null_open(const char *path, struct fuse_file_info *fi) noexcept
{
    if (strcmp(path, FILE_PATH) != 0)
        return -ENOENT;
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    return 0;
}

static int null_read(const char *, char *buf, size_t size, off_t offset, struct fuse_file_info *) noexcept
{
    off_t end = static_cast<off_t>(options.size);
    if (offset >= end)
        return 0;
    if (static_cast<off_t>(size) > end - offset)
        size = static_cast<size_t>(end - offset);
    memset(buf, 0, size);
    return static_cast<int>(size);
}

static int null_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t, struct fuse_file_info *,
                        enum fuse_readdir_flags) noexcept
{
    if (strcmp(path, "/") != 0)
        return -ENOENT;
    filler(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buf, FILE_PATH + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int main(int argc, char *argv[])
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &options, OPTION_SPEC, nullptr) == -1)
        return 1;
    struct fuse_operations ops {
    };
    ops.getattr = null_getattr;
    ops.open = null_open;
    ops.read = null_read;
    ops.readdir = null_readdir;
    int status = fuse_main(args.argc, args.argv, &ops, nullptr);
    fuse_opt_free_args(&args);
    return status;
}
