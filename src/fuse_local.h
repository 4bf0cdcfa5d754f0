// fuse_local.h: the FUSE front end, the eight operations of the read-only mount and the
// hand-over to the FUSE host. Takes no lock of its own and keeps no state besides the
// per-open handles (a directory handle holds a referenced LinkTable, a file handle (cache on)
// 0 for an empty file, FS_NO_CACHE for an uncached read, or the file's Cache) and whether the
// host detaches, written before the host starts.
#pragma once

// Runs the FUSE host over the vector, with a valid idle-thread limit ahead of it; returns its
// status. Without -f and -d in the vector the host detaches, and the log follows it into the
// system log (log_to_syslog) once the host serves.
int fuse_local_init(int argc, char **argv);
