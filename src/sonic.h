// sonic.h: Sonic mode, a Subsonic-API music server mounted as its folder tree (index mode) or
// as group/artist/album/song (ID3 mode). Owns sonic_config, written once at start-up and
// read-only afterwards. Each reply's parse keeps its state in a context of its own, so parses
// in several FUSE threads at once share nothing. Takes no lock: tables are built unseen and
// attached by path resolution.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expat.h>

struct LinkTable;

struct SonicConfigStruct {
    char *server; // mount URL without one trailing "/"
    char *username;
    char *password;
    const char *client;      // always the default user agent
    const char *api_version; // "1.13.0", or "1.8.0" with --sonic-insecure
};

extern SonicConfigStruct sonic_config;

void sonic_config_init(const char *server, const char *username, const char *password);
// server + "/rest/" + method + authentication string, cut to 1024 characters. Heap string.
char *sonic_gen_url_first_part(const char *method);
// The token form, or the hex form with --sonic-insecure; a fresh salt per call. The user name
// (like every id put in a request) is percent-encoded. Heap string.
char *sonic_gen_auth_str();

// Index mode: id "0" is the root (getIndexes), any other id a folder (getMusicDirectory).
LinkTable *sonic_LinkTable_new_index(const char *id);
// Fetches url and parses its reply into a new table of level `depth`; null when the download
// fails.
LinkTable *sonic_url_to_LinkTable(const char *url, XML_StartElementHandler handler, int32_t depth);
// Parses one reply into `linktbl` with `handler` (the ID3 root handler also gets its end
// handler), prints the table and sanitises its names. A parse error is logged and keeps the
// links made before it. No network: sonic_url_to_LinkTable fetches, this builds.
void sonic_parse_reply(LinkTable *linktbl, const char *xml, size_t len, XML_StartElementHandler handler);
// The expat handlers; `data` is the parse's context, made by sonic_parse_reply.
void XMLCALL XML_parser_general(void *data, const char *elem, const char **attr);
// ".", ".." and "/" names and every "/" inside a name become file names, here and in child
// tables.
void sonic_sanitise_linknames(LinkTable *linktbl);

// ID3 mode: level 0 the root (getArtists), 3 an artist (getArtist), 4 an album (getAlbum);
// any other level is fatal. The root reply also fills the group tables, which cannot be
// fetched again: each holds one reference of its own, so it lives as long as the root.
LinkTable *sonic_LinkTable_new_id3(int32_t depth, const char *id);
void XMLCALL XML_parser_id3_root(void *data, const char *elem, const char **attr);
void XMLCALL XML_parser_id3_end(void *data, const char *elem);
