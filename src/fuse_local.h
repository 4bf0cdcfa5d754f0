// fuse_local.h: the FUSE front end, the eight operations of the read-only mount and the
// hand-over to the FUSE host. Takes no lock of its own and keeps no state besides the
// per-open handles: a directory handle holds a referenced LinkTable; a file handle is 0 for an
// empty file while the cache runs, and otherwise a FileHandle, which holds what the open found
// (the referenced link, and the file's Cache when it is read through the cache).
#pragma once

// Runs the FUSE host over the vector; returns its status.
int fuse_local_init(int argc, char **argv);
