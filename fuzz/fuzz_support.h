// fuzz_support.h: what the fuzz targets share. The quiet start of the process-wide settings, a
// private cache directory that is removed at exit, whole-file writes, and the checks of the
// invariants: a failed check prints what broke and aborts, so that libFuzzer keeps the input.
// Owns the temporary directory of the process; every target is single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct LinkTable;

// Config_init with logging off (fatal lines still print), for LLVMFuzzerInitialize.
void fuzz_quiet_config();
// The mounted root, as LinkSystem_init leaves it: an empty root table for `url` (ending in
// "/") and root_url_len without the trailing "/".
void fuzz_mount_root(const char *url);
// A new directory below $TMPDIR (else /tmp), removed with everything in it when the process exits.
std::string fuzz_temp_dir();
// Starts the cache system in a new temporary directory; meta_dir and data_dir are then set.
void fuzz_start_cache();
// Replaces the file's contents with the bytes given; a failure aborts.
void fuzz_write_file(const std::string &path, const uint8_t *data, size_t size);

// Aborts with "invariant broken: <what>" and the detail when `ok` is false.
void fuzz_require(bool ok, const char *what, const std::string &detail = "");
// A name the directory can list: not empty, not "." or "..", holding no "/".
void fuzz_require_entry_name(const char *name, const char *where);
// A cache key that, joined below a directory, stays inside it: no ".." path segment.
void fuzz_require_contained_key(const char *key, const char *where);
// The two tables hold the same links: count, listing time, and per link the name, URL, type,
// size and time.
void fuzz_require_tables_equal(const LinkTable *a, const LinkTable *b, const char *where);
