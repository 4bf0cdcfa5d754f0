// fuse_local.h: the FUSE front end, the eight operations of the read-only mount and the
// hand-over to the FUSE host. Takes no lock of its own and keeps no state besides the
// per-open handles: a directory handle holds a referenced LinkTable; a file handle is 0 for an
// empty file while the cache runs, and otherwise a FileHandle, which holds what the open found
// (the referenced link, and the file's Cache when it is read through the cache); and whether
// the host detaches, written before the host starts.
#pragma once

// Runs the FUSE host over the vector, with a valid idle-thread limit ahead of it; returns its
// status. Without -f and -d in the vector the host detaches, and the log follows it into the
// system log (log_to_syslog) once the host serves.
int fuse_local_init(int argc, char **argv);
