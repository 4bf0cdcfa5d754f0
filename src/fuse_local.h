// fuse_local.h: the FUSE front end, the eight operations of the read-only mount and the
// hand-over to the FUSE host. Takes no lock of its own and keeps no state besides the
// per-open handles: a directory handle holds a referenced LinkTable, a file handle (cache on)
// 0 for an empty file, FS_NO_CACHE for an uncached read, or the file's Cache.
#pragma once

// Runs the FUSE host over the vector; returns its status.
int fuse_local_init(int argc, char **argv);
